// Fuzz target: free-format records and whole waveform files, read from memory.
// Every failure must surface as a record_failure; an accepted real written
// with 9 significant digits must read back as the same float; reading notes
// change nothing that is read, and do not depend on how the file is split
// into blocks.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "core/loading.h"
#include "records/failure.h"
#include "records/real_format.h"
#include "records/record_io.h"

namespace {

using namespace wavespec;

void check_round_trip(float x) {
  if (!std::isfinite(x))
    return;
  std::string text;
  records::append_free_real(text, x);
  records::input_source in;
  in.attach(text);
  float back = 0.0f;
  const records::read_target item[] = {back};
  (void)records::read_list(in, item, false);
  if (!(back == x || (x == 0.0f && back == 0.0f)))
    __builtin_trap();
}

// The records of `text` read one by one, with a tally or without: the values
// of each read, its outcome and the failure that ends the reading.
struct record_reads {
  std::string bytes;
  std::string failure;
};

record_reads read_records(std::string_view text, std::uint8_t shape, records::line_tally *tally) {
  records::input_source in;
  in.attach(text);
  float reals[4] = {};
  std::int32_t integers[2] = {};
  const records::read_target mixed[] = {reals[0], integers[0], reals[1], integers[1]};
  const records::read_target four[] = {reals[0], reals[1], reals[2], reals[3]};
  const auto items = (shape & 1) ? std::span(mixed) : std::span(four);
  const bool end_allowed = (shape & 2) != 0;
  record_reads got;
  for (int n = 0; n < 64; ++n) {
    try {
      const auto r = tally != nullptr ? records::read_list(in, items, end_allowed, *tally)
                                      : records::read_list(in, items, end_allowed);
      got.bytes.push_back(static_cast<char>(r));
      got.bytes.append(reinterpret_cast<const char *>(reals), sizeof reals);
      got.bytes.append(reinterpret_cast<const char *>(integers), sizeof integers);
      if (tally == nullptr)
        for (float x : reals)
          check_round_trip(x);
      if (r == records::read_outcome::end_of_input)
        break;
    } catch (const records::list_error &e) {
      got.failure = e.text.context;
      break;
    }
  }
  return got;
}

void fuzz_records(std::string_view text, std::uint8_t shape) {
  const record_reads plain = read_records(text, shape, nullptr);
  records::reading_notes notes;
  records::line_tally tally(notes, 1);
  const record_reads noted = read_records(text, shape, &tally);
  if (noted.bytes != plain.bytes || noted.failure != plain.failure)
    __builtin_trap();
}

// The same file read record by record, as the reader did before it took
// plain records straight from the block: the first `kept` rows, the count of
// complete records, and the failure's context if one ends the reading.
struct one_by_one {
  static constexpr std::size_t kept = 64;
  float rows[kept][4] = {};
  std::int64_t count = 0;
  std::string failure;
};

one_by_one read_one_by_one(std::string_view text) {
  one_by_one got;
  records::record_streams io("", nullptr);
  io.open_memory_file(records::waveform_file, "fuzz.txt", text);
  float spare[4] = {};
  try {
    (void)records::read_free_record(io, records::waveform_file, {}, true);
    for (;;) {
      float *const row =
          got.count < static_cast<std::int64_t>(one_by_one::kept) ? got.rows[got.count] : spare;
      const records::read_target items[] = {row[0], row[1], row[2], row[3]};
      if (records::read_free_record(io, records::waveform_file, items, true) ==
          records::read_outcome::end_of_input)
        break;
      ++got.count;
    }
  } catch (const records::record_failure &f) {
    got.failure = f.report().context;
  }
  return got;
}

// The rows as read_real_rows gives them into plain arrays, with `notes` when
// given, the text handed out `block` characters at a time when not 0.
struct by_rows {
  float columns[4][one_by_one::kept] = {};
  std::int64_t count = 0;
  std::string failure;
  std::int64_t failure_line = 0;
};

by_rows read_rows(std::string_view text, records::reading_notes *notes = nullptr,
                  std::size_t block = 0) {
  by_rows got;
  records::record_streams io("", nullptr);
  io.open_memory_file(records::waveform_file, "fuzz.txt", text);
  if (block > 0)
    io.at(records::waveform_file).in.attach(text, block);
  float *const columns[] = {got.columns[0], got.columns[1], got.columns[2], got.columns[3]};
  try {
    (void)records::read_free_record(io, records::waveform_file, {}, true);
    got.count =
        records::read_real_rows(io, records::waveform_file, columns, one_by_one::kept, notes);
  } catch (const records::record_failure &f) {
    if (f.report().unit != records::waveform_file)
      __builtin_trap();
    got.failure = f.report().context;
    got.failure_line = f.report().line;
  }
  return got;
}

bool same_rows(const by_rows &a, const by_rows &b) {
  return std::memcmp(a.columns, b.columns, sizeof a.columns) == 0 && a.count == b.count &&
         a.failure == b.failure && a.failure_line == b.failure_line;
}

// The lines after the first that hold anything but blanks and tabs (a
// carriage return before a line feed belongs to the line end).
std::int64_t lines_with_content(std::string_view text) {
  std::int64_t n = 0;
  std::size_t start = text.find('\n');
  while (start != std::string_view::npos && ++start < text.size()) {
    const std::size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    n += line.find_first_not_of(" \t") != std::string_view::npos ? 1 : 0;
    start = end;
  }
  return n;
}

// With notes, whole or in blocks of `block` characters, the rows read are
// those read without; the notes are the same both ways, and count every line
// with content once the whole file is read.
void check_notes(std::string_view text, const by_rows &plain, std::size_t block) {
  records::reading_notes whole, split;
  if (!same_rows(read_rows(text, &whole), plain) ||
      !same_rows(read_rows(text, &split, block), plain) || !(whole == split))
    __builtin_trap();
  if (plain.failure.empty() && whole.lines() != lines_with_content(text))
    __builtin_trap();
}

void fuzz_waveform(std::string_view text, std::size_t block) {
  // Rows of reals must be exactly what reading record by record gives...
  const one_by_one want = read_one_by_one(text);
  const by_rows rows = read_rows(text);
  if (rows.failure != want.failure || (rows.failure.empty() && rows.count != want.count))
    __builtin_trap();
  check_notes(text, rows, block);
  // (the complete rows, and the one a cut-short or failing record began)
  const std::int64_t kept = std::min<std::int64_t>(want.count + 1, one_by_one::kept);
  for (std::int64_t r = 0; r < kept; ++r)
    for (int c = 0; c < 4; ++c)
      if (std::memcmp(&rows.columns[c][r], &want.rows[r][c], sizeof(float)) != 0)
        __builtin_trap();
  // ...and the record the analysis reads from them the same samples and dt.
  static wavespec::workspace ws;
  records::stream_state u(records::waveform_file, true);
  records::open_memory_stream(u, "fuzz.txt", text);
  try {
    const core::loaded_record loaded = core::load_records(u, ws);
    if (!want.failure.empty() || loaded.count != want.count)
      __builtin_trap();
    const std::int64_t complete = std::min<std::int64_t>(want.count, one_by_one::kept);
    for (std::int64_t r = 0; r < complete; ++r) {
      const auto at = static_cast<std::size_t>(r);
      const float got[] = {loaded.samples.x[at], loaded.samples.y[at], loaded.samples.z[at]};
      if (std::memcmp(got, &want.rows[r][1], sizeof got) != 0)
        __builtin_trap();
    }
    const float dt = want.rows[1][0] - want.rows[0][0];
    if (std::memcmp(&dt, &loaded.samples.dt, sizeof dt) != 0)
      __builtin_trap();
  } catch (const records::record_failure &f) {
    if (f.report().context != want.failure)
      __builtin_trap();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
  if (data[0] & 4)
    fuzz_waveform(text, (data[0] >> 3) + 1u);
  else
    fuzz_records(text, data[0]);
  return 0;
}
