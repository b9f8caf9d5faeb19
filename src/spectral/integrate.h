// The scaled complex division that integration uses, for tests beside it.
#pragma once

#include "wavespec/spectral.hpp"

namespace wavespec::spectral {

// Scaled (Smith) complex division of (a, b) by (c, d), every part in double,
// each result part rounded once:
//   |d| > |c|: r = c / d, den = d + c r, ((a r + b) / den, (b r - a) / den)
//   otherwise (or NaN): r = d / c, den = c + d r, ((a + b r) / den, (b - a r) / den)
[[nodiscard]] complex32 divide(complex32 v, double c, double d);

} // namespace wavespec::spectral
