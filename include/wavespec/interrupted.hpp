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

} // namespace wavespec
