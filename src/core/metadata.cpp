#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>

#include "core/centres.h"
#include "wavespec/metadata.hpp"
#include "wavespec/options.hpp"
#include "wavespec/units.hpp"
#include "wavespec/version.hpp"

namespace wavespec {
namespace {

using json = nlohmann::ordered_json;

// What a series measures, by its derivative of displacement: -1
// absement, 0 displacement, 1 velocity, 2 acceleration, 3 jerk.
const char *const quantities[] = {"absement", "displacement", "velocity", "acceleration", "jerk"};

// The change of the time power that the operation makes: integration
// multiplies by s, differentiation divides by it.
int seconds_gained(operation op) {
  switch (op) {
  case operation::integrate:
    return 1;
  case operation::double_integrate:
    return 2;
  case operation::differentiate:
    return -1;
  case operation::none:
    break;
  }
  return 0;
}

std::string with_seconds(std::string_view base, int power) {
  static const char *const superscripts[] = {"", "", "²", "³", "⁴"};
  std::string s(base);
  if (power == 0)
    return s;
  s += power > 0 ? "·s" : "/s";
  const int n = power > 0 ? power : -power;
  return n < 5 ? s + superscripts[n] : s + "^" + std::to_string(n);
}

// A component: its name, its unit (in parentheses), what its spectrum
// measures after the operation and in what unit.
// The unit in a component's name, "360(gal)" -> "gal"; none without
// parentheses.
std::optional<std::string_view> unit_in(std::string_view name) {
  const auto open = name.rfind('('), close = name.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open)
    return std::nullopt;
  return name.substr(open + 1, close - open - 1);
}

// The unit of the Fourier amplitude of a series in `unit` after `op`.
std::string amplitude_unit(std::string_view unit, operation op) {
  const int gained = seconds_gained(op);
  if (const std::optional<known_unit> u = parse_unit(unit))
    return with_seconds(u->length, u->seconds + gained + 1);
  return unit.empty() ? std::string() : with_seconds(unit, gained + 1);
}

json component(std::string_view name, operation op) {
  json c;
  c["name"] = name;
  const std::optional<std::string_view> unit = unit_in(name);
  if (unit)
    c["unit"] = *unit;
  const std::optional<known_unit> u = parse_unit(unit.value_or(""));
  const int derivative = u ? static_cast<int>(u->kind) - seconds_gained(op) : -2;
  c["quantity"] = derivative >= -1 && derivative <= 3 ? json(quantities[derivative + 1]) : json();
  if (const std::string a = amplitude_unit(unit.value_or(""), op); !a.empty())
    c["spectrum_unit"] = a;
  return c;
}

// The header's fields after the first: X, Y and Z's names.
std::vector<std::string> component_names(std::string_view header) {
  std::vector<std::string> fields;
  for (std::size_t at = 0; at < header.size();) {
    const auto begin = header.find_first_not_of(" \t,", at);
    if (begin == std::string_view::npos)
      break;
    const auto end = std::min(header.find_first_of(" \t,", begin), header.size());
    fields.emplace_back(header.substr(begin, end - begin));
    at = end;
  }
  std::vector<std::string> names = {"X", "Y", "Z"};
  for (std::size_t c = 0; c < 3 && c + 1 < fields.size(); ++c)
    names[c] = fields[c + 1];
  return names;
}

// A float in its shortest round-trip digits, kept so by the JSON writer.
double shortest(float x) {
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, x);
  double v = 0;
  std::from_chars(text, r.ptr, v);
  return v;
}

json smoothing(const spectrum_view &s, const record_facts &record) {
  const analysis_options &o = s.options;
  if (o.konno_ohmachi > 0.0) {
    const core::centre_list centres(o, s.grid);
    json k = {{"window", "konno-ohmachi"}, {"b", o.konno_ohmachi}, {"centres", centres.size()}};
    if (!centres.empty())
      k["centres_hz"] = {centres[0], centres[centres.size() - 1]};
    return k;
  }
  json parzen = {{"window", "parzen"}, {"band_hz", shortest(o.band)}};
  if (record.band_asked) // the record refused it: the nearest band it takes
    parzen["band_asked_hz"] = shortest(*record.band_asked);
  if (o.band > 0.0f)
    return parzen;
  return {{"window", "none"}};
}

// H/V's choices and its peak within the record's usable band.
json hv_facts(const record_facts &record, const spectrum_view &s) {
  const frequency_band band = usable_band(record.nt, record.dt, s.grid);
  const std::optional<hv_peak> peak = record.peak_known ? record.peak : find_hv_peak(s, band);
  const auto hz = [](double f) { return shortest(static_cast<float>(f)); };
  json hv = {{"horizontal", horizontal_name(s.options.horizontal)},
             {"usable_hz", {hz(band.low), hz(band.high)}}};
  hv["f0_hz"] = peak ? json(hz(peak->f0)) : json();
  hv["a0"] = peak ? json(shortest(peak->a0)) : json();
  return hv;
}

} // namespace

std::string spectrum_metadata(const record_facts &record, const spectrum_view &s) {
  static const char *const operations[] = {"none", "integrate", "double-integrate",
                                           "differentiate"};
  json m;
  m["program"] = "wavespec";
  m["version"] = version;
  m["input"] = record.input;
  m["header"] = record.header;
  m["components"] = json::array();
  for (const std::string &name : component_names(record.header))
    m["components"].push_back(component(name, s.options.op));
  m["nt"] = record.nt;
  m["dt"] = shortest(record.dt);
  m["nf"] = s.grid.nf;
  m["df"] = shortest(s.grid.df);
  m["nom"] = s.grid.nom;
  m["operation"] = operations[static_cast<int>(s.options.op)];
  m["smoothing"] = smoothing(s, record);
  m["band_limits_hz"] = {shortest(s.grid.band_min), shortest(s.grid.band_max)};
  m["eas"] = s.options.eas;
  if (s.options.hv)
    m["hv"] = hv_facts(record, s);
  return m.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string spectrum_unit(std::string_view header, operation op) {
  return amplitude_unit(unit_in(component_names(header)[0]).value_or(""), op);
}

std::string metadata_path(std::string_view spectrum_file) {
  std::string path(spectrum_file);
  if (path.ends_with(".csv"))
    path.resize(path.size() - 4);
  return path + ".json";
}

} // namespace wavespec
