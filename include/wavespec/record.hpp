// A three-component waveform record, read by the dialogue's reading rules.
//
// The waveform file is a header line, then one record per sample: the time,
// then the X, Y and Z values, separated by blanks, tabs or a comma; a record
// may continue over several lines, values after the fourth are ignored, and
// "1.5d3", "1.5+3", ",," (a null: the value stays 0) and "3*0.5" (a repeat)
// are numbers as the dialogue reads them. Only the first two times are used:
// dt is their difference, and the samples are taken to be evenly spaced.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "wavespec/interrupted.hpp"
#include "wavespec/spectral.hpp"

namespace wavespec {

// The samples of a record held elsewhere.
struct waveform_view {
  std::span<const float> x, y, z; // the X, Y and Z samples, as many each
  float dt = 0.0f;                // the sampling interval (s)
  [[nodiscard]] std::int64_t nt() const { return static_cast<std::int64_t>(x.size()); }
};

struct waveform {
  std::string header;   // the header line as read (its first 4096 characters), no line end
  std::vector<float> x; // the X samples
  std::vector<float> y; // the Y samples, as many
  std::vector<float> z; // the Z samples, as many
  float dt = 0.0f;      // the sampling interval: time(2) - time(1) in float
  // What the reading met that usually means a damaged or misformatted file,
  // on one line: a line whose count of values differs from the file's usual
  // count, a number running straight into the next, the file ending inside a
  // record. Empty for a clean reading; the samples are the same either way.
  //   "line 1001: 5 values where the file's lines hold 4; in all: 1 line whose count of values
  //   differs"
  std::string warning{};
  [[nodiscard]] std::int64_t nt() const { return static_cast<std::int64_t>(x.size()); }
  operator waveform_view() const { return {x, y, z, dt}; } // NOLINT: a view, as string_view
};

// A record that cannot be read or analysed. For a file that breaks the
// reading rules, report() holds the four lines the dialogue prints on
// standard error (what() and one_line() say it on one line), for example
//   invalid number: incomprehensible list input
//   apparent state: unit 11 named wave.txt
//   last format: list io
//   lately reading sequential formatted external IO
// and line() the line of the file where reading stopped. For a record that
// was read but cannot be analysed (more than max_samples samples, fewer than
// two, an interval that is not positive and finite) report() is one line.
class record_error : public std::runtime_error {
public:
  enum class kind {
    unreadable,
    too_many_samples,
    too_few_samples,
    bad_interval,
    not_finite,
    damaged // a damaged reading, refused when asked to be strict
  };
  record_error(kind k, std::vector<std::string> report, std::int64_t line = 0,
               std::string file = {}, int os_error = 0, std::string brief = {});
  [[nodiscard]] kind reason() const noexcept { return kind_; }
  [[nodiscard]] const std::vector<std::string> &report() const noexcept { return report_; }
  // The line of the file where reading failed, from 1; 0 when none applies.
  [[nodiscard]] std::int64_t line() const noexcept { return line_; }
  // What failed and where, on one line: "line 1001: invalid number", "open:
  // No such file or directory", "1 sample: at least two are needed" (the
  // report's first line when none is given). what() is the same after the
  // file's name: "rec.txt: line 1001: invalid number".
  [[nodiscard]] std::string one_line() const;
  // The file the report names (empty for none), and the system's error
  // number (errno) when the system refused to open or read it (else 0).
  [[nodiscard]] const std::string &file() const noexcept { return file_; }
  [[nodiscard]] int os_error() const noexcept { return os_error_; }

private:
  kind kind_;
  std::vector<std::string> report_;
  std::int64_t line_;
  std::string file_;
  int os_error_;
  std::string brief_;
};

// Reads a waveform file (opened for reading only) and checks that it can be
// analysed. Throws record_error; with `strict`, also for a damaged reading
// (see waveform::warning).
[[nodiscard]] waveform read_waveform(const std::filesystem::path &path, bool strict = false);
// The same for the bytes of a waveform file already in memory; `name` is the
// name its failure reports give.
[[nodiscard]] waveform parse_waveform(std::string_view bytes, std::string_view name,
                                      bool strict = false);
// The same from standard input (file descriptor 0), named `name`.
[[nodiscard]] waveform read_waveform_stdin(std::string_view name = "standard input",
                                           bool strict = false);

// Throws record_error when `w` cannot be analysed: its three components of
// different lengths (kind unreadable), a sample that is not a finite float
// ("y[1000] is NaN: ..."), more than max_samples samples, fewer than two, or
// dt not positive and finite.
void check_waveform(waveform_view w);

} // namespace wavespec
