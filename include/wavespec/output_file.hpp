// An output file written whole or not at all: into a new file in the target's
// directory, which takes the target's name only when complete. A process that
// dies before leaves no file under that name, and where the system allows,
// nothing at all (the new file has no name until it is complete). A symbolic
// link is followed to its target; a device, a FIFO or a socket is written
// through, since it cannot be replaced.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "wavespec/interrupted.hpp"

struct pollfd; // <poll.h>

namespace wavespec {

// A file that cannot be written: the system's error and the file's name as
// given (what() is "NAME: reason").
class file_error : public std::system_error {
public:
  file_error(int os_error, std::string path)
      : std::system_error(os_error, std::generic_category(), path), path_(std::move(path)) {}
  [[nodiscard]] const std::string &path() const noexcept { return path_; }

private:
  std::string path_;
};

class output_file {
public:
  // Prepares to write `path`; `durable` also asks the system to put the data
  // on disk before the new file takes the name. Throws file_error.
  explicit output_file(std::string path, bool durable = false);
  // Writes through an open descriptor (standard output), named `name` in
  // messages; the descriptor stays open. A closed one is refused (file_error,
  // EBADF) now, before its number can go to a file opened later.
  output_file(int fd, std::string name);
  ~output_file(); // not committed: the new file is dropped
  output_file(const output_file &) = delete;
  output_file &operator=(const output_file &) = delete;

  // Throws file_error; a signal noted meanwhile throws `interrupted`,
  // also while a pipe or a FIFO nobody reads makes the write wait.
  void write(std::string_view bytes);
  // The file is complete: it takes its name (or is closed, when written
  // through). Throws file_error.
  void commit();
  // All of commit but taking the name: the data written out and the new
  // file named apart. Files that belong together are each finished, then
  // each committed, so that a failure leaves none of them replaced but the
  // rare failure of a rename itself.
  void finish();
  // Whether the file is written straight into a device, FIFO or standard
  // stream (never replaced, never removed).
  [[nodiscard]] bool written_through() const { return through_; }
  // Writes on when a signal is noted (what is written after an interrupt),
  // but gives up (throws `interrupted`) once a signal is noted and no byte
  // has gone out for a second, as into a FIFO whose reader stopped reading.
  void ignore_interrupts() { interruptible_ = false; }
  // The name written in the end: the path, or the target of its link.
  [[nodiscard]] const std::string &target() const { return target_; }

  // The name a chain of symbolic links from `path` ends at: the name a new
  // file takes when `path` is written (`path` itself when it is no link).
  // `error` receives ELOOP for a chain too long, or readlink's error.
  [[nodiscard]] static std::string follow_links(std::string path, int &error);
  // The descriptor of this process a name stands for: "/dev/stdout" (1),
  // "/dev/stderr" (2), "/dev/fd/N" and "/proc/self/fd/N" (N), when open.
  [[nodiscard]] static std::optional<int> descriptor_named(const std::string &path);

private:
  [[noreturn]] void fail(int error) const;
  void open_new_file();
  void open_through();
  bool wait_or_give_up(::pollfd *p);

  std::string path_;   // as given, for messages
  std::string target_; // the name the file takes
  std::string temp_;   // the new file's own name while written, if it has one
  int fd_ = -1;
  bool durable_;
  bool through_ = false;  // written straight into a device or FIFO
  bool borrowed_ = false; // the descriptor is the caller's
  bool unnamed_ = false;  // the new file has no name yet
  bool committed_ = false;
  bool interruptible_ = true;
  std::chrono::steady_clock::time_point last_progress_{};
};

} // namespace wavespec
