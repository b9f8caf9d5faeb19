#include "merge/output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>
#include <unistd.h>

#include "merge/reading.h"
#include "merge/units.h"
#include "wavespec/output_file.hpp"

namespace wavespec::merge {
namespace {

// The decimals that write dt exactly (0.005 -> 3), at most 9.
int decimals_of(double dt) {
  double scale = 1.0;
  for (int d = 0; d <= 9; ++d, scale *= 10.0) {
    const double units = dt * scale;
    if (std::round(units) >= 1 && std::fabs(units - std::round(units)) < 1e-7 * units)
      return d;
  }
  return 9;
}

const char *const axis[] = {"X", "Y", "Z"};

// "X (FILE)".
std::string named(const series &s, std::size_t k) {
  std::string name = axis[k];
  return name.append(" (").append(s.source).append(")");
}

// Whether the time column's decimals write i dt for every sample i without
// collapsing: the interval in whole units of its last decimal (at most the
// ninth), all the times below 2^53 of those units.
bool renderable(double dt, std::size_t n) {
  const double scaled = dt * std::pow(10.0, decimals_of(dt));
  const double units = std::round(scaled);
  return units >= 1 && std::fabs(units - scaled) <= 1e-6 * scaled &&
         units * static_cast<double>(std::max<std::size_t>(n, 1)) <= 0x1p53;
}

void check_interval(const series &s, std::size_t k) {
  const char *what = !std::isfinite(s.dt)                 ? "is not finite"
                     : s.dt <= 0                          ? "is not positive"
                     : !renderable(s.dt, s.values.size()) ? "cannot be written in the time column"
                                                            " (9 decimals at most, times below "
                                                            "2^53 of its units)"
                                                          : nullptr;
  if (what != nullptr) {
    char buf[64];
    std::snprintf(buf, sizeof buf, ": sampling interval %g s ", s.dt);
    throw merge_error(named(s, k).append(buf).append(what));
  }
}

// Every value within the range of a 32-bit float, what wavespec reads back:
// zero or of a magnitude from the smallest normal float to the largest.
void check_range(const series &s, std::size_t k, const char *after) {
  for (std::size_t i = 0; i < s.values.size(); ++i)
    if (!float_sized(s.values[i])) {
      char buf[160];
      std::snprintf(buf, sizeof buf, ": sample %zu is %g %s%s, %s", i + 1, s.values[i],
                    s.units.c_str(), after,
                    std::fabs(s.values[i]) > largest_sample ? "beyond a 32-bit float"
                                                            : "below a 32-bit float (and not 0)");
      throw merge_error(named(s, k).append(buf));
    }
}

// "2020-05-15T11:03:16.340", UTC; "?" for a time beyond the calendar.
std::string utc(double t) {
  using namespace std::chrono;
  if (!(std::fabs(t) < 1e11))
    return "?";
  const sys_seconds whole{seconds{static_cast<long long>(std::floor(t))}};
  const sys_days day = floor<days>(whole);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{whole - day};
  char text[160];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%06.3f",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<long long>(time.hours().count()),
                static_cast<long long>(time.minutes().count()),
                static_cast<double>(time.seconds().count()) + (t - std::floor(t)));
  return text;
}

bool same_channel(const series &a, const series &b) {
  if (!a.file_id.empty() && a.file_id == b.file_id)
    return a.channel == b.channel;
  return !a.component.empty() && a.component == b.component && a.site == b.site &&
         a.values == b.values &&
         (a.start == b.start || (std::isnan(a.start) && std::isnan(b.start)));
}

// Components that cannot belong together: one channel twice, a borehole
// sensor with surface ones, corrected with uncorrected data.
void check_belonging(const series &a, std::size_t j, const series &b, std::size_t k) {
  const auto refuse = [&](const std::string &what, const std::string &x, const std::string &y) {
    throw merge_error(what + ": " + named(a, j) + (x.empty() ? "" : " " + x) + ", " + named(b, k) +
                      (y.empty() ? "" : " " + y) + "; --force merges them anyway");
  };
  if (same_channel(a, b))
    refuse("the same channel twice", a.component, b.component);
  if (!a.sensor.empty() && !b.sensor.empty() && a.sensor != b.sensor)
    refuse("sensors of different places", a.sensor, b.sensor);
  if (!a.processing.empty() && !b.processing.empty() && a.processing != b.processing)
    refuse("corrected and uncorrected data", a.processing, b.processing);
}

// Components of one record: the same site, starts at most one sample apart.
void check_same_record(const series &x, const series &other, std::size_t k) {
  if (!x.site.empty() && !other.site.empty() && x.site != other.site)
    throw merge_error("different sites: " + named(x, 0) + " " + x.site + ", " + named(other, k) +
                      " " + other.site + "; --force merges them anyway");
  if (std::fabs(other.start - x.start) > x.dt) // NaN, not known: no check
    throw merge_error("different start times: " + named(x, 0) + " " + utc(x.start) + ", " +
                      named(other, k) + " " + utc(other.start) + "; --force merges them anyway");
}

// "X=STATION.COMPONENT(UNIT)": one word, whatever the names hold.
std::string label(const series &s, std::size_t k) {
  std::string l = std::string(axis[k]) + "=";
  if (!s.station.empty())
    l += header_word(s.station) + ".";
  l += s.component.empty() ? "?" : header_word(s.component);
  return l + "(" + unit_label(s.units) + ")";
}

// The notes of the components: one when they agree, else each named.
std::string notes(const std::vector<series> &xyz) {
  if (xyz[0].note == xyz[1].note && xyz[0].note == xyz[2].note)
    return xyz[0].note.empty() ? "" : " [" + xyz[0].note + "]";
  std::string text;
  for (std::size_t k = 0; k < 3; ++k)
    if (!xyz[k].note.empty())
      text += std::string(text.empty() ? " [" : "; ") + axis[k] + ": " + xyz[k].note;
  return text + "]";
}

void remove_mean(series &s, std::size_t k, std::size_t n) {
  // Neumaier's compensated sum: the mean is the same whatever the order.
  double sum = 0, compensation = 0;
  for (double v : s.values) {
    const double t = sum + v;
    compensation += std::fabs(sum) >= std::fabs(v) ? (sum - t) + v : (v - t) + sum;
    sum = t;
  }
  const double mean = (sum + compensation) / static_cast<double>(n);
  for (double &v : s.values)
    v -= mean;
  check_range(s, k, " once the mean is removed");
}

// The header line and the rows, into the output as a whole: standard output
// for "-", else written whole or not at all (through a device or a link).
void write_rows(const std::string &out, const std::string &header, const std::vector<series> &xyz,
                std::size_t n) {
  try {
    output_file file =
        out == "-" ? output_file(STDOUT_FILENO, "standard output") : output_file(out, true);
    std::string text = header + "\n";
    char row[160];
    for (std::size_t i = 0; i < n; ++i) {
      const std::string t = time_text(i, xyz[0].dt);
      const int used = std::snprintf(row, sizeof row, "%s,%.7g,%.7g,%.7g\n", t.c_str(),
                                     xyz[0].values[i], xyz[1].values[i], xyz[2].values[i]);
      text.append(row, static_cast<std::size_t>(used));
      if (text.size() >= (std::size_t{1} << 16) || i + 1 == n) {
        file.write(text);
        text.clear();
      }
    }
    file.commit();
  } catch (const std::system_error &e) {
    throw merge_error(std::string(e.what()));
  }
}

} // namespace

std::string time_text(std::size_t i, double dt) {
  const int d = decimals_of(dt);
  const auto units = static_cast<unsigned long long>(std::llround(dt * std::pow(10.0, d)));
  unsigned long long t = units * i, div = 1;
  for (int k = 0; k < d; ++k)
    div *= 10;
  char buf[64];
  if (d == 0)
    std::snprintf(buf, sizeof buf, "%llu", t);
  else
    std::snprintf(buf, sizeof buf, "%llu.%0*llu", t / div, d, t % div);
  return buf;
}

namespace {

// 0 north, 1 east, 2 vertical; 0.5 for a horizontal of no named direction.
double rank(const series &s) {
  if (s.axis == orientation::vertical)
    return 2;
  const std::string_view c = s.component;
  if (c.size() >= 2 && (c.starts_with("N-S") || c.starts_with("NS")))
    return 0;
  if (c.size() >= 2 && (c.starts_with("E-W") || c.starts_with("EW")))
    return 1;
  if (c.size() == 3 && (c.back() == 'N' || c.back() == '1'))
    return 0;
  if (c.size() == 3 && (c.back() == 'E' || c.back() == '2'))
    return 1;
  return 0.5;
}

} // namespace

std::vector<series> order_components(std::vector<series> parts, bool as_given) {
  if (parts.size() != 3) {
    std::string names;
    for (const series &s : parts)
      names += (names.empty() ? " (" : ", ") + s.component + " of " + s.source;
    throw merge_error("these files give " + std::to_string(parts.size()) + " components" +
                      (parts.empty() ? "" : names + ")") + ", not 3");
  }
  if (!as_given)
    std::stable_sort(parts.begin(), parts.end(),
                     [](const series &a, const series &b) { return rank(a) < rank(b); });
  return parts;
}

std::size_t check_components(const std::vector<series> &xyz, const merge_options &o) {
  for (std::size_t k = 0; k < 3; ++k) {
    check_interval(xyz[k], k);
    check_range(xyz[k], k, "");
  }
  for (std::size_t k = 1; k < 3; ++k) {
    if (std::fabs(xyz[k].dt - xyz[0].dt) > 1e-9 * xyz[0].dt) {
      char buf[256];
      std::snprintf(buf, sizeof buf, "sampling intervals differ: %s %g s, %s %g s, by %g s",
                    named(xyz[0], 0).c_str(), xyz[0].dt, named(xyz[k], k).c_str(), xyz[k].dt,
                    xyz[k].dt - xyz[0].dt);
      throw merge_error(buf);
    }
    if (xyz[k].units != xyz[0].units)
      throw merge_error(std::string("units differ: X in ") + xyz[0].units + ", " + axis[k] +
                        " in " + xyz[k].units);
    if (!o.force)
      check_same_record(xyz[0], xyz[k], k);
  }
  if (!o.force)
    for (std::size_t j = 0; j < 3; ++j)
      for (std::size_t k = j + 1; k < 3; ++k)
        check_belonging(xyz[j], j, xyz[k], k);
  std::size_t n = xyz[0].values.size();
  bool same = true;
  for (const series &s : xyz) {
    same = same && s.values.size() == xyz[0].values.size();
    n = std::min(n, s.values.size());
  }
  if (!same && !o.trim) {
    std::string what = "sample counts differ:";
    for (std::size_t k = 0; k < 3; ++k) {
      what += std::string(" ") + axis[k] + " " + std::to_string(xyz[k].values.size());
      if (xyz[k].values.size() > n)
        what += " (" + std::to_string(xyz[k].values.size() - n) + " more)";
      what += k < 2 ? "," : "";
    }
    throw merge_error(what + "; --trim cuts them to the shortest (" + std::to_string(n) + ")");
  }
  if (n < 2)
    throw merge_error("fewer than two samples");
  return n;
}

void write_waveform(const std::string &out, std::vector<series> xyz, std::size_t n,
                    const merge_options &o) {
  bool demeaned = false;
  for (std::size_t k = 0; k < 3; ++k) {
    series &s = xyz[k];
    s.values.resize(n);
    if (o.demean || s.remove_mean) {
      remove_mean(s, k, n);
      demeaned = true;
    }
    for (double &v : s.values)
      if (v == 0.0)
        v = 0.0; // no "-0" in the file
  }
  std::string header =
      "time(s) " + label(xyz[0], 0) + " " + label(xyz[1], 1) + " " + label(xyz[2], 2) + notes(xyz);
  if (demeaned)
    header += " [mean removed]";
  header.append(" from ").append(header_word(xyz[0].source));
  for (std::size_t k = 1; k < 3; ++k)
    if (xyz[k].source != xyz[k - 1].source)
      header.append(" ").append(header_word(xyz[k].source));
  for (char &c : header)
    if (c == '\n' || c == '\r')
      c = ' ';

  write_rows(out, header, xyz, n);
}

} // namespace wavespec::merge
