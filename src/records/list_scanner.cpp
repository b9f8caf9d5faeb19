#include "records/list_scanner.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "records/list_scanner_detail.h"
#include "records/powers_of_ten.h"

namespace wavespec::records {
namespace detail {

void number_token::add_digit(char d, bool after_point) {
  any_digit = true;
  if (digits.empty() && d == '0') { // a leading zero: only its place counts
    scale -= after_point ? 1 : 0;
    return;
  }
  if (digits.size() < max_kept_digits) {
    digits.push_back(d);
    scale -= after_point ? 1 : 0;
    return;
  }
  scale += after_point ? 0 : 1;
  dropped_nonzero = dropped_nonzero || d != '0';
}

float token_to_real(const number_token &t) {
  if (t.digits.empty())
    return t.negative ? -0.0f : 0.0f;
  std::string s;
  s.reserve(t.digits.size() + 24);
  if (t.negative)
    s.push_back('-');
  s += t.digits;
  std::int64_t power = t.scale + t.exponent;
  if (t.dropped_nonzero) { // stands for the digits dropped
    s.push_back('1');
    --power;
  }
  s.push_back('e');
  s += std::to_string(power);
  double d = 0.0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), d);
  if (r.ec == std::errc::result_out_of_range) {
    // Nothing was stored: decide between overflow and underflow from the
    // decimal exponent of the first digit.
    const auto lead = static_cast<std::int64_t>(t.digits.size()) - 1 + t.scale + t.exponent;
    d = lead >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    if (t.negative)
      d = -d;
  }
  return static_cast<float>(d);
}

std::int32_t token_to_integer(const number_token &t) {
  if (t.has_point || t.letter_exponent)
    throw list_error{failures::invalid_integer};
  const std::int64_t whole = static_cast<std::int64_t>(t.digits.size()) + t.scale + t.exponent;
  if (t.digits.empty() || whole <= 0) // digits before the point
    return 0;
  if (whole > 10)
    throw list_error{failures::integer_range};
  std::int64_t v = 0;
  for (std::int64_t i = 0; i < whole; ++i)
    v = v * 10 + (i < static_cast<std::int64_t>(t.digits.size())
                      ? t.digits[static_cast<std::size_t>(i)] - '0'
                      : 0);
  if (t.negative)
    v = -v;
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    throw list_error{failures::integer_range};
  return static_cast<std::int32_t>(v);
}

} // namespace detail

namespace {

using detail::exact_powers_of_ten;
using detail::max_exact_power_of_ten;
using detail::number_token;

constexpr std::int64_t exponent_limit = 99999999;

bool is_digit(int c) {
  return c >= '0' && c <= '9';
}
bool is_blank(int c) {
  return c == ' ' || c == '\t';
}

// float(w / 10^j), j = 1 .. 22, through the nearest double as always. The
// product with the double nearest 10^-j lies within 3 units in the last place
// of the nearest double to the quotient, so both round to the same float
// unless a midpoint between two floats lies that close: there the low 29 bits
// of the double's significand are 2^28. Only then is the division made.
double short_quotient(std::uint64_t w, int j) {
  static constexpr double inverse[] = {1e0,   1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                       1e-8,  1e-9,  1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15,
                                       1e-16, 1e-17, 1e-18, 1e-19, 1e-20, 1e-21, 1e-22};
  const auto wd = static_cast<double>(w);
  const double q = wd * inverse[j];
  const std::uint64_t low = std::bit_cast<std::uint64_t>(q) & ((std::uint64_t{1} << 29) - 1);
  if (low - ((std::uint64_t{1} << 28) - 8) <= 16)
    return wd / exact_powers_of_ten[j];
  return q;
}

// Appends the run of digits at p to w (w = w * 10^n + run) and returns its
// length n; w wraps for runs too long to matter. A character that is not a
// digit must follow somewhere (the caller knows where the line ends).
std::ptrdiff_t take_digits(const char *&p, std::uint64_t &w) {
  const char *const start = p;
  while (static_cast<unsigned char>(*p - '0') < 10)
    w = w * 10 + static_cast<std::uint64_t>(*p++ - '0');
  return p - start;
}

// Fast path for the common real item: a plain number ("-12.5", "3e-4", at
// most 15 digits in all and an exponent of at most 4 digits) that lies
// whole in the buffered block. Such a number converts exactly in double: w
// below 2^53 and 10^k for |k| <= 22 are exact doubles, so w * 10^k is one
// correctly rounded operation (for negative k see short_quotient). A line
// end follows somewhere in the text, and stops every scan here: no other
// test of the text's end is needed. Returns the position after the number,
// or nullptr to leave the number to the scanner; the caller checks what
// follows.
const char *scan_plain_real(const char *p, float &value) {
  const auto &powers = exact_powers_of_ten;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+')
    ++p;
  // At most 15 digits in all keep w below 10^15 < 2^53; longer mantissas
  // (leading zeros included) are left to the scanner.
  std::uint64_t w = 0;
  std::ptrdiff_t digits = take_digits(p, w);
  std::ptrdiff_t after_point = 0;
  if (*p == '.') {
    ++p;
    after_point = take_digits(p, w);
    digits += after_point;
  }
  if (digits == 0 || digits > 15)
    return nullptr;
  int exponent = 0;
  if (*p == 'e' || *p == 'E') {
    ++p;
    const bool minus = *p == '-';
    if (*p == '-' || *p == '+')
      ++p;
    const char *first = p;
    for (; is_digit(*p); ++p)
      if (p - first < 4)
        exponent = exponent * 10 + (*p - '0');
    if (p == first || p - first > 4) // a longer exponent is left to the scanner
      return nullptr;
    if (minus)
      exponent = -exponent;
  }
  const int k = exponent - static_cast<int>(after_point);
  if (w != 0 && (k < -max_exact_power_of_ten || k > max_exact_power_of_ten))
    return nullptr;
  const double v = w == 0   ? 0.0
                   : k >= 0 ? static_cast<double>(w) * powers[k]
                            : short_quotient(w, -k);
  value = static_cast<float>(negative ? -v : v);
  return p;
}

// The `count` reals (1 .. 8) of a plain record at p, such as
// "0.005,-0.57,0.64,0.02" or "1 2 3 4 5", into values. A line end follows
// somewhere, and the scan never passes it. Returns the position of what ended
// the last value, or nullptr for anything else (nulls, a slash, repeat
// counts, a record over several lines, other number forms), which is left to
// the general reader.
const char *scan_plain_values(const char *p, std::size_t count, float *values) {
  for (std::size_t i = 0; i < count; ++i) {
    while (is_blank(*p))
      ++p;
    p = scan_plain_real(p, values[i]);
    if (p == nullptr)
      return nullptr;
    const bool last = i + 1 == count;
    // What ends the number must not continue it in another form.
    if (!(is_blank(*p) || *p == ',' || (last && (*p == '\n' || *p == '\r' || *p == '/'))))
      return nullptr;
    if (last)
      break;
    while (is_blank(*p))
      ++p;
    if (*p == ',')
      ++p;
    while (is_blank(*p))
      ++p;
    if (*p == ',' || *p == '/' || *p == '\n' || *p == '\r')
      return nullptr;
  }
  return p;
}

// A whole plain record on one line that lies in the buffered block: its
// values, where the last of them ended, and the length of the line with its
// terminator; 0 for anything else.
std::size_t scan_plain_line(std::string_view block, std::size_t count, float *values,
                            const char *&values_end) {
  if (count == 0 || count > 8 || block.empty()) // an empty block may have no address
    return 0;
  const auto *eol = static_cast<const char *>(std::memchr(block.data(), '\n', block.size()));
  if (eol == nullptr || (values_end = scan_plain_values(block.data(), count, values)) == nullptr)
    return 0;
  return static_cast<std::size_t>(eol + 1 - block.data());
}

// The values passed over in [p, eol) after the separator that follows a
// record's last value, the carriage return of a line end not included.
[[gnu::noinline]] std::int64_t count_passed(const char *p, const char *eol) {
  if (eol[-1] == '\r')
    --eol;
  while (p < eol && is_blank(*p))
    ++p;
  if (p < eol && *p == ',')
    ++p;
  passed_values counter;
  for (; p < eol; ++p)
    counter.take(static_cast<unsigned char>(*p));
  return counter.values();
}

// The values passed over between the end of a record's last value at p and
// the line end at eol (a line feed). The usual line has none: its values end
// at its line end.
std::int64_t values_passed_over(const char *p, const char *eol) {
  if (eol == p || (eol == p + 1 && *p == '\r'))
    return 0;
  return count_passed(p, eol);
}

// The general reader's account for reading notes (line_tally); this one
// notes nothing, and with it the reader is the plain one. A constant, so that
// read_list hands its reading on with a jump.
struct no_tally {
  void begin_record() const {}
  void value(std::int64_t) const {}
  void followed_by(int) const {}
  void slash() const {}
  void passed(int) const {}
  void line_end() const {}
  void stream_end(bool) const {}
};
constexpr no_tally no_account;

// The same for read targets, which must all be reals; stored only when the
// whole record is plain.
template <class Tally>
std::size_t read_plain_record(std::string_view block, std::span<const read_target> items,
                              Tally &tally) {
  float values[8];
  for (const read_target &item : items)
    if (item.is_integer())
      return 0;
  const char *values_end = nullptr;
  const std::size_t used = scan_plain_line(block, items.size(), values, values_end);
  if (used > 0) {
    for (std::size_t i = 0; i < items.size(); ++i)
      items[i].real() = values[i];
    if constexpr (std::is_same_v<Tally, line_tally>)
      tally.plain_lines(static_cast<std::int64_t>(items.size()) +
                            values_passed_over(values_end, block.data() + used - 1),
                        1);
  }
  return used;
}

// One value: "r*" with a number or nulls, a number, or a null.
struct scanned_value {
  std::int64_t repeat = 1; // r of "r*"; 1 without a count
  bool null = false;       // no number: the item(s) keep their values
  number_token number;
};

// Value grammar, one state per line (c = the character under the scan):
//   start    : '+'/'-' -> sign ; digit -> count ; '*' -> fail "bad repetition count"
//   count    : digit -> count ; '*' -> repeat (r >= 1, no '-') ; else -> mantissa
//   repeat   : blank/tab/line end/','/'/'/end -> r nulls ; else -> start of a number
//   mantissa : digit, one '.' ; no digit at all -> null before ','/'/' (after r*, also
//              before blank/tab/line end/end), else "invalid number"
//   exponent : E/e/D/d [sign] digit+ | sign digit+ ; letter or sign without digit -> "exponent
//   field"
// The character that ends a number is put back for whatever comes next.
class value_scanner {
public:
  value_scanner(input_source &in, bool integer_target) : in_(in), integer_(integer_target) {}

  // Inlined into both readers (with and without a tally) as into the one
  // reader there was before.
  [[gnu::always_inline]] scanned_value scan() {
    scanned_value v;
    int c = sign_and_digits(v.number);
    if (c == '*') {
      v.repeat = repeat_count(v.number);
      v.number = number_token{};
      c = in_.get();
      if (is_blank(c) || c == '\n' || c == ',' || c == '/' || c == input_source::end) {
        in_.unget(c);
        v.null = true;
        return v;
      }
      in_.unget(c);
      c = sign_and_digits(v.number);
      v.null = !rest_of_number(c, v.number, true);
      return v;
    }
    v.null = !rest_of_number(c, v.number, false);
    return v;
  }

private:
  int sign_and_digits(number_token &t) {
    int c = in_.get();
    if (c == '+' || c == '-') {
      t.negative = c == '-';
      c = in_.get();
    }
    while (is_digit(c)) {
      t.add_digit(static_cast<char>(c), false);
      c = in_.get();
    }
    return c;
  }

  std::int64_t repeat_count(const number_token &t) const {
    // At least 1, at most the largest 32-bit integer, digits only.
    const std::int64_t length = static_cast<std::int64_t>(t.digits.size()) + t.scale;
    if (t.negative || t.digits.empty() || length > 10)
      throw list_error{failures::bad_repetition};
    std::int64_t r = 0;
    for (std::int64_t i = 0; i < length; ++i)
      r = r * 10 + (i < static_cast<std::int64_t>(t.digits.size())
                        ? t.digits[static_cast<std::size_t>(i)] - '0'
                        : 0);
    if (r > std::numeric_limits<std::int32_t>::max())
      throw list_error{failures::bad_repetition};
    return r;
  }

  // Continues after the sign and the leading digits; false for a null value
  // (after "r*", also before a blank, a tab or a line end).
  bool rest_of_number(int c, number_token &t, bool after_repeat) {
    if (c == '.') {
      if (integer_)
        throw list_error{failures::invalid_integer};
      t.has_point = true;
      c = in_.get();
      while (is_digit(c)) {
        t.add_digit(static_cast<char>(c), true);
        c = in_.get();
      }
    }
    if (!t.any_digit) { // no digit at all: a null before a separator
      in_.unget(c);
      if (c == ',' || c == '/' ||
          (after_repeat && (is_blank(c) || c == '\n' || c == input_source::end)))
        return false;
      throw list_error{failures::invalid_number};
    }
    bool exponent = false;
    if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
      if (integer_)
        throw list_error{failures::invalid_integer};
      t.letter_exponent = exponent = true;
      c = in_.get();
    }
    bool exponent_negative = false;
    if (c == '+' || c == '-') {
      exponent = true;
      exponent_negative = c == '-';
      c = in_.get();
    }
    if (exponent) {
      if (!is_digit(c)) {
        in_.unget(c);
        throw list_error{failures::exponent_field};
      }
      std::int64_t e = 0;
      while (is_digit(c)) {
        if (e <= exponent_limit)
          e = e * 10 + (c - '0');
        c = in_.get();
      }
      if (e > exponent_limit) {
        in_.unget(c);
        throw list_error{failures::exponent_field};
      }
      t.exponent = exponent_negative ? -e : e;
    }
    in_.unget(c);
    return true;
  }

  input_source &in_;
  bool integer_;
};

void store(const read_target &item, const number_token &t) {
  if (item.is_integer())
    item.integer() = detail::token_to_integer(t);
  else
    item.real() = detail::token_to_real(t);
}

// After a value: passes over blanks and tabs and takes a comma as the
// separator. Returns whether nothing but blanks and tabs followed the value.
template <class Tally> bool after_value(input_source &in, Tally &tally) {
  int d = in.get();
  tally.followed_by(d);
  while (is_blank(d))
    d = in.get();
  if (d == ',')
    return false;
  in.unget(d);
  return true;
}

// Passes over blanks, tabs and line ends; returns the first other character.
template <class Tally> int skip_separators(input_source &in, Tally &tally) {
  int c = in.get();
  while (is_blank(c) || c == '\n') {
    if (c == '\n')
      tally.line_end();
    c = in.get();
  }
  return c;
}

// Passes over the rest of the line and its terminator after a record. `clean`
// (nothing but blanks and tabs followed the last value) decides the outcome
// when the stream ends on an unterminated line.
template <class Tally>
read_outcome pass_over_line(input_source &in, bool clean, bool end_allowed, Tally &tally) {
  for (;;) {
    const int c = in.get();
    if (c == '\n') {
      tally.line_end();
      return read_outcome::complete;
    }
    if (c == input_source::end) {
      const bool dropped = !clean && end_allowed;
      tally.stream_end(dropped);
      return dropped ? read_outcome::end_of_input : read_outcome::complete;
    }
    tally.passed(c);
    clean = false;
  }
}

// read_list, its account given to `tally`.
template <class Tally>
read_outcome read_list_with(input_source &in, std::span<const read_target> items, bool end_allowed,
                            Tally &tally) {
  if (in.end_flag()) {
    if (end_allowed)
      return read_outcome::end_of_input;
    throw list_error{failures::read_start_end};
  }
  if (const std::size_t used = read_plain_record(in.buffered(), items, tally); used > 0) {
    in.skip(used);
    return read_outcome::complete;
  }
  tally.begin_record();
  bool clean = false;      // see pass_over_line
  std::int64_t copies = 0; // repetition in progress
  bool copies_null = false;
  number_token repeated;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (copies > 0) {
      --copies;
      if (!copies_null)
        store(items[i], repeated);
      continue;
    }
    const int c = skip_separators(in, tally);
    if (c == input_source::end) {
      tally.stream_end(end_allowed);
      if (end_allowed)
        return read_outcome::end_of_input;
      throw list_error{failures::list_in_end};
    }
    if (c == ',') { // a null value
      tally.value(1);
      clean = false;
      continue;
    }
    if (c == '/') {
      tally.slash();
      clean = false;
      break;
    }
    in.unget(c);
    scanned_value v = value_scanner(in, items[i].is_integer()).scan();
    tally.value(v.repeat);
    if (!v.null)
      store(items[i], v.number);
    copies = v.repeat - 1;
    copies_null = v.null;
    repeated = std::move(v.number);
    clean = after_value(in, tally);
  }
  return pass_over_line(in, clean, end_allowed, tally);
}

// The rest of a plain record's line in `lines` after its last value, which
// ended at p: the characters the record takes and the values passed over.
// Fields and nulls are counted in one pass, as passed_values counts them
// where no repeat, slash or carriage return can be met (a field counts one,
// and so does a comma with no field since the one before); anything else is
// left to passed_values.
[[gnu::noinline]] plain_take rest_of_line(std::string_view lines, const char *p) {
  const char *q = p;
  while (is_blank(*q)) // the separator after the last value
    ++q;
  if (*q == ',')
    ++q;
  std::int64_t values = 0;
  bool in_field = false, field_since_comma = false; // a value is due
  for (; *q != '\n'; ++q) {
    const char c = *q;
    if (c == '*' || c == '/' || c == '\r') {
      const auto *eol = static_cast<const char *>(
          std::memchr(q, '\n', static_cast<std::size_t>(lines.data() + lines.size() - q)));
      return {static_cast<std::size_t>(eol + 1 - lines.data()), count_passed(p, eol)};
    }
    if (c == ',') {
      values += field_since_comma ? 0 : 1;
      in_field = field_since_comma = false;
    } else if (is_blank(c)) {
      in_field = false;
    } else {
      values += in_field ? 0 : 1;
      in_field = field_since_comma = true;
    }
  }
  return {static_cast<std::size_t>(q + 1 - lines.data()), values};
}

} // namespace

std::size_t read_plain_reals(std::string_view lines, float *const *targets, std::size_t count) {
  if (count == 0 || count > 8 || lines.empty() || lines.back() != '\n')
    return 0;
  float values[8];
  const char *p = scan_plain_values(lines.data(), count, values);
  if (p == nullptr)
    return 0;
  while (*p != '\n') // the rest of the line is passed over
    ++p;
  for (std::size_t i = 0; i < count; ++i)
    *targets[i] = values[i];
  return static_cast<std::size_t>(p + 1 - lines.data());
}

// As read_plain_reals. The usual line, whose last value ends at its line end,
// takes hardly more instructions than there; the others are left to a call.
plain_take read_plain_reals_noted(std::string_view lines, float *const *targets,
                                  std::size_t count) {
  if (count == 0 || count > 8 || lines.empty() || lines.back() != '\n')
    return {};
  float values[8];
  const char *p = scan_plain_values(lines.data(), count, values);
  if (p == nullptr)
    return {};
  for (std::size_t i = 0; i < count; ++i)
    *targets[i] = values[i];
  if (*p == '\n')
    return {static_cast<std::size_t>(p + 1 - lines.data()), 0};
  if (*p == '\r' && p[1] == '\n')
    return {static_cast<std::size_t>(p + 2 - lines.data()), 0};
  return rest_of_line(lines, p);
}

read_outcome read_list(input_source &in, std::span<const read_target> items, bool end_allowed) {
  return read_list_with(in, items, end_allowed, no_account);
}

read_outcome read_list(input_source &in, std::span<const read_target> items, bool end_allowed,
                       line_tally &tally) {
  return read_list_with(in, items, end_allowed, tally);
}

// --- Reading notes ----------------------------------------------------------

void passed_values::take(int c) {
  if (state_ == state::stopped)
    return;
  if (c == '/') {
    state_ = state::stopped;
    return;
  }
  if (is_blank(c)) {
    if (state_ == state::in_field)
      state_ = state::after_field;
    return;
  }
  if (c == ',') { // a separator after a field; where a value is due, a null
    if (state_ == state::value_due)
      ++values_;
    state_ = state::value_due;
    return;
  }
  if (state_ != state::in_field)
    start_field();
  lead(c);
}

void passed_values::start_field() {
  ++values_;
  state_ = state::in_field;
  lead_open_ = lead_first_ = true;
  repeat_ = 0;
}

void passed_values::lead(int c) {
  constexpr std::int64_t most = std::numeric_limits<std::int32_t>::max();
  if (!lead_open_)
    return;
  const bool first = lead_first_;
  lead_first_ = false;
  if (first && c == '+')
    return;
  if (is_digit(c)) {
    repeat_ = std::min(repeat_ * 10 + (c - '0'), most + 1);
    return;
  }
  if (c == '*' && repeat_ >= 1 && repeat_ <= most)
    values_ += repeat_ - 1;
  lead_open_ = false;
}

void line_tally::value(std::int64_t values) {
  if (run_on_ && notes_.run_on_values++ == 0)
    notes_.first_run_on_line = line_;
  run_on_ = false;
  if (record_line_ == 0)
    record_line_ = line_;
  line_values_ += values;
  line_used_ = true;
}

void line_tally::followed_by(int c) {
  run_on_ = !(is_blank(c) || c == ',' || c == '\n' || c == '/' || c == input_source::end);
}

void line_tally::slash() {
  line_used_ = true;
  passed_.stop();
}

void line_tally::line_end() {
  end_line();
  ++line_;
}

void line_tally::stream_end(bool dropped) {
  if (dropped && record_line_ != 0 && notes_.cut_record_line == 0)
    notes_.cut_record_line = record_line_;
  end_line();
}

void line_tally::end_line() {
  if (line_used_)
    count_lines(line_values_ + passed_.values(), 1, line_);
  line_values_ = 0;
  line_used_ = false;
  passed_ = passed_values{};
}

void line_tally::flush() {
  if (run_lines_ == 0)
    return;
  reading_notes &n = notes_;
  std::size_t i = 0;
  while (i < n.distinct && n.counts[i].values != run_values_)
    ++i;
  if (i < n.distinct) {
    n.counts[i].lines += run_lines_;
  } else if (n.distinct < n.counts.size()) {
    n.counts[n.distinct++] = {run_values_, run_lines_, run_first_};
  } else {
    if (n.unlisted_lines == 0)
      n.first_unlisted_line = run_first_;
    n.unlisted_lines += run_lines_;
  }
  run_values_ = -1;
  run_lines_ = 0;
}

} // namespace wavespec::records
