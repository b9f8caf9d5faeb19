// The words of a command line that getopt_long refused, shared by the
// programs: "unrecognized option --bogus", "option --out is ambiguous
// (--output, --output-dir)", "option -b needs a value".
#pragma once

#include <getopt.h>
#include <string>

namespace wavespec::records {

// After getopt_long returned '?' or ':' (the option string starting with
// ':'), what was wrong with argv[optind - 1].
[[nodiscard]] std::string refused_option(char **argv, int optind, int optopt,
                                         const option *long_options, bool missing_value);

} // namespace wavespec::records
