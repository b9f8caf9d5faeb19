// The radix-2 decimation-in-time FFT of the program.
#pragma once

#include <span>

#include "spectral/complex32.h"

namespace wavespec::spectral {

// Transforms a[0 .. n-1] in place:
//   a[q] <- sum over p of a[p] * exp(ind * 2 pi * p * q / n * i),  q = 0 .. n-1,
// not normalised, with the program's own pi (the float nearest 3.141593) in
// the twiddle angles. `ind` is -1 (forward) or +1. `n` must be a power of two
// (n <= 1 leaves `a` unchanged); other n throw std::invalid_argument. `mom`,
// the capacity of `a`, only documents the extent and is not used.
void wvfast(int n, std::span<complex32> a, int mom, int ind);

// The program's pi: the float value of the decimal 3.141593 (0x40490FDC),
// one unit in the last place above the float nearest pi.
inline constexpr float pai = 3.141593f;

} // namespace wavespec::spectral
