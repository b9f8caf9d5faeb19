#include "records/interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pthread.h>

namespace wavespec::records {
namespace {

// The one note of the process: written by the handlers (a lock-free atomic
// is safe in a handler) and read by every thread.
std::atomic<int> noted_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void note_signal(int sig) {
  noted_signal.store(sig, std::memory_order_relaxed);
}

void install_one(int sig) {
  struct sigaction old {};
  if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
    return;
  struct sigaction sa {};
  sa.sa_handler = note_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0; // no SA_RESTART: a blocked read returns EINTR
  sigaction(sig, &sa, nullptr);
}

} // namespace

void install_interrupt_handlers() {
  install_one(SIGINT);
  install_one(SIGTERM);
  install_one(SIGHUP);
  std::signal(SIGPIPE, SIG_IGN);
}

int pending_interrupt() noexcept {
  return noted_signal.load(std::memory_order_relaxed);
}

void check_interrupt() {
  if (const int sig = pending_interrupt(); sig != 0)
    throw interrupted(sig);
}

void wait_readable(int fd) {
  // Block the two signals, look at the note, then let ppoll unblock them
  // atomically for the wait: a signal cannot slip in between look and wait.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  for (;;) {
    if (pending_interrupt() != 0)
      break;
    pollfd p{fd, POLLIN, 0};
    sigset_t during = old;
    sigdelset(&during, SIGINT);
    sigdelset(&during, SIGTERM);
    sigdelset(&during, SIGHUP);
    // A tenth of a second at a time: in a program with several threads the
    // signal may be delivered to another one.
    const timespec tenth{0, 100'000'000};
    const int r = ppoll(&p, 1, &tenth, &during);
    if (r > 0 || (r < 0 && errno != EINTR))
      break;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  check_interrupt();
}

} // namespace wavespec::records

namespace wavespec {

int pending_interrupt() noexcept {
  return records::pending_interrupt();
}

void note_interrupt(int signal) noexcept {
  records::note_signal(signal);
}

void clear_interrupt() noexcept {
  records::note_signal(0);
}

} // namespace wavespec
