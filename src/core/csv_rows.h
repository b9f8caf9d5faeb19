// The spectrum CSV's layout, shared by the library's writer and the dialogue
// (which writes the same records through its own spectrum stream).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "records/layout.h"
#include "wavespec/analysis.hpp"

namespace wavespec::core {

// The header: one free-format record of this text.
inline constexpr std::string_view csv_columns =
    "freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z";

// The layout of a row: the frequency, then the six amplitudes.
[[nodiscard]] const records::fixed_layout &csv_row_layout();

// The values of row i (0 .. nom-1): the frequency, then the original and the
// smoothed amplitude of X, Y and Z.
[[nodiscard]] std::array<float, 7> csv_row(const spectrum_view &s, std::int32_t i);

} // namespace wavespec::core
