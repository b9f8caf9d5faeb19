#include "driver/stages.h"
#include "wavespec/spectrum.hpp"

namespace wavespec::driver {

using namespace records;

void run_prepare_stage(record_streams &io, analysis_state &st) {
  const auto nf = static_cast<std::size_t>(st.nf), nt = static_cast<std::size_t>(st.nt);
  const wavespec::twiddle_table table(st.nf, -1); // one set of factors for all three
  (void)wavespec::prepare(std::span(st.xr1).first(nt), st.dt, std::span(st.fx1).first(nf), table);
  (void)wavespec::prepare(std::span(st.xr2).first(nt), st.dt, std::span(st.fx2).first(nf), table);
  const wavespec::frequency_grid g =
      wavespec::prepare(std::span(st.xr3).first(nt), st.dt, std::span(st.fx3).first(nf), table);
  st.dur = g.dur;
  st.df = g.df;
  st.dom = g.dom;
  st.nom = g.nom;
  st.eom = g.eom;
  write_free_record(io, console, {});
  write_free_record(io, console,
                    {free_item::text(" DUR,DOM,NOM,EOM="), free_item::real(st.dur),
                     free_item::real(st.dom), free_item::integer(st.nom), free_item::real(st.eom)});
  write_free_record(io, console,
                    {free_item::text(" Highest Frequency (hz)="), free_item::real(g.highest)});
}

} // namespace wavespec::driver
