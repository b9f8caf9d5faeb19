// Reading notes: what a read of a waveform file's data lines met that usually
// means a damaged or misformatted file. Gathering them changes nothing that is
// read: the same values, records, failures and line numbers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace wavespec::records {

// The notes of one read_real_rows, over the lines it reads (the lines after
// the header). Line numbers count from 1 at the file's first line; 0 means
// none. Small and of fixed size: nothing is kept per line.
//
// 1. Values per line. A line's count is the number of values on it as the
//    reader sees them: numbers, nulls ("1,,3" holds 3), a repeat "r*x" or
//    "r*" as the r values it stands for ("0.0 3*0" holds 4), and the values
//    the reader passes over after a record's last one, split at blanks, tabs
//    and commas as the reader would split them (with 4 values to a record,
//    "4.995,-3.0891,1,5,0.21821" holds 5). A slash ends the count: what
//    follows it on the line is not counted ("1 2 / note" holds 2). Lines of
//    nothing but blanks and tabs are not counted; a line's carriage return
//    before its line feed is part of its end. `counts` lists each count met,
//    in the order first met, with its lines and the first of them:
//      line 1 "t x y z" (the header), then 2 "0,1,2,3", 3 "0.005,4,5,6",
//      4 "0.01,7,8", 5 "9,10,11,12", 6 "0.015,13,14,15"
//        -> counts {4: 4 lines, the first 2}, {3: 1 line, 4}; usual 4
//    (the short line 4 takes the 9 of line 5 as its record's fourth value,
//    and line 5 still holds 4: 1 read and 3 passed over). Records spread
//    evenly over two lines of 2 values, or lines of 8 values of which 4 are
//    used, give one count (2 or 8) for every line, and no line differs;
//    records spread unevenly (3 values, then 1) give two counts of as many
//    lines each, and the lines of the one met second differ.
// 2. Run-on values: a value read that begins right where the one before it
//    ended, with no separator between, as the ".2" of "2.2.2" (read as 2.2
//    then .2). What the reader passes over is never run on (there "2.2.2" is
//    one value). `run_on_values` counts them; `first_run_on_line` is the first
//    line with one.
// 3. A cut record: the file ended inside a record the reader had begun (a
//    value or a null read) and the record was dropped: some of its values
//    missing, as a last line "10.000,0.0033", or all read on a last line that
//    ends without a line end but goes on past them ("1 2 3 4 5", "1 2 3 4,").
//    `cut_record_line` is the line where that record began.
//
// After a failure the notes are those of the lines before the failing one.
struct reading_notes {
  struct line_count {
    std::int64_t values = 0;     // the count
    std::int64_t lines = 0;      // lines with that count
    std::int64_t first_line = 0; // the first of them
    friend bool operator==(const line_count &, const line_count &) = default;
  };
  // Distinct counts listed; lines of counts first met after the table is full
  // are only summed in `unlisted_lines`.
  static constexpr std::size_t table_size = 16;

  std::array<line_count, table_size> counts{}; // counts[0 .. distinct)
  std::size_t distinct = 0;
  std::int64_t unlisted_lines = 0;
  std::int64_t first_unlisted_line = 0;
  std::int64_t run_on_values = 0;
  std::int64_t first_run_on_line = 0;
  std::int64_t cut_record_line = 0;
  friend bool operator==(const reading_notes &, const reading_notes &) = default;

  // Lines counted, listed or not.
  [[nodiscard]] std::int64_t lines() const {
    std::int64_t n = unlisted_lines;
    for (std::size_t i = 0; i < distinct; ++i)
      n += counts[i].lines;
    return n;
  }
  // The usual count: the listed count of the most lines; of counts with equally
  // many, the one met first. nullptr when no line was counted.
  [[nodiscard]] const line_count *usual() const {
    const line_count *best = nullptr;
    for (std::size_t i = 0; i < distinct; ++i)
      if (best == nullptr || counts[i].lines > best->lines)
        best = &counts[i];
    return best;
  }
  // Lines whose count is not the usual one, and the first of them (0: none).
  [[nodiscard]] std::int64_t unusual_lines() const {
    const line_count *u = usual();
    return u == nullptr ? 0 : lines() - u->lines;
  }
  [[nodiscard]] std::int64_t first_unusual_line() const {
    const line_count *u = usual();
    std::int64_t first = unlisted_lines > 0 ? first_unlisted_line : 0;
    for (std::size_t i = 0; i < distinct; ++i)
      if (&counts[i] != u && (first == 0 || counts[i].first_line < first))
        first = counts[i].first_line;
    return first;
  }
  // Nothing to tell: every line counted has the usual count, no value ran on
  // and no record was cut.
  [[nodiscard]] bool clean() const {
    return unusual_lines() == 0 && run_on_values == 0 && cut_record_line == 0;
  }
};

} // namespace wavespec::records
