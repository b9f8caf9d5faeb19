// The spectrum CSV's layout, shared by the library's writer and the dialogue
// (which writes the same records through its own spectrum stream).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "records/layout.h"
#include "wavespec/analysis.hpp"
#include "wavespec/csv.hpp"
#include "wavespec/output_file.hpp"

namespace wavespec::core {

// Bytes into a file written whole or not at all.
class file_sink final : public byte_sink {
public:
  explicit file_sink(output_file &out) : out_(out) {}
  void write(std::string_view bytes) override { out_.write(bytes); }

private:
  output_file &out_;
};

// The header: one free-format record of this text.
inline constexpr std::string_view csv_columns =
    "freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z";

// The layout of a row: the frequency, then the six amplitudes.
[[nodiscard]] const records::fixed_layout &csv_row_layout();

// The values of row i (0 .. nom-1): the frequency, then the original and the
// smoothed amplitude of X, Y and Z.
[[nodiscard]] std::array<float, 7> csv_row(const spectrum_view &s, std::int32_t i);

// The file of `s` in parts, for rows that come a chunk at a time: its header
// line, then the rows `s` holds (after `block`, the bytes to go first).
void write_csv_header(const spectrum_view &s, byte_sink &out);
void write_csv_rows(const spectrum_view &s, byte_sink &out, std::string block = {});

} // namespace wavespec::core
