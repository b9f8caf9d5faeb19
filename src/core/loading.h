// Reading a waveform record from an open record stream, shared by the
// library's readers, the dialogue (which opens the file by its own rule and
// prints what it read before any check) and the command line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "records/failure.h"
#include "records/interrupt.h"
#include "records/reading_notes.h"
#include "records/record_io.h"
#include "wavespec/analysis.hpp"

namespace wavespec::core {

// A file name the system would read shorter (it holds a NUL) is refused
// (options_error naming it, the NUL shown as \0) before any file is touched.
void refuse_nul(const std::string &name);

// A record read into a workspace: its samples lie in the workspace's memory
// until the next record is read there.
struct loaded_record {
  std::string header;     // the header's first characters
  waveform_view samples;  // the first max_samples samples, and dt
  std::int64_t count = 0; // complete data records read, also beyond max_samples
};

// Passes over the header, then reads the data records to the end of the
// stream into the workspace. dt is time(2) - time(1) from the values stored,
// also by a last record cut short (zero where none was read). Throws
// records::record_failure and interrupted.
// With `notes`, what the reading met that usually means a damaged file is
// noted there (the values read are the same).
[[nodiscard]] loaded_record load_records(records::stream_state &u, workspace &ws,
                                         records::reading_notes *notes = nullptr);

// The same into a waveform of its own; `count` receives the records read.
[[nodiscard]] waveform load_waveform(records::stream_state &u, std::int64_t &count,
                                     records::reading_notes *notes = nullptr);

// The notes of a reading on one line, the first damaged line first and how
// many readings of the kind there were in all; empty when they are clean:
//   "line 1001: 5 values where the file's lines hold 4; in all: 1 line whose count of values
//   differs"
[[nodiscard]] std::string damage_of(const records::reading_notes &notes);
// The failure of a damaged reading refused with --strict (kind damaged).
[[nodiscard]] record_error refused_damage(const records::reading_notes &notes,
                                          const std::string &file);

// Where a record read from a file starts and ends: the line of the last
// value of data record k (from 0), found by reading the file again; 0 when
// it cannot be read again (standard input).
using record_lines = std::function<std::int64_t(std::size_t k)>;

// The line of data record k in a stream opened afresh (header unread).
[[nodiscard]] std::int64_t line_of_record(records::stream_state &u, std::size_t k);

// Throws record_error when a record of `count` data records, read as
// `samples`, cannot be analysed; a sample that is not a finite float is
// named with its line (from `lines`). Returns the record's grid.
[[nodiscard]] frequency_grid check_loaded(std::int64_t count, waveform_view samples,
                                          const record_lines &lines, const std::string &file);

// check_waveform's checks of samples known to be finite (their lengths, nt,
// dt and the frequencies it gives); the record's grid.
[[nodiscard]] frequency_grid checked_grid(waveform_view w);

// The report of a failure as the library gives it.
[[nodiscard]] record_error public_error(const records::failure_report &report);

// Runs `read`, turning the record layer's failures into the library's
// record_error (interrupted passes through).
template <typename F> auto with_public_errors(F &&read) -> decltype(read()) {
  try {
    return read();
  } catch (const records::record_failure &failure) {
    throw public_error(failure.report());
  }
}

} // namespace wavespec::core
