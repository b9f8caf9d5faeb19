// The spectrum CSV file, byte for byte the file the dialogue writes:
//
//    freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z
//     0.0000,  0.107834E+00,  0.538097E+01,  0.528876E+00, ...
//
// a header line that starts with a blank, then for each of the nom frequency
// points the frequency (8 columns, 4 decimals, "********" from 1000 Hz up)
// and the six amplitudes (14 columns, "0." and 6 digits, a two-digit
// exponent), each rounded from its exact binary value, ties away from zero.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string_view>

#include "wavespec/analysis.hpp"

namespace wavespec {

// Where write_csv puts its bytes, in pieces of up to about 64 KiB.
class byte_sink {
public:
  virtual ~byte_sink() = default;
  virtual void write(std::string_view bytes) = 0;
};

void write_csv(const spectrum_view &s, byte_sink &out);
// Throws std::ios_base::failure when the stream fails.
void write_csv(const spectrum_view &s, std::ostream &out);
// Writes the file whole or not at all: into a new file beside `path`, renamed
// into place when complete (a symbolic link is followed; a device or a FIFO
// is written through). Throws std::system_error naming the path.
void write_csv(const spectrum_view &s, const std::filesystem::path &path);

} // namespace wavespec
