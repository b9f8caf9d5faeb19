// The dialogue on the console: five stages of questions and reports around
// one analysis, from the waveform file's name to the spectrum file.
#pragma once

#include "records/record_io.h"

namespace wavespec::driver {

// Runs the whole dialogue on `io`; ends by throwing records::run_stopped
// (normal and early ends), records::record_failure or interrupted.
[[noreturn]] void run_dialogue(records::record_streams &io);

} // namespace wavespec::driver
