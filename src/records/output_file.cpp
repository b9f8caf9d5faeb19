#include "wavespec/output_file.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "records/interrupt.h"

namespace wavespec {
namespace {

constexpr int max_links = 40;

std::string directory_of(const std::string &path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether the system refuses to follow the link `link` (its lstat `st`):
// with protected symbolic links on, a link in a sticky folder that others
// may write to is followed only by its owner or the folder's.
bool protected_link(const std::string &link, const struct stat &st) {
  struct stat dir {};
  if (::stat(directory_of(link).c_str(), &dir) != 0 || (dir.st_mode & S_ISVTX) == 0 ||
      (dir.st_mode & S_IWOTH) == 0)
    return false;
  const uid_t me = ::geteuid();
  if (st.st_uid == me || st.st_uid == dir.st_uid)
    return false;
  char on = '1'; // the system's default since long ago
  const int fd = ::open("/proc/sys/fs/protected_symlinks", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    if (::read(fd, &on, 1) != 1)
      on = '1';
    ::close(fd);
  }
  return on != '0';
}

} // namespace

// The descriptor a name stands for: "/dev/stdout", "/dev/stderr",
// "/dev/fd/N" and "/proc/self/fd/N", when it is open.
std::optional<int> output_file::descriptor_named(const std::string &path) {
  int fd = -1;
  if (path == "/dev/stdout")
    fd = 1;
  else if (path == "/dev/stderr")
    fd = 2;
  for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"})
    if (path.starts_with(prefix)) {
      const char *digits = path.c_str() + prefix.size();
      const auto r = std::from_chars(digits, path.c_str() + path.size(), fd);
      if (r.ec != std::errc() || r.ptr != path.c_str() + path.size() || digits == r.ptr)
        fd = -1;
    }
  if (fd < 0 || ::fcntl(fd, F_GETFD) == -1)
    return std::nullopt;
  return fd;
}

// The name a chain of symbolic links ends at (the path itself when it is not
// a link, or names nothing yet).
std::string output_file::follow_links(std::string path, int &error) {
  for (int i = 0; i < max_links; ++i) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
      return path;
    if (protected_link(path, st)) {
      error = EACCES;
      return path;
    }
    std::string to(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), to.data(), to.size());
    if (n < 0) {
      error = errno;
      return path;
    }
    to.resize(static_cast<std::size_t>(n));
    path = to.starts_with('/') ? to : directory_of(path) + "/" + to;
  }
  error = ELOOP;
  return path;
}

namespace {

std::string random_suffix() {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, 0) != sizeof bits)
    bits = std::uint64_t{static_cast<unsigned>(::getpid())} * 0x9e3779b97f4a7c15ull ^
           std::uint64_t{reinterpret_cast<std::uintptr_t>(&bits)};
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

// A hidden name beside `base` in `dir` that is free to take: ".BASE.RANDOM",
// BASE cut short where the whole would pass the longest name a folder holds,
// so that every name a folder takes can be written.
std::string scratch_name(const std::string &dir, const std::string &base) {
  constexpr std::size_t longest = 255, added = 1 + 1 + 16; // NAME_MAX; ".", ".", the suffix
  return dir + "/." + base.substr(0, longest - added) + "." + random_suffix();
}

} // namespace

output_file::output_file(std::string path, bool durable)
    : path_(std::move(path)), durable_(durable) {
  if (path_.find('\0') != std::string::npos) // the system would read a shorter name
    fail(EINVAL);
  target_ = path_;
  // A name for one of this process's descriptors ("-" is the caller's): that
  // descriptor, as it is, so that a file it appends to is appended to.
  if (const std::optional<int> fd = descriptor_named(path_)) {
    fd_ = *fd;
    through_ = borrowed_ = true;
    return;
  }
  // Through the path itself when it ends at a device, FIFO or socket: the
  // system follows links such as /dev/stdout to a pipe, which no name reaches.
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode))
      fail(EISDIR);
    open_through();
    return;
  }
  int error = 0;
  target_ = follow_links(path_, error);
  if (error != 0)
    fail(error);
  open_new_file();
}

// A device or FIFO opened for writing. A FIFO with no reader yet is opened
// again every tenth of a second (the open itself would wait for one, deaf to
// a signal taken by another thread) until one comes or a signal is noted.
void output_file::open_through() {
  through_ = true;
  last_progress_ = std::chrono::steady_clock::now();
  for (;;) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0)
      break;
    if (errno != ENXIO && errno != EINTR)
      fail(errno);
    wait_or_give_up(nullptr);
  }
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0)
    (void)::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
}

// A tenth of a second of waiting for `p` (none: for time alone). A noted
// signal ends the wait by `interrupted`; after a signal, a file written all
// the same (ignore_interrupts) is given up when it has made no progress for
// a second. Returns whether `p` is ready.
bool output_file::wait_or_give_up(pollfd *p) {
  const int ready = ::poll(p, p != nullptr ? 1 : 0, 100);
  if (interruptible_)
    records::check_interrupt();
  else if (records::pending_interrupt() != 0 &&
           std::chrono::steady_clock::now() - last_progress_ > std::chrono::seconds(1))
    throw interrupted(records::pending_interrupt());
  return ready > 0;
}

// A file with no name in the target's directory where the system offers one
// (it takes its name by a link through /proc when complete), else one with a
// hidden random name beside the target.
void output_file::open_new_file() {
  const std::string dir = directory_of(target_);
  if (::access("/proc/self/fd", X_OK) == 0) {
    fd_ = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      unnamed_ = true;
      return;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
      fail(errno);
  }
  const std::string base = target_.substr(target_.rfind('/') + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_ = scratch_name(dir, base);
    fd_ = ::open(temp_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd_ >= 0)
      return;
    if (errno != EEXIST)
      break;
  }
  const int err = errno;
  temp_.clear();
  fail(err);
}

output_file::output_file(int fd, std::string name)
    : path_(std::move(name)), target_(path_), fd_(fd), durable_(false), through_(true),
      borrowed_(true) {
  if (::fcntl(fd_, F_GETFD) == -1)
    fail(errno);
}

output_file::~output_file() {
  if (fd_ >= 0 && !borrowed_)
    ::close(fd_);
  if (!committed_ && !temp_.empty())
    ::unlink(temp_.c_str());
}

void output_file::fail(int error) const {
  throw file_error(error, path_);
}

// A file takes everything at once. A pipe, a FIFO or a device may make a
// write wait, and a signal may go to another thread: there, the write waits
// for room a tenth of a second at a time, looking at the signal note
// between, and writes no more than the room it was told of.
void output_file::write(std::string_view bytes) {
  last_progress_ = std::chrono::steady_clock::now();
  while (!bytes.empty()) {
    std::size_t piece = bytes.size();
    if (through_) {
      pollfd p{fd_, POLLOUT, 0};
      if (!wait_or_give_up(&p))
        continue;
      piece = std::min<std::size_t>(piece, PIPE_BUF);
    }
    const ssize_t n = ::write(fd_, bytes.data(), piece);
    if (n < 0 && errno != EINTR && errno != EAGAIN)
      fail(errno);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      last_progress_ = std::chrono::steady_clock::now();
    }
    if (interruptible_)
      records::check_interrupt();
  }
}

void output_file::finish() {
  if (fd_ < 0)
    return;
  if (durable_ && !through_ && ::fsync(fd_) != 0)
    fail(errno);
  if (unnamed_) {
    // The unnamed file takes a random name first (a link fails on an
    // existing name), then the target's by a rename, which replaces it whole.
    const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
    const std::string dir = directory_of(target_);
    const std::string base = target_.substr(target_.rfind('/') + 1);
    for (int attempt = 0; temp_.empty() && attempt < 100; ++attempt) {
      const std::string name = scratch_name(dir, base);
      if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        temp_ = name;
      else if (errno != EEXIST)
        fail(errno);
    }
  }
  const int fd = fd_;
  fd_ = -1;
  if (!borrowed_ && ::close(fd) != 0)
    fail(errno);
}

void output_file::commit() {
  finish();
  if (!through_ && ::rename(temp_.c_str(), target_.c_str()) != 0)
    fail(errno);
  committed_ = true;
}

} // namespace wavespec
