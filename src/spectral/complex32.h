// A single-precision complex value, real part first, and its absolute value.
#pragma once

#include <cmath>

namespace wavespec::spectral {

struct complex32 {
  float re = 0.0f;
  float im = 0.0f;
  friend bool operator==(const complex32 &, const complex32 &) = default;
};

// |(a, b)|: with m the larger and s the smaller of |a| and |b|, m when s + m
// equals m (so (0, 0) gives 0), else m * sqrt(1 + (s/m)^2); formed in double
// and rounded once. NaN in either part gives NaN.
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
