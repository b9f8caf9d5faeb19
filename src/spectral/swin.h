// Parzen-window smoothing of one-sided amplitude spectra.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace wavespec::spectral {

enum class window_verdict {
  accepted,
  no_smoothing, // band = 0
  too_narrow,   // udf > 0.5, or a negative band
  too_wide      // 2 / udf >= 101
};

inline constexpr int max_window_points = 101;

// The one-sided window: w[0] is the centre weight, w[l-1] the weight at a
// distance of l - 1 points on either side, l = 1 .. lmax.
struct parzen_window {
  window_verdict verdict = window_verdict::no_smoothing;
  float udf = 0.0f; // (1.854305 / band) * df
  int lmax = 0;     // 5 .. 101 for an accepted band
  std::array<float, max_window_points> w{};
};

// Tests the bandwidth and builds the window for a frequency step `df`.
[[nodiscard]] parzen_window make_window(float band, float df);

// band1 = df * 3.70861 and band2 = df * 92.71525, the limits shown to the user.
[[nodiscard]] float narrowest_band(float df);
[[nodiscard]] float widest_band(float df);

// Smooths f[0 .. nf-1] with `window` (accepted or no_smoothing). With
// ind == 100 the power g is first formed from the amplitudes f; otherwise g
// already holds it. On return f holds the smoothed amplitude spectrum and g
// the smoothed power spectrum. Nothing outside points 0 .. nf-1 is touched.
void smooth(std::int32_t nf, std::span<float> f, std::span<float> g, std::int32_t ind, float df,
            const parzen_window &window);

} // namespace wavespec::spectral
