// Interrupt and termination requests. The handlers only note the signal; every
// blocking read and every record operation looks at the note and, when one is
// pending, throws `interrupted` to the program's entry, which closes the files.
#pragma once

#include "wavespec/interrupted.hpp"

namespace wavespec::records {

using wavespec::interrupted;

// Installs the handlers for SIGINT, SIGTERM and SIGHUP (a closed terminal or
// a lost connection), keeping a signal that the process started with ignored
// ignored. SIGPIPE is ignored so that a closed pipe shows up as a write
// failure.
void install_interrupt_handlers();

// The signal noted by the handler, or 0.
[[nodiscard]] int pending_interrupt() noexcept;

// Throws `interrupted` when a signal is pending.
void check_interrupt();

// Waits until `fd` can be read or a signal arrives (which then throws). A
// signal that comes just before the wait, or to another thread, still ends it.
void wait_readable(int fd);

} // namespace wavespec::records
