#include "records/real_format.h"

#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>

#include "records/powers_of_ten.h"
#include "records/real_format_detail.h"

namespace wavespec::records {
namespace detail {
namespace {

// Adds one unit in the last digit of digits[0..n), skipping a decimal point.
// Returns true when the carry ran off the front (all nines became zeros).
bool increment_digits(char *digits, int n) {
  for (int i = n - 1; i >= 0; --i) {
    if (digits[i] == '.')
      continue;
    if (digits[i] != '9') {
      ++digits[i];
      return false;
    }
    digits[i] = '0';
  }
  return true;
}

// Reads "d.ddde+XX" as written by std::to_chars in scientific form.
significant_digits parse_scientific(const char *p, const char *end, int count) {
  significant_digits d{};
  d.count = count;
  int n = 0;
  for (; p != end && *p != 'e'; ++p)
    if (*p != '.')
      d.digits[n++] = *p;
  assert(n == count && p != end);
  ++p; // 'e'
  [[maybe_unused]] auto r = std::from_chars(p + (*p == '+' ? 1 : 0), end, d.exponent);
  return d;
}

// v * 10^p for p = -50 .. 60 in one multiplication by the double nearest
// 10^p: a relative error below 2^-52 in all.
double scale_by_power_of_ten(double v, int p) {
  static constexpr double nearest[] = {
      1e-50, 1e-49, 1e-48, 1e-47, 1e-46, 1e-45, 1e-44, 1e-43, 1e-42, 1e-41, 1e-40, 1e-39, 1e-38,
      1e-37, 1e-36, 1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25,
      1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12,
      1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,
      1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,
      1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,
      1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,  1e39,  1e40,
      1e41,  1e42,  1e43,  1e44,  1e45,  1e46,  1e47,  1e48,  1e49,  1e50,  1e51,  1e52,  1e53,
      1e54,  1e55,  1e56,  1e57,  1e58,  1e59,  1e60};
  return v * nearest[p + 50];
}

constexpr double undecided_margin = 1e-5; // far above the scaling error

constexpr char digit_pairs[] = "00010203040506070809101112131415161718192021222324"
                               "25262728293031323334353637383940414243444546474849"
                               "50515253545556575859606162636465666768697071727374"
                               "75767778798081828384858687888990919293949596979899";

// Two decimal digits of n (below 100) at p.
void put_pair(char *p, std::uint32_t n) {
  std::memcpy(p, digit_pairs + 2 * n, 2);
}

// The `count` decimal digits of n (below 10^count), two at a time.
void write_digits(std::uint32_t n, int count, char *digits) {
  int i = count;
  for (; i >= 2; i -= 2) {
    put_pair(digits + i - 2, n % 100);
    n /= 100;
  }
  if (i == 1)
    digits[0] = static_cast<char>('0' + n);
}

// Fast path of round_significant: the value scaled to `precision` digits in
// double, with a relative error below 2^-52 (an absolute error below 3e-7 for
// 9 digits). Unless the scaled value lies within the margin of a halfway point
// or of a decade boundary, rounding it gives the digits of the exact value:
// n, with 10^(precision-1) <= n < 10^precision, and the decimal exponent of
// its first digit. Returns false when undecided, and for subnormals.
template <int precision>
[[gnu::always_inline]] inline bool estimate_significant(float x, std::uint32_t &n,
                                                        int &decimal_exponent) {
  static_assert(precision >= 6 && precision <= 9);
  const auto bits = std::bit_cast<std::uint32_t>(x);
  const int biased = static_cast<int>((bits >> 23) & 0xffu);
  if (biased == 0)
    return false; // subnormal: rare, left to the exact path
  const double v = std::fabs(static_cast<double>(x));
  // floor((biased - 127) * log10(2)) is the decimal exponent or one below it.
  // Both scalings are formed and the one that lands in the decade is kept.
  // Near the decade boundary the choice may err, but then the kept value lies
  // within the margin of the boundary and the exact path decides.
  const int guess = ((biased - 127) * 78913) >> 18;
  constexpr double low = exact_powers_of_ten[precision - 1];
  constexpr double high = exact_powers_of_ten[precision];
  const double below = scale_by_power_of_ten(v, precision - 1 - guess);
  const double above = scale_by_power_of_ten(v, precision - 2 - guess);
  const bool up = below >= high;
  // A select on the bits: the outcome follows the data, so a branch would be
  // mispredicted half the time.
  const std::uint64_t keep_above = std::uint64_t{0} - static_cast<std::uint64_t>(up);
  const double scaled = std::bit_cast<double>((std::bit_cast<std::uint64_t>(above) & keep_above) |
                                              (std::bit_cast<std::uint64_t>(below) & ~keep_above));
  // Adding 2^52 rounds the scaled value (below 2^30) to the nearest integer,
  // which lands in the low bits; `off` is what that rounding moved, exactly.
  constexpr double two_52 = 4503599627370496.0;
  const double shifted = scaled + two_52;
  const double off = scaled - (shifted - two_52);
  const bool decided = scaled >= low + undecided_margin && scaled < high - undecided_margin &&
                       std::fabs(off) < 0.5 - undecided_margin;
  if (!decided)
    return false;
  auto rounded = static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(shifted) -
                                            std::bit_cast<std::uint64_t>(two_52));
  int exponent = guess + (up ? 1 : 0);
  if (rounded == static_cast<std::uint32_t>(high)) { // 999999.6 -> 1000000
    rounded /= 10;
    ++exponent;
  }
  n = rounded;
  decimal_exponent = exponent;
  return true;
}

} // namespace

bool is_decimal_tie(float x, int k) {
  // |x| = m * 2^e with m odd. 2|x| / 10^k = m * 2^(e+1-k) * 5^(-k) is an odd
  // integer exactly when e + 1 == k and, for k > 0, 5^k divides m. A float's m
  // is below 2^24 < 5^11, so k > 10 is never a tie.
  const auto bits = std::bit_cast<std::uint32_t>(x);
  const int biased = static_cast<int>((bits >> 23) & 0xffu);
  std::uint32_t m = bits & 0x7fffffu;
  int e = -149;
  if (biased != 0) {
    m |= 0x800000u;
    e = biased - 150;
  }
  if (m == 0)
    return false;
  const int zeros = std::countr_zero(m);
  m >>= zeros;
  e += zeros;
  if (e + 1 != k)
    return false;
  if (k <= 0)
    return true;
  if (k > 10)
    return false;
  std::uint32_t p5 = 1;
  for (int i = 0; i < k; ++i)
    p5 *= 5;
  return m % p5 == 0;
}

significant_digits round_significant(float x, int precision) {
  assert(std::isfinite(x) && x != 0.0f && precision >= 1 && precision <= 9);
  significant_digits d{};
  d.count = precision;
  // The estimate serves the two precisions the program writes: 9 digits
  // (free format) and 6 (the E14.6 field, which also calls it directly).
  std::uint32_t n = 0;
  const bool decided = precision == 9   ? estimate_significant<9>(x, n, d.exponent)
                       : precision == 6 ? estimate_significant<6>(x, n, d.exponent)
                                        : false;
  if (!decided)
    return round_significant_exact(x, precision);
  write_digits(n, precision, d.digits);
  return d;
}

significant_digits round_significant_exact(float x, int precision) {
  const double v = std::fabs(static_cast<double>(x));
  char buf[48];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, precision - 1);
  significant_digits d = parse_scientific(buf, r.ptr, precision);
  // std::to_chars rounds exact ties to even. A tie that went down shows up as
  // a tie at the unit of the result; such a value has exactly one more digit,
  // a 5, so it is rewritten from that digit string and rounded up.
  if (!is_decimal_tie(x, d.exponent - precision + 1))
    return d;
  r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, precision);
  d = parse_scientific(buf, r.ptr, precision + 1);
  d.count = precision;
  if (increment_digits(d.digits, precision)) {
    d.digits[0] = '1'; // 9.99..95 -> 10.0..0: the exponent moves up
    ++d.exponent;
  }
  return d;
}

} // namespace detail

namespace {

// The digits part of a free-format real: "1.", "0.5", "9.99999975E-005".
void append_free_digits(std::string &out, float x) {
  const detail::significant_digits d = detail::round_significant(x, 9);
  int last = d.count; // one past the last digit that is not a trailing zero
  while (last > 1 && d.digits[last - 1] == '0')
    --last;
  const int e = d.exponent;
  if (e >= -4 && e <= 8) {
    if (e >= 0) {
      out.append(d.digits, static_cast<std::size_t>(e + 1));
      out.push_back('.');
      if (last > e + 1)
        out.append(d.digits + e + 1, static_cast<std::size_t>(last - e - 1));
    } else {
      out.append("0.");
      out.append(static_cast<std::size_t>(-e - 1), '0');
      out.append(d.digits, static_cast<std::size_t>(last));
    }
    return;
  }
  out.push_back(d.digits[0]);
  out.push_back('.');
  out.append(d.digits + 1, static_cast<std::size_t>(last - 1));
  out.push_back('E');
  out.push_back(e < 0 ? '-' : '+');
  char exp[8];
  auto r = std::to_chars(exp, exp + sizeof exp, e < 0 ? -e : e);
  const auto len = static_cast<std::size_t>(r.ptr - exp);
  if (len < 3)
    out.append(3 - len, '0');
  out.append(exp, len);
}

} // namespace

void append_free_real(std::string &out, float x) {
  out.push_back(' ');
  if (std::isnan(x)) {
    out.append(" NaN");
    return;
  }
  out.push_back(x < 0.0f ? '-' : ' '); // zero of either sign has no minus
  if (std::isinf(x))
    out.append("Infinity");
  else if (x == 0.0f)
    out.append("0.");
  else
    append_free_digits(out, x);
}

char *put_right(char *p, std::size_t width, const char *text) {
  const std::size_t n = std::strlen(text);
  std::memset(p, ' ', width - n);
  std::memcpy(p + width - n, text, n);
  return p + width;
}

char *put_f8_4(char *p, float x) {
  if (std::isnan(x))
    return put_right(p, 8, "NaN");
  if (std::isinf(x))
    return put_right(p, 8, x < 0 ? "-Inf" : "Infinity");
  // |x| * 10^4 needs at most 24 + 14 significant bits: the product is exact in
  // double, and so are its floor and fraction. Rounding it is rounding |x|.
  const double scaled = std::fabs(static_cast<double>(x)) * 1e4;
  if (!(scaled < 1e7)) { // 1000.0000 and above take nine columns
    std::memset(p, '*', 8);
    return p + 8;
  }
  const auto whole = static_cast<std::uint32_t>(scaled);
  const std::uint32_t n = whole + (scaled - static_cast<double>(whole) >= 0.5 ? 1u : 0u);
  const bool minus = x < 0.0f && n != 0; // a value that rounds to zero loses its sign
  if (n >= 10000000u || (minus && n >= 1000000u)) {
    std::memset(p, '*', 8);
    return p + 8;
  }
  std::memset(p, ' ', 8);
  char *q = p + 8;
  std::uint32_t units = n / 10000;
  const std::uint32_t decimals = n % 10000;
  detail::put_pair(q -= 2, decimals % 100);
  detail::put_pair(q -= 2, decimals / 100);
  *--q = '.';
  do {
    *--q = static_cast<char>('0' + units % 10);
    units /= 10;
  } while (units > 0);
  if (minus)
    *--q = '-';
  return p + 8;
}

namespace {

// " -0.dddddd" then "E+ee": the six digits n, the first at 10^exponent.
char *put_e14_6_digits(char *p, bool minus, std::uint32_t n, int exponent) {
  std::memcpy(p, minus ? " -0." : "  0.", 4);
  detail::put_pair(p + 4, n / 10000);
  detail::put_pair(p + 6, n / 100 % 100);
  detail::put_pair(p + 8, n % 100);
  const int e = exponent + 1; // 0.dddddd x 10^e
  p[10] = 'E';
  p[11] = e < 0 ? '-' : '+';
  detail::put_pair(p + 12, static_cast<std::uint32_t>(e < 0 ? -e : e));
  return p + 14;
}

// What the estimate leaves: NaN, infinities, zeros, subnormals and values
// next to a rounding boundary.
[[gnu::noinline]] char *put_e14_6_rare(char *p, float x) {
  if (std::isnan(x))
    return put_right(p, 14, "NaN");
  if (std::isinf(x))
    return put_right(p, 14, x < 0 ? "-Infinity" : "Infinity");
  if (x == 0.0f) {
    std::memcpy(p, "  0.000000E+00", 14); // zero of either sign
    return p + 14;
  }
  const detail::significant_digits d = detail::round_significant_exact(x, 6);
  std::uint32_t n = 0;
  for (int i = 0; i < 6; ++i)
    n = n * 10 + static_cast<std::uint32_t>(d.digits[i] - '0');
  return put_e14_6_digits(p, x < 0.0f, n, d.exponent);
}

} // namespace

char *put_e14_6(char *p, float x) {
  std::uint32_t n = 0;
  int exponent = 0;
  if (!detail::estimate_significant<6>(x, n, exponent))
    return put_e14_6_rare(p, x);
  return put_e14_6_digits(p, x < 0.0f, n, exponent);
}

void append_f8_4(std::string &out, float x) {
  char field[8];
  out.append(field, static_cast<std::size_t>(put_f8_4(field, x) - field));
}

void append_e14_6(std::string &out, float x) {
  char field[14];
  out.append(field, static_cast<std::size_t>(put_e14_6(field, x) - field));
}

} // namespace wavespec::records
