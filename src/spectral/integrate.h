// Integration and differentiation of one-sided spectra in the frequency domain.
#pragma once

#include <cstdint>
#include <span>

#include "spectral/complex32.h"

namespace wavespec::spectral {

enum class spectral_operation : std::int32_t {
  none = 0,
  integrate = 1,        // divide by (0, omega)
  double_integrate = 2, // divide by (-omega^2, 0)
  differentiate = 3     // multiply by (0, omega)
};

// The operation chosen by the answer `nit`; any other value means none.
[[nodiscard]] spectral_operation operation_for(std::int32_t nit);

// Applies `op` to fx[0 .. nom-1], with omega = i * dom at index i (0 Hz at
// index 0). Integration leaves the 0 Hz value as it is; differentiation makes
// it zero.
void apply_operation(spectral_operation op, std::int32_t nom, float dom, std::span<complex32> fx);

// Scaled (Smith) complex division of (a, b) by (c, d), every part in double,
// each result part rounded once.
[[nodiscard]] complex32 divide(complex32 v, double c, double d);

} // namespace wavespec::spectral
