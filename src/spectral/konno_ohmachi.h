// The Konno-Ohmachi sums before their rounding to float, for the tests.
#pragma once

#include <span>

#include "wavespec/spectral.hpp"

namespace wavespec::spectral {

// Which code sums: the fastest the processor runs, AVX2 at most, or plain.
enum class sum_path { best, avx2, plain };

// As wavespec::konno_ohmachi, into doubles.
void konno_ohmachi_sums(std::span<const double> f, std::span<const std::span<const float>> series,
                        double b, std::span<const double> centres, std::span<double> sums,
                        unsigned threads, sum_path path = sum_path::best);

} // namespace wavespec::spectral
