// The Konno-Ohmachi sums before their rounding to float, for the tests.
#pragma once

#include <span>

#include "wavespec/spectral.hpp"

namespace wavespec::spectral {

// As wavespec::konno_ohmachi, into doubles; `plain` takes the plain path
// even where AVX2 runs.
void konno_ohmachi_sums(std::span<const double> f, std::span<const std::span<const float>> series,
                        double b, std::span<const double> centres, std::span<double> sums,
                        unsigned threads, bool plain = false);

} // namespace wavespec::spectral
