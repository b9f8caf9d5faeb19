// Fuzz target: free-format records and whole waveform files, read from memory.
// Every failure must surface as a record_failure; an accepted real written
// with 9 significant digits must read back as the same float.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "driver/stages.h"
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

void fuzz_waveform(std::string_view text) {
  static auto state = std::make_unique<driver::analysis_state>();
  records::record_streams io("", nullptr);
  io.open_memory_file(records::waveform_file, "fuzz.txt", text);
  try {
    driver::read_waveform_records(io, *state);
  } catch (const records::record_failure &f) {
    if (f.report().unit != records::waveform_file)
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
