#include "spectral/swin.h"

#include <cmath>
#include <stdexcept>
#include <vector>

#include "spectral/avx2.h"

namespace wavespec {
namespace {

// The window parameter is udf = (u_times_band / band) * df. The bandwidth
// limits shown to the user are the bands at which it reaches its two bounds:
// 0.5, the narrowest window (2 * 1.854305 = 3.70861), and 0.02, a window of
// 2 / udf = 100 points (50 * 1.854305 = 92.71525). Each product of the float
// constant is the float of its decimal.
constexpr float u_times_band = 1.854305f;
constexpr auto narrowest_factor = static_cast<float>(2.0 * static_cast<double>(u_times_band));
constexpr auto widest_factor = static_cast<float>(50.0 * static_cast<double>(u_times_band));
static_assert(narrowest_factor == 3.70861f && widest_factor == 92.71525f);
constexpr float half_pi = 1.570796f;

double d(float x) {
  return static_cast<double>(x);
}

// A work buffer seen from position 1.
template <typename T> struct one_based {
  T *p;
  T &operator[](int i) const { return p[i - 1]; }
};

void build_weights(parzen_window &win) {
  win.w[0] = static_cast<float>(d(win.udf) * 0.75);
  for (int l = 2; l <= win.lmax; ++l) {
    const auto dif = static_cast<float>(static_cast<double>(l - 1) * d(half_pi) * d(win.udf));
    const auto sine = static_cast<float>(std::sin(d(dif)));
    const auto ratio = static_cast<float>(d(sine) / d(dif));
    const auto square = static_cast<float>(d(ratio) * d(ratio));
    win.w[static_cast<std::size_t>(l - 1)] =
        static_cast<float>(d(square) * d(square) * d(win.w[0]));
  }
}

// Power from amplitude: the interior points twice, the end points once.
void amplitude_to_power(std::int32_t nf, std::span<const float> f, std::span<float> g, float t) {
  const auto n = static_cast<std::size_t>(nf);
  for (std::size_t k = 1; k + 1 < n; ++k) {
    const auto q = static_cast<float>(d(f[k]) * d(f[k]));
    g[k] = static_cast<float>(2.0 * d(q) / d(t));
  }
  g[0] = static_cast<float>(d(f[0]) * d(f[0]) / d(t));
  g[n - 1] = static_cast<float>(d(f[n - 1]) * d(f[n - 1]) / d(t));
}

void power_to_amplitude(std::int32_t nf, std::span<float> f, std::span<const float> g, float t) {
  const auto n = static_cast<std::size_t>(nf);
  f[0] = static_cast<float>(std::sqrt(d(g[0]) * d(t)));
  for (std::size_t k = 1; k + 1 < n; ++k)
    f[k] = static_cast<float>(std::sqrt(d(g[k]) * d(t) / 2.0));
  f[n - 1] = static_cast<float>(std::sqrt(d(g[n - 1]) * d(t)));
}

// Work buffers, 1-based as in the description of the layout:
//   g1: ll-1 zeros | g(1) .. g(nf) at ll .. ln | ll-1 zeros, lt values
//   g2: window sums at lmax .. le; positions below lmax unused
// Each window sum s starts as w(1) g1(k) and takes the pairs l = 2 .. lmax in
// that order, the pair summed first, s rounded to float after each l. g1
// holds its float values widened to double, which is exact and spares the
// conversion in the innermost loop.

// The window sums of points m = begin .. count-1, the point m at centre[m]
// with its pair l at centre[m - (l - 1)] and centre[m + (l - 1)]: one point
// at a time, in the order that every faster path keeps for each point.
void window_sums_plain(float *sums, const double *centre, int begin, int count, const float *w,
                       int lmax) {
  for (int m = begin; m < count; ++m) {
    auto s = static_cast<float>(d(w[0]) * centre[m]);
    for (int l = 2; l <= lmax; ++l)
      s = static_cast<float>(d(s) + d(w[l - 1]) * (centre[m - (l - 1)] + centre[m + (l - 1)]));
    sums[m] = s;
  }
}

#if WAVESPEC_X86_AVX2
// The same 32 points at a time, their sums held in eight registers of four
// doubles while l runs: each lane does the scalar operations in the scalar
// order (separate multiply and add, never fused; a float rounding after each
// l). Returns the number of points done, a multiple of 32.
__attribute__((target("avx2"))) int window_sums_avx2(float *sums, const double *centre, int count,
                                                     const float *w, int lmax) {
  constexpr int lanes = 8, block = 4 * lanes;
  std::array<double, max_window_points> wide_w{};
  for (int l = 1; l <= lmax; ++l)
    wide_w[static_cast<std::size_t>(l - 1)] = d(w[l - 1]);
  int m = 0;
  for (; m + block <= count; m += block) {
    __m256d s[lanes];
    const __m256d w1 = _mm256_set1_pd(wide_w[0]);
    for (int j = 0; j < lanes; ++j) {
      const __m256d g = _mm256_loadu_pd(centre + m + 4 * j);
      s[j] = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_mul_pd(w1, g)));
    }
    for (int l = 2; l <= lmax; ++l) {
      const __m256d wl = _mm256_set1_pd(wide_w[static_cast<std::size_t>(l - 1)]);
      for (int j = 0; j < lanes; ++j) {
        const double *at = centre + m + 4 * j;
        const __m256d pair =
            _mm256_add_pd(_mm256_loadu_pd(at - (l - 1)), _mm256_loadu_pd(at + (l - 1)));
        const __m256d sum = _mm256_add_pd(s[j], _mm256_mul_pd(wl, pair));
        s[j] = _mm256_cvtps_pd(_mm256_cvtpd_ps(sum));
      }
    }
    for (int j = 0; j < lanes; ++j)
      _mm_storeu_ps(sums + m + 4 * j, _mm256_cvtpd_ps(s[j]));
  }
  return m;
}
#endif

void window_sums(float *sums, const double *centre, int count, const float *w, int lmax) {
  int done = 0;
#if WAVESPEC_X86_AVX2
  if (spectral::has_avx2())
    done = window_sums_avx2(sums, centre, count, w, lmax);
#endif
  window_sums_plain(sums, centre, done, count, w, lmax);
}

void convolve_and_fold(std::int32_t nf, std::span<float> g, const parzen_window &win,
                       const spectral::smoothing_buffers &work) {
  const int lmax = win.lmax;
  const int ll = 2 * lmax - 1;
  const int ln = ll + nf - 1;
  const int lt = nf + 2 * (ll - 1);
  const int le = lt - lmax + 1;
  const one_based<double> g1{work.padded.data()};
  const one_based<float> g2{work.sums.data()};
  for (int k = 1; k < ll; ++k)
    g1[k] = 0.0;
  for (int k = 1; k <= nf; ++k)
    g1[k + ll - 1] = d(g[static_cast<std::size_t>(k - 1)]);
  for (int k = ln + 1; k <= lt; ++k)
    g1[k] = 0.0;
  window_sums(&g2[lmax], &g1[lmax], le - lmax + 1, win.w.data(), lmax);
  // Fold the window sums that fall outside the series back onto it.
  for (int l = 2; l <= lmax; ++l) {
    g2[ll + l - 1] = g2[ll + l - 1] + g2[ll - l + 1];
    g2[ln - l + 1] = g2[ln - l + 1] + g2[ln + l - 1];
  }
  for (int k = 1; k <= nf; ++k)
    g[static_cast<std::size_t>(k - 1)] = g2[k + ll - 1];
}

} // namespace

float narrowest_band(float df) {
  return static_cast<float>(d(df) * d(narrowest_factor));
}

float widest_band(float df) {
  return static_cast<float>(d(df) * d(widest_factor));
}

parzen_window make_window(float band, float df) {
  parzen_window win;
  if (band == 0.0f)
    return win;
  if (band < 0.0f) { // no usable window: refused like a too narrow band
    win.verdict = window_verdict::too_narrow;
    return win;
  }
  win.udf = static_cast<float>(d(u_times_band) / d(band) * d(df));
  if (win.udf > 0.5f) {
    win.verdict = window_verdict::too_narrow;
    return win;
  }
  const double length = 2.0 / d(win.udf);
  if (!(length < 101.0)) { // also a zero udf, where the length is infinite
    win.verdict = window_verdict::too_wide;
    return win;
  }
  win.lmax = static_cast<int>(length) + 1;
  win.verdict = window_verdict::accepted;
  build_weights(win);
  return win;
}

namespace spectral {

void smooth_spectrum(std::span<float> f, std::span<float> g, float df, const parzen_window &window,
                     const smoothing_buffers &work) {
  const auto nf = static_cast<std::int32_t>(f.size());
  if (nf <= 0)
    return;
  const auto t = static_cast<float>(1.0 / d(df));
  amplitude_to_power(nf, f, g, t);
  if (window.verdict == window_verdict::accepted)
    convolve_and_fold(nf, g, window, work);
  power_to_amplitude(nf, f, g, t);
}

} // namespace spectral

void smooth(std::span<float> amplitude_spectrum, std::span<float> power, float df,
            const parzen_window &window) {
  if (window.verdict == window_verdict::too_narrow || window.verdict == window_verdict::too_wide)
    throw std::invalid_argument("wavespec::smooth: the bandwidth was refused");
  if (power.size() < amplitude_spectrum.size() ||
      amplitude_spectrum.size() > (std::size_t{1} << 30))
    throw std::invalid_argument("wavespec::smooth: power is shorter than the spectrum");
  std::vector<double> padded(spectral::padded_length(amplitude_spectrum.size()));
  std::vector<float> sums(padded.size());
  const spectral::smoothing_buffers work{padded, sums};
  spectral::smooth_spectrum(amplitude_spectrum, power.first(amplitude_spectrum.size()), df, window,
                            work);
}

} // namespace wavespec
