#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "spectral/avx2.h"
#include "spectral/transform.h"

namespace wavespec {
namespace {

// Legend, as in the classic formulation of the transform:
//   kmax : half the length of the sub-transforms a stage combines
//   k    : the twiddle index within a stage, 0 .. kmax-1
//   a, b : the two points of a butterfly, b = a + kmax

// Exchanges each position with the one whose index has its bits reversed.
// Each partner is found from the bits of the position, reversed a byte at a
// time, instead of by a carry counter, whose loop runs as the data goes and so
// defeats the branch predictor; and each pair is exchanged by selection, not
// behind a test (a pair met the second time is written back unchanged).
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

// The twiddle factor of index k in a stage of half length kmax: the angle
// k * sign * pi / kmax formed in double (exact: kmax is a power of two) and
// rounded once to float; its cos and sin in double, each rounded once to
// float. `volatile` keeps the float rounding of each part even where the
// optimiser would carry the double on into the products.
complex32 twiddle(int k, int kmax, int sign) {
  const auto theta =
      static_cast<float>(static_cast<double>(k * sign) * static_cast<double>(pi) / kmax);
  volatile float wr = static_cast<float>(std::cos(static_cast<double>(theta)));
  volatile float wi = static_cast<float>(std::sin(static_cast<double>(theta)));
  return {wr, wi};
}

// The butterflies of one block of a stage: a[k] with b[k] = a[k + kmax] and
// the factor w[k], k = 0 .. count-1, all side by side in memory. Each part
// of w * b is formed in double from the float operands (the products are
// exact there) and rounded once; the sums are float operations.
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

} // namespace

namespace spectral {

// The last stage holds every factor; stage kmax takes every (half / kmax)-th
// of them. The angle k * sign * pi / kmax is then the same double either way
// (the products are exact and kmax is a power of two), so every stage's
// factors are bit for bit those computed afresh for that stage.
void fill_twiddles(int n, int sign, complex32 *by_stage) {
  if (n <= 1)
    return;
  const int half = n / 2;
  complex32 *const last = by_stage + (half - 1);
  for (int k = 0; k < half; ++k)
    last[k] = twiddle(k, half, sign);
  for (int kmax = 1; kmax < half; kmax *= 2)
    for (int k = 0; k < kmax; ++k)
      by_stage[kmax - 1 + k] =
          last[static_cast<std::size_t>(k) * static_cast<std::size_t>(half / kmax)];
}

void transform(int n, complex32 *a, const complex32 *by_stage) {
  if (n <= 1)
    return;
  reorder_by_bits(n, a);
  int kmax = 1;
  if (n >= 4) {
    first_two_stages(a, n, by_stage, by_stage + 1);
    kmax = 4;
  }
  for (; kmax < n; kmax *= 2)
    stage_butterflies(a, n, kmax, by_stage + (kmax - 1));
}

} // namespace spectral

std::int32_t transform_length(std::int64_t nt) {
  std::int32_t nf = 4;
  while (nf < nt && nf < max_samples)
    nf *= 2;
  return nf >= nt ? nf : 0;
}

transform_plan::transform_plan(int n, int sign) : n_(n), sign_(sign) {
  if (n < 1 || (n & (n - 1)) != 0 || (sign != -1 && sign != 1))
    throw std::invalid_argument("transform_plan: n must be a power of two, sign -1 or +1");
  by_stage_.resize(spectral::twiddle_count(n));
  spectral::fill_twiddles(n, sign, by_stage_.data());
}

void transform_plan::operator()(std::span<complex32> a) const {
  if (a.size() != static_cast<std::size_t>(n_))
    throw std::invalid_argument("transform_plan: the series has another length");
  spectral::transform(n_, a.data(), by_stage_.data());
}

} // namespace wavespec
