// USGS SMC: 11 text lines, 48 integers (8 per line, 10 wide), 50 reals (5 per
// line, 15 wide), comment lines (integer 16 gives their number), then the
// samples, 8 per line, 10 wide (integer 17 gives their number). Real 2 is the
// number of samples per second; the samples are in cm/s^2.
#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {

bool is_smc(const text_file &file) {
  if (file.lines.empty())
    return false;
  const std::string_view first = file.lines[0];
  return first.size() > 2 && first[0] >= '0' && first[0] <= '9' && first[1] == ' ' &&
         (first.substr(2).starts_with("CORRECTED ACCELEROGRAM") ||
          first.substr(2).starts_with("UNCORRECTED ACCELEROGRAM"));
}

std::vector<series> read_smc(const text_file &file, const read_request &) {
  (void)header_line(file, 26); // the text lines and both headers
  std::vector<double> ints, reals;
  fixed_fields(file, 11, 48, 8, 10, ints);
  fixed_fields(file, 17, 50, 5, 15, reals);
  if (!(ints[16] > 0 && ints[16] <= static_cast<double>(max_announced_samples)))
    malformed_header(file, 13, "sample count (integer 17) " + std::to_string(ints[16]));
  if (!(ints[15] >= 0 && ints[15] < 1e6))
    malformed_header(file, 12, "comment line count (integer 16) " + std::to_string(ints[15]));
  if (!(reals[1] > 0 && reals[1] < 1e6))
    malformed_header(file, 17, "sample rate (real 2) " + std::to_string(reals[1]));
  series s;
  s.source = file.path;
  s.station = std::string(trimmed(file.lines[2]));
  s.component = after_key(header_line(file, 5), "component=");
  s.units = "gal";
  s.dt = 1.0 / reals[1];
  const auto comments = static_cast<std::size_t>(ints[15]);
  fixed_fields(file, 27 + comments, static_cast<std::size_t>(ints[16]), 8, 10, s.values);
  return {s};
}

} // namespace wavespec::merge
