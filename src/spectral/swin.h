// Parzen-window smoothing with work buffers kept between calls.
#pragma once

#include <cstddef>
#include <span>

#include "wavespec/spectral.hpp"

namespace wavespec::spectral {

// The work buffers of one smoothing of nf points: the padded power and the
// window sums, each padded_length(nf) values.
struct smoothing_buffers {
  std::span<double> padded;
  std::span<float> sums;
};

// nf + 4 (max_window_points - 1): enough for the widest window.
[[nodiscard]] constexpr std::size_t padded_length(std::size_t nf) {
  return nf + 4 * (max_window_points - 1);
}

// f (the amplitudes of nf = f.size() points) into power g (as long), smoothed
// by an accepted window (or left as it is for no smoothing), and back into f.
// The interior points carry twice the squared amplitude over the duration
// 1 / df, the end points once; the window sums that fall outside the series
// are folded back onto it.
void smooth_spectrum(std::span<float> f, std::span<float> g, float df, const parzen_window &window,
                     const smoothing_buffers &work);

} // namespace wavespec::spectral
