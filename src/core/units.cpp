#include "wavespec/units.hpp"

#include <array>
#include <cctype>

namespace wavespec {
namespace {

std::string lower_without_blanks(std::string_view text) {
  std::string s;
  for (const char c : text)
    if (c != ' ' && c != '\t')
      s.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  while (!s.empty() && s.back() == '.')
    s.pop_back();
  return s;
}

struct length_unit {
  std::string_view text, name;
  double metres;
};

// The length units: a metric prefix before "m" (micro as u, µ or μ).
constexpr std::array<length_unit, 8> lengths = {{{"nm", "nm", 1e-9},
                                                 {"um", "um", 1e-6},
                                                 {"\u00b5m", "um", 1e-6},
                                                 {"\u03bcm", "um", 1e-6},
                                                 {"mm", "mm", 1e-3},
                                                 {"cm", "cm", 1e-2},
                                                 {"m", "m", 1.0},
                                                 {"km", "km", 1e3}}};

// What follows the length: per second squared, per second, or nothing.
std::optional<unit_kind> time_part(std::string_view rest) {
  for (std::string_view s : {"/s^2", "/s2", "/s/s", "/s**2", "/sec2", "/sec^2", "/sec/sec",
                             "/sec**2", "/s\u00b2", "s-2", "/second/second"})
    if (rest == s)
      return unit_kind::acceleration;
  for (std::string_view s : {"/s", "/sec", "s-1", "/second"})
    if (rest == s)
      return unit_kind::velocity;
  if (rest.empty())
    return unit_kind::displacement;
  return std::nullopt;
}

const char *suffix(unit_kind k) {
  return k == unit_kind::acceleration ? "/s^2" : k == unit_kind::velocity ? "/s" : "";
}

int seconds_of(unit_kind k) {
  return k == unit_kind::acceleration ? -2 : k == unit_kind::velocity ? -1 : 0;
}

} // namespace

std::optional<known_unit> parse_unit(std::string_view text) {
  const std::string s = lower_without_blanks(text);
  if (s == "gal" || s == "gals")
    return known_unit{"gal", unit_kind::acceleration, 1e-2, "cm", -2};
  if (s == "g")
    return known_unit{"g", unit_kind::acceleration, 9.80665, "g", 0};
  for (const length_unit &l : lengths) {
    if (!std::string_view(s).starts_with(l.text))
      continue;
    const auto kind = time_part(std::string_view(s).substr(l.text.size()));
    if (!kind)
      continue;
    const std::string name = l.name == "cm" && *kind == unit_kind::acceleration
                                 ? "gal"
                                 : std::string(l.name) + suffix(*kind);
    return known_unit{name, *kind, l.metres, std::string(l.name), seconds_of(*kind)};
  }
  return std::nullopt;
}

const char *kind_name(unit_kind k) {
  return k == unit_kind::acceleration ? "acceleration"
         : k == unit_kind::velocity   ? "velocity"
                                      : "displacement";
}

} // namespace wavespec
