// Units as the files write them: recognised whatever their spelling
// ("CM/SEC/SEC", "cm/sec2", "g.", "nm/s**2"), written in one canonical
// spelling that wavespec's sidecar knows ("gal", "g", "m/s^2", "cm/s"), and
// converted between units of one quantity.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace wavespec::merge {

enum class unit_kind { acceleration, velocity, displacement };

struct known_unit {
  std::string name; // canonical: "gal", "g", "nm/s^2", "cm/s", "m"
  unit_kind kind;
  double si; // the unit in m/s^2, m/s or m
};

// The unit written as `text` (case, blanks and a trailing period aside);
// none for a unit this does not know ("counts", "volts", "?").
[[nodiscard]] std::optional<known_unit> parse_unit(std::string_view text);

// `text` as a unit name in the output: canonical when known, otherwise the
// text with blanks, commas and parentheses made '_' (empty: "?").
[[nodiscard]] std::string unit_label(std::string_view text);

// "acceleration", "velocity", "displacement".
[[nodiscard]] const char *kind_name(unit_kind k);

// A name written in the output header: blanks, tabs, commas, parentheses
// and '=' become '_', so that the header stays one word per component.
[[nodiscard]] std::string header_word(std::string_view text);

} // namespace wavespec::merge
