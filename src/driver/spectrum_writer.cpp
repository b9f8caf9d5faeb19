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
  for (std::int32_t i = 1; i <= st.nom; ++i) {
    const auto at = static_cast<std::size_t>(i - 1);
    st.fq = static_cast<float>(static_cast<double>(i - 1) * static_cast<double>(st.df));
    const float values[] = {
        st.fq,      wavespec::amplitude(st.fx1[at]), st.sf1[at], wavespec::amplitude(st.fx2[at]),
        st.sf2[at], wavespec::amplitude(st.fx3[at]), st.sf3[at]};
    write_fixed_record(io, spectrum_file, row, values);
  }
  close_record_file(io, spectrum_file);
}

} // namespace wavespec::driver
