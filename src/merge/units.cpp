#include "merge/units.h"

#include <array>
#include <cctype>

namespace wavespec::merge {
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

struct prefix {
  std::string_view text, name;
  double factor;
};

// The length units: a metric prefix before "m", or centimetres.
constexpr std::array<prefix, 6> lengths = {{{"nm", "nm", 1e-9},
                                            {"um", "um", 1e-6},
                                            {"mm", "mm", 1e-3},
                                            {"cm", "cm", 1e-2},
                                            {"m", "m", 1.0},
                                            {"km", "km", 1e3}}};

// What follows the length: per second squared, per second, or nothing.
std::optional<unit_kind> time_part(std::string_view rest) {
  for (std::string_view s : {"/s^2", "/s2", "/s/s", "/s**2", "/sec2", "/sec^2", "/sec/sec",
                             "/sec**2", "/s²", "s-2", "/second/second"})
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

} // namespace

std::optional<known_unit> parse_unit(std::string_view text) {
  const std::string s = lower_without_blanks(text);
  if (s == "gal" || s == "gals")
    return known_unit{"gal", unit_kind::acceleration, 1e-2};
  if (s == "g")
    return known_unit{"g", unit_kind::acceleration, 9.80665};
  for (const prefix &p : lengths) {
    if (!std::string_view(s).starts_with(p.text))
      continue;
    const auto kind = time_part(std::string_view(s).substr(p.text.size()));
    if (!kind)
      continue;
    if (p.name == "cm" && *kind == unit_kind::acceleration)
      return known_unit{"gal", *kind, p.factor};
    return known_unit{std::string(p.name) + suffix(*kind), *kind, p.factor};
  }
  return std::nullopt;
}

std::string unit_label(std::string_view text) {
  if (const auto u = parse_unit(text))
    return u->name;
  std::string s = lower_without_blanks(text).empty() ? "?" : header_word(text);
  while (!s.empty() && s.back() == '.')
    s.pop_back();
  return s.empty() ? "?" : s;
}

const char *kind_name(unit_kind k) {
  return k == unit_kind::acceleration ? "acceleration"
         : k == unit_kind::velocity   ? "velocity"
                                      : "displacement";
}

std::string header_word(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
    ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
    --end;
  std::string s(text.substr(begin, end - begin));
  for (char &c : s)
    if (c == ' ' || c == '\t' || c == ',' || c == '(' || c == ')' || c == '=' || c == '\r' ||
        c == '\n' || c == '\0')
      c = '_';
  return s;
}

} // namespace wavespec::merge
