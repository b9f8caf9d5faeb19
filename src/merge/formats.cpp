#include "merge/formats.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>

namespace wavespec::merge {
namespace {

[[noreturn]] void fail(const std::string &path, const std::string &what) {
  throw merge_error(path + ": " + what);
}

std::string trim(std::string_view s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos)
    return {};
  const auto e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

bool parse_double(std::string_view text, double &v) {
  const std::string t = trim(text);
  if (t.empty())
    return false;
  const char *b = t.data() + (t[0] == '+' ? 1 : 0);
  const auto r = std::from_chars(b, t.data() + t.size(), v);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

double number_at(const std::string &path, std::string_view text, const char *what) {
  double v = 0;
  if (!parse_double(text, v))
    fail(path, std::string("malformed header: ") + what + " '" + trim(text) + "'");
  return v;
}

const std::string &line_at(const std::string &path, const std::vector<std::string> &lines,
                           std::size_t i) {
  if (i >= lines.size())
    fail(path, "malformed header: the file ends after " + std::to_string(lines.size()) + " lines");
  return lines[i];
}

// `count` numbers in fixed fields of `width` characters, `per_line` to a
// line, from line `first` on; returns the line after the last one used.
std::size_t fixed_fields(const std::string &path, const std::vector<std::string> &lines,
                         std::size_t first, std::size_t count, std::size_t per_line,
                         std::size_t width, std::vector<double> &out) {
  std::size_t line = first;
  while (out.size() < count) {
    const std::string &l = line_at(path, lines, line);
    for (std::size_t k = 0; k < per_line && out.size() < count; ++k) {
      double v = 0;
      if (k * width >= l.size() || !parse_double(std::string_view(l).substr(k * width, width), v))
        fail(path, "malformed data at line " + std::to_string(line + 1) + ", field " +
                       std::to_string(k + 1));
      out.push_back(v);
    }
    ++line;
  }
  return line;
}

// `count` numbers separated by blanks from line `first` on.
std::size_t free_fields(const std::string &path, const std::vector<std::string> &lines,
                        std::size_t first, std::size_t count, std::vector<double> &out) {
  std::size_t line = first;
  while (out.size() < count && line < lines.size()) {
    std::istringstream in(lines[line]);
    for (std::string word; in >> word && out.size() < count;) {
      double v = 0;
      if (!parse_double(word, v))
        fail(path, "malformed data at line " + std::to_string(line + 1) + ": '" + word + "'");
      out.push_back(v);
    }
    ++line;
  }
  if (out.size() < count)
    fail(path, "the header announces " + std::to_string(count) + " samples, the file holds " +
                   std::to_string(out.size()));
  return line;
}

std::string after(const std::string &line, const std::string &key) {
  const auto p = line.find(key);
  return p == std::string::npos ? std::string()
                                : trim(std::string_view(line).substr(p + key.size()));
}

// COSMOS V1/V2: text lines (their number on line 1), the integer and real
// headers (each announced with its count and lines), comments, then for each
// quantity a line "N acceleration pts, ..., units=cm/sec2(04),Format=(1E15.6)"
// and its data. dt is real header value 34.
std::vector<series> read_cosmos(const std::string &path, const std::vector<std::string> &lines,
                                quantity q) {
  static const std::regex text_count(R"(with\s+(\d+)\s+text lines)");
  static const std::regex header(R"(^\s*(\d+)\s+\S+-header values follow on\s+(\d+)\s+lines)");
  static const std::regex data(
      R"(^\s*(\d+)\s+(acceleration|velocity|displacement)\s+pts.*units=([^,(]+).*Format=\s*\((\d+)[EFG](\d+))");
  std::smatch m;
  if (!std::regex_search(line_at(path, lines, 0), m, text_count))
    fail(path, "malformed header: no text line count");
  std::size_t at = std::stoul(m[1]);
  series s;
  s.source = path;
  s.station = after(line_at(path, lines, 4), "Code:");
  s.station = s.station.substr(0, s.station.find(' '));
  const std::string chan = after(line_at(path, lines, 8), ":");
  s.component = trim(chan.substr(0, std::min(chan.find("Deg"), chan.find('('))));
  std::vector<double> reals;
  for (int part = 0; part < 2; ++part) {
    const std::string &h = line_at(path, lines, at);
    if (!std::regex_search(h, m, header))
      fail(path, "malformed header at line " + std::to_string(at + 1));
    const std::size_t count = std::stoul(m[1]), nlines = std::stoul(m[2]);
    if (part == 1)
      free_fields(path, lines, at + 1, count, reals);
    at += 1 + nlines;
  }
  if (reals.size() < 34 || !(reals[33] > 0))
    fail(path, "malformed header: no sampling interval");
  s.dt = reals[33];
  const char *wanted = q == quantity::acceleration ? "acceleration"
                       : q == quantity::velocity   ? "velocity"
                                                   : "displacement";
  for (; at < lines.size(); ++at) {
    if (!std::regex_search(lines[at], m, data))
      continue;
    const std::size_t count = std::stoul(m[1]), per_line = std::stoul(m[4]),
                      width = std::stoul(m[5]);
    if (m[2] != wanted)
      continue;
    s.units = trim(m[3].str());
    if (s.units.rfind("cm/sec2", 0) == 0 || s.units.rfind("cm/s2", 0) == 0)
      s.units = "gal";
    fixed_fields(path, lines, at + 1, count, per_line, width, s.values);
    return {s};
  }
  fail(path, std::string("no ") + wanted + " series in the file");
}

// USGS SMC: 11 text lines, 48 integers (8 per line, 10 wide), 50 reals (5 per
// line, 15 wide), comment lines (integer 16 gives their number), then the
// samples, 8 per line, 10 wide (integer 17 gives their number). Real 2 is the
// number of samples per second.
std::vector<series> read_smc(const std::string &path, const std::vector<std::string> &lines) {
  std::vector<double> ints, reals;
  fixed_fields(path, lines, 11, 48, 8, 10, ints);
  fixed_fields(path, lines, 17, 50, 5, 15, reals);
  if (!(ints[16] > 0 && ints[16] < 1e9 && ints[15] >= 0 && ints[15] < 1e6 && reals[1] > 0 &&
        reals[1] < 1e6))
    fail(path, "malformed header: no sample count or rate");
  const auto comments = static_cast<std::size_t>(ints[15]);
  const auto count = static_cast<std::size_t>(ints[16]);
  series s;
  s.source = path;
  s.station = trim(line_at(path, lines, 2));
  s.component = after(line_at(path, lines, 5), "component=");
  s.units = "gal"; // SMC accelerograms are in cm/s^2
  s.dt = 1.0 / reals[1];
  fixed_fields(path, lines, 27 + comments, count, 8, 10, s.values);
  return {s};
}

// GeoNet V1A/V2A: per component 16 text lines, 4 integer and 6 real lines,
// then the series, 10 values per line, 8 wide; V2A follows the acceleration
// with the velocity and the displacement. Values in mm/s^2 become gal.
std::vector<series> read_geonet(const std::string &path, const std::vector<std::string> &lines,
                                quantity q) {
  static const std::regex points(R"(Number of points\s+(\d+))");
  static const std::regex interval(
      R"(([0-9]*\.[0-9]+)\s*s(ec)?\s*intervals|intervals of\s+([0-9]*\.[0-9]+))");
  static const std::regex raw_units(R"(units of\s+([0-9.]+)\s+mm/s/s)");
  std::vector<series> out;
  std::size_t at = 0;
  while (at < lines.size() && out.size() < 3) {
    if (trim(lines[at]).empty()) {
      ++at;
      continue;
    }
    const bool corrected = lines[at].rfind("Corrected", 0) == 0;
    std::smatch m;
    if (!std::regex_search(line_at(path, lines, at + 9), m, points))
      fail(path, "malformed header: no number of points at line " + std::to_string(at + 10));
    const std::size_t count = std::stoul(m[1]);
    const std::string &l11 = line_at(path, lines, at + 10);
    if (!std::regex_search(l11, m, interval))
      fail(path, "malformed header: no interval at line " + std::to_string(at + 11));
    series s;
    s.source = path;
    s.dt = number_at(path, m[1].matched ? m[1].str() : m[3].str(), "interval");
    double scale = 0.1; // mm/s^2 -> gal
    if (std::regex_search(l11, m, raw_units))
      scale = number_at(path, m[1].str(), "units") / 10.0;
    s.station = after(line_at(path, lines, at + 1), "Site");
    s.station = s.station.substr(0, s.station.find(' '));
    s.component = after(line_at(path, lines, at + 12), "Component");
    s.component = s.component.substr(0, s.component.find(' '));
    s.units = "gal";
    s.note = "mm/s^2 / 10";
    const std::size_t per_series = (count + 9) / 10;
    std::size_t data = at + 26;
    int wanted = 0;
    if (corrected)
      wanted = q == quantity::velocity ? 1 : q == quantity::displacement ? 2 : 0;
    else if (q != quantity::acceleration)
      fail(path, "an uncorrected file holds acceleration only");
    if (wanted == 1)
      s.units = "cm/s", s.note = "mm/s / 10";
    if (wanted == 2)
      s.units = "cm", s.note = "mm / 10";
    fixed_fields(path, lines, data + static_cast<std::size_t>(wanted) * per_series, count, 10, 8,
                 s.values);
    for (double &v : s.values)
      v *= scale;
    out.push_back(std::move(s));
    at = data + (corrected ? 3 : 1) * per_series;
  }
  if (out.size() != 3)
    fail(path, "holds " + std::to_string(out.size()) + " components, not 3");
  return out;
}

// PEER NGA AT2: 4 header lines, the 4th "NPTS=  3930, DT=   .0050 SEC", then
// the samples separated by blanks, in g (line 3 names the unit).
std::vector<series> read_at2(const std::string &path, const std::vector<std::string> &lines) {
  static const std::regex npts(R"(NPTS\s*=\s*(\d+)\s*,\s*DT\s*=\s*([0-9.Ee+-]+))");
  static const std::regex old_style(R"(^\s*(\d+)\s+([0-9.Ee+-]+)\s+NPTS)");
  std::smatch m;
  const std::string &l4 = line_at(path, lines, 3);
  if (!std::regex_search(l4, m, npts) && !std::regex_search(l4, m, old_style))
    fail(path, "malformed header: no NPTS and DT on line 4");
  series s;
  s.source = path;
  const std::size_t count = std::stoul(m[1]);
  s.dt = number_at(path, m[2].str(), "DT");
  const std::string &l2 = line_at(path, lines, 1);
  std::vector<std::string> parts;
  for (std::size_t b = 0, e; b <= l2.size(); b = e + 1) {
    e = std::min(l2.find(',', b), l2.size());
    parts.push_back(trim(std::string_view(l2).substr(b, e - b)));
  }
  s.station = parts.size() >= 3 ? parts[2] : "";
  s.component = parts.size() >= 4 ? parts.back() : "";
  const std::string &l3 = line_at(path, lines, 2);
  s.units = l3.find("UNITS OF G") != std::string::npos ? "g" : trim(after(l3, "UNITS OF"));
  free_fields(path, lines, 4, count, s.values);
  return {s};
}

// K-NET / KiK-net ASCII: 17 "key value" header lines, then counts, 8 per
// line; counts times the "Scale Factor" fraction give gal.
std::vector<series> read_knet(const std::string &path, const std::vector<std::string> &lines) {
  static const std::regex scale(R"(^\s*([0-9.]+)\(gal\)/([0-9.]+))");
  auto value = [&](std::size_t i, const char *key) {
    const std::string &l = line_at(path, lines, i);
    if (l.rfind(key, 0) != 0)
      fail(path, std::string("malformed header: line ") + std::to_string(i + 1) + " is not '" +
                     key + "'");
    return trim(std::string_view(l).substr(18 <= l.size() ? 18 : l.size()));
  };
  series s;
  s.source = path;
  s.station = value(5, "Station Code");
  const std::string freq = value(10, "Sampling Freq(Hz)");
  const double hz =
      number_at(path, freq.substr(0, freq.find_first_not_of("0123456789.")), "sampling frequency");
  if (!(hz > 0))
    fail(path, "malformed header: sampling frequency " + freq);
  s.dt = 1.0 / hz;
  s.component = value(12, "Dir.");
  std::smatch m;
  const std::string factor = value(13, "Scale Factor");
  if (!std::regex_search(factor, m, scale))
    fail(path, "malformed header: scale factor '" + factor + "'");
  const double gal_per_count =
      number_at(path, m[1].str(), "scale") / number_at(path, m[2].str(), "scale");
  (void)number_at(path, value(11, "Duration Time(s)"), "duration"); // part of the layout
  std::size_t first = 16;
  while (first < lines.size() && lines[first].rfind("Memo", 0) != 0)
    ++first;
  std::vector<double> counts;
  for (std::size_t line = first + 1; line < lines.size(); ++line) {
    std::istringstream in(lines[line]);
    for (std::string word; in >> word;) {
      double v = 0;
      if (!parse_double(word, v))
        fail(path, "malformed data at line " + std::to_string(line + 1) + ": '" + word + "'");
      counts.push_back(v);
    }
  }
  if (counts.empty())
    fail(path, "no samples");
  s.units = "gal";
  s.note = "counts x " + m[1].str() + "/" + m[2].str();
  s.values.reserve(counts.size());
  for (double c : counts)
    s.values.push_back(c * gal_per_count);
  return {s};
}

// One value per line; a first line that is not a number is a title.
std::vector<series> read_generic(const std::string &path, const std::vector<std::string> &lines,
                                 double dt) {
  if (!(dt > 0))
    fail(path, "the generic format needs --dt with a positive interval");
  series s;
  s.source = path;
  s.dt = dt;
  s.units = "?";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (trim(lines[i]).empty())
      continue;
    double v = 0;
    if (!parse_double(lines[i], v)) {
      if (i == 0)
        continue;
      fail(path, "malformed data at line " + std::to_string(i + 1) + ": '" + trim(lines[i]) + "'");
    }
    s.values.push_back(v);
  }
  if (s.values.empty())
    fail(path, "no samples");
  return {s};
}

} // namespace

std::optional<file_format> detect_format(const std::vector<std::string> &lines) {
  if (lines.empty())
    return std::nullopt;
  const std::string &first = lines[0];
  if (first.find("(Format v") != std::string::npos && first.find("text lines") != std::string::npos)
    return file_format::cosmos;
  if (std::regex_search(first, std::regex(R"(^\d (UN)?CORRECTED ACCELEROGRAM)")))
    return file_format::smc;
  if (std::regex_search(first, std::regex(R"(^(Un)?[Cc]orrected accelerogram)")) &&
      lines.size() > 10 && lines[9].find("Number of points") != std::string::npos)
    return file_format::geonet;
  if (first.find("PEER") != std::string::npos ||
      (lines.size() > 3 && lines[3].find("NPTS") != std::string::npos))
    return file_format::at2;
  if (first.rfind("Origin Time", 0) == 0)
    return file_format::knet;
  return std::nullopt;
}

file_format format_from_name(std::string_view name) {
  static const std::pair<const char *, file_format> names[] = {
      {"cosmos", file_format::cosmos}, {"smc", file_format::smc},
      {"geonet", file_format::geonet}, {"at2", file_format::at2},
      {"knet", file_format::knet},     {"generic", file_format::generic}};
  for (const auto &[n, f] : names)
    if (name == n)
      return f;
  throw merge_error("unknown format '" + std::string(name) +
                    "' (cosmos, smc, geonet, at2, knet, generic)");
}

const char *format_name(file_format f) {
  switch (f) {
  case file_format::cosmos:
    return "COSMOS";
  case file_format::smc:
    return "USGS SMC";
  case file_format::geonet:
    return "GeoNet";
  case file_format::at2:
    return "PEER AT2";
  case file_format::knet:
    return "K-NET";
  case file_format::generic:
    return "generic";
  }
  return "?";
}

std::vector<series> read_components(file_format f, const std::string &path,
                                    const std::vector<std::string> &lines, quantity q,
                                    double generic_dt) {
  if (q != quantity::acceleration && f != file_format::cosmos && f != file_format::geonet)
    fail(path, std::string("a ") + format_name(f) + " file holds acceleration only");
  switch (f) {
  case file_format::cosmos:
    return read_cosmos(path, lines, q);
  case file_format::smc:
    return read_smc(path, lines);
  case file_format::geonet:
    return read_geonet(path, lines, q);
  case file_format::at2:
    return read_at2(path, lines);
  case file_format::knet:
    return read_knet(path, lines);
  case file_format::generic:
    return read_generic(path, lines, generic_dt);
  }
  fail(path, "unknown format");
}

std::vector<std::string> read_lines(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw merge_error(path + ": cannot open the file");
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r')
      l.pop_back();
    lines.push_back(std::move(l));
  }
  if (in.bad())
    throw merge_error(path + ": read error");
  return lines;
}

} // namespace wavespec::merge
