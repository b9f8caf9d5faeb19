// Units of ground motion as files write them, recognised whatever their
// spelling ("CM/SEC/SEC", "cm/s2", "Gal", "g.", "nm/s**2", "µm/s"): one table
// for the converter, which converts between them, and for the sidecar,
// which names what a spectrum measures and in what unit.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace wavespec {

enum class unit_kind { displacement, velocity, acceleration };

struct known_unit {
  std::string name;   // canonical: "gal", "g", "nm/s^2", "cm/s", "m"
  unit_kind kind;     // what it measures
  double si;          // the unit in m, m/s or m/s^2
  std::string length; // its length unit ("cm" for gal; "g" for g, itself an acceleration)
  int seconds;        // the power of seconds beside that length: gal -2, cm/s -1, cm 0, g 0
};

// The unit written as `text`: a length (nm, um or µm, mm, cm, m, km) with
// nothing, per second (/s, /sec, s-1) or per second squared (/s^2, /s2, /s/s,
// /s**2, /sec2, /s²), or gal or g; case, blanks and a trailing period aside.
// None for a unit this does not know ("counts", "volts", "?").
//   "CM/SEC/SEC" -> gal   "m/s**2" -> m/s^2   "UM/S" -> um/s   "g." -> g
[[nodiscard]] std::optional<known_unit> parse_unit(std::string_view text);

// "displacement", "velocity", "acceleration".
[[nodiscard]] const char *kind_name(unit_kind k);

} // namespace wavespec
