// Reading one free-format record: values wherever they stand on the line,
// separated by blanks, tabs, line ends or a comma.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "records/failure.h"
#include "records/input_source.h"
#include "records/line_tally.h"

namespace wavespec::records {

// A malformed record; the record layer adds the stream and the format.
struct list_error {
  failure_text text; // one of records::failures
};

// One item of a read: a 32-bit real or a 32-bit integer, filled in place.
class read_target {
public:
  read_target(float &r) : real_(&r) {}           // NOLINT: implicit by design
  read_target(std::int32_t &i) : integer_(&i) {} // NOLINT: implicit by design
  [[nodiscard]] bool is_integer() const { return integer_ != nullptr; }
  [[nodiscard]] float &real() const { return *real_; }
  [[nodiscard]] std::int32_t &integer() const { return *integer_; }

private:
  float *real_ = nullptr;
  std::int32_t *integer_ = nullptr;
};

enum class read_outcome { complete, end_of_input };

// Reads one record into `items` (none: pass over the rest of the line).
// Returns end_of_input when the stream ends before the record is complete and
// `end_allowed` is set; items filled before keep their new values, the others
// are unchanged. Throws list_error for malformed input, and for the end of the
// stream without `end_allowed` ("list in" or, when the end was met by an
// earlier read, "read start").
//   "1,,3,4"  -> 1, unchanged, 3, 4      "2*0 5 6" -> 0, 0, 5, 6
//   "1.2.3 4" -> 1.2, 0.3, 4             "1.0-2"   -> 0.01
read_outcome read_list(input_source &in, std::span<const read_target> items, bool end_allowed);
// The same read, every line it reads or passes over reported to `tally`.
read_outcome read_list(input_source &in, std::span<const read_target> items, bool end_allowed,
                       line_tally &tally);

// The common record read_list takes the quick way: `count` (1 .. 8) plain
// reals on the first of `lines` ("0.005,-0.57,0.64,0.02"), whole lines that
// end with a line end. Stores them at targets[0 .. count) and returns the
// characters the record takes, its line end included; 0, nothing stored, for
// any other record.
std::size_t read_plain_reals(std::string_view lines, float *const *targets, std::size_t count);
// read_plain_reals for reading notes: the characters taken, and the values
// passed over on the record's line after the `count` read (see
// passed_values). Returned together, in registers: this runs once a line.
struct plain_take {
  std::size_t used = 0;
  std::int64_t passed = 0;
};
plain_take read_plain_reals_noted(std::string_view lines, float *const *targets, std::size_t count);

} // namespace wavespec::records
