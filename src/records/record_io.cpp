#include "records/record_io.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "records/failure.h"
#include "records/interrupt.h"
#include "records/real_format.h"

namespace wavespec::records {
namespace {

const std::string list_io_text(list_io);
constexpr std::size_t free_record_width = 80;
constexpr std::size_t delivery_size = 1 << 16;

// The format of the record at `offset` of the pending records.
std::string format_at(const stream_state &u, std::size_t offset) {
  std::string format(list_io);
  for (const auto &[from, f] : u.formats)
    if (from <= offset)
      format = f;
  return format;
}

// Drops the first `done` pending characters, delivered: the format in force
// at `done` starts what is left, and the later ones move with it.
void drop_delivered(stream_state &u, std::size_t done) {
  std::vector<std::pair<std::size_t, std::string>> rest;
  rest.emplace_back(0, format_at(u, done));
  for (auto &[from, f] : u.formats)
    if (from > done)
      rest.emplace_back(from - done, std::move(f));
  u.buffer.erase(0, done);
  u.formats = std::move(rest);
}

bool is_regular_file(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// After an interrupt: what a pipe, a FIFO or a terminal takes at once, in
// pieces small enough never to block; a regular file takes everything.
void deliver_without_waiting(stream_state &u) {
  std::size_t done = 0;
  while (done < u.buffer.size()) {
    pollfd p{u.fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0)
      break;
    const std::size_t piece = std::min<std::size_t>(u.buffer.size() - done, PIPE_BUF);
    const ssize_t n = ::write(u.fd, u.buffer.data() + done, piece);
    if (n <= 0)
      break;
    done += static_cast<std::size_t>(n);
    u.position += static_cast<std::uint64_t>(n);
  }
  u.buffer.clear();
  u.formats.clear();
}

// Hands the pending records to the stream. A signal noted meanwhile ends the
// run between two writes, with what was not delivered kept for the quiet
// close that follows; once the run is ending (`quiet`), nothing waits.
void deliver(stream_state &u, bool quiet = false) {
  if (u.buffer.empty())
    return;
  if (u.sink != nullptr) {
    u.sink->append(u.buffer);
    u.buffer.clear();
    u.formats.clear();
    return;
  }
  if (quiet && !is_regular_file(u.fd)) {
    deliver_without_waiting(u);
    return;
  }
  std::size_t done = 0;
  while (done < u.buffer.size()) {
    const ssize_t n = ::write(u.fd, u.buffer.data() + done, u.buffer.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      u.position += static_cast<std::uint64_t>(n);
    } else if (n < 0 && errno != EINTR) {
      const int err = errno;
      const std::string format = format_at(u, done);
      u.buffer.clear(); // what could not be delivered is lost, not retried
      u.formats.clear();
      report_io_failure(u, "write", std::strerror(err), &format, true, err);
    }
    if (!quiet && pending_interrupt() != 0) {
      drop_delivered(u, done);
      check_interrupt();
    }
  }
  u.buffer.clear();
  u.formats.clear();
}

// Starts a record on an output stream.
void begin_write(stream_state &u, std::string_view format) {
  check_interrupt();
  if (!u.open)
    throw std::logic_error("record written to a closed stream");
  if (u.access == file_access::read_only)
    report_io_failure(u, failures::cannot_write, format, true);
  if (u.formats.empty() || u.formats.back().second != format)
    u.formats.emplace_back(u.buffer.size(), format);
}

// Ends a record: the console is delivered before every keyboard read, a file
// in large blocks.
void end_write(stream_state &u) {
  u.last_was_write = true;
  if (u.buffer.size() >= delivery_size)
    deliver(u);
}

void render_item(std::string &piece, const free_item &item, bool record_empty) {
  switch (item.what()) {
  case free_item::kind::text:
    if (record_empty)
      piece.push_back(' ');
    piece.append(item.text_value());
    break;
  case free_item::kind::integer:
    piece.push_back(' ');
    piece.append(std::to_string(item.integer_value()));
    break;
  case free_item::kind::real:
    append_free_real(piece, item.real_value());
    break;
  }
}

// The item's measure for the wrapping rule: digits of an integer (sign not
// counted), the whole rendering of a real, the length of a text.
std::size_t measure(const free_item &item, const std::string &piece) {
  switch (item.what()) {
  case free_item::kind::text:
    return item.text_value().size();
  case free_item::kind::integer:
    return piece.size() - 1 - (item.integer_value() < 0 ? 1 : 0);
  case free_item::kind::real:
    break;
  }
  return piece.size();
}

std::string trim_trailing_blanks(std::string_view name) {
  const auto last = name.find_last_not_of(' ');
  return std::string(last == std::string_view::npos ? std::string_view{}
                                                    : name.substr(0, last + 1));
}

// Opens for reading without waiting: a FIFO with no writer yet would hold the
// open itself, deaf to a signal taken by another thread. The reads that
// follow wait for it a tenth of a second at a time (wait_readable).
int open_for_reading(const std::string &name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0)
    if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0)
      (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

int open_by_rule(const std::string &name, open_rule rule, file_access &access) {
  if (rule == open_rule::read_only) {
    access = file_access::read_only;
    return open_for_reading(name);
  }
  if (const int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC); fd >= 0) {
    access = file_access::read_write;
    return fd;
  }
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 || rule != open_rule::read_write_read_or_create) {
    access = file_access::read_only;
    return fd;
  }
  access = file_access::created;
  return ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
}

// Cuts a written file at the current position; false when the cut failed.
bool cut_at_position(stream_state &u) {
  if (!u.last_was_write || u.fd < 0)
    return true;
  struct stat st {};
  if (::fstat(u.fd, &st) != 0 || !S_ISREG(st.st_mode))
    return true;
  if (static_cast<std::uint64_t>(st.st_size) <= u.position)
    return true;
  return ::ftruncate(u.fd, static_cast<off_t>(u.position)) == 0;
}

// Closes a file that must not be used, its name kept for the report.
void disconnect_keeping_name(stream_state &u) {
  ::close(u.fd);
  u.fd = -1;
  u.open = false;
  u.access = file_access::none;
  u.identity = {};
}

void disconnect(stream_state &u) {
  if (u.fd >= 0)
    ::close(u.fd);
  u.fd = -1;
  u.open = false;
  u.name.clear();
  u.access = file_access::none;
  u.last_was_write = false;
  u.in = input_source{};
  u.buffer.clear();
  u.formats.clear();
  u.identity = {};
  u.position = 0;
}

// Runs one read of `u` (a read_list), its failures thrown as the stream's.
template <class Read>
[[gnu::always_inline]] inline read_outcome read_record_with(stream_state &u, Read &&read) {
  check_interrupt();
  try {
    const read_outcome r = read();
    u.last_was_write = false;
    return r;
  } catch (const list_error &e) {
    report_io_failure(u, e.text, list_io, false);
  } catch (const source_read_error &e) {
    report_io_failure(u, "read", std::strerror(e.error), &list_io_text, false, e.error);
  }
}

// The plain records at the start of `lines` (whole lines), record r on;
// returns the characters taken. Before each record, `row` is aimed at its
// places: when no more are plain, at those of the record that follows.
std::size_t take_plain_rows(std::string_view lines, std::size_t width, row_store &rows,
                            std::int64_t &r, std::array<float *, 8> &row) {
  std::size_t taken = 0;
  for (;;) {
    rows.aim(r, row.data());
    const std::size_t used = read_plain_reals(lines.substr(taken), row.data(), width);
    if (used == 0)
      return taken;
    taken += used;
    ++r;
  }
}

// Tells `tally` of `usual` lines of `width` values, then of one of `width`
// and `passed` more (lines alike are summed there).
[[gnu::noinline]] void tell_lines(line_tally &tally, std::size_t width, std::int64_t usual,
                                  std::int64_t passed) {
  const auto values = static_cast<std::int64_t>(width);
  tally.plain_lines(values, usual);
  tally.plain_lines(values + passed, 1);
}

// The same, each line taken told to `tally`: the usual ones (`width` values
// and no more) counted here and told in runs, so that they cost an increment.
std::size_t take_plain_rows(std::string_view lines, std::size_t width, row_store &rows,
                            std::int64_t &r, std::array<float *, 8> &row, line_tally &tally) {
  std::int64_t usual = 0; // lines not yet told
  std::int64_t at = r;
  std::size_t taken = 0;
  for (;;) {
    rows.aim(at, row.data());
    const plain_take took = read_plain_reals_noted(lines.substr(taken), row.data(), width);
    if (took.used == 0)
      break;
    if (took.passed != 0) [[unlikely]] {
      tell_lines(tally, width, usual, took.passed);
      usual = 0;
    } else {
      ++usual;
    }
    taken += took.used;
    ++at;
  }
  tally.plain_lines(static_cast<std::int64_t>(width), usual);
  r = at;
  return taken;
}

// read_real_rows, with a tally or (noting false) without.
template <bool noting>
std::int64_t read_rows(stream_state &u, std::size_t width, row_store &rows, line_tally *tally) {
  std::array<float *, 8> row{};
  std::int64_t r = 0;
  for (;;) {
    check_interrupt();
    // The whole lines of the buffered block, found once.
    const std::string_view block = u.in.buffered();
    const std::string_view lines = block.substr(0, block.rfind('\n') + 1);
    std::size_t taken = 0;
    if constexpr (noting)
      taken = take_plain_rows(lines, width, rows, r, row, *tally);
    else
      taken = take_plain_rows(lines, width, rows, r, row);
    u.in.skip(taken);
    if (taken > 0)
      u.last_was_write = false;
    // The next record, the general way: another form, or one that runs past
    // the buffered block, or the end.
    std::array<read_target, 8> items{*row[0], *row[0], *row[0], *row[0],
                                     *row[0], *row[0], *row[0], *row[0]};
    for (std::size_t j = 1; j < width; ++j)
      items[j] = *row[j];
    const auto record = std::span(items).first(width);
    read_outcome outcome;
    if constexpr (noting)
      outcome = read_record_with(u, [&] { return read_list(u.in, record, true, *tally); });
    else
      outcome = read_record(u, record, true);
    if (outcome == read_outcome::end_of_input)
      return r;
    ++r;
  }
}

// A row_store over plain arrays of `rows` elements; records beyond them go
// to a spare row.
class column_store final : public row_store {
public:
  column_store(std::span<float *const> columns, std::size_t rows)
      : columns_(columns), rows_(rows) {}
  void aim(std::int64_t r, float **row) override {
    const auto at = static_cast<std::size_t>(r);
    for (std::size_t j = 0; j < columns_.size(); ++j)
      row[j] = at < rows_ ? columns_[j] + at : &spare_[j];
  }

private:
  std::span<float *const> columns_;
  std::size_t rows_;
  std::array<float, 8> spare_{};
};

} // namespace

stream_state::~stream_state() {
  if (is_file && fd >= 0)
    ::close(fd);
}

record_streams::record_streams()
    : keyboard_(keyboard, false), console_(console, false), spectrum_(spectrum_file, true),
      waveform_(waveform_file, true) {
  keyboard_.open = true;
  keyboard_.in.attach(0);
  console_.open = true;
  console_.fd = 1;
}

record_streams::record_streams(std::string_view keyboard_text, std::string *console_out)
    : record_streams() {
  keyboard_.in.attach(keyboard_text);
  console_.fd = -1;
  console_.sink = console_out;
}

const stream_state &record_streams::at(int stream) const {
  return const_cast<record_streams *>(this)->at(stream);
}

stream_state &record_streams::at(int stream) {
  switch (stream) {
  case keyboard:
    return keyboard_;
  case console:
    return console_;
  case spectrum_file:
    return spectrum_;
  case waveform_file:
    return waveform_;
  default:
    throw std::logic_error("no such stream");
  }
}

void record_streams::open_memory_file(int stream, std::string_view name, std::string_view content) {
  open_memory_stream(at(stream), name, content);
}

void report_io_failure(const stream_state &u, std::string context, std::string cause,
                       const std::string *format, bool writing, int os_error) {
  failure_report r;
  r.os_error = os_error;
  r.context = std::move(context);
  r.cause = std::move(cause);
  r.unit = u.number;
  if (u.is_file)
    r.name = u.name;
  if (format != nullptr)
    r.format = *format;
  r.writing = writing;
  if (u.is_file && !writing && u.open && format != nullptr)
    r.line = u.in.line_number();
  throw record_failure(std::move(r));
}

void report_io_failure(const stream_state &u, failure_text text, std::string_view format,
                       bool writing) {
  const std::string f(format);
  report_io_failure(u, text.context, text.cause, format.empty() ? nullptr : &f, writing);
}

// --- Operations on one stream -----------------------------------------------

void open_stream(stream_state &u, std::string_view name, open_rule rule, std::string_view shown) {
  check_interrupt();
  if (u.open)
    close_stream(u);
  u.name = std::string(shown.empty() ? name : shown);
  if (name.empty())
    report_io_failure(u, failures::null_file_name, {}, false);
  if (name.find('\0') != std::string_view::npos)
    report_io_failure(u, "open", std::strerror(EINVAL), nullptr, false, EINVAL);
  u.fd = open_by_rule(std::string(name), rule, u.access);
  if (u.fd < 0) {
    const int err = errno;
    u.access = file_access::none;
    report_io_failure(u, "open", std::strerror(err), nullptr, false, err);
  }
  u.open = true;
  u.last_was_write = false;
  u.position = 0;
  u.buffer.clear();
  struct stat st {};
  if (::fstat(u.fd, &st) == 0)
    u.identity = {st.st_dev, st.st_ino, true};
  // A file created just now is empty: it is never read through its
  // write-only handle.
  u.in.attach(u.fd, u.access == file_access::created);
}

void open_memory_stream(stream_state &u, std::string_view name, std::string_view content) {
  u.open = true;
  u.name = std::string(name);
  u.access = file_access::read_only;
  u.in.attach(content);
}

void close_stream(stream_state &u) {
  if (!u.open)
    return;
  deliver(u);
  if (!cut_at_position(u))
    report_io_failure(u, failures::truncation, {}, true);
  disconnect(u);
}

read_outcome read_record(stream_state &u, std::span<const read_target> items, bool end_allowed) {
  return read_record_with(u, [&] { return read_list(u.in, items, end_allowed); });
}

std::int64_t read_real_rows(stream_state &u, std::size_t width, row_store &rows,
                            reading_notes *notes) {
  if (width == 0 || width > 8)
    throw std::logic_error("read_real_rows: 1 to 8 columns");
  if (notes == nullptr)
    return read_rows<false>(u, width, rows, nullptr);
  *notes = reading_notes{};
  line_tally tally(*notes, u.in.line_number()); // its notes complete when it ends
  return read_rows<true>(u, width, rows, &tally);
}

bool read_line_text(stream_state &u, std::string &text, std::size_t keep) {
  check_interrupt();
  text.clear();
  try {
    if (u.in.end_flag())
      return false;
    for (int c = u.in.get(); c != '\n'; c = u.in.get()) {
      if (c == input_source::end)
        return true;
      if (text.size() < keep)
        text.push_back(static_cast<char>(c));
    }
  } catch (const source_read_error &e) {
    report_io_failure(u, "read", std::strerror(e.error), &list_io_text, false, e.error);
  }
  u.last_was_write = false;
  return true;
}

char *render_fixed_record(const fixed_layout &layout, std::span<const float> items, char *p) {
  if (!layout.writable() || items.size() < layout.fields())
    throw std::logic_error("layout not supported on output: " + layout.source());
  std::size_t next = 0;
  for (const output_step &step : layout.output_steps()) {
    switch (step.k) {
    case output_step::kind::text:
      if (step.text.size() == 1) { // the usual separator: no call for one character
        *p++ = step.text[0];
      } else {
        std::memcpy(p, step.text.data(), step.text.size());
        p += step.text.size();
      }
      break;
    case output_step::kind::f8_4:
      p = put_f8_4(p, items[next++]);
      break;
    case output_step::kind::e14_6:
      p = put_e14_6(p, items[next++]);
      break;
    }
  }
  *p++ = '\n';
  return p;
}

// --- The dialogue's operations ----------------------------------------------

std::string render_free_record(std::initializer_list<free_item> items) {
  std::string line, piece;
  std::size_t column = 0;
  for (const free_item &item : items) {
    piece.clear();
    render_item(piece, item, column == 0);
    if (column > 0 && column + measure(item, piece) >= free_record_width) {
      line.push_back('\n'); // hand out the record; the item opens a new one
      column = 0;
      piece.clear();
      render_item(piece, item, true);
    }
    line.append(piece);
    column += piece.size();
  }
  line.push_back('\n');
  return line;
}

void write_free_record(record_streams &s, int stream, std::initializer_list<free_item> items) {
  s.last = {"write", stream, std::string(list_io), true};
  stream_state &u = s.at(stream);
  begin_write(u, list_io);
  u.buffer.append(render_free_record(items));
  end_write(u);
}

void write_fixed_record(record_streams &s, int stream, const fixed_layout &layout,
                        std::span<const float> items) {
  if (s.last.unit != stream || s.last.format != layout.source() || !s.last.writing)
    s.last = {"write", stream, layout.source(), true};
  stream_state &u = s.at(stream);
  begin_write(u, layout.source());
  // The record is laid out in a local line (the fields have fixed widths) and
  // handed to the buffer in one piece.
  std::string long_line;
  char short_line[512];
  const bool fits = layout.max_length() < sizeof short_line;
  if (!fits)
    long_line.resize(layout.max_length() + 1);
  char *const start = fits ? short_line : long_line.data();
  const char *const end = render_fixed_record(layout, items, start);
  u.buffer.append(start, static_cast<std::size_t>(end - start));
  end_write(u);
}

read_outcome read_free_record(record_streams &s, int stream, std::span<const read_target> items,
                              bool end_allowed) {
  s.last = {"read", stream, std::string(list_io), false};
  check_interrupt();
  if (stream == keyboard)
    deliver(s.at(console));
  return read_record(s.at(stream), items, end_allowed);
}

std::int64_t read_real_rows(record_streams &s, int stream, std::span<float *const> columns,
                            std::size_t rows, reading_notes *notes) {
  column_store store(columns, rows);
  return read_real_rows(s.at(stream), columns.size(), store, notes);
}

name_answer read_fixed_record(record_streams &s, int stream, const fixed_layout &layout) {
  s.last = {"read", stream, layout.source(), false};
  check_interrupt();
  deliver(s.at(console));
  stream_state &u = s.at(stream);
  if (u.in.end_flag())
    report_io_failure(u, failures::read_start_end, layout.source(), false);
  name_answer answer;
  try {
    for (int c = u.in.get(); c != '\n'; c = u.in.get()) {
      if (c == input_source::end)
        report_io_failure(u, failures::fmt_end, layout.source(), false);
      if (answer.text.size() <= max_name_bytes)
        answer.text.push_back(static_cast<char>(c));
      else
        answer.longer = answer.longer || c != ' ';
    }
  } catch (const source_read_error &e) {
    report_io_failure(u, "read", std::strerror(e.error), &layout.source(), false, e.error);
  }
  return answer;
}

void open_record_file(record_streams &s, int stream, const name_answer &answer, open_rule rule,
                      const file_identity *other) {
  s.last = {"open", stream, {}, false};
  stream_state &u = s.at(stream);
  const std::string name = trim_trailing_blanks(answer.text);
  if (answer.longer || name.size() > max_name_bytes) { // never opened
    if (u.open)
      close_stream(u);
    u.name = name.substr(0, max_name_bytes) + "...";
    report_io_failure(u, "open", std::strerror(ENAMETOOLONG), nullptr, false, ENAMETOOLONG);
  }
  open_stream(u, name, rule);
  if (other != nullptr && other->known && u.identity == *other) {
    disconnect_keeping_name(u);
    report_io_failure(u, failures::same_file, {}, false);
  }
}

void open_record_file(record_streams &s, int stream, std::string_view name, open_rule rule) {
  open_record_file(s, stream, name_answer{std::string(name), false}, rule);
}

void close_record_file(record_streams &s, int stream) {
  close_stream(s.at(stream));
}

void stop_run(record_streams &s, int status) {
  close_record_file(s, spectrum_file);
  close_record_file(s, waveform_file);
  deliver(s.at(console));
  throw run_stopped{status};
}

void close_all_quietly(record_streams &s) noexcept {
  for (int stream : {spectrum_file, waveform_file}) {
    stream_state &u = s.at(stream);
    if (!u.open)
      continue;
    try {
      deliver(u, true);
    } catch (...) {
      u.buffer.clear();
    }
    (void)cut_at_position(u);
    disconnect(u);
  }
  try {
    deliver(s.at(console), true);
  } catch (...) {
    s.at(console).buffer.clear();
  }
}

failure_report activity_failure(const record_streams &s, std::string context, std::string cause) {
  failure_report r;
  r.context = std::move(context);
  r.cause = std::move(cause);
  r.unit = s.last.unit;
  const stream_state &u = s.at(s.last.unit);
  if (u.is_file)
    r.name = u.name;
  if (!s.last.format.empty())
    r.format = s.last.format;
  r.writing = s.last.writing;
  return r;
}

} // namespace wavespec::records
