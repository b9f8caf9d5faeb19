// Fuzz target: free-format records and whole waveform files, read from memory.
// Every failure must surface as a record_failure; an accepted real written
// with 9 significant digits must read back as the same float.
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

void fuzz_records(std::string_view text, std::uint8_t shape) {
  records::input_source in;
  in.attach(text);
  float reals[4] = {};
  std::int32_t integers[2] = {};
  const records::read_target mixed[] = {reals[0], integers[0], reals[1], integers[1]};
  const records::read_target four[] = {reals[0], reals[1], reals[2], reals[3]};
  for (int n = 0; n < 64; ++n) {
    try {
      const bool end_allowed = (shape & 2) != 0;
      const auto r =
          records::read_list(in, (shape & 1) ? std::span(mixed) : std::span(four), end_allowed);
      for (float x : reals)
        check_round_trip(x);
      if (r == records::read_outcome::end_of_input)
        break;
    } catch (const records::list_error &) {
      break;
    }
  }
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

// The rows as read_real_rows gives them into plain arrays.
struct by_rows {
  float columns[4][one_by_one::kept] = {};
  std::int64_t count = 0;
  std::string failure;
};

by_rows read_rows(std::string_view text) {
  by_rows got;
  records::record_streams io("", nullptr);
  io.open_memory_file(records::waveform_file, "fuzz.txt", text);
  float *const columns[] = {got.columns[0], got.columns[1], got.columns[2], got.columns[3]};
  try {
    (void)records::read_free_record(io, records::waveform_file, {}, true);
    got.count = records::read_real_rows(io, records::waveform_file, columns, one_by_one::kept);
  } catch (const records::record_failure &f) {
    if (f.report().unit != records::waveform_file)
      __builtin_trap();
    got.failure = f.report().context;
  }
  return got;
}

void fuzz_waveform(std::string_view text) {
  // Rows of reals must be exactly what reading record by record gives...
  const one_by_one want = read_one_by_one(text);
  const by_rows rows = read_rows(text);
  if (rows.failure != want.failure || (rows.failure.empty() && rows.count != want.count))
    __builtin_trap();
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
    fuzz_waveform(text);
  else
    fuzz_records(text, data[0]);
  return 0;
}
