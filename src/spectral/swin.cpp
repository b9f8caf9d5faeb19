#include "spectral/swin.h"

#include <cmath>
#include <vector>

namespace wavespec::spectral {
namespace {

constexpr float u_times_band = 1.854305f;
constexpr float half_pi = 1.570796f;

double d(float x) {
  return static_cast<double>(x);
}

// A work buffer seen from position 1.
struct one_based {
  float *p;
  float &operator[](int i) const { return p[i - 1]; }
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
// that order, the pair summed first, s rounded to float after each l. The
// loop over l is outside the loop over k so that neighbouring points are
// summed side by side; the order for each point is unchanged.
// Where the processor has AVX2 the window sums run four points at a time; the
// operations, and so the results, are the same (no fused multiply-add).
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void window_sums(float *s, const float *below, const float *above, int count, double wl) {
  for (int m = 0; m < count; ++m)
    s[m] = static_cast<float>(d(s[m]) + wl * (d(below[m]) + d(above[m])));
}

void convolve_and_fold(std::int32_t nf, std::span<float> g, const parzen_window &win) {
  const int lmax = win.lmax;
  const int ll = 2 * lmax - 1;
  const int ln = ll + nf - 1;
  const int lt = nf + 2 * (ll - 1);
  const int le = lt - lmax + 1;
  std::vector<float> g1_store(static_cast<std::size_t>(lt), 0.0f); // lt values each
  std::vector<float> g2_store(static_cast<std::size_t>(lt), 0.0f);
  const one_based g1{g1_store.data()}, g2{g2_store.data()};
  for (int k = 1; k <= nf; ++k)
    g1[k + ll - 1] = g[static_cast<std::size_t>(k - 1)];
  const double w1 = d(win.w[0]);
  for (int k = lmax; k <= le; ++k)
    g2[k] = static_cast<float>(w1 * d(g1[k]));
  for (int l = 2; l <= lmax; ++l) {
    const double wl = d(win.w[static_cast<std::size_t>(l - 1)]);
    // g1(k - l + 1) and g1(k + l - 1) from k = lmax on, side by side
    window_sums(&g2[lmax], &g1[lmax - l + 1], &g1[lmax + l - 1], le - lmax + 1, wl);
  }
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
  return static_cast<float>(d(df) * d(3.70861f));
}
float widest_band(float df) {
  return static_cast<float>(d(df) * d(92.71525f));
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

void smooth(std::int32_t nf, std::span<float> f, std::span<float> g, std::int32_t ind, float df,
            const parzen_window &window) {
  if (nf <= 0)
    return;
  const auto t = static_cast<float>(1.0 / d(df));
  if (ind == 100)
    amplitude_to_power(nf, f, g, t);
  if (window.verdict == window_verdict::accepted)
    convolve_and_fold(nf, g, window);
  power_to_amplitude(nf, f, g, t);
}

} // namespace wavespec::spectral
