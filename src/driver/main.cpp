// wavespec: Fourier spectra of three-component waveform records. Without
// arguments, the dialogue on the console; with them, the command line.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <new>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "driver/command_line.h"
#include "driver/dialogue.h"
#include "records/failure.h"
#include "records/interrupt.h"

namespace {

using namespace wavespec;

// A standard stream that is closed at start is held by /dev/null opened the
// wrong way round, so that reading or writing it fails as on a closed stream
// and no file the run opens can take its place.
void hold_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
      (void)::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
}

// Writes to standard error; with `wait` false, only what it takes at once (an
// interrupted run ends promptly even when nobody reads standard error).
void write_error(const std::string &text, bool wait = true) {
  std::size_t done = 0;
  while (done < text.size()) {
    pollfd p{2, POLLOUT, 0};
    if (!wait && (::poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0))
      return;
    const ssize_t n = ::write(2, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

// Ends the run with a failure report: the files closed first (the console
// before the report), then the report, status 2.
int report(std::optional<records::record_streams> &io, const records::failure_report &r) {
  if (io)
    records::close_all_quietly(*io);
  write_error(records::render_failure(r));
  return 2;
}

// A failure no record operation caught (memory running out, or anything else
// that reaches the entry), reported with the state of the last operation.
int report_activity(std::optional<records::record_streams> &io, std::string context,
                    std::string cause) {
  records::failure_report r;
  if (io) {
    r = records::activity_failure(*io, std::move(context), std::move(cause));
  } else {
    r.context = std::move(context);
    r.cause = std::move(cause);
    r.unit = records::keyboard;
    r.format = std::string(records::list_io);
  }
  return report(io, r);
}

int run() {
  std::optional<records::record_streams> io;
  try {
    try {
      io.emplace();
      driver::run_dialogue(*io);
    } catch (const records::run_stopped &stop) {
      return stop.status;
    } catch (const records::record_failure &failure) {
      return report(io, failure.report());
    } catch (const interrupted &signal) {
      if (io)
        records::close_all_quietly(*io);
      write_error(signal.signal() == SIGINT ? "Interrupt\n" : "Killed\n", false);
      return 1;
    } catch (const std::bad_alloc &) {
      return report_activity(io, io ? io->last.operation : "start", "out of memory");
    } catch (const std::exception &e) {
      return report_activity(io, e.what(), {});
    }
  } catch (...) { // even the report could not be made
    write_error("out of memory\n", false);
    return 2;
  }
}

} // namespace

int main(int argc, char **argv) {
  hold_closed_standard_streams();
  records::install_interrupt_handlers();
  return argc > 1 ? driver::run_command_line(argc, argv) : run();
}
