// The complex absolute value as the program forms it, inline for the kernels.
#pragma once

#include <cmath>

#include "wavespec/spectral.hpp"

namespace wavespec::spectral {

// See wavespec::amplitude.
[[nodiscard]] inline float complex_abs(complex32 z) {
  const double a = std::fabs(static_cast<double>(z.re));
  const double b = std::fabs(static_cast<double>(z.im));
  const double m = a >= b ? a : b;
  const double s = a >= b ? b : a;
  if (s + m == m)
    return static_cast<float>(m);
  const double q = s / m;
  return static_cast<float>(m * std::sqrt(1.0 + q * q));
}

} // namespace wavespec::spectral
