#include "driver/dialogue.h"

#include <bit>
#include <cmath>
#include <limits>

#include "core/csv_rows.h"
#include "core/loading.h"
#include "core/pipeline.h"

namespace wavespec::driver {

using namespace records;

namespace {

const fixed_layout &name_layout() {
  static const fixed_layout layout("(A30)");
  return layout;
}

void empty_record(record_streams &io) {
  write_free_record(io, console, {});
}

void text_record(record_streams &io, std::string_view text) {
  write_free_record(io, console, {free_item::text(text)});
}

// Stage 1: the waveform file, its sample count and interval, and the
// transform length. Ends the run for a record that cannot be analysed.
// The waveform file is opened as it is (never created); `identity` receives
// which file it is.
core::loaded_record input_stage(record_streams &io, workspace &ws, file_identity &identity) {
  static const fixed_layout prompt("(1X,/,'Enter input file of waveform data')");
  write_fixed_record(io, console, prompt);
  const name_answer infile = read_fixed_record(io, keyboard, name_layout());
  open_record_file(io, waveform_file, infile, open_rule::read_write_or_read);
  identity = io.at(waveform_file).identity;
  io.last = {"read", waveform_file, std::string(list_io), false};
  core::loaded_record loaded = core::load_records(io.at(waveform_file), ws);
  close_record_file(io, waveform_file);
  const std::int32_t nt = loaded.count > std::numeric_limits<std::int32_t>::max()
                              ? std::numeric_limits<std::int32_t>::max()
                              : static_cast<std::int32_t>(loaded.count);
  const float dt = loaded.samples.dt;
  empty_record(io);
  write_free_record(io, console,
                    {free_item::text("NT and DT="), free_item::integer(nt), free_item::real(dt)});
  const std::int32_t nf = transform_length(nt);
  if (nf == 0) { // a record refused is a failure
    text_record(io, " NT>2**16 !!!!!");
    stop_run(io, 2);
  }
  // A spectrum from fewer than two samples or without a usable interval
  // would be computed from nothing: the run ends without one.
  if (nt < 2) {
    text_record(io, " NT<2 !!!!! (at least two samples are needed)");
    stop_run(io, 2);
  }
  if (!(std::isfinite(dt) && dt > 0.0f)) {
    text_record(io, " DT<=0 !!!!! (sample times must increase)");
    stop_run(io, 2);
  }
  empty_record(io);
  write_free_record(io, console,
                    {free_item::text(" IF1,NF="),
                     free_item::integer(std::countr_zero(static_cast<std::uint32_t>(nf))),
                     free_item::integer(nf)});
  return loaded;
}

// Stage 2: the grid of the spectra (which depends on nf and dt alone).
void report_grid(record_streams &io, const frequency_grid &g) {
  empty_record(io);
  write_free_record(io, console,
                    {free_item::text(" DUR,DOM,NOM,EOM="), free_item::real(g.dur),
                     free_item::real(g.dom), free_item::integer(g.nom), free_item::real(g.eom)});
  write_free_record(io, console,
                    {free_item::text(" Highest Frequency (hz)="), free_item::real(g.highest)});
}

// Stage 3: the integration or differentiation menu.
operation ask_operation(record_streams &io) {
  empty_record(io);
  text_record(io, " Integration/Differentiation:");
  text_record(io, " NO Change         :                 (Enter=0)");
  text_record(io, " Integration       : Ex.) acc -> vel (Enter=1)");
  text_record(io, " Double Integration: Ex.) acc -> dis (Enter=2)");
  text_record(io, " Differentiation:  : Ex.) Vel -> acc (Enter=3)");
  std::int32_t nit = 0; // an answer with no value means no change
  const read_target answer[] = {nit};
  (void)read_free_record(io, keyboard, answer);
  if (nit == 1 || nit == 2) {
    empty_record(io);
    text_record(io, "Note: Fourier Amp. at 0(Hz) is neglected!!!");
  }
  return operation_for(nit);
}

// A refused bandwidth is reported once per component; the user ends the run
// with 0 or goes on with that component unsmoothed.
void refuse_bandwidth(record_streams &io, window_verdict verdict) {
  static const fixed_layout narrow("('Bandwidth is too narrow!')");
  static const fixed_layout wide("('Bandwidth is too wide!')");
  for (int component = 0; component < 3; ++component) {
    write_fixed_record(io, console, verdict == window_verdict::too_narrow ? narrow : wide);
    text_record(io, "Enter 0 for stop");
    std::int32_t nstop = 0; // an answer with no value means stop
    const read_target answer[] = {nstop};
    (void)read_free_record(io, keyboard, answer);
    if (nstop == 0)
      stop_run(io);
  }
}

// Stage 4: the bandwidth dialogue; returns the window (a refused one when
// the user went on without smoothing).
parzen_window ask_bandwidth(record_streams &io, const frequency_grid &g, float &band) {
  empty_record(io);
  text_record(io, "Smoothing Spectra by Parzen Windows");
  empty_record(io);
  write_free_record(io, console, {free_item::text("Delta Freq(Hz)="), free_item::real(g.df)});
  text_record(io, "Enter Band Width(Hz):");
  write_free_record(io, console,
                    {free_item::text("   BAND must be larger than"), free_item::real(g.band_min)});
  write_free_record(io, console,
                    {free_item::text("   BAND must be smaller than"), free_item::real(g.band_max)});
  text_record(io, "   if Band=0, No smoothing.");
  empty_record(io);
  text_record(io, "Enter Band Width(Hz):");
  band = 0.0f; // an answer with no value means no smoothing
  const read_target answer[] = {band};
  (void)read_free_record(io, keyboard, answer);
  const parzen_window window = make_window(band, g.df);
  if (window.verdict == window_verdict::too_narrow || window.verdict == window_verdict::too_wide)
    refuse_bandwidth(io, window.verdict);
  return window;
}

// Stage 5: the spectrum CSV file, which must not be the waveform file under
// any name (it would be written over the record).
void output_stage(record_streams &io, const spectrum_view &s, const file_identity &waveform) {
  static const fixed_layout prompt("(/,1X,'Enter output file name (csv format)')");
  empty_record(io);
  text_record(io, "Output of Original and Smoothed Fourier Spectrum:");
  write_fixed_record(io, console, prompt);
  const name_answer outfile = read_fixed_record(io, keyboard, name_layout());
  open_record_file(io, spectrum_file, outfile, open_rule::read_write_read_or_create, &waveform);
  write_free_record(io, spectrum_file, {free_item::text(core::csv_columns)});
  for (std::int32_t i = 0; i < s.grid.nom; ++i)
    write_fixed_record(io, spectrum_file, core::csv_row_layout(), core::csv_row(s, i));
  close_record_file(io, spectrum_file);
}

} // namespace

// The spectra are computed once every answer is in, one component at a time;
// what the console shows does not depend on when.
void run_dialogue(record_streams &io) {
  io.last.operation = "storage";
  workspace ws;
  file_identity waveform;
  const core::loaded_record record = input_stage(io, ws, waveform);
  const frequency_grid grid = make_grid(transform_length(record.count), record.samples.dt);
  report_grid(io, grid);
  const operation op = ask_operation(io);
  float band = 0.0f;
  const parzen_window window = ask_bandwidth(io, grid, band);
  io.last.operation = "analysis";
  output_stage(io, core::run_analysis(record.samples, op, window, band, ws), waveform);
  stop_run(io);
}

} // namespace wavespec::driver
