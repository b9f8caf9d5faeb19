#include "spectral/integrate.h"

#include <cmath>
#include <stdexcept>

#include "spectral/avx2.h"

namespace wavespec {
namespace spectral {

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

} // namespace spectral

namespace {

complex32 multiply(complex32 v, double c, double d) {
  const auto a = static_cast<double>(v.re), b = static_cast<double>(v.im);
  return {static_cast<float>(a * c - b * d), static_cast<float>(a * d + b * c)};
}

// omega at index i - 1, afresh from the index and rounded to float; never
// accumulated.
double omega_at(std::int32_t i, float dom) {
  return static_cast<double>(
      static_cast<float>(static_cast<double>(i - 1) * static_cast<double>(dom)));
}

// Double integration: the divisor (-omega^2, 0) is real, so the scaled
// division always takes its second form (|0| > |c| never holds, NaN or not).
// Written out without the test, the points run side by side.
WAVESPEC_AVX2_CLONES
void divide_by_minus_omega_squared(std::int32_t nom, float dom, complex32 *fx) {
  for (std::int32_t i = 2; i <= nom; ++i) {
    const double w = omega_at(i, dom);
    const double c = -(w * w), d = 0.0; // omega^2 stays double
    complex32 &v = fx[i - 1];
    const auto a = static_cast<double>(v.re), b = static_cast<double>(v.im);
    const double r = d / c;
    const double den = c + d * r;
    v = {static_cast<float>((a + b * r) / den), static_cast<float>((b - a * r) / den)};
  }
}

} // namespace

operation operation_for(std::int32_t nit) {
  if (nit >= 1 && nit <= 3)
    return static_cast<operation>(nit);
  return operation::none;
}

void apply_operation(operation op, const frequency_grid &grid, std::span<complex32> fx) {
  const std::int32_t nom = grid.nom;
  const float dom = grid.dom;
  if (op == operation::none)
    return;
  if (fx.size() < static_cast<std::size_t>(nom))
    throw std::invalid_argument("wavespec::apply_operation: fewer values than nom");
  if (op == operation::double_integrate) {
    divide_by_minus_omega_squared(nom, dom, fx.data());
    return;
  }
  const std::int32_t first = op == operation::differentiate ? 1 : 2;
  for (std::int32_t i = first; i <= nom; ++i) {
    const double w = omega_at(i, dom);
    complex32 &v = fx[static_cast<std::size_t>(i - 1)];
    switch (op) {
    case operation::integrate:
      v = spectral::divide(v, 0.0, w);
      break;
    case operation::double_integrate: // done above
      break;
    case operation::differentiate:
      v = multiply(v, 0.0, w);
      break;
    case operation::none:
      break;
    }
  }
}

} // namespace wavespec
