#include "spectral/wvfast.h"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace wavespec::spectral {
namespace {

// Legend (1-based positions, as in the classic formulation):
//   i, j  : a position and its bit-reversed partner, then a butterfly's pair
//   m     : the carry of the bit-reversed counter
//   kmax  : half the length of the sub-transforms a stage combines
//   istep : 2 * kmax, the stride between butterflies sharing a twiddle
//   k     : the twiddle index within a stage, 1 .. kmax

// The series seen from position 1.
struct one_based {
  complex32 *p;
  complex32 &operator[](int i) const { return p[i - 1]; }
};

void reorder(int n, one_based a) {
  int j = 1;
  for (int i = 1; i <= n; ++i) {
    if (i < j) std::swap(a[i], a[j]);
    int m = n / 2;
    while (j > m) {
      j -= m;
      m /= 2;
      if (m <= 1) break;
    }
    j += m;
  }
}

// The twiddle factor exp((0, theta)): theta formed in double from the integer
// (k - 1) * ind, pai and kmax and rounded once; cos and sin in double, each
// rounded once to float. `volatile` keeps the float rounding of each part even
// where the optimiser would carry the double on into the products.
complex32 twiddle(int k, int kmax, int ind) {
  const auto theta =
      static_cast<float>(static_cast<double>((k - 1) * ind) * static_cast<double>(pai) / kmax);
  volatile float wr = static_cast<float>(std::cos(static_cast<double>(theta)));
  volatile float wi = static_cast<float>(std::sin(static_cast<double>(theta)));
  return {wr, wi};
}

void stage(int n, one_based a, int kmax, int ind) {
  const int istep = 2 * kmax;
  for (int k = 1; k <= kmax; ++k) {
    const complex32 w = twiddle(k, kmax, ind);
    const auto wr = static_cast<double>(w.re), wi = static_cast<double>(w.im);
    for (int i = k; i <= n; i += istep) {
      const int j = i + kmax;
      // Each part of temp in double from the float operands, rounded once.
      const auto tr = static_cast<float>(static_cast<double>(a[j].re) * wr -
                                         static_cast<double>(a[j].im) * wi);
      const auto ti = static_cast<float>(static_cast<double>(a[j].re) * wi +
                                         static_cast<double>(a[j].im) * wr);
      a[j].re = a[i].re - tr;
      a[j].im = a[i].im - ti;
      a[i].re = a[i].re + tr;
      a[i].im = a[i].im + ti;
    }
  }
}

} // namespace

void wvfast(int n, std::span<complex32> a, int /*mom*/, int ind) {
  if (n <= 1) return;
  if ((n & (n - 1)) != 0 || static_cast<std::size_t>(n) > a.size())
    throw std::invalid_argument("wvfast: length must be a power of two within the array");
  const one_based series{a.data()};
  reorder(n, series);
  for (int kmax = 1; kmax < n; kmax *= 2) stage(n, series, kmax, ind);
}

} // namespace wavespec::spectral
