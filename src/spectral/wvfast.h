// The radix-2 decimation-in-time FFT of the program.
#pragma once

#include <span>
#include <vector>

#include "spectral/complex32.h"

namespace wavespec::spectral {

// Transforms a[0 .. n-1] in place:
//   a[q] <- sum over p of a[p] * exp(ind * 2 pi * p * q / n * i),  q = 0 .. n-1,
// not normalised, with the program's own pi (the float nearest 3.141593) in
// the twiddle angles. `ind` is -1 (forward) or +1. `n` must be a power of two
// (n <= 1 leaves `a` unchanged); other n throw std::invalid_argument. `mom`,
// the capacity of `a`, only documents the extent and is not used.
void wvfast(int n, std::span<complex32> a, int mom, int ind);

// The twiddle factors of the last stage of a length-n transform. A stage that
// combines sub-transforms of half length kmax uses the factor of index k - 1
// there, which is entry (k - 1) * (n / 2 / kmax) here: the angle
// (k - 1) * ind * pai / kmax is the same double either way (the products are
// exact and kmax is a power of two), so the factors are bit for bit those
// that wvfast computes afresh.
class twiddle_table {
public:
  twiddle_table(int n, int ind);
  [[nodiscard]] int size() const { return n_; }
  [[nodiscard]] int sign() const { return ind_; }
  // Factor i of the last stage, i below n / 2.
  [[nodiscard]] const complex32 &operator[](std::size_t i) const { return stage(n_ / 2)[i]; }
  // The factors of the stage with half length kmax, k = 1 .. kmax, side by side.
  [[nodiscard]] const complex32 *stage(int kmax) const { return by_stage_.data() + (kmax - 1); }

private:
  int n_;
  int ind_;
  std::vector<complex32> by_stage_; // stage kmax at kmax - 1 .. 2 kmax - 2
};

// wvfast with the factors taken from `table` (built for the same n and ind).
void wvfast(int n, std::span<complex32> a, const twiddle_table &table);

// The program's pi: the float value of the decimal 3.141593 (0x40490FDC),
// one unit in the last place above the float nearest pi.
inline constexpr float pai = 3.141593f;

} // namespace wavespec::spectral
