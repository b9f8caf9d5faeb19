#include "records/input_source.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <unistd.h>

#include "records/interrupt.h"

namespace wavespec::records {
namespace {
constexpr std::size_t block_size = 1 << 16;

// The line ends in [p, p + n). Runs of 240 bytes are summed in one byte each
// (at most 240 < 256 per run), which the compiler turns into byte-wide vector
// compares; std::count widens every lane to 64 bits and is 8 times slower.
std::int64_t count_line_ends(const char *p, std::size_t n) {
  constexpr std::size_t run = 240;
  std::int64_t lines = 0;
  std::size_t i = 0;
  for (; i + run <= n; i += run) {
    unsigned char in_run = 0;
    for (std::size_t j = 0; j < run; ++j)
      in_run = static_cast<unsigned char>(in_run + (p[i + j] == '\n' ? 1 : 0));
    lines += in_run;
  }
  return lines + std::count(p + i, p + n, '\n');
}
} // namespace

void input_source::attach(int fd, bool empty) {
  *this = input_source{};
  fd_ = fd;
  end_flag_ = empty;
  if (!empty)
    block_ = std::make_unique<char[]>(block_size);
  data_ = block_.get();
}

void input_source::attach(std::string_view memory) {
  *this = input_source{};
  data_ = memory.data();
  len_ = memory.size();
}

void input_source::attach(std::string_view memory, std::size_t block) {
  *this = input_source{};
  memory_block_ = std::max<std::size_t>(block, 1);
  data_ = memory.data();
  len_ = std::min(memory.size(), memory_block_);
  rest_ = memory.substr(len_);
}

bool input_source::refill() {
  if (end_flag_ || (fd_ < 0 && rest_.empty())) {
    end_flag_ = true;
    return false;
  }
  lines_before_ += count_line_ends(data_, len_);
  pos_ = len_ = 0;
  if (fd_ < 0) { // the next block of memory
    data_ = rest_.data();
    len_ = std::min(rest_.size(), memory_block_);
    rest_.remove_prefix(len_);
    return true;
  }
  for (;;) {
    wait_readable(fd_);
    const ssize_t n = ::read(fd_, block_.get(), block_size);
    if (n > 0) {
      pos_ = 0;
      len_ = static_cast<std::size_t>(n);
      return true;
    }
    if (n == 0) {
      end_flag_ = true;
      return false;
    }
    if (errno == EINTR || errno == EAGAIN) {
      check_interrupt();
      continue;
    }
    throw source_read_error{errno};
  }
}

std::int64_t input_source::line_number() const {
  const bool line_end_put_back = has_pending_ && pending_ == '\n';
  return 1 + lines_before_ + count_line_ends(data_, pos_) - (line_end_put_back ? 1 : 0);
}

int input_source::after_carriage_return() {
  if (pos_ == len_ && !refill())
    return '\r';
  if (data_[pos_] != '\n')
    return '\r';
  ++pos_;
  return '\n';
}

} // namespace wavespec::records
