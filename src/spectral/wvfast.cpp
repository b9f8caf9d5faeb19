#include "spectral/wvfast.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "spectral/avx2.h"

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
    if (i < j)
      std::swap(a[i], a[j]);
    int m = n / 2;
    while (j > m) {
      j -= m;
      m /= 2;
      if (m <= 1)
        break;
    }
    j += m;
  }
}

// The same reordering for the table-driven transform. Each partner is found
// from the bits of the position, reversed a byte at a time, instead of by the
// counter, whose carry loop runs as the data goes and so defeats the branch
// predictor; and each pair is exchanged by selection, not behind a test
// (a pair met the second time is written back unchanged).
void reorder_by_bits(int n, complex32 *a) {
  static constexpr std::array<std::uint8_t, 256> byte_reversed = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i)
      for (unsigned b = 0; b < 8; ++b)
        t[i] = static_cast<std::uint8_t>(t[i] | (((i >> b) & 1u) << (7 - b)));
    return t;
  }();
  const int shift = 32 - std::countr_zero(static_cast<unsigned>(n));
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(n); ++i) {
    const std::uint32_t all = std::uint32_t{byte_reversed[i & 0xffu]} << 24 |
                              std::uint32_t{byte_reversed[(i >> 8) & 0xffu]} << 16 |
                              std::uint32_t{byte_reversed[(i >> 16) & 0xffu]} << 8 |
                              std::uint32_t{byte_reversed[i >> 24]};
    const std::uint32_t j = all >> shift;
    const complex32 x = a[i], y = a[j];
    const bool exchange = i < j;
    a[i] = exchange ? y : x;
    a[j] = exchange ? x : y;
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

// The butterflies of one block of a stage: a[k] with b[k] = a[k + kmax] and
// the factor w[k], k = 0 .. count-1, all side by side in memory.
inline void block_butterflies(complex32 *a, complex32 *b, const complex32 *w, int count) {
  for (int k = 0; k < count; ++k) {
    const auto wr = static_cast<double>(w[k].re), wi = static_cast<double>(w[k].im);
    const auto br = static_cast<double>(b[k].re), bi = static_cast<double>(b[k].im);
    const auto tr = static_cast<float>(br * wr - bi * wi);
    const auto ti = static_cast<float>(br * wi + bi * wr);
    b[k].re = a[k].re - tr;
    b[k].im = a[k].im - ti;
    a[k].re = a[k].re + tr;
    a[k].im = a[k].im + ti;
  }
}

// The first two stages together, four points at a time: stage one takes the
// pairs (0, 1) and (2, 3) with its factor w1, stage two the pairs (0, 2) and
// (1, 3) with its factors w2. The same butterflies with the same factors; the
// blocks are too short to run side by side within, and so are taken one
// after another with their points kept in registers.
WAVESPEC_AVX2_CLONES
void first_two_stages(complex32 *a, int n, const complex32 *w1, const complex32 *w2) {
  for (int base = 0; base < n; base += 4) {
    complex32 *const q = a + base;
    block_butterflies(q, q + 1, w1, 1);
    block_butterflies(q + 2, q + 3, w1, 1);
    block_butterflies(q, q + 2, w2, 2);
  }
}

// All the butterflies of the stage with sub-transforms of kmax points, block
// by block through memory (they touch disjoint pairs, so any order gives the
// same values). Where the processor has AVX2 they run several at a time, with
// the same operations.
WAVESPEC_AVX2_CLONES
void stage_butterflies(complex32 *a, int n, int kmax, const complex32 *w) {
  for (int base = 0; base < n; base += 2 * kmax)
    block_butterflies(a + base, a + base + kmax, w, kmax);
}

void check_length(int n, std::size_t capacity) {
  if ((n & (n - 1)) != 0 || static_cast<std::size_t>(n) > capacity)
    throw std::invalid_argument("wvfast: length must be a power of two within the array");
}

} // namespace

void wvfast(int n, std::span<complex32> a, int /*mom*/, int ind) {
  if (n <= 1)
    return;
  check_length(n, a.size());
  const one_based series{a.data()};
  reorder(n, series);
  for (int kmax = 1; kmax < n; kmax *= 2)
    for (int k = 1; k <= kmax; ++k) {
      const complex32 w = twiddle(k, kmax, ind);
      for (int i = k; i <= n; i += 2 * kmax)
        block_butterflies(&series[i], &series[i + kmax], &w, 1);
    }
}

twiddle_table::twiddle_table(int n, int ind) : n_(n), ind_(ind) {
  by_stage_.resize(static_cast<std::size_t>(n > 1 ? n - 1 : 0));
  if (n <= 1)
    return;
  // The last stage holds every factor; each earlier stage takes every
  // (half / kmax)-th of them.
  const int half = n / 2;
  complex32 *const last = by_stage_.data() + (half - 1);
  for (int k = 1; k <= half; ++k)
    last[k - 1] = twiddle(k, half, ind);
  for (int kmax = 1; kmax < half; kmax *= 2)
    for (int k = 1; k <= kmax; ++k)
      by_stage_[static_cast<std::size_t>(kmax - 1 + k - 1)] =
          last[static_cast<std::size_t>(k - 1) * static_cast<std::size_t>(half / kmax)];
}

void wvfast(int n, std::span<complex32> a, const twiddle_table &table) {
  if (n <= 1)
    return;
  check_length(n, a.size());
  if (table.size() != n)
    throw std::invalid_argument("wvfast: twiddle table of another length");
  reorder_by_bits(n, a.data());
  int kmax = 1;
  if (n >= 4) {
    first_two_stages(a.data(), n, table.stage(1), table.stage(2));
    kmax = 4;
  }
  for (; kmax < n; kmax *= 2)
    stage_butterflies(a.data(), n, kmax, table.stage(kmax));
}

} // namespace wavespec::spectral
