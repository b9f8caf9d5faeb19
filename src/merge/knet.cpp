// K-NET / KiK-net ASCII: 17 "key value" header lines (the value from column
// 19), a "Memo." line, then counts, 8 per line, right-aligned in fixed
// fields; counts times the "Scale Factor" fraction give gal, and the
// duration times the sampling frequency gives their number. KiK-net numbers
// its channels 1-3 (borehole: NS1, EW1, UD1) and 4-6 (surface: NS2, EW2,
// UD2); the file's suffix says the same.
//
// The counts carry the recorder's offset, far above the ground's motion at
// low frequencies: each component's mean is removed unless asked not to.
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

// KiK-net's channel numbers and file suffixes: the direction and the sensor.
void kik_channel(const component_file &file, series &s) {
  static const char *const names[] = {"NS1", "EW1", "UD1", "NS2", "EW2", "UD2"};
  if (s.component.size() == 1 && s.component[0] >= '1' && s.component[0] <= '6')
    s.component = names[s.component[0] - '1'];
  const std::string_view path = file.path;
  const auto dot = path.rfind('.');
  const std::string_view suffix = dot == std::string_view::npos ? "" : path.substr(dot + 1);
  for (std::size_t k = 0; k < 6; ++k)
    if (find_word(s.component, names[k]) == 0 ||
        (suffix.size() == 3 && find_word(suffix, names[k]) == 0)) {
      s.sensor = k < 3 ? "borehole" : "surface";
      s.component = names[k];
    }
}

// The end column of each field on a data line.
std::vector<std::size_t> field_ends(std::string_view line) {
  std::vector<std::size_t> ends;
  text_scan scan(line);
  while (!scan.blanks().rest().empty()) {
    (void)scan.until_any(" \t");
    ends.push_back(line.size() - scan.rest().size());
  }
  return ends;
}

// A value cut short on the last line no longer ends where the values of a
// full line end.
void refuse_cut_value(const component_file &file, std::size_t first, std::size_t last) {
  const auto full = field_ends(file.lines[first]);
  const auto ends = field_ends(file.lines[last]);
  for (std::size_t k = 0; k < ends.size() && k < full.size(); ++k)
    if (ends[k] != full[k])
      malformed_data(file, last,
                     "value " + std::to_string(k + 1) +
                         " does not fill its field (ends at column " + std::to_string(ends[k]) +
                         ", not " + std::to_string(full[k]) + "): the file is cut");
}

std::size_t memo_line(const component_file &file) {
  std::size_t memo = 16;
  while (memo < file.lines.size() && !file.lines[memo].starts_with("Memo"))
    ++memo;
  return memo;
}

} // namespace

bool is_knet(const component_file &file) {
  return !file.lines.empty() && file.lines[0].starts_with("Origin Time");
}

std::vector<series> read_knet(const component_file &file, const read_request &request) {
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
  kik_channel(file, s);
  s.variant = s.sensor;
  const std::string factor = value(file, 13, "Scale Factor");
  text_scan scale(factor);
  const auto numerator = scale.real_number();
  const auto denominator = scale.take("(gal)/") ? scale.real_number() : std::nullopt;
  const double gal_per_count = positive(file, 13, "scale factor", numerator) /
                               positive(file, 13, "scale factor", denominator);
  const std::size_t memo = memo_line(file);
  const double expected = std::round(duration * hz);
  if (!(expected <= static_cast<double>(max_announced_samples)))
    malformed_header(file, 11, "duration " + std::to_string(duration) + " s");
  std::vector<double> counts;
  const std::size_t end = free_fields(file, memo + 1, 0, counts);
  if (counts.size() < static_cast<std::size_t>(expected))
    fail(file, std::to_string(counts.size()) + " samples where the header promises " +
                   std::to_string(static_cast<std::size_t>(expected)));
  std::size_t last = end;
  while (last > memo + 1 && trimmed(file.lines[last - 1]).empty())
    --last;
  if (last > memo + 1)
    refuse_cut_value(file, memo + 1, last - 1);
  s.units = "gal";
  const std::size_t slash = factor.find("(gal)/");
  s.note = "counts x " + factor.substr(0, slash) + "/" + factor.substr(slash + 6);
  s.remove_mean = !request.keep_offset;
  s.values.reserve(counts.size());
  for (double c : counts)
    s.values.push_back(c * gal_per_count);
  return {s};
}

} // namespace wavespec::merge
