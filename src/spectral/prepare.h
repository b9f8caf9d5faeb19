// Spectrum preparation: the samples become scaled spectra on a frequency grid.
#pragma once

#include <cstdint>
#include <span>

#include "spectral/complex32.h"
#include "spectral/wvfast.h"

namespace wavespec::spectral {

// The program's 2 pi: the float value of the decimal 6.283185.
inline constexpr float two_pi = 6.283185f;

struct frequency_grid {
  float dur;        // nf * dt, the duration of the transformed series
  float df;         // 1 / dur, the frequency step (Hz)
  float dom;        // df * 2 pi, the angular-frequency step (rad/s)
  std::int32_t nom; // nf / 2 + 1 one-sided points
  float eom;        // nom * dom
  float highest;    // eom / 2 pi, reported as the highest frequency
};

// Fills fx[0 .. nf-1] with (x[i], 0) for the nt samples and zeros after them,
// transforms it forward and multiplies every value by (dt, 0). Nothing above
// nf is touched. 0 <= nt <= nf, nf a power of two.
void prepare_spectrum(std::int32_t nt, float dt, std::int32_t nf, std::span<const float> x,
                      std::span<complex32> fx);
// The same with the transform's factors from `table` (length nf, sign -1).
void prepare_spectrum(std::int32_t nt, float dt, std::int32_t nf, std::span<const float> x,
                      std::span<complex32> fx, const twiddle_table &table);

[[nodiscard]] frequency_grid make_grid(std::int32_t nf, float dt);

} // namespace wavespec::spectral
