// The command line: options, many inputs, one process on every core.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "wavespec/analysis.hpp"

namespace wavespec::driver {

struct command_options {
  analysis_options analysis;
  std::string output;     // -o: the spectrum of a single input ("-": standard output)
  std::string output_dir; // -d: DIR/STEM.csv for each input
  unsigned jobs = 0;      // -j: records analysed at once; 0: one per processor
  std::string summary;    // --summary: the summary CSV ("-": standard output)
  bool quiet = false;     // -q: no progress, no closing line
  bool metadata = false;  // --metadata: the JSON sidecar beside each spectrum file
  std::vector<std::string> inputs;
};

// A command line that asks for what cannot be done: one line of what is
// wrong, then the pointer to --help, status 2, nothing read or written.
class usage_error : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

enum class command { analyse, help, version };

// Parses argv (GNU style: options and files in any order, long options by
// any unique beginning, "--" ends the options, "-" is standard input).
// Throws usage_error.
[[nodiscard]] command parse_command_line(int argc, char **argv, command_options &options);

// The text of --help.
[[nodiscard]] std::string help_text();

// Runs the analyses the options ask for; returns the exit status: 0 when
// every record was written, 2 when any failed (or for a usage error), 1 when
// interrupted.
[[nodiscard]] int run_command_line(int argc, char **argv);

} // namespace wavespec::driver
