// The transform written straight from its definition: the reordering by a
// bit-reversed counter, then the butterflies stage by stage with every
// twiddle factor computed afresh. The program's table-driven transform must
// give the same bits.
#pragma once

#include <cmath>
#include <span>
#include <utility>

#include "wavespec/spectral.hpp"

namespace wavespec::testing {

// Legend (1-based positions, as in the classic formulation):
//   i, j  : a position and its bit-reversed partner, then a butterfly's pair
//   m     : the carry of the bit-reversed counter
//   kmax  : half the length of the sub-transforms a stage combines
//   istep : 2 * kmax, the stride between butterflies sharing a twiddle
//   k     : the twiddle index within a stage, 1 .. kmax
inline void reference_transform(std::span<complex32> series, int ind) {
  const int n = static_cast<int>(series.size());
  auto a = [&](int i) -> complex32 & { return series[static_cast<std::size_t>(i - 1)]; };
  int j = 1;
  for (int i = 1; i <= n; ++i) {
    if (i < j)
      std::swap(a(i), a(j));
    int m = n / 2;
    while (j > m) {
      j -= m;
      m /= 2;
      if (m <= 1)
        break;
    }
    j += m;
  }
  for (int kmax = 1; kmax < n; kmax *= 2) {
    const int istep = 2 * kmax;
    for (int k = 1; k <= kmax; ++k) {
      const auto theta =
          static_cast<float>(static_cast<double>((k - 1) * ind) * static_cast<double>(pi) / kmax);
      for (int i = k; i <= n; i += istep) {
        j = i + kmax;
        volatile float wr = static_cast<float>(std::cos(static_cast<double>(theta)));
        volatile float wi = static_cast<float>(std::sin(static_cast<double>(theta)));
        const double br = a(j).re, bi = a(j).im;
        const auto tr = static_cast<float>(br * wr - bi * wi);
        const auto ti = static_cast<float>(br * wi + bi * wr);
        a(j) = {a(i).re - tr, a(i).im - ti};
        a(i) = {a(i).re + tr, a(i).im + ti};
      }
    }
  }
}

} // namespace wavespec::testing
