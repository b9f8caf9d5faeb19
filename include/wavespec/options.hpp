// What a run is asked to do, and the one place where its rules live: the
// options of the command line, the Dask batch and Python, their defaults,
// the check of each value and of their combination, and the words of every
// refusal. A front end hands its arguments (or keyword values, as text) to
// these functions and never checks an option itself.
//
//   wavespec::run_options o;
//   switch (wavespec::parse_arguments(args, wavespec::front_end::command_line, o)) {
//   case wavespec::command::help: ...           // print help_text(...)
//   case wavespec::command::run: ...            // o is complete and checked
//   }
#pragma once

#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "wavespec/analysis.hpp"

namespace wavespec {

// The programs that take these options. Each option says which of them
// take it; everything else is shared.
enum class front_end {
  command_line, // wavespec FILE...
  dask_batch    // python3 -m wavespec.batch FILE...
};

// Everything a run of many records is asked for.
struct run_options {
  analysis_options analysis{}; // -m, -b, --konno-ohmachi, --frequencies, --eas
  bool metadata = false;       // --metadata: a JSON sidecar beside each spectrum file
  std::string output;          // -o FILE: the spectrum of a single input ("-": standard output)
  std::string output_dir;      // -d DIR: DIR/STEM.csv for each input
  std::string summary;         // --summary FILE: the summary CSV ("-": standard output)
  std::string flatfile;        // --flatfile FILE: every record's row (wavespec/flatfile.hpp)
  unsigned jobs = 0;           // -j N: records at once (0: one per processor)
  bool quiet = false;          // -q: no progress, no closing line
  std::string scheduler;       // --scheduler ADDRESS: a running Dask scheduler (the batch)
  bool dry_run = false;        // --dry-run: read and summarise, analyse and write nothing
  bool resume = false;         // --resume: pass over records whose outputs are there
  bool strict = false;         // --strict: a damaged reading fails the record
  std::vector<std::string> inputs;
};

// What the arguments ask for.
enum class command { run, help, version };

// Parses arguments (without the program's name) GNU style: options and
// files in any order, long options by any unique beginning, "--value" or
// "--option=value", short options clustered ("-qm2"), "--" ends the
// options, "-" is standard input. Fills `options` and checks them
// (check_run_options). Throws options_error with the words the user sees,
// for example "option -b needs a value" or "invalid band '-1': ...".
[[nodiscard]] command parse_arguments(std::span<const std::string> args, front_end program,
                                      run_options &options);

// Throws options_error when the options cannot go together, or ask for
// what `program` cannot do.
void check_run_options(const run_options &options, front_end program);

// The --help text of `program`.
[[nodiscard]] std::string help_text(front_end program);

// How `program` names itself in messages and in its --help pointer:
// "wavespec" and "python3 -m wavespec.batch".
[[nodiscard]] std::string_view program_name(front_end program);
// The line after a refused command line: "Try 'wavespec --help' for more
// information."
[[nodiscard]] std::string help_pointer(front_end program);

// The values of single options, as written on a command line (or given to
// Python, as text). Each throws options_error quoting `text`.
[[nodiscard]] operation parse_operation(std::string_view text);  // "2", "double-integrate"
[[nodiscard]] float parse_band(std::string_view text);           // Hz, 0 up to a float's range
[[nodiscard]] double parse_konno_ohmachi(std::string_view text); // above 0
// FMIN:FMAX:N, N (2 .. max_centres) centre frequencies even in log10 from
// FMIN to FMAX.
[[nodiscard]] log_spread parse_frequencies(std::string_view text);
[[nodiscard]] unsigned parse_jobs(std::string_view text); // 1 .. max_jobs

inline constexpr unsigned max_jobs = 4096;
inline constexpr long long max_centres = 10'000'000;

// The processors this process may run on: how many jobs and threads share
// the work when none are asked for.
[[nodiscard]] unsigned processors();

// The operation's name on the command line and in the sidecar: "none",
// "integrate", "double-integrate", "differentiate".
[[nodiscard]] std::string_view operation_name(operation op);

// The horizontal combination for H/V by name: "quadratic-mean" (the EAS's
// sqrt((X^2 + Y^2) / 2)) or "geometric-mean" (sqrt(X Y)).
[[nodiscard]] std::string_view horizontal_name(horizontal_mean h);
[[nodiscard]] horizontal_mean parse_horizontal(std::string_view text);

// Throws options_error when an analysis asks for what cannot be: a band
// that is negative or not finite, a Konno-Ohmachi coefficient that is not
// above 0 and finite or that goes with a Parzen band, centres that are not
// positive and finite or that go without a coefficient.
void check_analysis_options(const analysis_options &options);

} // namespace wavespec
