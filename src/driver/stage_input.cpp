#include <cmath>

#include "driver/stages.h"

namespace wavespec::driver {

using namespace records;

namespace {

// The smallest power of two, at least 4, not below nt; false above 2^16.
bool choose_transform_length(std::int32_t nt, std::int32_t &nf, std::int32_t &if1) {
  nf = 2;
  for (std::int32_t i = 2; i <= 16; ++i) {
    nf *= 2;
    if (nf >= nt) {
      if1 = i;
      return true;
    }
  }
  return false;
}

} // namespace

void run_input_stage(record_streams &io, analysis_state &st) {
  static const fixed_layout prompt("(1X,/,'Enter input file of waveform data')");
  static const fixed_layout name_answer("(A30)");
  write_fixed_record(io, console, prompt);
  st.infile = read_fixed_record(io, keyboard, name_answer);
  read_waveform_file(io, st);
  st.dt = st.time[1] - st.time[0];
  write_free_record(io, console, {});
  write_free_record(
      io, console,
      {free_item::text("NT and DT="), free_item::integer(st.nt), free_item::real(st.dt)});
  if (!choose_transform_length(st.nt, st.nf, st.if1)) {
    write_free_record(io, console, {free_item::text(" NT>2**16 !!!!!")});
    stop_run(io);
  }
  // A spectrum from fewer than two samples or without a usable interval
  // would be computed from nothing: the run ends without one.
  if (st.nt < 2) {
    write_free_record(io, console,
                      {free_item::text(" NT<2 !!!!! (at least two samples are needed)")});
    stop_run(io, 2);
  }
  if (!(std::isfinite(st.dt) && st.dt > 0.0f)) {
    write_free_record(io, console, {free_item::text(" DT<=0 !!!!! (sample times must increase)")});
    stop_run(io, 2);
  }
  write_free_record(io, console, {});
  write_free_record(
      io, console,
      {free_item::text(" IF1,NF="), free_item::integer(st.if1), free_item::integer(st.nf)});
}

} // namespace wavespec::driver
