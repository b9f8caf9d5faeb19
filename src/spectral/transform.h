// The transform's kernel on a twiddle table held anywhere (a plan, or a
// workspace's memory).
#pragma once

#include <cstddef>

#include "wavespec/spectral.hpp"

namespace wavespec::spectral {

// The number of factors of the table for n points: n - 1 (none for n = 1).
[[nodiscard]] constexpr std::size_t twiddle_count(int n) {
  return n > 1 ? static_cast<std::size_t>(n - 1) : 0;
}

// Fills by_stage (twiddle_count(n) values) with the factors of every stage:
// the stage of half length kmax at kmax - 1 .. 2 kmax - 2. n a power of two.
void fill_twiddles(int n, int sign, complex32 *by_stage);

// Transforms a[0 .. n-1] in place with the factors of fill_twiddles(n, ...).
void transform(int n, complex32 *a, const complex32 *by_stage);

// prepare() with the factors of fill_twiddles(fx.size(), -1), no checks.
void prepare_series(std::span<const float> samples, float dt, std::span<complex32> fx,
                    const complex32 *by_stage);

} // namespace wavespec::spectral
