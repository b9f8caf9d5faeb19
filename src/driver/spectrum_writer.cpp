#include <algorithm>
#include <array>

#include "driver/stages.h"
#include "wavespec/spectrum.hpp"

namespace wavespec::driver {

using namespace records;

void run_output_stage(record_streams &io, analysis_state &st) {
  static const fixed_layout prompt("(/,1X,'Enter output file name (csv format)')");
  static const fixed_layout name_answer("(A30)");
  static const fixed_layout row("(F8.4,6(',',E14.6))");
  write_free_record(io, console, {});
  write_free_record(io, console,
                    {free_item::text("Output of Original and Smoothed Fourier Spectrum:")});
  write_fixed_record(io, console, prompt);
  st.infile = read_fixed_record(io, keyboard, name_answer);
  open_record_file(io, spectrum_file, st.infile);
  write_free_record(
      io, spectrum_file,
      {free_item::text(
          "freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z")});
  // The Original amplitudes are formed afresh from the spectra, a run of
  // rows at a time.
  constexpr std::size_t run = 512;
  std::array<std::array<float, run>, 3> original{};
  const auto nom = static_cast<std::size_t>(st.nom);
  for (std::size_t first = 0; first < nom; first += run) {
    const std::size_t count = std::min(run, nom - first);
    wavespec::amplitudes(std::span(st.fx1).subspan(first, count), original[0]);
    wavespec::amplitudes(std::span(st.fx2).subspan(first, count), original[1]);
    wavespec::amplitudes(std::span(st.fx3).subspan(first, count), original[2]);
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t at = first + r; // row i = at + 1
      st.fq = static_cast<float>(static_cast<double>(at) * static_cast<double>(st.df));
      const float values[] = {st.fq,      original[0][r], st.sf1[at], original[1][r],
                              st.sf2[at], original[2][r], st.sf3[at]};
      write_fixed_record(io, spectrum_file, row, values);
    }
  }
  close_record_file(io, spectrum_file);
}

} // namespace wavespec::driver
