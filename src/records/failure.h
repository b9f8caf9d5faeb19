// The failure report: what an input or output failure tells the user on
// standard error before the run ends abnormally.
#pragma once

#include <exception>
#include <optional>
#include <string>

namespace wavespec::records {

struct failure_report {
  std::string context;               // "invalid number", "open", "write", ...
  std::string cause;                 // "incomprehensible list input", host text, ...
  int unit = 0;                      // stream number: 5, 6, 10 or 11
  std::optional<std::string> name;   // the file's name; none for keyboard and console
  std::optional<std::string> format; // "list io" or a layout string; none for open and close
  bool writing = false;              // the failing operation was a write
};

// The four lines (three for an open or a close), each ending in a line feed:
//   invalid number: incomprehensible list input
//   apparent state: unit 11 named wave.txt
//   last format: list io
//   lately reading sequential formatted external IO
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
