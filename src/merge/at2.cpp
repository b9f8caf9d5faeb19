// PEER NGA AT2: 4 header lines, the fourth "NPTS=  3930, DT=   .0050 SEC"
// (or the older "3930 .0050 NPTS, DT"), then the samples separated by
// blanks, in g (line 3 names the unit).
#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {
namespace {

struct count_and_interval {
  std::optional<std::uint64_t> count;
  std::optional<double> dt;
};

count_and_interval npts_and_dt(std::string_view line) {
  text_scan scan(line);
  if (scan.after("NPTS") && scan.take("=")) {
    const auto count = scan.whole_number();
    if (scan.take(",") && scan.take("DT") && scan.take("="))
      return {count, scan.real_number()};
    return {};
  }
  text_scan old(line);
  const auto count = old.whole_number();
  const auto dt = old.real_number();
  return old.take("NPTS") ? count_and_interval{count, dt} : count_and_interval{};
}

// "Test Event, 01/01/2000, Test Station, 000" (or the older "IMPERIAL
// VALLEY 10/15/79 2316, EL CENTRO ARRAY #6, 230"): the station is the part
// before the component, the last; the record is all but the component.
void names(std::string_view line, series &s) {
  std::vector<std::string> parts;
  text_scan scan(line);
  do
    parts.emplace_back(trimmed(scan.until_any(",")));
  while (scan.take(","));
  s.station = parts.size() >= 3 ? parts[parts.size() - 2] : "";
  s.site = s.station;
  s.component = parts.size() >= 3 ? parts.back() : "";
  for (std::size_t k = 0; k + 1 < parts.size(); ++k)
    s.record += (k == 0 ? "" : ", ") + parts[k];
}

} // namespace

bool is_at2(const component_file &file) {
  return !file.lines.empty() &&
         (file.lines[0].find("PEER") != std::string::npos ||
          (file.lines.size() > 3 && file.lines[3].find("NPTS") != std::string::npos));
}

std::vector<series> read_at2(const component_file &file, const read_request &) {
  const auto [count, dt] = npts_and_dt(header_line(file, 3));
  if (!count || !dt)
    malformed_header(file, 3, "no NPTS and DT");
  series s;
  s.source = file.path;
  s.dt = *dt;
  names(header_line(file, 1), s);
  const std::string &units = header_line(file, 2);
  const auto of = find_word(units, "units of");
  s.units = of == std::string::npos ? "g" : first_word(std::string_view(units).substr(of + 8));
  free_fields(file, 4, header_count(file, 3, "NPTS", count, max_announced_samples), s.values);
  return {s};
}

} // namespace wavespec::merge
