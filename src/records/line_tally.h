// The reader's account of the lines it reads, gathered into reading_notes.
#pragma once

#include <cstdint>

#include "records/reading_notes.h"

namespace wavespec::records {

// Counts the values in text the reader passes over (the rest of a line after
// a record's last value), fed one character at a time, its line end not
// included. Fields are split as the reader splits values: at blanks, tabs and
// a comma; a comma where a value is due is a null and counts one; a field
// "r*..." ("+r*..." too) with r from 1 to 2^31 - 1 counts r; any other field
// counts one; a slash ends the counting. Counting starts where a value is due
// (the separator after the last value read already taken):
//   "5"  -> 1     ",5"  -> 2     "3*0 x" -> 4     "1 2/3" -> 2
class passed_values {
public:
  void take(int c);
  [[nodiscard]] std::int64_t values() const { return values_; }
  void stop() { state_ = state::stopped; }

private:
  enum class state : unsigned char { value_due, in_field, after_field, stopped };
  void start_field();
  void lead(int c); // the field's first characters, while they may be "+r*"

  std::int64_t values_ = 0;
  state state_ = state::value_due;
  bool lead_open_ = false; // still reading a possible repeat count
  bool lead_first_ = false;
  std::int64_t repeat_ = 0;
};

// The notes of one read over its lines. Lines read the quick way arrive whole
// (plain_lines); the general reader reports each thing it meets, in order.
// Counts of consecutive lines that agree are summed before they reach the
// table, so a run of equal lines costs an increment each. The notes are
// complete once flush() has run (the destructor runs it).
class line_tally {
public:
  // `first_line`: the line of the next character to be read.
  line_tally(reading_notes &notes, std::int64_t first_line) : notes_(notes), line_(first_line) {}
  line_tally(const line_tally &) = delete;
  line_tally &operator=(const line_tally &) = delete;
  ~line_tally() { flush(); }

  // `lines` whole lines of `values` values each, their line ends taken.
  void plain_lines(std::int64_t values, std::int64_t lines) {
    if (lines == 0)
      return;
    count_lines(values, lines, line_);
    line_ += lines;
  }

  void begin_record() {
    record_line_ = 0;
    run_on_ = false;
  }
  // A value, a null or a repeat standing for `values` values.
  void value(std::int64_t values);
  // The character right after a value (before any blank).
  void followed_by(int c);
  void slash();
  // A character passed over after the record's last value or a slash.
  void passed(int c) {
    line_used_ = line_used_ || (c != ' ' && c != '\t');
    passed_.take(c);
  }
  void line_end();
  // The stream ended; `dropped`: inside a record, which was dropped.
  void stream_end(bool dropped);
  void flush();

private:
  // `lines` lines of `values` values from `first` on.
  void count_lines(std::int64_t values, std::int64_t lines, std::int64_t first) {
    if (values == run_values_) {
      run_lines_ += lines;
      return;
    }
    flush();
    run_values_ = values;
    run_lines_ = lines;
    run_first_ = first;
  }
  void end_line();

  reading_notes &notes_;
  std::int64_t line_;            // the line being read
  std::int64_t line_values_ = 0; // values read on it
  bool line_used_ = false;       // anything but blanks and tabs on it
  passed_values passed_;         // its values passed over
  std::int64_t record_line_ = 0; // where the record being read began; 0: no value yet
  bool run_on_ = false;          // the last value ran straight into what follows
  std::int64_t run_values_ = -1; // the count of the run of lines not yet in the table
  std::int64_t run_lines_ = 0;
  std::int64_t run_first_ = 0;
};

} // namespace wavespec::records
