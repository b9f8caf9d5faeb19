// A stream of input characters read in large blocks from a file descriptor or
// taken from memory, with one character of put-back. A carriage return right
// before a line feed belongs to the line terminator and is not seen.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace wavespec::records {

// Thrown when the host refuses a read; carries errno.
struct source_read_error {
  int error;
};

class input_source {
public:
  static constexpr int end = -1;

  input_source() = default;
  // Reads from `fd`; a source that must never be read (a file that was just
  // created for writing) is empty.
  void attach(int fd, bool empty = false);
  void attach(std::string_view memory);
  // For tests and fuzzing: `memory` handed out `block` characters (at least
  // 1) at a time, as a file read in small blocks would be.
  void attach(std::string_view memory, std::size_t block);

  // The next character (0..255), or `end`. Once the end has been met, every
  // later call meets it again at once.
  int get() {
    if (has_pending_) {
      has_pending_ = false;
      return pending_;
    }
    if (pos_ == len_ && !refill())
      return end;
    const auto c = static_cast<unsigned char>(data_[pos_++]);
    return c == '\r' ? after_carriage_return() : c;
  }
  // Puts back the character just read (putting back `end` does nothing).
  void unget(int c) {
    if (c == end)
      return;
    if (!has_pending_ && pos_ > 0 && static_cast<unsigned char>(data_[pos_ - 1]) == c) {
      --pos_; // still in the block: step back
      return;
    }
    pending_ = c;
    has_pending_ = true;
  }
  // The characters of the current block not yet taken (empty while a
  // character is put back), and taking `n` of them at once.
  [[nodiscard]] std::string_view buffered() const {
    return has_pending_ ? std::string_view{} : std::string_view(data_ + pos_, len_ - pos_);
  }
  void skip(std::size_t n) { pos_ += n; }
  [[nodiscard]] bool end_flag() const { return end_flag_ && !has_pending_; }
  // The line (from 1) of the next character to be taken: where a reading
  // failed, since a failing read leaves the character it stopped at.
  [[nodiscard]] std::int64_t line_number() const;

private:
  bool refill();
  int after_carriage_return();

  int fd_ = -1;
  std::unique_ptr<char[]> block_;
  const char *data_ = nullptr;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::int64_t lines_before_ = 0; // line ends in the blocks before this one
  std::string_view rest_;         // memory handed out in blocks: what follows this one
  std::size_t memory_block_ = 0;
  int pending_ = 0;
  bool has_pending_ = false;
  bool end_flag_ = false;
};

} // namespace wavespec::records
