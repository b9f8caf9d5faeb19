// The command line: options, many inputs, one process on every core.
#pragma once

namespace wavespec::driver {

// Runs what the arguments ask for (the options are the core's, parsed and
// checked there) and returns the exit status: 0 when every record was
// written, 2 when any failed or the command line is wrong, 1 when
// interrupted.
[[nodiscard]] int run_command_line(int argc, char **argv);

} // namespace wavespec::driver
