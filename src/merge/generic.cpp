// Plain numbers as users have them: one value per line, after an optional
// title and an optional "NPTS DT" line ("4000 0.01", or "NPTS= 4000, DT=
// 0.01"), at the interval of that line or of --dt; or two columns, time and
// value, the interval taken from the times, which must be even.
#include <cmath>

#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {
namespace {

// The numbers of a line (at most 3 are looked at); none when a word is not a
// number.
std::vector<double> numbers(std::string_view line) {
  std::vector<double> out;
  text_scan scan(line);
  while (!scan.blanks().rest().empty() && out.size() < 3) {
    const auto v = parse_real(scan.until_any(" \t,"));
    if (!v)
      return {};
    out.push_back(*v);
    (void)scan.take(",");
  }
  return out;
}

struct layout {
  std::size_t first = 0;   // the first line of samples
  std::size_t columns = 1; // 1 or 2
  std::size_t npts = 0;    // 0: not stated
  double dt = 0;           // 0: not stated
};

// "NPTS= 4000, DT= 0.01" (either order, "=" and "," optional).
bool keyword_line(std::string_view line, layout &l) {
  const auto npts = find_word(line, "npts"), dt = find_word(line, "dt");
  if (npts == std::string_view::npos || dt == std::string_view::npos)
    return false;
  const auto after = [&line](std::size_t at, std::size_t skip) {
    text_scan scan(line.substr(at + skip));
    (void)scan.take("=");
    return scan.real_number();
  };
  const auto n = after(npts, 4), d = after(dt, 2);
  if (!n || !d || !(*n >= 1) || *n != std::floor(*n) || !(*d > 0) ||
      *n > static_cast<double>(max_announced_samples))
    return false;
  l.npts = static_cast<std::size_t>(*n), l.dt = *d;
  return true;
}

std::size_t next_filled(const component_file &file, std::size_t i) {
  while (i < file.lines.size() && trimmed(file.lines[i]).empty())
    ++i;
  return i;
}

// Where the samples begin and how they are laid out; none when the file
// is not numbers.
std::optional<layout> find_layout(const component_file &file) {
  layout l;
  std::size_t i = next_filled(file, 0);
  if (i < file.lines.size() && numbers(file.lines[i]).empty() && !keyword_line(file.lines[i], l))
    i = next_filled(file, i + 1); // a title
  if (i < file.lines.size() && l.npts == 0 && keyword_line(file.lines[i], l))
    i = next_filled(file, i + 1);
  else if (l.npts != 0)
    i = next_filled(file, i + 1);
  if (i >= file.lines.size())
    return std::nullopt;
  const auto row = numbers(file.lines[i]);
  const std::size_t next = next_filled(file, i + 1);
  const auto row2 = next < file.lines.size() ? numbers(file.lines[next]) : std::vector<double>{};
  if (l.npts == 0 && row.size() == 2 && row2.size() == 1 && row[0] == std::floor(row[0]) &&
      row[0] >= 1 && row[1] > 0 && row[0] <= static_cast<double>(max_announced_samples)) {
    l.npts = static_cast<std::size_t>(row[0]), l.dt = row[1]; // "NPTS DT"
    i = next;
  }
  const auto data = numbers(file.lines[i]);
  if (data.empty() || data.size() > 2 || (l.npts != 0 && data.size() != 1))
    return std::nullopt;
  l.first = i;
  l.columns = data.size();
  return l;
}

// The interval of a time column: from the first to the last time, each
// time within 1 % of an interval of its place.
double even_interval(const component_file &file, const std::vector<double> &t,
                     const std::vector<std::size_t> &line_of) {
  if (t.size() < 2)
    fail(file, "fewer than two samples");
  const double dt = (t.back() - t.front()) / static_cast<double>(t.size() - 1);
  if (!(dt > 0) || !std::isfinite(dt))
    fail(file, "the times do not increase");
  for (std::size_t k = 0; k < t.size(); ++k)
    if (!(std::fabs(t[k] - (t.front() + static_cast<double>(k) * dt)) <= 0.01 * dt))
      malformed_data(file, line_of[k],
                     "the time is not on an even interval (the times give " + std::to_string(dt) +
                         " s on average): unevenly sampled");
  // The interval as the decimals of the times write it.
  const double step = t[1] - t[0];
  return std::fabs(step - dt) <= 1e-9 * dt ? step : dt;
}

} // namespace

bool is_generic(const component_file &file) {
  const auto l = find_layout(file);
  if (!l)
    return false;
  const std::size_t next = next_filled(file, l->first + 1);
  return next < file.lines.size() && numbers(file.lines[next]).size() == l->columns;
}

std::vector<series> read_generic(const component_file &file, const read_request &request) {
  if (next_filled(file, 0) >= file.lines.size())
    fail(file, "no samples");
  const auto l = find_layout(file);
  if (!l)
    fail(file, "not numbers one or two to a line");
  series s;
  s.source = file.path;
  s.units.push_back('?'); // unknown
  std::vector<double> times;
  std::vector<std::size_t> line_of;
  for (std::size_t i = l->first; i < file.lines.size(); ++i) {
    if (trimmed(file.lines[i]).empty())
      continue;
    const auto row = numbers(file.lines[i]);
    if (row.size() != l->columns)
      malformed_data(file, i,
                     "not " + std::to_string(l->columns) +
                         (l->columns == 1 ? " number" : " numbers"));
    if (l->columns == 2) {
      times.push_back(row[0]);
      line_of.push_back(i);
    }
    s.values.push_back(checked_sample(file, i, file.lines[i], row.back()));
  }
  if (!file.ends_with_line_end)
    malformed_data(file, file.lines.size() - 1,
                   "the file ends inside its last value (no line end after it)");
  if (l->npts != 0 && s.values.size() != l->npts)
    fail(file, std::to_string(s.values.size()) + " samples where the header promises " +
                   std::to_string(l->npts));
  s.dt = l->columns == 2 ? even_interval(file, times, line_of) : l->dt > 0 ? l->dt : request.dt;
  if (l->columns == 1 && l->dt > 0 && request.dt > 0 && request.dt != l->dt)
    fail(file, "the file states an interval of " + std::to_string(l->dt) + " s; --dt says " +
                   std::to_string(request.dt));
  if (!(s.dt > 0))
    fail(file, "one value per line needs its interval: --dt, or a line \"NPTS DT\" first");
  if (s.values.empty())
    fail(file, "no samples");
  return {s};
}

} // namespace wavespec::merge
