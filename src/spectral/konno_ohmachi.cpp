// Konno-Ohmachi smoothing by angle addition: with phase_k = b log10 f_k,
//   x_k = phase_k - phase_c,  sin x_k = sin(phase_k) cos(phase_c) - cos(phase_k) sin(phase_c),
// sin and cos being taken once per point and once per centre. Centres go in
// pairs (0 and 1, 2 and 3, ...; the last alone with itself), which share one
// division per point: with q = 1 / (d1 d2), 1 / d1 = d2 q and 1 / d2 = d1 q.
// Near a centre (|x| below 0.01, where x, a difference of two phases of up
// to a few hundred, is known only to about 1e-13) the weight comes from the
// series of sinc^4 on x itself instead; x = 0 gives exactly 1. A block whose
// phases all lie far from both centres of a pair is summed without the test.
// The sums run over blocks of points small enough to stay in the first-level
// cache, eight lanes side by side: lane j takes the points 8i + j in order,
// and the lanes are added ((0 + 1) + (2 + 3)) + ((4 + 5) + (6 + 7)) at the
// end of each block. The plain, AVX2 (lanes 0-3, then 4-7) and AVX-512 paths
// do the same operations in the same order, and the pairs do not depend on
// how the centres are shared between threads, so the bits depend neither on
// the machine nor on the threads. The sums of w A
// take fused multiply-adds in both paths (std::fma is exact everywhere).
#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <sys/mman.h>
#include <thread>
#include <vector>

#include "spectral/avx2.h"
#include "spectral/konno_ohmachi.h"

namespace wavespec {
namespace {

constexpr std::size_t lanes = 8;
constexpr std::size_t block = 256; // points per block
constexpr std::size_t slots = 4;   // series summed in one pass
constexpr double far_phase = 1e30; // a padding point: sin 0, weight 0
constexpr double near = 0.01;      // |x| below: the weight from the series

// sinc(x)^4 for |x| < near, from 1 - x^2/6 + x^4/120 - x^6/5040 (the next
// term is below 3e-22 there).
double near_weight(double x) {
  const double x2 = x * x;
  const double r = 1.0 - x2 * (1.0 / 6.0 - x2 * (1.0 / 120.0 - x2 * (1.0 / 5040.0)));
  const double r2 = r * r;
  return r2 * r2;
}

// Memory whose pages are all mapped at once. A table is built afresh for
// each call, and on some virtual machines faulting its pages in one at a
// time costs as much as the sums themselves.
class mapped_memory {
public:
  explicit mapped_memory(std::size_t bytes) : size_(std::max<std::size_t>(bytes, 1)) {
    void *p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED)
      throw std::bad_alloc();
    base_ = static_cast<std::byte *>(p);
  }
  mapped_memory(const mapped_memory &) = delete;
  mapped_memory &operator=(const mapped_memory &) = delete;
  ~mapped_memory() { ::munmap(base_, size_); }
  std::byte *data() const { return base_; }

private:
  std::size_t size_;
  std::byte *base_ = nullptr;
};

struct centre {
  double phase, sine, cosine;
};

// The points, padded to a whole number of blocks: the phases, their sines
// and cosines, and the amplitudes of the series summed in this pass (widened
// to double when a pass sets them; zero until then, as the mapping comes);
// and the span of phases of each block.
struct point_table {
  explicit point_table(std::size_t count)
      : points(count), n((count + block - 1) / block * block),
        memory((3 + slots) * sizeof(double) * n), phase(reinterpret_cast<double *>(memory.data())),
        sine(phase + n), cosine(sine + n), span(n / block) {
    for (std::size_t q = 0; q < slots; ++q)
      amp[q] = cosine + n + q * n;
  }
  // Fills the blocks [first, last) for the frequencies f (f.size() points).
  void fill(std::span<const double> f, double b, std::size_t first, std::size_t last) {
    for (std::size_t k = first * block; k < last * block; ++k) {
      const bool point = k < points;
      phase[k] = point ? b * std::log10(f[k]) : far_phase;
      sine[k] = point ? std::sin(phase[k]) : 0.0;
      cosine[k] = point ? std::cos(phase[k]) : 0.0;
    }
    for (std::size_t i = first; i < last; ++i) {
      const std::size_t begin = i * block;
      const auto [low, high] =
          std::minmax_element(phase + begin, phase + std::min(begin + block, points));
      span[i] = {*low, *high};
    }
  }
  // Whether a point of the block at `begin` may lie near centre c: its phase
  // within `near` of one of the block's, with room to spare for rounding.
  [[nodiscard]] bool may_be_near(std::size_t begin, const centre &c) const;

  std::size_t points, n;
  mapped_memory memory;
  double *phase, *sine, *cosine;
  std::array<double *, slots> amp{};
  std::vector<std::array<double, 2>> span; // lowest and highest phase of each block
};

bool point_table::may_be_near(std::size_t begin, const centre &c) const {
  const auto &[low, high] = span[begin / block];
  return c.phase > low - 2 * near && c.phase < high + 2 * near;
}

// Running sums of one centre, lane by lane.
// (Left unset where declared: every block sum sets all of them.)
struct lane_sums {
  alignas(64) double w[lanes];
  alignas(64) double a[slots][lanes];
};

// The weights of one point for a pair of centres, as the AVX2 path forms
// them lane by lane: a point near a centre counts as 1 in the shared
// divisor, and its weight comes from the series.
void pair_weights(double phase, double sine, double cosine, const centre &c1, const centre &c2,
                  double &w1, double &w2) {
  const double d1 = phase - c1.phase, d2 = phase - c2.phase;
  const double s1 = sine * c1.cosine - cosine * c1.sine;
  const double s2 = sine * c2.cosine - cosine * c2.sine;
  const bool near1 = std::fabs(d1) < near, near2 = std::fabs(d2) < near;
  const double e1 = near1 ? 1.0 : d1, e2 = near2 ? 1.0 : d2;
  const double q = 1.0 / (e1 * e2);
  const double r1 = s1 * (e2 * q), r2 = s2 * (e1 * q);
  const double r1s = r1 * r1, r2s = r2 * r2;
  w1 = near1 ? near_weight(d1) : r1s * r1s;
  w2 = near2 ? near_weight(d2) : r2s * r2s;
}

void block_sums_plain(const point_table &t, std::size_t begin, const centre &c1, const centre &c2,
                      bool, lane_sums &s1, lane_sums &s2) {
  s1 = s2 = lane_sums{};
  for (std::size_t i = begin; i < begin + block; i += lanes)
    for (std::size_t j = 0; j < lanes; ++j) {
      double w1 = 0, w2 = 0;
      pair_weights(t.phase[i + j], t.sine[i + j], t.cosine[i + j], c1, c2, w1, w2);
      s1.w[j] = s1.w[j] + w1;
      s2.w[j] = s2.w[j] + w2;
      for (std::size_t q = 0; q < slots; ++q) {
        s1.a[q][j] = std::fma(w1, t.amp[q][i + j], s1.a[q][j]);
        s2.a[q][j] = std::fma(w2, t.amp[q][i + j], s2.a[q][j]);
      }
    }
}

#if WAVESPEC_X86_AVX2
struct avx2_centre {
  __m256d phase, sine, cosine;
};

__attribute__((target("avx2"), always_inline)) inline avx2_centre wide(const centre &c) {
  return {_mm256_set1_pd(c.phase), _mm256_set1_pd(c.sine), _mm256_set1_pd(c.cosine)};
}

// near_weight, four lanes, the same operations.
__attribute__((target("avx2"), always_inline)) inline __m256d near_weights(__m256d x) {
  const __m256d x2 = _mm256_mul_pd(x, x);
  __m256d r =
      _mm256_sub_pd(_mm256_set1_pd(1.0 / 120.0), _mm256_mul_pd(x2, _mm256_set1_pd(1.0 / 5040.0)));
  r = _mm256_sub_pd(_mm256_set1_pd(1.0 / 6.0), _mm256_mul_pd(x2, r));
  r = _mm256_sub_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(x2, r));
  const __m256d r2 = _mm256_mul_pd(r, r);
  return _mm256_mul_pd(r2, r2);
}

// |x| < near, lane by lane.
__attribute__((target("avx2"), always_inline)) inline __m256d is_near(__m256d x) {
  const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
  return _mm256_cmp_pd(magnitude, _mm256_set1_pd(near), _CMP_LT_OQ);
}

// Lanes half .. half + 3 of the block at `begin`. Without `check_near`, no
// point may lie near either centre, and the tests for one, which would
// change nothing, are left out.
template <bool check_near>
__attribute__((target("avx2,fma"), always_inline)) inline void
block_half_avx2(const point_table &t, std::size_t begin, const centre &centre1,
                const centre &centre2, lane_sums &sums1, lane_sums &sums2, std::size_t half) {
  const avx2_centre c1 = wide(centre1), c2 = wide(centre2);
  const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
  __m256d w1s = zero, w2s = zero, a1[slots], a2[slots];
  for (std::size_t q = 0; q < slots; ++q)
    a1[q] = a2[q] = zero;
  for (std::size_t i = begin + half; i < begin + block; i += lanes) {
    const __m256d phase = _mm256_loadu_pd(&t.phase[i]);
    const __m256d sine = _mm256_loadu_pd(&t.sine[i]), cosine = _mm256_loadu_pd(&t.cosine[i]);
    const __m256d d1 = _mm256_sub_pd(phase, c1.phase), d2 = _mm256_sub_pd(phase, c2.phase);
    const __m256d s1 =
        _mm256_sub_pd(_mm256_mul_pd(sine, c1.cosine), _mm256_mul_pd(cosine, c1.sine));
    const __m256d s2 =
        _mm256_sub_pd(_mm256_mul_pd(sine, c2.cosine), _mm256_mul_pd(cosine, c2.sine));
    const __m256d at1 = check_near ? is_near(d1) : zero, at2 = check_near ? is_near(d2) : zero;
    const __m256d e1 = check_near ? _mm256_blendv_pd(d1, one, at1) : d1;
    const __m256d e2 = check_near ? _mm256_blendv_pd(d2, one, at2) : d2;
    const __m256d q = _mm256_div_pd(one, _mm256_mul_pd(e1, e2));
    const __m256d r1 = _mm256_mul_pd(s1, _mm256_mul_pd(e2, q));
    const __m256d r2 = _mm256_mul_pd(s2, _mm256_mul_pd(e1, q));
    const __m256d r1s = _mm256_mul_pd(r1, r1), r2s = _mm256_mul_pd(r2, r2);
    __m256d w1 = _mm256_mul_pd(r1s, r1s), w2 = _mm256_mul_pd(r2s, r2s);
    if (check_near && _mm256_movemask_pd(_mm256_or_pd(at1, at2)) != 0) { // near a centre: rare
      w1 = _mm256_blendv_pd(w1, near_weights(d1), at1);
      w2 = _mm256_blendv_pd(w2, near_weights(d2), at2);
    }
    w1s = _mm256_add_pd(w1s, w1);
    w2s = _mm256_add_pd(w2s, w2);
    for (std::size_t k = 0; k < slots; ++k) {
      const __m256d a = _mm256_loadu_pd(&t.amp[k][i]);
      a1[k] = _mm256_fmadd_pd(w1, a, a1[k]);
      a2[k] = _mm256_fmadd_pd(w2, a, a2[k]);
    }
  }
  _mm256_store_pd(sums1.w + half, w1s);
  _mm256_store_pd(sums2.w + half, w2s);
  for (std::size_t k = 0; k < slots; ++k) {
    _mm256_store_pd(sums1.a[k] + half, a1[k]);
    _mm256_store_pd(sums2.a[k] + half, a2[k]);
  }
}

__attribute__((target("avx2,fma"))) void block_sums_avx2(const point_table &t, std::size_t begin,
                                                         const centre &centre1,
                                                         const centre &centre2, bool may_be_near,
                                                         lane_sums &sums1, lane_sums &sums2) {
  if (may_be_near) {
    block_half_avx2<true>(t, begin, centre1, centre2, sums1, sums2, 0);
    block_half_avx2<true>(t, begin, centre1, centre2, sums1, sums2, 4);
  } else {
    block_half_avx2<false>(t, begin, centre1, centre2, sums1, sums2, 0);
    block_half_avx2<false>(t, begin, centre1, centre2, sums1, sums2, 4);
  }
}

// The same, eight lanes at once.
__attribute__((target("avx512f"))) void block_sums_avx512(const point_table &t, std::size_t begin,
                                                          const centre &centre1,
                                                          const centre &centre2, bool,
                                                          lane_sums &sums1, lane_sums &sums2) {
  const __m512d p1 = _mm512_set1_pd(centre1.phase), p2 = _mm512_set1_pd(centre2.phase);
  const __m512d sin1 = _mm512_set1_pd(centre1.sine), sin2 = _mm512_set1_pd(centre2.sine);
  const __m512d cos1 = _mm512_set1_pd(centre1.cosine), cos2 = _mm512_set1_pd(centre2.cosine);
  const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd(), limit = _mm512_set1_pd(near);
  const auto near_weights = [&](__m512d x) __attribute__((target("avx512f"))) {
    const __m512d x2 = _mm512_mul_pd(x, x);
    __m512d r =
        _mm512_sub_pd(_mm512_set1_pd(1.0 / 120.0), _mm512_mul_pd(x2, _mm512_set1_pd(1.0 / 5040.0)));
    r = _mm512_sub_pd(_mm512_set1_pd(1.0 / 6.0), _mm512_mul_pd(x2, r));
    r = _mm512_sub_pd(one, _mm512_mul_pd(x2, r));
    const __m512d r2 = _mm512_mul_pd(r, r);
    return _mm512_mul_pd(r2, r2);
  };
  __m512d w1s = zero, w2s = zero, a1[slots], a2[slots];
  for (std::size_t q = 0; q < slots; ++q)
    a1[q] = a2[q] = zero;
  for (std::size_t i = begin; i < begin + block; i += lanes) {
    const __m512d phase = _mm512_loadu_pd(&t.phase[i]);
    const __m512d sine = _mm512_loadu_pd(&t.sine[i]), cosine = _mm512_loadu_pd(&t.cosine[i]);
    const __m512d d1 = _mm512_sub_pd(phase, p1), d2 = _mm512_sub_pd(phase, p2);
    const __m512d s1 = _mm512_sub_pd(_mm512_mul_pd(sine, cos1), _mm512_mul_pd(cosine, sin1));
    const __m512d s2 = _mm512_sub_pd(_mm512_mul_pd(sine, cos2), _mm512_mul_pd(cosine, sin2));
    const __mmask8 at1 = _mm512_cmp_pd_mask(_mm512_abs_pd(d1), limit, _CMP_LT_OQ);
    const __mmask8 at2 = _mm512_cmp_pd_mask(_mm512_abs_pd(d2), limit, _CMP_LT_OQ);
    const __m512d e1 = _mm512_mask_blend_pd(at1, d1, one), e2 = _mm512_mask_blend_pd(at2, d2, one);
    const __m512d q = _mm512_div_pd(one, _mm512_mul_pd(e1, e2));
    const __m512d r1 = _mm512_mul_pd(s1, _mm512_mul_pd(e2, q));
    const __m512d r2 = _mm512_mul_pd(s2, _mm512_mul_pd(e1, q));
    const __m512d r1s = _mm512_mul_pd(r1, r1), r2s = _mm512_mul_pd(r2, r2);
    __m512d w1 = _mm512_mul_pd(r1s, r1s), w2 = _mm512_mul_pd(r2s, r2s);
    if ((at1 | at2) != 0) { // a point near a centre: rare
      w1 = _mm512_mask_blend_pd(at1, w1, near_weights(d1));
      w2 = _mm512_mask_blend_pd(at2, w2, near_weights(d2));
    }
    w1s = _mm512_add_pd(w1s, w1);
    w2s = _mm512_add_pd(w2s, w2);
    for (std::size_t k = 0; k < slots; ++k) {
      const __m512d a = _mm512_loadu_pd(&t.amp[k][i]);
      a1[k] = _mm512_fmadd_pd(w1, a, a1[k]);
      a2[k] = _mm512_fmadd_pd(w2, a, a2[k]);
    }
  }
  _mm512_store_pd(sums1.w, w1s);
  _mm512_store_pd(sums2.w, w2s);
  for (std::size_t k = 0; k < slots; ++k) {
    _mm512_store_pd(sums1.a[k], a1[k]);
    _mm512_store_pd(sums2.a[k], a2[k]);
  }
}
#endif

double lanes_total(const double (&v)[lanes]) {
  return ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7]));
}

// Adds a block's lane sums to a centre's totals (w, then each slot).
void add_block(const lane_sums &s, std::array<double, slots + 1> &total) {
  total[0] = total[0] + lanes_total(s.w);
  for (std::size_t q = 0; q < slots; ++q)
    total[q + 1] = total[q + 1] + lanes_total(s.a[q]);
}

// The smoothed values of centres [first, last) of one pass (first even):
// each block of points, while it stays in the cache, goes to every pair of
// centres, whose totals take the block's lane sums in block order.
using block_sums = void (*)(const point_table &, std::size_t, const centre &, const centre &, bool,
                            lane_sums &, lane_sums &);

block_sums chosen_path(spectral::sum_path path) {
#if WAVESPEC_X86_AVX2
  static const bool fma = __builtin_cpu_supports("fma");
  static const bool avx512 = __builtin_cpu_supports("avx512f");
  if (path == spectral::sum_path::best && avx512)
    return block_sums_avx512;
  if (path != spectral::sum_path::plain && spectral::has_avx2() && fma)
    return block_sums_avx2;
#endif
  (void)path;
  return block_sums_plain;
}

void smooth_centres(const point_table &t, std::span<const centre> centres, std::size_t first,
                    std::size_t last, std::size_t used_slots, std::span<double> out,
                    std::size_t row, spectral::sum_path path) {
  const block_sums sums = chosen_path(path);
  std::vector<std::array<double, slots + 1>> totals(last - first + 1);
  for (std::size_t begin = 0; begin < t.n; begin += block)
    for (std::size_t c = first; c < last; c += 2) {
      const std::size_t partner = c + 1 < centres.size() ? c + 1 : c;
      lane_sums s1, s2;
      const bool close = t.may_be_near(begin, centres[c]) || t.may_be_near(begin, centres[partner]);
      sums(t, begin, centres[c], centres[partner], close, s1, s2);
      add_block(s1, totals[c - first]);
      add_block(s2, totals[c - first + 1]);
    }
  for (std::size_t c = first; c < last; ++c)
    for (std::size_t q = 0; q < used_slots; ++q)
      out[q * row + c] = totals[c - first][q + 1] / totals[c - first][0];
}

// Runs work(p) for p = 0 .. parts - 1, each on a thread of its own (0 on
// this one); the first failure, if any, is thrown here once all have ended.
template <typename Work> void in_parallel(std::size_t parts, const Work &work) {
  std::vector<std::exception_ptr> failed(parts);
  const auto part = [&](std::size_t p) {
    try {
      work(p);
    } catch (...) {
      failed[p] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> helpers;
    for (std::size_t p = 1; p < parts; ++p)
      helpers.emplace_back(part, p);
    part(0);
  } // the helpers are joined here
  for (const std::exception_ptr &e : failed)
    if (e)
      std::rethrow_exception(e);
}

void check(std::span<const double> f, std::span<const std::span<const float>> series, double b,
           std::span<const double> centres, std::size_t results) {
  if (!(b > 0.0) || !std::isfinite(b))
    throw std::invalid_argument("konno_ohmachi: b must be positive");
  for (const double v : f)
    if (!(v > 0.0) || !std::isfinite(v))
      throw std::invalid_argument("konno_ohmachi: the frequencies must be positive");
  for (const double v : centres)
    if (!(v > 0.0) || !std::isfinite(v))
      throw std::invalid_argument("konno_ohmachi: the centre frequencies must be positive");
  for (const auto &s : series)
    if (s.size() != f.size())
      throw std::invalid_argument("konno_ohmachi: a series is not as long as the frequencies");
  if (results < series.size() * centres.size() || f.empty())
    throw std::invalid_argument("konno_ohmachi: too few points or results");
}

} // namespace

namespace spectral {

void konno_ohmachi_sums(std::span<const double> f, std::span<const std::span<const float>> series,
                        double b, std::span<const double> centres, std::span<double> sums,
                        unsigned threads, sum_path path) {
  check(f, series, b, centres, sums.size());
  point_table t(f.size());
  const std::size_t blocks = t.n / block;
  const std::size_t fillers = std::max<std::size_t>(1, std::min<std::size_t>(threads, blocks));
  in_parallel(fillers, [&](std::size_t p) {
    t.fill(f, b, blocks * p / fillers, blocks * (p + 1) / fillers);
  });
  std::vector<centre> at;
  for (const double fc : centres) {
    const double phase = b * std::log10(fc);
    at.push_back({phase, std::sin(phase), std::cos(phase)});
  }
  const std::size_t row = centres.size();
  for (std::size_t first = 0; first < series.size(); first += slots) {
    const std::size_t used = std::min(slots, series.size() - first);
    for (std::size_t q = 0; q < slots; ++q)
      for (std::size_t k = 0; k < f.size(); ++k)
        t.amp[q][k] = q < used ? static_cast<double>(series[first + q][k]) : 0.0;
    const std::span<double> out = sums.subspan(first * row);
    // Each thread takes a run of whole pairs of centres.
    const std::size_t pairs = (row + 1) / 2;
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, pairs));
    const auto bound = [&](std::size_t p) { return std::min(row, 2 * (pairs * p / parts)); };
    in_parallel(parts, [&](std::size_t p) {
      smooth_centres(t, at, bound(p), bound(p + 1), used, out, row, path);
    });
  }
}

} // namespace spectral

void konno_ohmachi(std::span<const double> f, std::span<const std::span<const float>> series,
                   double b, std::span<const double> centres, std::span<float> smoothed,
                   unsigned threads) {
  std::vector<double> sums(series.size() * centres.size());
  spectral::konno_ohmachi_sums(f, series, b, centres, sums, threads);
  if (smoothed.size() < sums.size())
    throw std::invalid_argument("konno_ohmachi: too few results");
  for (std::size_t i = 0; i < sums.size(); ++i)
    smoothed[i] = static_cast<float>(sums[i]);
}

std::vector<double> log_spaced_frequencies(double fmin, double fmax, std::int64_t n) {
  if (!(fmin > 0.0 && fmin < fmax && std::isfinite(fmax)) || n < 2 || n > 10'000'000)
    throw std::invalid_argument(
        "frequencies: FMIN:FMAX:N with 0 < FMIN < FMAX and N from 2 to 10000000");
  std::vector<double> out(static_cast<std::size_t>(n));
  const double decades = std::log10(fmax / fmin);
  for (std::int64_t i = 0; i < n; ++i)
    out[static_cast<std::size_t>(i)] =
        fmin * std::pow(10.0, static_cast<double>(i) * decades / static_cast<double>(n - 1));
  return out;
}

std::vector<double> per_decade_frequencies(double fmin, double fmax) {
  if (!(fmin > 0.0 && fmin <= fmax && std::isfinite(fmax)))
    throw std::invalid_argument("frequencies: 0 < FMIN <= FMAX");
  const auto n = static_cast<std::int64_t>(std::floor(100.0 * std::log10(fmax / fmin))) + 1;
  std::vector<double> out;
  for (std::int64_t i = 0; i < n; ++i)
    out.push_back(fmin * std::pow(10.0, static_cast<double>(i) / 100.0));
  return out;
}

std::vector<double> per_decade_frequencies(const frequency_grid &grid) {
  const auto df = static_cast<double>(grid.df);
  return per_decade_frequencies(df, static_cast<double>(grid.nom - 1) * df);
}

float effective_amplitude(float x, float y) {
  const auto a = static_cast<double>(x), b = static_cast<double>(y);
  return static_cast<float>(std::sqrt((a * a + b * b) / 2.0));
}

} // namespace wavespec
