#include "merge/output.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace wavespec::merge {
namespace {

// The decimals that write dt exactly (0.005 -> 3), at most 9.
int decimals_of(double dt) {
  double scale = 1.0;
  for (int d = 0; d <= 9; ++d, scale *= 10.0) {
    const double units = dt * scale;
    if (std::fabs(units - std::round(units)) < 1e-7 * std::max(1.0, units))
      return d;
  }
  return 9;
}

std::string label(const series &s, const char *axis) {
  std::string l = std::string(axis) + "=";
  if (!s.station.empty())
    l += s.station + ".";
  return l + (s.component.empty() ? "?" : s.component) + "(" + s.units + ")";
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

std::size_t check_components(const std::vector<series> &xyz, const merge_options &o) {
  static const char *axis[] = {"X", "Y", "Z"};
  for (std::size_t k = 1; k < 3; ++k) {
    if (std::fabs(xyz[k].dt - xyz[0].dt) > 1e-9 * xyz[0].dt) {
      char buf[256];
      std::snprintf(buf, sizeof buf,
                    "sampling intervals differ: %s (%s) %g s, %s (%s) %g s, by %g s", axis[0],
                    xyz[0].source.c_str(), xyz[0].dt, axis[k], xyz[k].source.c_str(), xyz[k].dt,
                    xyz[k].dt - xyz[0].dt);
      throw merge_error(buf);
    }
    if (xyz[k].units != xyz[0].units)
      throw merge_error(std::string("units differ: X in ") + xyz[0].units + ", " + axis[k] +
                        " in " + xyz[k].units);
  }
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
  for (series &s : xyz) {
    s.values.resize(n);
    if (o.demean) {
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
    }
    for (double &v : s.values)
      if (v == 0.0)
        v = 0.0; // no "-0" in the file
  }
  std::string header =
      "time(s) " + label(xyz[0], "X") + " " + label(xyz[1], "Y") + " " + label(xyz[2], "Z");
  if (!xyz[0].note.empty())
    header += " [" + xyz[0].note + "]";
  if (o.demean)
    header += " [mean removed]";
  header += " from " + xyz[0].source;
  if (xyz[1].source != xyz[0].source)
    header += " " + xyz[1].source + " " + xyz[2].source;
  for (char &c : header)
    if (c == '\n' || c == '\r')
      c = ' ';

  std::string temp = out + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0)
    throw merge_error(out + ": cannot create a file beside it: " + std::strerror(errno));
  FILE *f = fdopen(fd, "w");
  bool ok = f != nullptr && std::fprintf(f, "%s\n", header.c_str()) > 0;
  for (std::size_t i = 0; ok && i < n; ++i)
    ok = std::fprintf(f, "%s,%.7g,%.7g,%.7g\n", time_text(i, xyz[0].dt).c_str(), xyz[0].values[i],
                      xyz[1].values[i], xyz[2].values[i]) > 0;
  ok = ok && std::fflush(f) == 0 && fsync(fd) == 0;
  const int err = errno;
  if (f != nullptr)
    ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(temp.c_str(), out.c_str()) != 0) {
    const int why = ok ? errno : err;
    std::remove(temp.c_str());
    throw merge_error(out + ": cannot write: " + std::strerror(why));
  }
}

} // namespace wavespec::merge
