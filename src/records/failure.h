// The failure report: what an input or output failure tells the user on
// standard error before the run ends abnormally.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace wavespec::records {

// The first line of a report: what failed, and why.
struct failure_text {
  const char *context;
  const char *cause;
};

// Every failure the record operations name themselves (an open, a read or a
// write the host refuses carries the host's own text instead).
namespace failures {
inline constexpr const char *incomprehensible = "incomprehensible list input";
inline constexpr const char *end_of_file = "end of file";
inline constexpr failure_text invalid_number{"invalid number", incomprehensible};
inline constexpr failure_text exponent_field{"exponent field", incomprehensible};
inline constexpr failure_text bad_repetition{"bad repetition count", incomprehensible};
inline constexpr failure_text invalid_integer{"invalid integer", "read unexpected character"};
inline constexpr failure_text integer_range{"invalid integer", "integer out of range"};
inline constexpr failure_text list_in_end{"list in", end_of_file};       // a free-format answer
inline constexpr failure_text fmt_end{"fmt", end_of_file};               // a file-name answer
inline constexpr failure_text read_start_end{"read start", end_of_file}; // input already over
inline constexpr failure_text null_file_name{"open", "null file name"};
inline constexpr failure_text cannot_write{"list output start", "can't write file"};
inline constexpr failure_text truncation{"endfile", "truncation failed in endfile"};
inline constexpr failure_text same_file{"open", "the spectrum file is the waveform file"};
} // namespace failures

struct failure_report {
  std::string context;               // "invalid number", "open", "write", ...
  std::string cause;                 // "incomprehensible list input", host text, ...
  int unit = 0;                      // stream number: 5, 6, 10 or 11
  std::optional<std::string> name;   // the file's name; none for keyboard and console
  std::optional<std::string> format; // "list io" or a layout string; none for open and close
  bool writing = false;              // the failing operation was a write
  std::int64_t line = 0;             // line of an input file where reading failed; 0: none
  int os_error = 0;                  // the system's error number (errno) when the host refused
};

// The four lines (three for an open or a close), each ending in a line feed
// (the first without ": cause" when there is none):
//   invalid number: incomprehensible list input
//   apparent state: unit 11 named wave.txt
//   last format: list io
//   lately reading sequential formatted external IO
// The line number is not part of them.
[[nodiscard]] std::string render_failure(const failure_report &report);

// A failure on its way to the program's entry, which writes the report,
// closes the files and ends the run with status 2.
class record_failure : public std::exception {
public:
  explicit record_failure(failure_report report) : report_(std::move(report)) {}
  [[nodiscard]] const failure_report &report() const noexcept { return report_; }
  [[nodiscard]] const char *what() const noexcept override { return report_.context.c_str(); }

private:
  failure_report report_;
};

// An end the program takes itself (stop_run); status 0, or 2 for a record
// that cannot be analysed.
struct run_stopped {
  int status;
};

} // namespace wavespec::records
