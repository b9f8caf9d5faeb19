// wavespec: Fourier spectra of three-component waveform records. The dialogue
// on the console is the whole interface; command-line arguments are ignored.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

#include "driver/dialogue.h"
#include "records/failure.h"
#include "records/interrupt.h"

namespace {

// A standard stream that is closed at start is held by /dev/null opened the
// wrong way round, so that reading or writing it fails as on a closed stream
// and no file the run opens can take its place.
void hold_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
      (void)::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
}

void write_error(const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(2, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

} // namespace

int main() {
  using namespace wavespec;
  hold_closed_standard_streams();
  records::install_interrupt_handlers();
  records::record_streams io;
  try {
    driver::run_dialogue(io);
  } catch (const records::run_stopped &stop) {
    return stop.status;
  } catch (const records::record_failure &failure) {
    records::close_all_quietly(io); // the console first, so the report comes after it
    write_error(records::render_failure(failure.report()));
    return 2;
  } catch (const records::interrupted &signal) {
    records::close_all_quietly(io);
    write_error(signal.signal == SIGTERM ? "Killed\n" : "Interrupt\n");
    return 1;
  }
}
