// Amplitudes of a whole spectrum at once.
#pragma once

#include <span>

#include "spectral/complex32.h"

namespace wavespec::spectral {

// out[i] = complex_abs(z[i]) for every i below z.size() (out at least as
// long), bit for bit; several at a time where the processor has AVX2.
void complex_abs_all(std::span<const complex32> z, std::span<float> out);

} // namespace wavespec::spectral
