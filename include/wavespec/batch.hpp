// A run of many records with the same options, as every front end runs it:
// the plan of every file the run writes (checked before anything is read or
// written), one record's whole course (read, analyse, write), the outcome
// of each record, and what a run ends with (the summary CSV, the closing
// line, the exit status). The command line and the Dask batch both run on
// these, so they name, refuse, word and count alike.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wavespec/analysis.hpp"
#include "wavespec/metadata.hpp"
#include "wavespec/options.hpp"
#include "wavespec/output_file.hpp"

namespace wavespec {

// "-" names standard input (as an input) or standard output (as an output).
inline constexpr std::string_view standard_stream = "-";

// DIR/STEM.csv: STEM is the input's file name without its last extension
// ("records/rec.2.txt" -> "rec.2"; "stdin" for standard input).
[[nodiscard]] std::string output_path(std::string_view input, std::string_view dir);

// The files of one record.
struct planned_record {
  std::string input;   // as given; "-" standard input
  std::string output;  // the spectrum CSV; "-" standard output; empty for none
  std::string sidecar; // its JSON sidecar; empty for none
  // Resuming a flatfile: the record's row there, when it was done well.
  std::string previous_row{};
};

// Every file a run writes, in the order of its inputs.
struct run_plan {
  std::vector<planned_record> records;
  std::string summary;     // empty: none
  std::string flatfile;    // empty: none
  std::string destination; // where the closing line says the spectra went
  bool dry_run = false;    // records read and summarised, nothing else written
};

// The plan of a run of checked options. Refused (options_error, the words
// the user sees) before anything is read or written: a name holding a NUL
// character, standard input named twice, two inputs whose spectra share a
// name, and any file the run writes that is one of its inputs or another
// file of the same run under any name (the same device and inode, symbolic
// links followed, or the same path once written). No sidecar goes beside
// standard output, a device, a FIFO or a name under /dev or /proc. A dry
// run writes no spectrum (outputs empty) and its summary, unless named, goes
// to standard output.
[[nodiscard]] run_plan plan_run(const run_options &options);

// Makes the folder -d names, with its parents, when it is not there; throws
// file_error naming it ("out: Not a directory" for a file under its name).
void make_output_dir(const std::string &dir);

// The files of one spectrum written apart from a run (as Python's to_csv
// writes it): `output`, and its sidecar beside it with `metadata`. Refused
// as plan_run refuses, when either is the file `input` the record was read
// from (empty: none) or both are one file.
[[nodiscard]] planned_record plan_output(const std::string &input, const std::string &output,
                                         bool metadata);

// How one record ended: a closed set, worded in one place (status_name).
enum class record_status {
  ok,             // the spectrum (and its sidecar) written
  unreadable,     // the input cannot be opened or breaks the reading rules
  not_analysable, // too many or too few samples, a sampling interval that is not positive
  band_refused,   // a Parzen band, or Konno-Ohmachi centres, outside the record's limits
  bad_options,    // options the analysis refuses
  output_failed,  // an output cannot be written, or would replace the input
  out_of_memory,  // memory ran out
  worker_failed,  // the process running it failed (a cluster's worker died or raised)
  output_closed,  // standard output closed by its reader (the run ends quietly)
  skipped,        // resumed: its outputs were already there
  interrupted     // a signal came before the record was done
};

// "ok", "unreadable", "not-analysable", "band-refused", "bad-options",
// "output-failed", "out-of-memory", "worker-failed", "output-closed",
// "skipped", "interrupted".
[[nodiscard]] std::string_view status_name(record_status s);
// The status of a name status_name gives; interrupted for any other.
[[nodiscard]] record_status status_named(std::string_view name);

// What happened to one record; the numbers are those known when it ended.
struct record_outcome {
  std::string input;
  std::string output; // the spectrum written; empty when none was
  record_status status = record_status::interrupted;
  std::string message; // the failure on one line; empty when ok
  std::string warning; // a reading that usually means a damaged file, on one line
  std::optional<std::int64_t> nt;
  std::optional<float> dt;
  std::optional<frequency_grid> grid;
  std::optional<float> band;   // the Parzen band used (the nearest limit with band_clamp)
  std::optional<hv_peak> peak; // with hv: f0 and A0 within the usable band
  std::string flat_row;        // with a flatfile: the record's row in it
  [[nodiscard]] bool ok() const { return status == record_status::ok; }
  // Ends well: written, or passed over as already written.
  [[nodiscard]] bool done_well() const { return ok() || status == record_status::skipped; }
};

// Reads the record, analyses it and writes its spectrum (and sidecar) whole
// or not at all; neither file is left newer than the other when one cannot
// be written, and nothing is written over the input itself. A sample that is
// not a finite 32-bit float after reading fails the record, naming its line.
// With options.resume a record whose outputs are all there is skipped; with
// options.dry_run it is read and checked, nothing written. Whatever is wrong
// with the record or its outputs is in the outcome, never thrown; a signal
// noted meanwhile throws `interrupted`. Relative names are taken from
// `directory` when it is given (a process elsewhere, as a cluster's worker),
// and named as given in any case. `threads` share the Konno-Ohmachi sums.
[[nodiscard]] record_outcome process_record(const planned_record &record,
                                            const run_options &options, workspace &ws,
                                            const std::string &directory = {},
                                            unsigned threads = 1);

// Writes a spectrum analysed elsewhere to the files of `record`, as
// process_record writes them: both whole or neither, never over
// `record.input`. Throws options_error for an output that is the input,
// file_error and interrupted.
void write_spectrum(const spectrum_view &s, const record_facts &facts,
                    const planned_record &record);

// The outcomes of a run, in the plan's order; those of records not done
// (the run was interrupted) are empty.
using run_outcomes = std::span<const std::optional<record_outcome>>;

// The summary CSV: a header, then one row per record done, numbers in the
// digits the dialogue shows for them and empty where unknown; status ok,
// failed or skipped, output empty unless a spectrum was written, warnings
// the reading's (one line), and with --band-clamp the band used:
//   input,output,status,nt,dt,nf,df_hz,fmax_hz,band_min_hz,band_max_hz,message,warnings
//   rec.txt,out/rec.csv,ok,6001,0.00499999989,8192,0.0244140625,100.024406,...
[[nodiscard]] std::string summary_header(const run_options &options);
[[nodiscard]] std::string summary_row(const run_options &options, const record_outcome &outcome);
[[nodiscard]] std::string summary_text(const run_options &options, run_outcomes outcomes);

// The line a failed record is reported by: "FILE: what went wrong"; and a
// warned one: "FILE: warning: line 1001: ...".
[[nodiscard]] std::string failure_line(const record_outcome &outcome);
[[nodiscard]] std::string warning_line(const record_outcome &outcome);

// "D/N done, F failed, R records/s, M:SS left": a run's progress.
[[nodiscard]] std::string progress_line(std::size_t done, std::size_t total, std::size_t failed,
                                        double seconds);

// "[interrupted: ]W of N records written to DEST in S s[, K already
// there][, F failed]"; a dry run's records are "read".
[[nodiscard]] std::string closing_line(const run_plan &plan, run_outcomes outcomes, double seconds,
                                       bool interrupted);

// How a file a run ends with (the summary, the flatfile) went, and the
// line that tells it ("summary: s.csv: No space left on device"; empty when
// written, or when standard output's reader went away: the run then ends
// quietly, as a Unix filter does).
enum class end_written { written, failed, given_up, reader_gone };
struct end_result {
  end_written how = end_written::written;
  std::string line;
};

// Writes a file a run ends with, also after an interrupt (what was done):
// its writes go on after a signal, but one that makes no progress for a
// second after a signal is given up. `what` and `name` name it in the line.
[[nodiscard]] end_result write_end_file(output_file &file, std::string_view what,
                                        const std::string &name, std::string_view text);

// 1 when interrupted, else 2 when any record failed (skipped ones did not)
// or `failed_otherwise` (the summary or the cluster, say), else 0.
[[nodiscard]] int exit_status(run_outcomes outcomes, bool interrupted,
                              bool failed_otherwise = false);

} // namespace wavespec
