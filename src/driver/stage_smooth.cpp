#include "driver/stages.h"
#include "wavespec/spectrum.hpp"

namespace wavespec::driver {

using namespace records;

namespace {

// Smooths one amplitude spectrum f (nf points, power into g). A refused
// bandwidth is reported; the user ends the run with 0 or goes on with this
// spectrum unsmoothed.
void swin(record_streams &io, std::int32_t nf, std::span<float> f, std::span<float> g,
          std::int32_t /*nd*/, std::int32_t /*ind, 100*/, float df, float band) {
  static const fixed_layout narrow("('Bandwidth is too narrow!')");
  static const fixed_layout wide("('Bandwidth is too wide!')");
  const wavespec::parzen_window window = wavespec::window(band, df);
  if (window.verdict == wavespec::window_verdict::too_narrow ||
      window.verdict == wavespec::window_verdict::too_wide) {
    write_fixed_record(io, console,
                       window.verdict == wavespec::window_verdict::too_narrow ? narrow : wide);
    write_free_record(io, console, {free_item::text("Enter 0 for stop")});
    std::int32_t nstop = 0; // an answer with no value means stop
    const read_target answer[] = {nstop};
    (void)read_free_record(io, keyboard, answer);
    if (nstop == 0)
      stop_run(io);
    return;
  }
  // with ind 100 the power g is formed from the amplitudes f
  wavespec::smooth(f.first(static_cast<std::size_t>(nf)), g.first(static_cast<std::size_t>(nf)), df,
                   window);
}

void amplitudes(std::span<const wavespec::complex32> fx, std::span<float> sf, std::int32_t nf) {
  wavespec::amplitudes(fx.first(static_cast<std::size_t>(nf)), sf);
}

} // namespace

void run_smooth_stage(record_streams &io, analysis_state &st) {
  const auto text = free_item::text;
  write_free_record(io, console, {});
  write_free_record(io, console, {text("Smoothing Spectra by Parzen Windows")});
  write_free_record(io, console, {});
  write_free_record(io, console, {text("Delta Freq(Hz)="), free_item::real(st.df)});
  write_free_record(io, console, {text("Enter Band Width(Hz):")});
  st.band1 = wavespec::narrowest_band(st.df);
  st.band2 = wavespec::widest_band(st.df);
  write_free_record(io, console, {text("   BAND must be larger than"), free_item::real(st.band1)});
  write_free_record(io, console, {text("   BAND must be smaller than"), free_item::real(st.band2)});
  write_free_record(io, console, {text("   if Band=0, No smoothing.")});
  write_free_record(io, console, {});
  write_free_record(io, console, {text("Enter Band Width(Hz):")});
  st.band = 0.0f; // an answer with no value means no smoothing
  const read_target answer[] = {st.band};
  (void)read_free_record(io, keyboard, answer);
  amplitudes(st.fx1, st.sf1, st.nf);
  amplitudes(st.fx2, st.sf2, st.nf);
  amplitudes(st.fx3, st.sf3, st.nf);
  swin(io, st.nom, st.sf1, st.sg, capacity, 100, st.df, st.band);
  swin(io, st.nom, st.sf2, st.sg, capacity, 100, st.df, st.band);
  swin(io, st.nom, st.sf3, st.sg, capacity, 100, st.df, st.band);
}

} // namespace wavespec::driver
