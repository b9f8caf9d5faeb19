#include "spectral/integrate.h"

#include <cmath>

namespace wavespec::spectral {

spectral_operation operation_for(std::int32_t nit) {
  if (nit >= 1 && nit <= 3)
    return static_cast<spectral_operation>(nit);
  return spectral_operation::none;
}

complex32 divide(complex32 v, double c, double d) {
  const auto a = static_cast<double>(v.re), b = static_cast<double>(v.im);
  if (std::fabs(d) > std::fabs(c)) {
    const double r = c / d;
    const double den = d + c * r;
    return {static_cast<float>((a * r + b) / den), static_cast<float>((b * r - a) / den)};
  }
  // |d| <= |c|, or either is NaN
  const double r = d / c;
  const double den = c + d * r;
  return {static_cast<float>((a + b * r) / den), static_cast<float>((b - a * r) / den)};
}

namespace {

complex32 multiply(complex32 v, double c, double d) {
  const auto a = static_cast<double>(v.re), b = static_cast<double>(v.im);
  return {static_cast<float>(a * c - b * d), static_cast<float>(a * d + b * c)};
}

} // namespace

void apply_operation(spectral_operation op, std::int32_t nom, float dom, std::span<complex32> fx) {
  if (op == spectral_operation::none)
    return;
  const std::int32_t first = op == spectral_operation::differentiate ? 1 : 2;
  for (std::int32_t i = first; i <= nom; ++i) {
    // omega afresh from the index, rounded to float; never accumulated
    const auto omega = static_cast<float>(static_cast<double>(i - 1) * static_cast<double>(dom));
    const auto w = static_cast<double>(omega);
    complex32 &v = fx[static_cast<std::size_t>(i - 1)];
    switch (op) {
    case spectral_operation::integrate:
      v = divide(v, 0.0, w);
      break;
    case spectral_operation::double_integrate:
      v = divide(v, -(w * w), 0.0); // omega^2 stays double
      break;
    case spectral_operation::differentiate:
      v = multiply(v, 0.0, w);
      break;
    case spectral_operation::none:
      break;
    }
  }
}

} // namespace wavespec::spectral
