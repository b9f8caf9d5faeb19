// Many records with the same options: where each spectrum goes, one record's
// whole course (read, analyse, write) and the summary CSV of a batch. The
// command line and the Python batch both use these, so they name outputs,
// word failures and write summaries alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wavespec/analysis.hpp"

namespace wavespec {

// "-" names standard input (as an input) or standard output (as an output).
inline constexpr std::string_view standard_stream = "-";

// DIR/STEM.csv: STEM is the input's file name without its last extension
// ("records/rec.2.txt" -> "rec.2"; "stdin" for standard input).
[[nodiscard]] std::string output_path(std::string_view input, std::string_view dir);

// What happened to one record; the numbers are those known when it ended.
struct record_outcome {
  std::string input, output;
  bool ok = false;
  std::string message; // the failure on one line; empty when ok
  std::optional<std::int64_t> nt;
  std::optional<float> dt;
  std::optional<frequency_grid> grid;
};

// Reads `input`, analyses it and writes the spectrum CSV to `output` whole or
// not at all. Whatever is wrong with the record or its output is in the
// outcome, never thrown; an interrupt noted meanwhile throws `interrupted`.
// Relative names are taken from `directory` when it is given (a process
// elsewhere, as on a cluster's worker), and named as given in any case.
// `threads` share the Konno-Ohmachi sums. With `metadata`, the sidecar
// (wavespec/metadata.hpp) goes beside a named output, also whole or not at
// all.
[[nodiscard]] record_outcome process_record(const std::string &input, const std::string &output,
                                            const analysis_options &options, workspace &ws,
                                            const std::string &directory = {}, unsigned threads = 1,
                                            bool metadata = false);

// The summary CSV: a header, then one row per record, numbers in the digits
// the dialogue shows for them and empty where unknown:
//   input,output,status,nt,dt,nf,df_hz,fmax_hz,band_min_hz,band_max_hz,message
//   rec.txt,out/rec.csv,ok,6001,0.00499999989,8192,0.0244140625,100.024406,...
[[nodiscard]] std::string summary_header();
[[nodiscard]] std::string summary_row(const record_outcome &outcome);

} // namespace wavespec
