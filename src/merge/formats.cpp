#include "merge/formats.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/units.h"

namespace wavespec::merge {
namespace {

// Detection goes down the table; a format without a detection is only ever
// named with --format. Generic text comes last: any file of numbers.
constexpr format_entry table[] = {
    {"cosmos", "COSMOS V1/V2", "as the file names them (cm/sec2 is gal)", true, false, is_cosmos,
     read_cosmos},
    {"smc", "USGS SMC", "gal", false, false, is_smc, read_smc},
    {"geonet", "GeoNet V1A/V2A", "gal (mm/s^2 / 10); cm/s and cm for velocity and displacement",
     true, false, is_geonet, read_geonet},
    {"dmg", "CSMIP/DMG V1/V2", "as the file names them (cm/sec/sec is gal, g)", true, false, is_dmg,
     read_dmg},
    {"at2", "PEER NGA AT2", "g, or as line 3 names them", false, false, is_at2, read_at2},
    {"knet", "K-NET/KiK-net ASCII", "gal (counts times the scale factor, mean removed)", false,
     false, is_knet, read_knet},
    {"mseed", "miniSEED 2 (libmseed)", "counts or floats: --unit (and --scale) names them", false,
     true, is_mseed, read_mseed},
    {"sac", "SAC binary, either byte order", "nm, nm/s or nm/s^2 by IDEP, else --unit", false, true,
     is_sac, read_sac},
    {"generic", "numbers: one a line (--dt, or an NPTS DT line first) or time and value",
     "--unit names them", false, false, is_generic, read_generic},
};

std::string names() {
  std::string s;
  for (const format_entry &f : table)
    s += (s.empty() ? "" : ", ") + std::string(f.name);
  return s;
}

std::string number_text(double v) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, v).ptr;
  return std::string(text, end);
}

void multiply(series &s, double factor) {
  if (factor != 1.0)
    for (double &v : s.values)
      v *= factor;
}

void add_note(series &s, const std::string &note) {
  s.note += (s.note.empty() ? "" : ", ") + note;
}

// A file whose unit is known: scaled, then converted to the unit asked for.
void convert(const component_file &file, const read_request &request, const known_unit &from,
             series &s) {
  multiply(s, request.scale);
  if (request.scale != 1.0)
    add_note(s, "samples times " + number_text(request.scale));
  s.units = from.name;
  if (request.unit.empty())
    return;
  const auto to = parse_unit(request.unit);
  if (!to)
    fail(file, "the samples are in " + from.name + "; --unit " + request.unit +
                   " is not a unit this converts to (gal, g, m/s^2, cm/s, m, ... with n, u, "
                   "m, c or k before the m)");
  if (to->kind != from.kind)
    fail(file, "the samples are in " + from.name + " (" + kind_name(from.kind) + "); --unit " +
                   request.unit + " is a " + kind_name(to->kind) + ": not converted");
  if (to->name == from.name)
    return;
  const double factor = from.si / to->si;
  multiply(s, factor);
  char times[32];
  std::snprintf(times, sizeof times, "%.10g", factor);
  add_note(s, from.name + " times " + times + " = " + to->name);
  s.units = to->name;
}

// A vertical acceleration whose mean, in the unit the file states, is far
// from both 0 and 1 g while it would be near 1 g in another unit, is most
// likely in that unit: the file's unit is doubtful.
void doubt_unit(series &s, const known_unit &stated, const read_request &request) {
  if (s.axis != orientation::vertical || stated.kind != unit_kind::acceleration ||
      s.values.empty() || !request.input_unit.empty())
    return;
  double sum = 0;
  for (const double v : s.values)
    sum += v;
  const double mean = sum / static_cast<double>(s.values.size());
  const auto near_one = [](double g) { return std::fabs(g) >= 0.9 && std::fabs(g) <= 1.1; };
  if (near_one(mean * stated.si / 9.80665))
    return;
  for (const char *other : {"g", "m/s^2", "gal"}) {
    const auto u = parse_unit(other);
    if (u->name == stated.name || !near_one(mean * u->si / 9.80665))
      continue;
    char text[400];
    std::snprintf(text, sizeof text,
                  "%s: warning: the vertical component %s has a mean of %.6g: gravity if the "
                  "samples are in %s, implausible in %s, the unit the file states; if they are "
                  "in %s, say so with --input-unit %s (then --unit converts them)",
                  s.source.c_str(), s.component.c_str(), mean, other, stated.name.c_str(), other,
                  other);
    s.warning = text;
    return;
  }
}

// The unit of a component's samples: the file's own (or --input-unit),
// converted to --unit; counts and unknown units named by --unit.
void settle_units(const component_file &file, const read_request &request, bool counts, series &s) {
  const std::string stated = request.input_unit.empty() ? s.units : request.input_unit;
  if (!request.input_unit.empty() && request.input_unit != s.units)
    add_note(s, "samples taken as " + request.input_unit + " (the file says " + s.units + ")");
  if (const auto known = counts && request.input_unit.empty() ? std::nullopt : parse_unit(stated)) {
    doubt_unit(s, *known, request);
    convert(file, request, *known, s);
    return;
  }
  if (request.unit.empty()) {
    if (counts)
      fail(file, "the samples are integer counts: give their unit with --unit (and --scale)");
    s.units = unit_label(stated);
    return;
  }
  multiply(s, request.scale);
  if (request.scale != 1.0)
    add_note(s,
             std::string(counts ? "counts" : "samples") + " times " + number_text(request.scale));
  s.units = unit_label(request.unit);
}

bool ends_with_letter(std::string_view c, char letter) {
  return !c.empty() && std::toupper(static_cast<unsigned char>(c.back())) == letter;
}

bool same_word(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

} // namespace

orientation orientation_of(std::string_view c) {
  for (std::string_view v : {"up", "down", "vert", "vertical", "u-d", "ud", "v", "z", "dn"})
    if (same_word(c, v))
      return orientation::vertical;
  if (c.size() >= 3 &&
      (same_word(c.substr(c.size() - 3), "ud1") || same_word(c.substr(c.size() - 3), "ud2")))
    return orientation::vertical;
  if (ends_with_letter(c, 'Z'))
    return orientation::vertical;
  if (c.empty())
    return orientation::unknown;
  const bool digits = std::isdigit(static_cast<unsigned char>(c.front())) != 0;
  if (digits || ends_with_letter(c, 'N') || ends_with_letter(c, 'E') || ends_with_letter(c, 'W') ||
      ends_with_letter(c, 'S') || c.back() == '1' || c.back() == '2')
    return orientation::horizontal;
  return orientation::unknown;
}

std::span<const format_entry> formats() {
  return table;
}

const format_entry &format_named(std::string_view name) {
  for (const format_entry &f : table)
    if (name == f.name)
      return f;
  throw merge_error("unknown format '" + std::string(name) + "' (" + names() + ")");
}

const format_entry *detect_format(const component_file &file) {
  for (const format_entry &f : table)
    if (f.detect != nullptr && f.detect(file))
      return &f;
  return nullptr;
}

std::vector<series> read_components(const format_entry &format, const component_file &file,
                                    const read_request &request) {
  if (request.wanted != quantity::acceleration && !format.all_quantities)
    fail(file, std::string("a ") + format.title + " file holds acceleration only");
  std::vector<series> out = format.read(file, request);
  for (std::size_t i = 0; i < out.size(); ++i) {
    series &s = out[i];
    s.channel = i;
    if (s.axis == orientation::unknown)
      s.axis = orientation_of(s.component);
    const bool counts = s.units == "counts";
    settle_units(file, request, counts, s);
    s.station = header_word(s.station);
    s.component = header_word(s.component);
  }
  return out;
}

} // namespace wavespec::merge
