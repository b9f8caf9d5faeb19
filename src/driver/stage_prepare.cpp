#include "driver/stages.h"
#include "spectral/prepare.h"

namespace wavespec::driver {

using namespace records;

void run_prepare_stage(record_streams &io, analysis_state &st) {
  const spectral::twiddle_table table(st.nf, -1); // one set of factors for all three
  spectral::prepare_spectrum(st.nt, st.dt, st.nf, st.xr1, st.fx1, table);
  spectral::prepare_spectrum(st.nt, st.dt, st.nf, st.xr2, st.fx2, table);
  spectral::prepare_spectrum(st.nt, st.dt, st.nf, st.xr3, st.fx3, table);
  const spectral::frequency_grid g = spectral::make_grid(st.nf, st.dt);
  st.dur = g.dur;
  st.df = g.df;
  st.dom = g.dom;
  st.nom = g.nom;
  st.eom = g.eom;
  write_free_record(io, console, {});
  write_free_record(io, console,
                    {free_item::text(" DUR,DOM,NOM,EOM="), free_item::real(st.dur), free_item::real(st.dom),
                     free_item::integer(st.nom), free_item::real(st.eom)});
  write_free_record(io, console, {free_item::text(" Highest Frequency (hz)="), free_item::real(g.highest)});
}

} // namespace wavespec::driver
