// The record operations: every console line, keyboard answer and record of the
// two files passes through these. A failure ends the operation: it is thrown
// as a record_failure (or `interrupted`) to whoever runs it, the dialogue's
// entry or the analysis core.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "records/failure.h"
#include "records/input_source.h"
#include "records/layout.h"
#include "records/list_scanner.h"
#include "records/reading_notes.h"

namespace wavespec::records {

// Stream numbers, shown in the failure report.
inline constexpr int keyboard = 5;
inline constexpr int console = 6;
inline constexpr int spectrum_file = 10;
inline constexpr int waveform_file = 11;

// The format named in a failure report for free-format records.
inline constexpr std::string_view list_io = "list io";

// One item of a free-format record on output.
class free_item {
public:
  enum class kind { text, integer, real };
  static free_item text(std::string_view t) { return free_item(kind::text, t, 0, 0.0f); }
  static free_item integer(std::int32_t i) { return free_item(kind::integer, {}, i, 0.0f); }
  static free_item real(float r) { return free_item(kind::real, {}, 0, r); }
  [[nodiscard]] kind what() const { return kind_; }
  [[nodiscard]] std::string_view text_value() const { return text_; }
  [[nodiscard]] std::int32_t integer_value() const { return integer_; }
  [[nodiscard]] float real_value() const { return real_; }

private:
  free_item(kind k, std::string_view t, std::int32_t i, float r)
      : kind_(k), text_(t), integer_(i), real_(r) {}
  kind kind_;
  std::string_view text_;
  std::int32_t integer_;
  float real_;
};

enum class file_access { none, read_write, read_only, created };

// Which file a stream has open: its device and inode.
struct file_identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool known = false;
  friend bool operator==(const file_identity &, const file_identity &) = default;
};

// The longest file name the dialogue opens (the host's PATH_MAX). An answer
// keeps one character more and whether anything but blanks follows, so that
// a longer name is refused in bounded memory.
inline constexpr std::size_t max_name_bytes = 4096;

// A file-name answer: the line's first max_name_bytes + 1 characters, and
// whether anything but blanks followed them.
struct name_answer {
  std::string text;
  bool longer = false;
};

// How a file is opened; the first way that succeeds is taken.
enum class open_rule {
  read_write_read_or_create, // the spectrum file: existing (read-write, else read-only) or new
  read_write_or_read,        // the waveform file in the dialogue: an existing file only
  read_only                  // a record read by the library: never written, never created
};

// The state of one stream: its input characters or its pending output.
struct stream_state {
  stream_state() = default;
  stream_state(int stream_number, bool file) : number(stream_number), is_file(file) {}
  stream_state(const stream_state &) = delete;
  stream_state &operator=(const stream_state &) = delete;
  ~stream_state(); // closes a file still open

  int number = 0;
  bool is_file = false;
  bool open = false;
  std::string name;
  file_access access = file_access::none;
  bool last_was_write = false;
  input_source in;
  int fd = -1;
  std::string *sink = nullptr; // in-memory console
  file_identity identity;      // of the open file
  std::string buffer;          // records not yet delivered
  // The formats of the records in `buffer`: each from its offset on.
  std::vector<std::pair<std::size_t, std::string>> formats;
  std::uint64_t position = 0; // bytes delivered to the file
};

// What the dialogue did last, for a report of a failure that no record
// operation caught (memory running out): the operation and the stream.
struct activity {
  const char *operation = "start";
  int unit = keyboard;
  std::string format{list_io};
  bool writing = false;
};

// The four streams of the dialogue.
class record_streams {
public:
  // Keyboard on standard input, console on standard output.
  record_streams();
  // For tests and fuzzing: answers taken from `keyboard`, console records
  // appended to `*console_out`.
  record_streams(std::string_view keyboard_text, std::string *console_out);
  record_streams(const record_streams &) = delete;
  record_streams &operator=(const record_streams &) = delete;

  [[nodiscard]] stream_state &at(int stream);
  [[nodiscard]] const stream_state &at(int stream) const;

  // For tests and fuzzing: the waveform file's content is `content`, not a file.
  void open_memory_file(int stream, std::string_view name, std::string_view content);

  // The last record operation, or the computation the dialogue has begun.
  activity last;

private:
  stream_state keyboard_, console_, spectrum_, waveform_;
};

// Where read_real_rows puts the values of each record.
class row_store {
public:
  virtual ~row_store() = default;
  // Aims row[0 .. width) at the places for the values of record r (from 0).
  // Called for r = 0, 1, 2, ... in turn, before record r is read.
  virtual void aim(std::int64_t r, float **row) = 0;
};

// --- Operations on one stream ---------------------------------------------

// Opens the file named `name` by `rule`; failures name it `shown` when that
// is given (a name resolved elsewhere, reported as the user gave it).
void open_stream(stream_state &u, std::string_view name, open_rule rule,
                 std::string_view shown = {});
// For the library: a stream over bytes in memory, named `name`.
void open_memory_stream(stream_state &u, std::string_view name, std::string_view content);
// Delivers pending records and cuts a written file at its current position.
void close_stream(stream_state &u);
read_outcome read_record(stream_state &u, std::span<const read_target> items, bool end_allowed);
// Reads records of `width` reals (1 .. 8) to the end of the stream, each as
// read_record(u, items, true) would, into the places `rows` gives. Returns
// the number of complete records. Plain records are taken straight from the
// buffered block, the others one by one the general way. With `notes`, they
// are set to the notes of the lines read (see reading_notes); what is read,
// and any failure, stay the same.
std::int64_t read_real_rows(stream_state &u, std::size_t width, row_store &rows,
                            reading_notes *notes = nullptr);
// The rest of the current line as text, at most `keep` characters kept (the
// line is passed over whole, as a read with no items does). False at the end
// of the stream.
bool read_line_text(stream_state &u, std::string &text, std::size_t keep);

// The characters of one free-format record of `items`, its line end included.
[[nodiscard]] std::string render_free_record(std::initializer_list<free_item> items);

// The characters of one fixed-field record of `layout` (a writable one, with
// its reals `items`) at `out`, its line end included; returns the end. `out`
// holds at least layout.max_length() + 1 characters.
char *render_fixed_record(const fixed_layout &layout, std::span<const float> items, char *out);

// --- The dialogue's operations ----------------------------------------------

void write_free_record(record_streams &s, int stream, std::initializer_list<free_item> items);
read_outcome read_free_record(record_streams &s, int stream, std::span<const read_target> items,
                              bool end_allowed = false);
// read_real_rows into plain arrays: record r fills columns[j][r] while
// r < rows; later records are read and counted but not kept.
std::int64_t read_real_rows(record_streams &s, int stream, std::span<float *const> columns,
                            std::size_t rows, reading_notes *notes = nullptr);
void write_fixed_record(record_streams &s, int stream, const fixed_layout &layout,
                        std::span<const float> items = {});
// The answer line without its terminator (see name_answer).
[[nodiscard]] name_answer read_fixed_record(record_streams &s, int stream,
                                            const fixed_layout &layout);
// Opens the file an answer names, trailing blanks dropped, by `rule`
// (existing file for reading and writing, else for reading only, else a new
// empty file). A name longer than max_name_bytes is never opened; a file
// that is `other` under any name fails as the same file.
void open_record_file(record_streams &s, int stream, const name_answer &name,
                      open_rule rule = open_rule::read_write_read_or_create,
                      const file_identity *other = nullptr);
void open_record_file(record_streams &s, int stream, std::string_view name,
                      open_rule rule = open_rule::read_write_read_or_create);
void close_record_file(record_streams &s, int stream);
// Closes the files, delivers the console and ends the run with `status`.
[[noreturn]] void stop_run(record_streams &s, int status = 0);
// Throws the failure of an operation on `u`.
[[noreturn]] void report_io_failure(const stream_state &u, failure_text text,
                                    std::string_view format, bool writing);
// `os_error`: the system's error number when the host refused the operation.
[[noreturn]] void report_io_failure(const stream_state &u, std::string context, std::string cause,
                                    const std::string *format, bool writing, int os_error = 0);
// After a failure or an interrupt: delivers what can be delivered without
// waiting (a pipe or a FIFO nobody reads gets no more), closes the files as
// a normal close does and ignores any further failure.
void close_all_quietly(record_streams &s) noexcept;
// The report of a failure of the last activity: `context: cause` and the
// state of the stream it was on.
[[nodiscard]] failure_report activity_failure(const record_streams &s, std::string context,
                                              std::string cause);

} // namespace wavespec::records
