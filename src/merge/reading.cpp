#include "merge/reading.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "merge/text_scan.h"

namespace wavespec::merge {

void fail(const text_file &file, const std::string &what) {
  throw merge_error(file.path + ": " + what);
}

void malformed_header(const text_file &file, std::size_t line, const std::string &what) {
  fail(file, "malformed header at line " + std::to_string(line + 1) + ": " + what);
}

void malformed_data(const text_file &file, std::size_t line, std::string_view what) {
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

const std::string &header_line(const text_file &file, std::size_t i) {
  if (i >= file.lines.size())
    malformed_header(file, i,
                     "the file ends after " + std::to_string(file.lines.size()) + " lines");
  return file.lines[i];
}

std::size_t header_count(const text_file &file, std::size_t line, std::string_view field,
                         std::optional<std::uint64_t> v, std::uint64_t limit) {
  if (!v)
    malformed_header(file, line, "no " + std::string(field));
  if (*v > limit)
    malformed_header(file, line,
                     std::string(field) + " " + std::to_string(*v) + " is more than " +
                         std::to_string(limit));
  return static_cast<std::size_t>(*v);
}

std::size_t fixed_fields(const text_file &file, std::size_t first, std::size_t count,
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
      out.push_back(*v);
    }
  }
  return line;
}

std::size_t free_fields(const text_file &file, std::size_t first, std::size_t count,
                        std::vector<double> &out) {
  const std::size_t start = out.size();
  std::size_t line = first;
  for (; (count == 0 || out.size() - start < count) && line < file.lines.size(); ++line) {
    text_scan scan(file.lines[line]);
    while (!scan.blanks().rest().empty() && (count == 0 || out.size() - start < count)) {
      const std::string_view word = scan.until_any(" \t");
      const auto v = parse_real(word);
      if (!v)
        malformed_data(file, line, quoted(word));
      out.push_back(*v);
    }
  }
  if (count != 0 && out.size() - start < count)
    fail(file, std::to_string(out.size() - start) + " samples where the header promises " +
                   std::to_string(count));
  return line;
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

// Read in blocks, so that a device that never ends (/dev/zero) or a line
// that never does meets a limit instead of filling the memory.
text_file read_text_file(const std::string &path) {
  text_file file{path, {}};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    fail(file, std::string("cannot open: ") + std::strerror(errno));
  std::string line;
  std::size_t total = 0;
  char block[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      fail(file, std::string("cannot read: ") + std::strerror(err));
    }
    if (n == 0)
      break;
    total += static_cast<std::size_t>(n);
    for (const char c : std::string_view(block, static_cast<std::size_t>(n))) {
      if (c != '\n') {
        line.push_back(c);
        if (line.size() <= max_line_bytes)
          continue;
      }
      if (line.size() > max_line_bytes || total > max_file_bytes) {
        ::close(fd);
        fail(file, line.size() > max_line_bytes
                       ? "line " + std::to_string(file.lines.size() + 1) + " is longer than " +
                             std::to_string(max_line_bytes >> 20) + " MiB"
                       : "longer than " + std::to_string(max_file_bytes >> 20) + " MiB");
      }
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      file.lines.push_back(std::move(line));
      line.clear();
    }
  }
  ::close(fd);
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  if (!line.empty())
    file.lines.push_back(std::move(line));
  return file;
}

} // namespace wavespec::merge
