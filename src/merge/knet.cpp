// K-NET / KiK-net ASCII: 17 "key value" header lines (the value from column
// 19), a "Memo." line, then counts, 8 per line; counts times the "Scale
// Factor" fraction give gal, and the duration times the sampling frequency
// gives their number.
#include <cmath>

#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {
namespace {

constexpr std::size_t value_column = 18;

// The value of header line i, which must begin with `key`.
std::string value(const component_file &file, std::size_t i, const char *key) {
  const std::string &l = header_line(file, i);
  if (!l.starts_with(key))
    malformed_header(file, i, std::string("not '") + key + "'");
  return std::string(trimmed(std::string_view(l).substr(std::min(value_column, l.size()))));
}

double positive(const component_file &file, std::size_t i, const char *what,
                std::optional<double> v) {
  if (!v || !(*v > 0) || !std::isfinite(*v))
    malformed_header(file, i, what);
  return *v;
}

} // namespace

bool is_knet(const component_file &file) {
  return !file.lines.empty() && file.lines[0].starts_with("Origin Time");
}

std::vector<series> read_knet(const component_file &file, const read_request &) {
  series s;
  s.source = file.path;
  s.station = value(file, 5, "Station Code");
  s.site = s.station;
  if (header_line(file, 9).starts_with("Record Time")) // compared across components
    s.start = date_time_seconds(value(file, 9, "Record Time"));
  const std::string rate = value(file, 10, "Sampling Freq(Hz)");
  text_scan freq(rate);
  const double hz = positive(file, 10, "sampling frequency", freq.real_number());
  s.dt = 1.0 / hz;
  const double duration =
      positive(file, 11, "duration", parse_real(value(file, 11, "Duration Time(s)")));
  s.component = value(file, 12, "Dir.");
  const std::string factor = value(file, 13, "Scale Factor");
  text_scan scale(factor);
  const auto numerator = scale.real_number();
  const auto denominator = scale.take("(gal)/") ? scale.real_number() : std::nullopt;
  const double gal_per_count = positive(file, 13, "scale factor", numerator) /
                               positive(file, 13, "scale factor", denominator);
  std::size_t memo = 16;
  while (memo < file.lines.size() && !file.lines[memo].starts_with("Memo"))
    ++memo;
  const double expected = std::round(duration * hz);
  if (!(expected <= static_cast<double>(max_announced_samples)))
    malformed_header(file, 11, "duration " + std::to_string(duration) + " s");
  std::vector<double> counts;
  free_fields(file, memo + 1, 0, counts);
  if (counts.size() < static_cast<std::size_t>(expected))
    fail(file, std::to_string(counts.size()) + " samples where the header promises " +
                   std::to_string(static_cast<std::size_t>(expected)));
  s.units = "gal";
  const std::size_t slash = factor.find("(gal)/");
  s.note = "counts x " + factor.substr(0, slash) + "/" + factor.substr(slash + 6);
  s.values.reserve(counts.size());
  for (double c : counts)
    s.values.push_back(c * gal_per_count);
  return {s};
}

} // namespace wavespec::merge
