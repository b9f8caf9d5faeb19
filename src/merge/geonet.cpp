// GeoNet V1A/V2A: per component 16 text lines, 4 integer and 6 real lines,
// then the series, 10 values per line, 8 wide; V2A follows the acceleration
// with the velocity and the displacement. Values in mm/s^2 become gal.
#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {
namespace {

constexpr std::size_t data_offset = 26; // lines from a component's first to its series

// "... at 0.020 sec intervals" or "... at intervals of 0.005 s".
std::optional<double> interval(std::string_view line) {
  text_scan scan(line);
  if (scan.after("intervals of"))
    return scan.real_number();
  const auto at = line.find("intervals");
  if (at == std::string_view::npos)
    return std::nullopt;
  std::string_view before = trimmed(line.substr(0, at));
  for (std::string_view unit : {"sec", "s"})
    if (before.ends_with(unit)) {
      before = trimmed(before.substr(0, before.size() - unit.size()));
      break;
    }
  return parse_real(before.substr(before.find_last_of(" \t") + 1));
}

// One component starting at line `at`; returns the line after its series.
std::size_t read_component(const component_file &file, std::size_t at, quantity wanted, series &s) {
  const bool corrected = file.lines[at].starts_with("Corrected");
  text_scan points(header_line(file, at + 9));
  const auto count_value = points.after("Number of points") ? points.whole_number() : std::nullopt;
  const std::size_t count =
      header_count(file, at + 9, "number of points", count_value, max_announced_samples);
  const std::string &rate_line = header_line(file, at + 10);
  const auto dt = interval(rate_line);
  if (!dt)
    malformed_header(file, at + 10, "no interval");
  s.dt = *dt;
  double scale = 0.1; // mm/s^2 -> gal
  text_scan units(rate_line);
  if (units.after("units of")) {
    const auto raw = units.real_number();
    if (!raw || !units.take("mm/s/s"))
      malformed_header(file, at + 10, "units");
    scale = *raw / 10.0;
  }
  s.station = first_word(after_key(header_line(file, at + 1), "Site"));
  s.site = s.station;
  s.processing = corrected ? "corrected" : "uncorrected";
  s.variant = s.processing;
  s.component = first_word(after_key(header_line(file, at + 12), "Component"));
  if (!corrected && wanted != quantity::acceleration)
    fail(file, "an uncorrected file holds acceleration only");
  static const char *const units_of[] = {"gal", "cm/s", "cm"};
  static const char *const notes_of[] = {"mm/s^2 / 10", "mm/s / 10", "mm / 10"};
  const auto which = static_cast<std::size_t>(corrected ? wanted : quantity::acceleration);
  s.units = units_of[which];
  s.note = notes_of[which];
  const std::size_t per_series = (count + 9) / 10;
  fixed_fields(file, at + data_offset + which * per_series, count, 10, 8, s.values);
  for (double &v : s.values)
    v *= scale;
  return at + data_offset + (corrected ? 3 : 1) * per_series;
}

} // namespace

bool is_geonet(const component_file &file) {
  if (file.lines.size() <= 10)
    return false;
  const std::string_view first = file.lines[0];
  return (first.starts_with("Corrected accelerogram") ||
          first.starts_with("corrected accelerogram") ||
          first.starts_with("Uncorrected accelerogram") ||
          first.starts_with("UnCorrected accelerogram")) &&
         file.lines[9].find("Number of points") != std::string::npos;
}

std::vector<series> read_geonet(const component_file &file, const read_request &request) {
  std::vector<series> out;
  for (std::size_t at = 0; at < file.lines.size() && out.size() < 3;) {
    if (trimmed(file.lines[at]).empty()) {
      ++at;
      continue;
    }
    series s;
    s.source = file.path;
    at = read_component(file, at, request.wanted, s);
    out.push_back(std::move(s));
  }
  if (out.size() != 3)
    fail(file, "holds " + std::to_string(out.size()) + " components, not 3");
  return out;
}

} // namespace wavespec::merge
