// Konno-Ohmachi smoothing by angle addition: with phase_k = b log10 f_k,
//   x_k = phase_k - phase_c,  sin x_k = sin(phase_k) cos(phase_c) - cos(phase_k) sin(phase_c),
// sin and cos being taken once per point and once per centre. Centres go in
// pairs (0 and 1, 2 and 3, ...; the last alone with itself), which share one
// division per point: with q = 1 / (d1 d2), 1 / d1 = d2 q and 1 / d2 = d1 q.
// Near a centre (|x| below 0.01, where x, a difference of two phases that
// are rounded to their last bit, is known only to about 1e-16 of them; that
// rounding also bounds b, max_konno_ohmachi_coefficient) the weight comes
// from the series of sinc^4 on x itself instead; x = 0 gives exactly 1. A
// block whose phases all lie far from both centres of a pair is summed
// without the test.
// The sums run over blocks of points small enough to stay in the first-level
// cache, eight lanes side by side: lane j takes the points 8i + j in order,
// and the lanes are added ((0 + 1) + (2 + 3)) + ((4 + 5) + (6 + 7)) at the
// end of each block. The block sums are written once
// (konno_ohmachi_kernel.h) for a vector type of 1, 4 or 8 doubles; each
// width does the same operations on each lane in the same order, and the
// pairs do not depend on how the centres are shared between threads, so the
// bits depend neither on the machine nor on the threads. The sums of w A
// take fused multiply-adds at every width (std::fma is exact everywhere).
#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <type_traits>
#include <vector>

#include "spectral/avx2.h"
#include "spectral/konno_ohmachi.h"

namespace wavespec::spectral {
namespace {

constexpr std::size_t lanes = 8;
constexpr std::size_t block = 256; // points per block
constexpr std::size_t slots = 4;   // series summed in one pass over the points
constexpr std::size_t group = 256; // centres whose totals stay in the cache together
constexpr double far_phase = 1e30; // a padding point: sin 0, weight 0
constexpr double near = 0.01;      // |x| below: the weight from the series

struct centre {
  double phase, sine, cosine;
};

// One block of points as the sums read it: `block` phases, sines, cosines
// and amplitudes of the `slots` series of one pass, from the block's first.
struct block_view {
  const double *phase, *sine, *cosine;
  std::array<const double *, slots> amp;
};

// Running sums of one centre, lane by lane.
// (Left unset where declared: every block sum sets all of them.)
struct lane_sums {
  alignas(64) double w[lanes];
  alignas(64) double a[slots][lanes];
};

// One double; its mask is a bool. (Every operation is a member: those of
// the wider types must take the target of the region around them, which GCC
// gives no friend.)
struct vec1 {
  static constexpr std::size_t width = 1;
  double v;
  static vec1 all(double x) { return {x}; }
  static vec1 load(const double *p) { return {*p}; }
  void store(double *p) const { *p = v; }
  vec1 operator+(vec1 b) const { return {v + b.v}; }
  vec1 operator-(vec1 b) const { return {v - b.v}; }
  vec1 operator*(vec1 b) const { return {v * b.v}; }
  vec1 operator/(vec1 b) const { return {v / b.v}; }
  static vec1 fma(vec1 a, vec1 b, vec1 c) { return {std::fma(a.v, b.v, c.v)}; }
  static bool below(vec1 x, double limit) { return std::fabs(x.v) < limit; }
  static vec1 select(bool m, vec1 a, vec1 b) { return m ? a : b; }
  static bool any(bool m1, bool m2) { return m1 || m2; }
};

namespace plain {
using vec = vec1;
#include "spectral/konno_ohmachi_kernel.h"
} // namespace plain

#if WAVESPEC_X86_AVX2
// Each wider type and its instances of the sums are compiled for their own
// instructions, chosen at run time by what the processor has.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

// Four doubles; the mask has all bits of a lane set or none.
struct vec4 {
  static constexpr std::size_t width = 4;
  __m256d v;
  static vec4 all(double x) { return {_mm256_set1_pd(x)}; }
  static vec4 load(const double *p) { return {_mm256_loadu_pd(p)}; }
  void store(double *p) const { _mm256_storeu_pd(p, v); }
  vec4 operator+(vec4 b) const { return {_mm256_add_pd(v, b.v)}; }
  vec4 operator-(vec4 b) const { return {_mm256_sub_pd(v, b.v)}; }
  vec4 operator*(vec4 b) const { return {_mm256_mul_pd(v, b.v)}; }
  vec4 operator/(vec4 b) const { return {_mm256_div_pd(v, b.v)}; }
  static vec4 fma(vec4 a, vec4 b, vec4 c) { return {_mm256_fmadd_pd(a.v, b.v, c.v)}; }
  static __m256d below(vec4 x, double limit) {
    const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x.v);
    return _mm256_cmp_pd(magnitude, _mm256_set1_pd(limit), _CMP_LT_OQ);
  }
  static vec4 select(__m256d m, vec4 a, vec4 b) { return {_mm256_blendv_pd(b.v, a.v, m)}; }
  static bool any(__m256d m1, __m256d m2) { return _mm256_movemask_pd(_mm256_or_pd(m1, m2)) != 0; }
};

namespace avx2 {
using vec = vec4;
#include "spectral/konno_ohmachi_kernel.h"
} // namespace avx2

#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

// Eight doubles; the mask has a bit per lane.
struct vec8 {
  static constexpr std::size_t width = 8;
  __m512d v;
  static vec8 all(double x) { return {_mm512_set1_pd(x)}; }
  static vec8 load(const double *p) { return {_mm512_loadu_pd(p)}; }
  void store(double *p) const { _mm512_storeu_pd(p, v); }
  vec8 operator+(vec8 b) const { return {_mm512_add_pd(v, b.v)}; }
  vec8 operator-(vec8 b) const { return {_mm512_sub_pd(v, b.v)}; }
  vec8 operator*(vec8 b) const { return {_mm512_mul_pd(v, b.v)}; }
  vec8 operator/(vec8 b) const { return {_mm512_div_pd(v, b.v)}; }
  static vec8 fma(vec8 a, vec8 b, vec8 c) { return {_mm512_fmadd_pd(a.v, b.v, c.v)}; }
  static __mmask8 below(vec8 x, double limit) {
    return _mm512_cmp_pd_mask(_mm512_abs_pd(x.v), _mm512_set1_pd(limit), _CMP_LT_OQ);
  }
  static vec8 select(__mmask8 m, vec8 a, vec8 b) { return {_mm512_mask_blend_pd(m, b.v, a.v)}; }
  static bool any(__mmask8 m1, __mmask8 m2) { return (m1 | m2) != 0; }
};

namespace avx512 {
using vec = vec8;
#include "spectral/konno_ohmachi_kernel.h"
} // namespace avx512

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

using block_sums_fn = void (*)(const block_view &, const centre &, const centre &, bool,
                               lane_sums &, lane_sums &);

block_sums_fn sums_of(sum_path path) {
  switch (path_taken(path)) {
#if WAVESPEC_X86_AVX2
  case sum_path::avx512:
    return avx512::block_sums;
  case sum_path::avx2:
    return avx2::block_sums;
#endif
  default:
    return plain::block_sums;
  }
}

// Memory whose pages are all mapped at once. A table is built afresh for
// each plan, and on some virtual machines faulting its pages in one at a
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

std::string shortest(double v) {
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, v);
  return {text, r.ptr};
}

} // namespace

sum_path path_taken(sum_path path) {
#if WAVESPEC_X86_AVX2
  static const bool fma = __builtin_cpu_supports("fma");
  static const bool avx512 = __builtin_cpu_supports("avx512f");
  if (path == sum_path::avx512 && avx512)
    return sum_path::avx512;
  if (path != sum_path::plain && has_avx2() && fma)
    return sum_path::avx2;
#endif
  (void)path;
  return sum_path::plain;
}

// The points, padded to a whole number of blocks: the phases, their sines
// and cosines, and the amplitudes of every series widened to double (pass p
// holds series p slots .. p slots + slots - 1, zero where there is none);
// and the span of phases of each block.
struct konno_ohmachi_points::table {
  table(std::size_t count, std::size_t series)
      : points(count), n((count + block - 1) / block * block), passes((series + slots - 1) / slots),
        memory((3 + passes * slots) * sizeof(double) * n),
        phase(reinterpret_cast<double *>(memory.data())), sine(phase + n), cosine(sine + n),
        span(n / block) {}
  // Fills the blocks [first, last) from the frequencies f and the series.
  void fill(std::span<const double> f, std::span<const std::span<const float>> series, double b,
            std::size_t first, std::size_t last);
  [[nodiscard]] double *amplitudes(std::size_t pass, std::size_t slot) const {
    return cosine + n + (pass * slots + slot) * n;
  }
  [[nodiscard]] block_view view(std::size_t begin, std::size_t pass) const {
    block_view v{phase + begin, sine + begin, cosine + begin, {}};
    for (std::size_t q = 0; q < slots; ++q)
      v.amp[q] = amplitudes(pass, q) + begin;
    return v;
  }
  // Whether a point of the block at `begin` may lie near centre c: its phase
  // within `near` of one of the block's, with room to spare for rounding
  // (and at the ends themselves, the room being lost in rounding where the
  // phases are huge).
  [[nodiscard]] bool may_be_near(std::size_t begin, const centre &c) const {
    const auto &[low, high] = span[begin / block];
    return c.phase >= low - 2 * near && c.phase <= high + 2 * near;
  }

  std::size_t points, n, passes;
  mapped_memory memory; // the mapping comes zeroed: padding amplitudes are 0
  double *phase, *sine, *cosine;
  std::vector<std::array<double, 2>> span; // lowest and highest phase of each block
};

void konno_ohmachi_points::table::fill(std::span<const double> f,
                                       std::span<const std::span<const float>> series, double b,
                                       std::size_t first, std::size_t last) {
  const std::size_t end = std::min(last * block, points);
  for (std::size_t k = first * block; k < last * block; ++k) {
    const bool point = k < points;
    phase[k] = point ? b * std::log10(f[k]) : far_phase;
    sine[k] = point ? std::sin(phase[k]) : 0.0;
    cosine[k] = point ? std::cos(phase[k]) : 0.0;
  }
  for (std::size_t s = 0; s < series.size(); ++s) {
    double *to = amplitudes(s / slots, s % slots);
    for (std::size_t k = first * block; k < end; ++k)
      to[k] = static_cast<double>(series[s][k]);
  }
  for (std::size_t i = first; i < last; ++i) {
    const std::size_t begin = i * block;
    const auto [low, high] =
        std::minmax_element(phase + begin, phase + std::min(begin + block, points));
    span[i] = {*low, *high};
  }
}

namespace {

// Runs work(p) for p = 0 .. parts - 1, each on a thread of its own (0 on
// this one); the first failure, if any, is thrown here once all have ended.
// A failure sets `failed_somewhere`, which the others watch.
template <typename Work>
void in_parallel(std::size_t parts, std::atomic<bool> &failed_somewhere, const Work &work) {
  std::vector<std::exception_ptr> failed(parts);
  const auto part = [&](std::size_t p) {
    try {
      work(p);
    } catch (...) {
      failed[p] = std::current_exception();
      failed_somewhere.store(true, std::memory_order_relaxed);
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

// Whether the threads of one smooth() call are to end: the caller's hook
// said so or threw, or a thread failed.
class stop_watch {
public:
  explicit stop_watch(const std::function<bool()> &hook) : hook_(hook) {}
  bool requested() {
    if (ended_.load(std::memory_order_relaxed))
      return true;
    if (!hook_)
      return false;
    try {
      if (!hook_())
        return false;
    } catch (...) {
      ended_.store(true, std::memory_order_relaxed); // before the unwinding
      throw;
    }
    ended_.store(true, std::memory_order_relaxed);
    return true;
  }
  std::atomic<bool> &flag() { return ended_; }

private:
  const std::function<bool()> &hook_;
  std::atomic<bool> ended_{false};
};

// The totals of one centre: the weights, then each slot's weighted amplitudes.
using totals = std::array<double, slots + 1>;

// Adds a block's lane sums to a centre's totals (w, then each slot).
void add_block(const lane_sums &s, totals &total) {
  const auto sum = [](const double(&v)[lanes]) {
    return ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7]));
  };
  total[0] = total[0] + sum(s.w);
  for (std::size_t q = 0; q < slots; ++q)
    total[q + 1] = total[q + 1] + sum(s.a[q]);
}

// One smooth() call: its centres and where their results go (in double, or
// rounded once to float). Each thread sums a run of whole pairs of centres,
// `group` at a time, its own phases, sines and cosines of them taken as it
// comes to them.
struct smoothing {
  const konno_ohmachi_points::table &t;
  double b;
  std::span<const double> frequencies;
  std::size_t series;
  double *out_double;
  float *out_float;
  block_sums_fn sums;
  stop_watch &stop;

  bool run(std::size_t first, std::size_t last) const;
  bool sum_pass(std::size_t pass, std::span<const centre> at, std::span<totals> total) const;
  void write(std::size_t pass, std::size_t first, std::span<const totals> total) const;
};

// Centres [first, last) (first even; last even unless it ends the call).
bool smoothing::run(std::size_t first, std::size_t last) const {
  std::vector<centre> at;
  std::vector<totals> total(std::min(group, last - first) + 1);
  for (std::size_t from = first; from < last; from += group) {
    const std::size_t to = std::min(last, from + group);
    at.clear();
    for (std::size_t c = from; c < to; ++c) {
      const double phase = b * std::log10(frequencies[c]);
      at.push_back({phase, std::sin(phase), std::cos(phase)});
    }
    for (std::size_t pass = 0; pass < t.passes; ++pass) {
      if (!sum_pass(pass, at, total))
        return false;
      write(pass, from, std::span(total).first(at.size()));
    }
  }
  return true;
}

// The totals of the centres `at` (pairs 0 and 1, 2 and 3, ...; the last of
// an odd count alone) over every block of points of one pass: each block,
// while it stays in the cache, goes to every pair, whose totals take the
// block's lane sums in block order. False when asked to stop (looked at
// before each block).
bool smoothing::sum_pass(std::size_t pass, std::span<const centre> at,
                         std::span<totals> total) const {
  std::fill(total.begin(), total.end(), totals{});
  for (std::size_t begin = 0; begin < t.n; begin += block) {
    if (stop.requested())
      return false;
    const block_view points = t.view(begin, pass);
    for (std::size_t c = 0; c < at.size(); c += 2) {
      const centre &c1 = at[c], &c2 = at[c + 1 < at.size() ? c + 1 : c];
      lane_sums s1, s2;
      sums(points, c1, c2, t.may_be_near(begin, c1) || t.may_be_near(begin, c2), s1, s2);
      add_block(s1, total[c]);
      add_block(s2, total[c + 1]);
    }
  }
  return true;
}

// The results of the centres from `first` on for the series of one pass; a
// centre whose weights do not sum to a positive number is refused.
void smoothing::write(std::size_t pass, std::size_t first, std::span<const totals> total) const {
  const std::size_t row = frequencies.size();
  for (std::size_t i = 0; i < total.size(); ++i) {
    const double weight = total[i][0];
    if (!(weight > 0.0) || !std::isfinite(weight))
      throw std::invalid_argument("konno_ohmachi: the weights about the centre frequency " +
                                  shortest(frequencies[first + i]) + " sum to " + shortest(weight) +
                                  ": the Konno-Ohmachi sums cannot be formed there");
    for (std::size_t s = pass * slots; s < std::min(series, pass * slots + slots); ++s) {
      const double value = total[i][s - pass * slots + 1] / weight;
      if (out_float != nullptr)
        out_float[s * row + first + i] = static_cast<float>(value);
      else
        out_double[s * row + first + i] = value;
    }
  }
}

template <typename Out>
bool smooth_into(const konno_ohmachi_points::table &t, double b, std::size_t series,
                 std::span<const double> frequencies, std::span<Out> out, unsigned threads,
                 const std::function<bool()> &hook, sum_path path) {
  for (const double v : frequencies)
    if (!(v > 0.0) || !std::isfinite(v))
      throw std::invalid_argument("konno_ohmachi: the centre frequencies must be positive");
  if (series != 0 && out.size() / series < frequencies.size())
    throw std::invalid_argument("konno_ohmachi: too few results");
  stop_watch stop(hook);
  smoothing job{t, b, frequencies, series, nullptr, nullptr, sums_of(path), stop};
  if constexpr (std::is_same_v<Out, float>)
    job.out_float = out.data();
  else
    job.out_double = out.data();
  const std::size_t row = frequencies.size(), pairs = (row + 1) / 2;
  const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, pairs));
  const auto bound = [&](std::size_t p) { return std::min(row, 2 * (pairs * p / parts)); };
  std::atomic<bool> complete{true};
  in_parallel(parts, stop.flag(), [&](std::size_t p) {
    if (!job.run(bound(p), bound(p + 1)))
      complete.store(false, std::memory_order_relaxed);
  });
  return complete.load();
}

} // namespace

konno_ohmachi_points::konno_ohmachi_points(std::span<const double> f,
                                           std::span<const std::span<const float>> series, double b,
                                           unsigned threads)
    : b_(b), series_(series.size()) {
  if (!(b > 0.0) || !std::isfinite(b))
    throw std::invalid_argument("konno_ohmachi: b must be positive");
  for (const double v : f)
    if (!(v > 0.0) || !std::isfinite(v))
      throw std::invalid_argument("konno_ohmachi: the frequencies must be positive");
  for (const auto &s : series)
    if (s.size() != f.size())
      throw std::invalid_argument("konno_ohmachi: a series is not as long as the frequencies");
  if (f.empty())
    throw std::invalid_argument("konno_ohmachi: too few points or results");
  table_ = std::make_unique<table>(f.size(), series.size());
  const std::size_t blocks = table_->n / block;
  const std::size_t fillers = std::max<std::size_t>(1, std::min<std::size_t>(threads, blocks));
  std::atomic<bool> failed{false};
  in_parallel(fillers, failed, [&](std::size_t p) {
    table_->fill(f, series, b, blocks * p / fillers, blocks * (p + 1) / fillers);
  });
}

konno_ohmachi_points::~konno_ohmachi_points() = default;

bool konno_ohmachi_points::smooth(std::span<const double> centres, std::span<double> out,
                                  unsigned threads, const std::function<bool()> &stop,
                                  sum_path path) const {
  return smooth_into(*table_, b_, series_, centres, out, threads, stop, path);
}

bool konno_ohmachi_points::smooth(std::span<const double> centres, std::span<float> out,
                                  unsigned threads, const std::function<bool()> &stop,
                                  sum_path path) const {
  return smooth_into(*table_, b_, series_, centres, out, threads, stop, path);
}

void konno_ohmachi_sums(std::span<const double> f, std::span<const std::span<const float>> series,
                        double b, std::span<const double> centres, std::span<double> sums,
                        unsigned threads, sum_path path) {
  konno_ohmachi_points(f, series, b, threads).smooth(centres, sums, threads, {}, path);
}

} // namespace wavespec::spectral

namespace wavespec {

konno_ohmachi_plan::konno_ohmachi_plan(std::span<const double> f,
                                       std::span<const std::span<const float>> series, double b,
                                       unsigned threads) {
  if (b > max_konno_ohmachi_coefficient && std::isfinite(b))
    throw std::invalid_argument("the Konno-Ohmachi coefficient " + spectral::shortest(b) +
                                " is above the largest that can be summed, " +
                                spectral::shortest(max_konno_ohmachi_coefficient));
  points_ = std::make_shared<const spectral::konno_ohmachi_points>(f, series, b, threads);
}

bool konno_ohmachi_plan::smooth(std::span<const double> centres, std::span<float> out,
                                unsigned threads, const std::function<bool()> &stop) const {
  return points_->smooth(centres, out, threads, stop);
}

std::size_t konno_ohmachi_plan::series() const {
  return points_->series();
}

void konno_ohmachi(std::span<const double> f, std::span<const std::span<const float>> series,
                   double b, std::span<const double> centres, std::span<float> smoothed,
                   unsigned threads) {
  konno_ohmachi_plan(f, series, b, threads).smooth(centres, smoothed, threads);
}

std::vector<double> log_spaced_frequencies(double fmin, double fmax, std::int64_t n) {
  if (!(fmin > 0.0 && fmin < fmax && std::isfinite(fmax / fmin)) || n < 2 || n > 10'000'000)
    throw std::invalid_argument("frequencies: FMIN:FMAX:N with 0 < FMIN < FMAX, FMAX / FMIN "
                                "finite, and N from 2 to 10000000");
  std::vector<double> out(static_cast<std::size_t>(n));
  const double decades = std::log10(fmax / fmin);
  for (std::int64_t i = 0; i < n; ++i)
    out[static_cast<std::size_t>(i)] =
        fmin * std::pow(10.0, static_cast<double>(i) * decades / static_cast<double>(n - 1));
  return out;
}

std::vector<double> per_decade_frequencies(double fmin, double fmax) {
  if (!(fmin > 0.0 && fmin <= fmax && std::isfinite(fmax / fmin)))
    throw std::invalid_argument("frequencies: 0 < FMIN <= FMAX, FMAX / FMIN finite");
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
