// USGS SMC: 11 text lines, 48 integers (8 per line, 10 wide), 50 reals (5 per
// line, 15 wide), comment lines (integer 16 gives their number), then the
// samples, 8 per line, 10 wide (integer 17 gives their number). Real 2 is the
// number of samples per second; the samples are in cm/s^2.
#include <cmath>
#include <cstdio>

#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {

namespace {

constexpr double undefined = -32768;

// Integers 2-7: year, day of the year, hour, minute, second, millisecond.
double start_of(const std::vector<double> &ints) {
  for (std::size_t i = 1; i <= 5; ++i)
    if (ints[i] == undefined || !(std::fabs(ints[i]) < 1e6))
      return std::numeric_limits<double>::quiet_NaN();
  const double ms = ints[6] == undefined || !(std::fabs(ints[6]) < 1e6) ? 0.0 : ints[6];
  return epoch_seconds(static_cast<int>(ints[1]), static_cast<int>(ints[2]),
                       static_cast<int>(ints[3]), static_cast<int>(ints[4]), ints[5] + ms / 1000);
}

} // namespace

bool is_smc(const component_file &file) {
  if (file.lines.empty())
    return false;
  const std::string_view first = file.lines[0];
  return first.size() > 2 && first[0] >= '0' && first[0] <= '9' && first[1] == ' ' &&
         (first.substr(2).starts_with("CORRECTED ACCELEROGRAM") ||
          first.substr(2).starts_with("UNCORRECTED ACCELEROGRAM"));
}

std::vector<series> read_smc(const component_file &file, const read_request &) {
  (void)header_line(file, 26); // the text lines and both headers
  const std::string &first = file.lines[0];
  std::vector<double> ints, reals;
  fixed_fields(file, 11, 48, 8, 10, ints);
  fixed_fields(file, 17, 50, 5, 15, reals);
  if (!(ints[16] > 0 && ints[16] <= static_cast<double>(max_announced_samples)))
    malformed_header(file, 13, "sample count (integer 17) " + std::to_string(ints[16]));
  if (!(ints[15] >= 0 && ints[15] < 1e6))
    malformed_header(file, 12, "comment line count (integer 16) " + std::to_string(ints[15]));
  if (reals[1] >= 1e38) // the header's "undefined"
    fail(file, "no sample rate (real 2 is undefined): an unevenly sampled series, as digitized "
               "film gives, is not read; wavespec needs evenly spaced samples");
  if (!(reals[1] > 0 && reals[1] < 1e6)) {
    char rate[64];
    std::snprintf(rate, sizeof rate, "%g", reals[1]);
    malformed_header(file, 17, std::string("sample rate (real 2) ") + rate);
  }
  series s;
  s.source = file.path;
  s.station = std::string(trimmed(file.lines[2]));
  s.component = after_key(header_line(file, 5), "component=");
  const std::string station = after_key(file.lines[5], "station =");
  s.site = std::string(trimmed(std::string_view(station).substr(0, station.find("component="))));
  s.start = start_of(ints);
  s.processing = first.find("UNCORRECTED") != std::string::npos ? "uncorrected" : "corrected";
  s.record = s.site.empty() ? s.station : s.site;
  s.variant = s.processing;
  s.units = "gal";
  s.dt = 1.0 / reals[1];
  const auto comments = static_cast<std::size_t>(ints[15]);
  fixed_fields(file, 27 + comments, static_cast<std::size_t>(ints[16]), 8, 10, s.values);
  return {s};
}

} // namespace wavespec::merge
