// Pieces the format readers share: failures that name the file and line,
// header fields, and runs of numbers in fixed or free fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "merge/formats.h"

namespace wavespec::merge {

// "FILE: what".
[[noreturn]] void fail(const component_file &file, const std::string &what);
// "FILE: malformed header at line N: what" (N from 0 here, shown from 1).
[[noreturn]] void malformed_header(const component_file &file, std::size_t line,
                                   const std::string &what);
// "FILE: malformed data at line N: what" (N from 0 here, shown from 1).
[[noreturn]] void malformed_data(const component_file &file, std::size_t line,
                                 std::string_view what);
// `word` in quotes, at most its first 40 characters.
[[nodiscard]] std::string quoted(std::string_view word);
// Line i, or a malformed header when the file ends before it.
[[nodiscard]] const std::string &header_line(const component_file &file, std::size_t i);

// A count in a header, at most `limit`: absent or larger is a malformed
// header naming `field`.
[[nodiscard]] std::size_t header_count(const component_file &file, std::size_t line,
                                       std::string_view field, std::optional<std::uint64_t> v,
                                       std::uint64_t limit);
// The largest sample count a header may announce.
inline constexpr std::uint64_t max_announced_samples = 100'000'000;

// A sample read from `word` on line `line`: finite and within the range of
// a 32-bit float (what wavespec reads back), else malformed data.
double checked_sample(const component_file &file, std::size_t line, std::string_view word,
                      double v);

// `count` numbers in fixed fields of `width` characters, `per_line` to a
// line, from line `first` on; returns the line after the last one used. A
// field cut short or not a number is malformed data naming the line.
std::size_t fixed_fields(const component_file &file, std::size_t first, std::size_t count,
                         std::size_t per_line, std::size_t width, std::vector<double> &out);

// `count` numbers separated by blanks from line `first` on (all the numbers
// to the end of the file when count is 0); returns the line after the last
// one used. Fewer numbers than announced are refused.
std::size_t free_fields(const component_file &file, std::size_t first, std::size_t count,
                        std::vector<double> &out);

// Seconds since 1970-01-01 00:00 of a day of a year (from 1) and a time of
// day; NaN when a field is out of its range.
[[nodiscard]] double epoch_seconds(int year, int day_of_year, int hour, int minute, double second);
// "2011/03/11 14:46:59", "2020/05/15 11:03:16.340", "06/16/2005, 20:53:04.4"
// or "5/02/83, 16:42:48.2" (years before 30 in this century), what follows
// aside, in seconds since 1970 (NaN when the text does not begin so).
[[nodiscard]] double date_time_seconds(std::string_view text);

// Whether a sample survives as a 32-bit float: finite, zero or of a
// magnitude from the smallest normal float to the largest.
[[nodiscard]] bool float_sized(double v);
// "is beyond the range of a 32-bit float", "is not a finite number", ...
[[nodiscard]] const char *why_not_float_sized(double v);

// Whether `text` begins with `word`, letters in any case.
[[nodiscard]] bool starts_with_word(std::string_view text, std::string_view word);
// Where `word` first occurs in `text`, letters in any case; npos if nowhere.
[[nodiscard]] std::size_t find_word(std::string_view text, std::string_view word);

// The first Fortran format of fixed fields in `text`, "(8f9.6)" or
// "(1E15.6)" in any case: the values per line and the field width.
[[nodiscard]] bool fortran_fields(std::string_view text, std::size_t &per_line, std::size_t &width);

// The text after the first `key` on the line, trimmed; empty when absent.
[[nodiscard]] std::string after_key(std::string_view line, std::string_view key);
// The first word of `text`.
[[nodiscard]] std::string first_word(std::string_view text);

} // namespace wavespec::merge
