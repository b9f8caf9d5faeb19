// wavespec's spectral computation for other programs: the radix-2 transform,
// spectrum preparation, integration or differentiation, and Parzen-window
// smoothing, on spans the caller owns. The results are bit for bit those of
// the wavespec program, which uses these same functions.
//
//   std::vector<float> x = ...;                 // nt samples at interval dt
//   std::vector<wavespec::complex32> fx(nf);    // nf: a power of two >= nt
//   auto grid = wavespec::prepare(x, dt, fx);   // spectrum * dt, and its grid
//   wavespec::integrate(wavespec::operation::double_integrate, grid, fx);
//   std::vector<float> amp(grid.nom), work(grid.nom);
//   wavespec::amplitudes(std::span(fx).first(grid.nom), amp);
//   wavespec::smooth(amp, work, grid.df, wavespec::window(0.5f, grid.df));
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>

#include "spectral/amplitudes.h"
#include "spectral/complex32.h"
#include "spectral/integrate.h"
#include "spectral/prepare.h"
#include "spectral/swin.h"
#include "spectral/wvfast.h"

namespace wavespec {

using spectral::complex32;
using spectral::frequency_grid;
using spectral::parzen_window;
using spectral::window_verdict;
using operation = spectral::spectral_operation;

// In-place transform of a.size() values (a power of two), not normalised:
// a[q] <- sum_p a[p] exp(sign * 2 pi i p q / n), with the program's pi.
inline void transform(std::span<complex32> a, int sign = -1) {
  spectral::wvfast(static_cast<int>(a.size()), a, static_cast<int>(a.size()), sign);
}

// Fills fx with the samples and zeros, transforms it forward and scales it by
// dt; returns the frequency grid. fx.size() is the transform length, a power
// of two from 4 up, at least samples.size().
inline frequency_grid prepare(std::span<const float> samples, float dt, std::span<complex32> fx) {
  const auto nf = static_cast<std::int32_t>(fx.size());
  if (nf < 4 || (nf & (nf - 1)) != 0 || samples.size() > fx.size())
    throw std::invalid_argument(
        "wavespec::prepare: fx must hold a power of two >= 4, >= the samples");
  spectral::prepare_spectrum(static_cast<std::int32_t>(samples.size()), dt, nf, samples, fx);
  return spectral::make_grid(nf, dt);
}

// The same with the transform's factors from `table`, built once for several
// series of the same length (twiddle_table(nf, -1)); the results are the same.
using spectral::twiddle_table;
inline frequency_grid prepare(std::span<const float> samples, float dt, std::span<complex32> fx,
                              const twiddle_table &table) {
  const auto nf = static_cast<std::int32_t>(fx.size());
  if (nf < 4 || table.size() != nf || table.sign() != -1 || samples.size() > fx.size())
    throw std::invalid_argument("wavespec::prepare: table, spectrum and samples do not match");
  spectral::prepare_spectrum(static_cast<std::int32_t>(samples.size()), dt, nf, samples, fx, table);
  return spectral::make_grid(nf, dt);
}

// Divides the one-sided spectrum (points 0 .. nom-1) by i omega or -omega^2,
// or multiplies it by i omega; the 0 Hz value stays for integration.
inline void integrate(operation op, const frequency_grid &grid, std::span<complex32> fx) {
  spectral::apply_operation(op, grid.nom, grid.dom, fx);
}

// The operation of the dialogue's answer: 1, 2, 3; any other value is none.
inline operation operation_for(std::int32_t nit) {
  return spectral::operation_for(nit);
}

// The bandwidth limits shown to the user: df * 3.70861 and df * 92.71525.
inline float narrowest_band(float df) {
  return spectral::narrowest_band(df);
}
inline float widest_band(float df) {
  return spectral::widest_band(df);
}

// |z| as the program forms it.
inline float amplitude(complex32 z) {
  return spectral::complex_abs(z);
}

// amplitude() of every value of z into out (at least as long), the same bits.
inline void amplitudes(std::span<const complex32> z, std::span<float> out) {
  if (out.size() < z.size())
    throw std::invalid_argument("wavespec::amplitudes: out too short");
  spectral::complex_abs_all(z, out);
}

// The Parzen window of bandwidth `band` (Hz) for the frequency step df, or
// the reason it is refused (verdict too_narrow or too_wide); band 0 means none.
inline parzen_window window(float band, float df) {
  return spectral::make_window(band, df);
}

// Smooths the amplitude spectrum in place; `power` (same size) receives the
// smoothed power spectrum. The window must not be refused.
inline void smooth(std::span<float> amplitude_spectrum, std::span<float> power, float df,
                   const parzen_window &w) {
  if (w.verdict == window_verdict::too_narrow || w.verdict == window_verdict::too_wide)
    throw std::invalid_argument("wavespec::smooth: the bandwidth was refused");
  if (power.size() < amplitude_spectrum.size())
    throw std::invalid_argument("wavespec::smooth: power too short");
  spectral::smooth(static_cast<std::int32_t>(amplitude_spectrum.size()), amplitude_spectrum, power,
                   100, df, w);
}

} // namespace wavespec
