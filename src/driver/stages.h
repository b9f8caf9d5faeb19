// The five stages of one analysis, each with its own part of the dialogue.
#pragma once

#include "driver/analysis_state.h"
#include "records/record_io.h"

namespace wavespec::driver {

using records::record_streams;

// Stage 1: asks for the waveform file, reads it and chooses the transform
// length; ends the run for too many samples or a record that cannot be used.
void run_input_stage(record_streams &io, analysis_state &st);
// Reads the waveform file named by st.infile into time, xr1, xr2, xr3 and nt.
void read_waveform_file(record_streams &io, analysis_state &st);
// The same from the waveform stream already open: the header, then the data
// records until the end of the file.
void read_waveform_records(record_streams &io, analysis_state &st);
// Stage 2: spectra and frequency grid.
void run_prepare_stage(record_streams &io, analysis_state &st);
// Stage 3: the integration or differentiation menu.
void run_integrate_stage(record_streams &io, analysis_state &st);
// Stage 4: the bandwidth dialogue and the smoothing.
void run_smooth_stage(record_streams &io, analysis_state &st);
// Stage 5: the spectrum CSV file.
void run_output_stage(record_streams &io, analysis_state &st);

// All five stages, then the normal end (throws records::run_stopped).
[[noreturn]] void run_analysis(record_streams &io, analysis_state &st);

} // namespace wavespec::driver
