#include "merge/reading.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

#include "merge/text_scan.h"
#include "records/interrupt.h"

namespace wavespec::merge {

void fail(const component_file &file, const std::string &what) {
  throw merge_error(file.path + ": " + what);
}

void malformed_header(const component_file &file, std::size_t line, const std::string &what) {
  fail(file, "malformed header at line " + std::to_string(line + 1) + ": " + what);
}

void malformed_data(const component_file &file, std::size_t line, std::string_view what) {
  std::string text = "malformed data at line ";
  text.append(std::to_string(line + 1)).append(": ").append(what);
  fail(file, text);
}

// The start of a word that is not a number, quoted for a message.
std::string quoted(std::string_view word) {
  std::string q = "'";
  q.append(word.substr(0, 40)).append("'");
  return q;
}

const std::string &header_line(const component_file &file, std::size_t i) {
  if (i >= file.lines.size())
    malformed_header(file, i,
                     "the file ends after " + std::to_string(file.lines.size()) + " lines");
  return file.lines[i];
}

std::size_t header_count(const component_file &file, std::size_t line, std::string_view field,
                         std::optional<std::uint64_t> v, std::uint64_t limit) {
  if (!v)
    malformed_header(file, line, "no " + std::string(field));
  if (*v > limit)
    malformed_header(file, line,
                     std::string(field) + " " + std::to_string(*v) + " is more than " +
                         std::to_string(limit));
  return static_cast<std::size_t>(*v);
}

bool float_sized(double v) {
  const double m = std::fabs(v);
  return m == 0.0 ||
         (m >= static_cast<double>(std::numeric_limits<float>::min()) && m <= largest_sample);
}

const char *why_not_float_sized(double v) {
  return !std::isfinite(v)               ? "is not a finite number"
         : std::fabs(v) > largest_sample ? "is beyond the range of a 32-bit float"
                                         : "is below the range of a 32-bit float (not zero, "
                                           "smaller than 1.2e-38)";
}

double checked_sample(const component_file &file, std::size_t line, std::string_view word,
                      double v) {
  if (!float_sized(v))
    malformed_data(file, line, quoted(trimmed(word)).append(" ").append(why_not_float_sized(v)));
  return v;
}

bool starts_with_word(std::string_view text, std::string_view word) {
  return text.size() >= word.size() && find_word(text.substr(0, word.size()), word) == 0;
}

std::size_t find_word(std::string_view text, std::string_view word) {
  const auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  for (std::size_t at = 0; at + word.size() <= text.size(); ++at) {
    std::size_t k = 0;
    while (k < word.size() && lower(text[at + k]) == lower(word[k]))
      ++k;
    if (k == word.size())
      return at;
  }
  return std::string_view::npos;
}

std::size_t fixed_fields(const component_file &file, std::size_t first, std::size_t count,
                         std::size_t per_line, std::size_t width, std::vector<double> &out) {
  std::size_t line = first;
  out.reserve(out.size() + count);
  for (std::size_t done = 0; done < count; ++line) {
    if (line >= file.lines.size())
      fail(file,
           std::to_string(done) + " samples where the header promises " + std::to_string(count));
    const std::string_view l = file.lines[line];
    for (std::size_t k = 0; k < per_line && done < count; ++k, ++done) {
      const auto v =
          k * width + width <= l.size() ? parse_real(l.substr(k * width, width)) : std::nullopt;
      if (!v)
        malformed_data(file, line,
                       "field " + std::to_string(k + 1) +
                           (k * width + width > l.size() ? " is cut short" : " is not a number"));
      out.push_back(checked_sample(file, line, l.substr(k * width, width), *v));
    }
  }
  return line;
}

std::size_t free_fields(const component_file &file, std::size_t first, std::size_t count,
                        std::vector<double> &out) {
  const std::size_t start = out.size();
  std::size_t line = first;
  bool cut = false; // the last value taken ends the file without a line end
  for (; (count == 0 || out.size() - start < count) && line < file.lines.size(); ++line) {
    text_scan scan(file.lines[line]);
    while (!scan.blanks().rest().empty() && (count == 0 || out.size() - start < count)) {
      const std::string_view word = scan.until_any(" \t");
      const auto v = parse_real(word);
      if (!v)
        malformed_data(file, line, quoted(word));
      out.push_back(checked_sample(file, line, word, *v));
      cut = !file.ends_with_line_end && line + 1 == file.lines.size() && scan.rest().empty();
    }
  }
  if (count != 0 && out.size() - start < count)
    fail(file, std::to_string(out.size() - start) + " samples where the header promises " +
                   std::to_string(count));
  // A file cut inside its last number still reads as a number: one that ends
  // the file without a line end may have been cut, and is not taken.
  if (cut)
    malformed_data(file, line - 1, "the file ends inside its last value (no line end after it)");
  return line;
}

double epoch_seconds(int year, int day_of_year, int hour, int minute, double second) {
  const std::chrono::year y{year};
  if (year < 1900 || year > 2200 || day_of_year < 1 || day_of_year > (y.is_leap() ? 366 : 365) ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || !(second >= 0 && second < 61))
    return std::numeric_limits<double>::quiet_NaN();
  const auto day =
      std::chrono::sys_days{y / std::chrono::January / 1} + std::chrono::days{day_of_year - 1};
  return static_cast<double>(day.time_since_epoch().count()) * 86400.0 + hour * 3600.0 +
         minute * 60.0 + second;
}

namespace {

// The date of "Y/M/D" or "M/D/Y" (a year of two digits: from 1930 to 2029)
// and the time after it; false when the text does not begin so.
bool date_fields(text_scan &scan, int &y, int &mo, int &d) {
  int f[3] = {};
  std::size_t digits[3] = {};
  for (int k = 0; k < 3; ++k) {
    const std::size_t before = scan.blanks().rest().size();
    const auto n = scan.whole_number();
    digits[k] = before - scan.rest().size();
    f[k] = n && *n < 10000 ? static_cast<int>(*n) : -1;
    if (f[k] < 0 || (k < 2 && !scan.take("/")))
      return false;
  }
  if (digits[0] == 4) {
    y = f[0], mo = f[1], d = f[2];
  } else {
    mo = f[0], d = f[1], y = digits[2] == 2 ? (f[2] < 30 ? 2000 + f[2] : 1900 + f[2]) : f[2];
  }
  (void)scan.take(",");
  return mo >= 1 && mo <= 12 && d >= 1 && d <= 31;
}

} // namespace

double date_time_seconds(std::string_view text) {
  text_scan scan(text);
  int y = 0, mo = 0, d = 0, h = -1, mi = -1;
  const auto field = [&scan](int &v, const char *after) {
    const auto n = scan.whole_number();
    v = n && *n < 100 ? static_cast<int>(*n) : -1;
    return v >= 0 && scan.take(after);
  };
  if (!date_fields(scan, y, mo, d) || !field(h, ":") || !field(mi, ":"))
    return std::numeric_limits<double>::quiet_NaN();
  const auto second = scan.real_number();
  if (!second)
    return std::numeric_limits<double>::quiet_NaN();
  // The day counted from the month's first, as the headers write it.
  const std::chrono::year year{y};
  const auto day = std::chrono::sys_days{year / std::chrono::month(static_cast<unsigned>(mo)) / 1} +
                   std::chrono::days{d - 1};
  const auto day_of_year = (day - std::chrono::sys_days{year / std::chrono::January / 1}).count();
  return epoch_seconds(y, static_cast<int>(day_of_year) + 1, h, mi, *second);
}

bool fortran_fields(std::string_view text, std::size_t &per_line, std::size_t &width) {
  for (std::size_t open = text.find('('); open != std::string_view::npos;
       open = text.find('(', open + 1)) {
    text_scan scan(text.substr(open + 1));
    const auto n = scan.whole_number();
    const std::string_view rest = scan.rest();
    if (!n || rest.empty() ||
        std::string_view("EFGefg").find(rest.front()) == std::string_view::npos)
      continue;
    text_scan after(rest.substr(1));
    const auto w = after.whole_number();
    if (!w || *n == 0 || *w == 0 || *n > 1000 || *w > 1000)
      continue;
    per_line = static_cast<std::size_t>(*n);
    width = static_cast<std::size_t>(*w);
    return true;
  }
  return false;
}

std::string after_key(std::string_view line, std::string_view key) {
  const auto at = line.find(key);
  return at == std::string_view::npos ? std::string()
                                      : std::string(trimmed(line.substr(at + key.size())));
}

std::string first_word(std::string_view text) {
  text = trimmed(text);
  return std::string(text.substr(0, std::min(text.find_first_of(" \t"), text.size())));
}

namespace {

// Lines as the bytes come, a line longer than max_line_bytes refused.
class line_splitter {
public:
  explicit line_splitter(component_file &file) : file_(file) {}

  void add(std::string_view bytes) {
    for (const char c : bytes) {
      if (c == '\n') {
        end_line();
      } else if (line_.push_back(c), line_.size() > max_line_bytes) {
        fail(file_, "line " + std::to_string(file_.lines.size() + 1) + " is longer than " +
                        std::to_string(max_line_bytes >> 20) + " MiB");
      }
    }
  }

  // A DOS end-of-file mark (Ctrl-Z) after the last line is no line.
  void finish() {
    while (!line_.empty() && line_.back() == '\x1a')
      line_.pop_back();
    if (line_.empty())
      return;
    file_.ends_with_line_end = false;
    end_line();
    if (file_.lines.back().empty())
      file_.lines.pop_back();
  }

private:
  void end_line() {
    if (!line_.empty() && line_.back() == '\r')
      line_.pop_back();
    file_.lines.push_back(std::move(line_));
    line_.clear();
  }

  component_file &file_;
  std::string line_;
};

// Whether the file is read as bytes: a binary format named, or recognised
// from the first bytes when none is.
bool binary(const component_file &file, const format_entry *named) {
  if (named != nullptr)
    return named->binary;
  const format_entry *found = detect_format(file);
  return found != nullptr && found->binary;
}

[[noreturn]] void too_long(const component_file &file) {
  fail(file, "longer than " + std::to_string(max_file_bytes >> 20) + " MiB");
}

class descriptor {
public:
  explicit descriptor(int fd) : fd_(fd) {}
  descriptor(const descriptor &) = delete;
  descriptor &operator=(const descriptor &) = delete;
  ~descriptor() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  int get() const { return fd_; }

private:
  int fd_;
};

// Appends up to `room` bytes read from fd (64 KiB at most); false at the end.
bool read_more(const component_file &file, int fd, std::string &to, std::size_t room) {
  char block[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, block, std::min(room, sizeof block));
    if (n < 0 && errno == EINTR) {
      records::check_interrupt(); // a signal the program listens for ends the reading
      continue;
    }
    if (n < 0)
      fail(file, std::string("cannot read: ") + std::strerror(errno));
    to.append(block, static_cast<std::size_t>(n));
    return n > 0;
  }
}

} // namespace

component_file component_from_bytes(std::string path, std::string bytes,
                                    const format_entry *named) {
  component_file file{std::move(path), {}, true, std::move(bytes)};
  if (file.bytes.size() > max_file_bytes)
    too_long(file);
  if (!binary(file, named)) {
    line_splitter lines(file);
    lines.add(file.bytes);
    lines.finish();
    std::string().swap(file.bytes);
  }
  return file;
}

// Read in blocks, so that a device that never ends (/dev/zero) or a line
// that never does meets a limit instead of filling the memory.
component_file read_component_file(const std::string &path, const format_entry *named) {
  component_file file{path, {}, true, {}};
  int opened = -1;
  while ((opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR)
    records::check_interrupt(); // a FIFO nobody writes to waits in open
  const descriptor fd(opened);
  if (fd.get() < 0)
    fail(file, std::string("cannot open: ") + std::strerror(errno));
  while (file.bytes.size() < head_bytes &&
         read_more(file, fd.get(), file.bytes, head_bytes - file.bytes.size())) {
  }
  if (binary(file, named)) {
    while (read_more(file, fd.get(), file.bytes, max_file_bytes + 1 - file.bytes.size()))
      if (file.bytes.size() > max_file_bytes)
        too_long(file);
    return file;
  }
  line_splitter lines(file);
  std::size_t total = file.bytes.size();
  lines.add(file.bytes);
  for (std::string block; (block.clear(), read_more(file, fd.get(), block, 1 << 16));) {
    if ((total += block.size()) > max_file_bytes)
      too_long(file);
    lines.add(block);
  }
  lines.finish();
  std::string().swap(file.bytes);
  return file;
}

} // namespace wavespec::merge
