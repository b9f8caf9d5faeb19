// The run was interrupted: SIGINT, SIGTERM or SIGHUP was noted by a program
// that asked for it (the wavespec programs do; a program that installs no
// handler never sees this). Thrown between records, rows and the pieces of a
// write, so that whoever catches it closes files that are whole.
#pragma once

#include <csignal>
#include <stdexcept>

namespace wavespec {

class interrupted : public std::runtime_error {
public:
  explicit interrupted(int signal)
      : std::runtime_error(signal == SIGINT ? "interrupted" : "terminated"), signal_(signal) {}
  [[nodiscard]] int signal() const noexcept { return signal_; }

private:
  int signal_;
};

// The note of a signal that every wait and long computation of the library
// looks at, a tenth of a second apart at most. The wavespec programs'
// handlers note SIGINT, SIGTERM and SIGHUP there. A program that handles
// signals its own way (Python's interpreter) notes one with note_interrupt,
// so that the work under way ends by `interrupted`, and clears it after.
[[nodiscard]] int pending_interrupt() noexcept; // the signal noted, or 0
void note_interrupt(int signal) noexcept;
void clear_interrupt() noexcept;

} // namespace wavespec
