// What a spectrum file cannot say about itself: the record it came from, the
// analysis, the components and their units. Written as a JSON sidecar beside
// the CSV (whose bytes never change):
//
//   {"program": "wavespec", "version": "1.1.0", "input": "sf1295.txt",
//    "header": "time(s) 360(gal) 270(gal) UP(gal)",
//    "components": [{"name": "360(gal)", "unit": "gal", "quantity": "velocity",
//                    "spectrum_unit": "cm"}, ...],
//    "nt": 6001, "dt": 0.005, "nf": 8192, "df": 0.024414062, "nom": 4097,
//    "operation": "integrate", "smoothing": {"window": "parzen", "band_hz": 0.5},
//    "band_limits_hz": [0.090542234, 2.2635558], "eas": false}
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wavespec/analysis.hpp"

namespace wavespec {

// The record as read: the name it was given, its header line, its samples.
struct record_facts {
  std::string input;
  std::string header;
  std::int64_t nt = 0;
  float dt = 0.0f;
  // The band asked for, when the record refused it and the nearest band it
  // accepts was taken instead (--band-clamp).
  std::optional<float> band_asked{};
  // H/V's peak when it was found as the rows were written (else the
  // spectrum's H/V is searched).
  std::optional<wavespec::hv_peak> peak{};
  bool peak_known = false;
};

// The sidecar's JSON text. Component names are the header's fields after
// the first (up to three; X, Y, Z where it has fewer), their unit the text in
// parentheses. The spectrum's unit is the Fourier amplitude's: for
// acceleration in gal, cm/s as it is, cm after integration, cm·s after
// double integration. The units wavespec/units.hpp knows (SI lengths from nm
// to km per second or second squared in their usual spellings, gal, g) also
// give the quantity the spectrum measures ("quantity", null otherwise); any
// other unit U becomes U·s to the power the operation gives, and no unit none.
[[nodiscard]] std::string spectrum_metadata(const record_facts &record, const spectrum_view &s);

// The unit of X's spectrum for a record with this header after `op` (as
// the sidecar's spectrum_unit gives it), empty when the header names none.
[[nodiscard]] std::string spectrum_unit(std::string_view header, operation op);

// Where the sidecar of a spectrum file goes: OUTPUT.json for OUTPUT.csv
// (a name without ".csv" gains ".json").
[[nodiscard]] std::string metadata_path(std::string_view spectrum_file);

} // namespace wavespec
