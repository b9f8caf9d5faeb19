// wavespec: Fourier spectra of three-component waveform records, the same
// bits on every machine. One include for the whole library:
//
//   #include <wavespec/wavespec.hpp>
//
//   wavespec::workspace ws;  // buffers reused from record to record
//   for (const auto &path : paths) {
//     const wavespec::waveform w = wavespec::read_waveform(path);  // record_error
//     const wavespec::spectrum s =
//         wavespec::analyse(w, {wavespec::operation::double_integrate, 0.5f}, ws);  // band_error
//     wavespec::write_csv(s, path.stem().string() + ".csv");  // the dialogue's bytes
//   }
//
// record.hpp reads records, analysis.hpp analyses them, csv.hpp writes the
// spectrum file (metadata.hpp its sidecar) through output_file.hpp's
// whole-or-nothing writer; options.hpp holds the options of a run and their
// rules, batch.hpp the plan of its files, each record's course and outcome,
// and what a run ends with; spectral.hpp holds the kernels underneath. Every function is
// reentrant: nothing is shared between analyses but read-only tables.
#pragma once

#include "wavespec/analysis.hpp"
#include "wavespec/batch.hpp"
#include "wavespec/csv.hpp"
#include "wavespec/flatfile.hpp"
#include "wavespec/interrupted.hpp"
#include "wavespec/metadata.hpp"
#include "wavespec/options.hpp"
#include "wavespec/output_file.hpp"
#include "wavespec/record.hpp"
#include "wavespec/spectral.hpp"
#include "wavespec/units.hpp"
#include "wavespec/version.hpp"
