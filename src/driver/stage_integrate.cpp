#include "driver/stages.h"
#include "wavespec/spectrum.hpp"

namespace wavespec::driver {

using namespace records;

void run_integrate_stage(record_streams &io, analysis_state &st) {
  write_free_record(io, console, {});
  write_free_record(io, console, {free_item::text(" Integration/Differentiation:")});
  write_free_record(io, console,
                    {free_item::text(" NO Change         :                 (Enter=0)")});
  write_free_record(io, console,
                    {free_item::text(" Integration       : Ex.) acc -> vel (Enter=1)")});
  write_free_record(io, console,
                    {free_item::text(" Double Integration: Ex.) acc -> dis (Enter=2)")});
  write_free_record(io, console,
                    {free_item::text(" Differentiation:  : Ex.) Vel -> acc (Enter=3)")});
  st.nit = 0; // an answer with no value means no change
  const read_target answer[] = {st.nit};
  (void)read_free_record(io, keyboard, answer);
  if (st.nit == 1 || st.nit == 2) {
    write_free_record(io, console, {});
    write_free_record(io, console,
                      {free_item::text("Note: Fourier Amp. at 0(Hz) is neglected!!!")});
  }
  const wavespec::operation op = wavespec::operation_for(st.nit);
  wavespec::frequency_grid grid{};
  grid.nom = st.nom;
  grid.dom = st.dom;
  wavespec::integrate(op, grid, st.fx1);
  wavespec::integrate(op, grid, st.fx2);
  wavespec::integrate(op, grid, st.fx3);
}

} // namespace wavespec::driver
