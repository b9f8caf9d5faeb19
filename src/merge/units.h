// Units and names in the converter's output: the library's unit table
// (wavespec/units.hpp) gives each known unit its canonical spelling, which
// wavespec's sidecar reads back; other names are made single header words.
#pragma once

#include <string>
#include <string_view>

#include "wavespec/units.hpp"

namespace wavespec::merge {

using wavespec::kind_name;
using wavespec::known_unit;
using wavespec::parse_unit;
using wavespec::unit_kind;

// `text` as a unit name in the output: canonical when known, otherwise the
// text with blanks, commas and parentheses made '_' (empty: "?").
[[nodiscard]] std::string unit_label(std::string_view text);

// A name written in the output header: blanks, tabs, commas, parentheses
// and '=' become '_', so that the header stays one word per component.
[[nodiscard]] std::string header_word(std::string_view text);

} // namespace wavespec::merge
