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

} // namespace

namespace {

// The `count` decimal digits of n (below 10^count), two at a time.
void write_digits(std::uint32_t n, int count, char *digits) {
  static constexpr char pairs[] = "00010203040506070809101112131415161718192021222324"
                                  "25262728293031323334353637383940414243444546474849"
                                  "50515253545556575859606162636465666768697071727374"
                                  "75767778798081828384858687888990919293949596979899";
  int i = count;
  for (; i >= 2; i -= 2) {
    std::memcpy(digits + i - 2, pairs + 2 * (n % 100), 2);
    n /= 100;
  }
  if (i == 1)
    digits[0] = static_cast<char>('0' + n);
}

} // namespace

// Fast path of round_significant: the value scaled to `precision` digits in
// double, with a relative error below 2^-52 (an absolute error below 3e-7 for
// 9 digits). Unless the scaled value lies within the margin of a halfway point
// or of a decade boundary, rounding it gives the digits of the exact value.
// Returns false when undecided.
bool round_significant_fast(float x, int precision, char *digits, int &decimal_exponent) {
  const double v = std::fabs(static_cast<double>(x));
  const auto bits = std::bit_cast<std::uint32_t>(x);
  const int biased = static_cast<int>((bits >> 23) & 0xffu);
  if (biased == 0)
    return false; // subnormal: rare, left to the exact path
  // floor((biased - 127) * log10(2)) is the decimal exponent or one below it;
  // a comparison with the next power of ten decides. Near that power the
  // comparison may err, but then the scaled value lands within the margin of
  // a decade boundary and the exact path decides.
  int exponent = ((biased - 127) * 78913) >> 18;
  exponent += v >= scale_by_power_of_ten(1.0, exponent + 1) ? 1 : 0;
  const double low = exact_powers_of_ten[precision - 1];
  const double high = exact_powers_of_ten[precision];
  const double scaled = scale_by_power_of_ten(v, precision - 1 - exponent);
  if (scaled < low + undecided_margin || scaled >= high - undecided_margin)
    return false;
  auto n = static_cast<std::uint64_t>(scaled); // truncation: the floor of a positive value
  const double fraction = scaled - static_cast<double>(n);
  if (std::fabs(fraction - 0.5) < undecided_margin)
    return false;
  n += fraction > 0.5 ? 1u : 0u;
  if (static_cast<double>(n) >= high) { // 999999.6 -> 1000000: the exponent moves up
    n /= 10;
    ++exponent;
  }
  write_digits(static_cast<std::uint32_t>(n), precision, digits);
  decimal_exponent = exponent;
  return true;
}

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
  if (precision >= 6 && round_significant_fast(x, precision, d.digits, d.exponent))
    return d;
  return round_significant_exact(x, precision);
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

int round_fixed4(float x, char *buf, int cap) {
  const double v = std::fabs(static_cast<double>(x));
  if (!(v < 1e7))
    return 0;
  if (v < 1e5) { // fast path: v * 10^4 is one rounding away from exact
    const double scaled = v * 1e4;
    const auto whole = static_cast<std::uint64_t>(scaled);
    const double fraction = scaled - static_cast<double>(whole);
    if (std::fabs(fraction - 0.5) >= undecided_margin) {
      const auto n = whole + (fraction > 0.5 ? 1u : 0u);
      char tmp[24];
      auto r = std::to_chars(tmp, tmp + sizeof tmp, n / 10000);
      *r.ptr++ = '.';
      const auto f = static_cast<unsigned>(n % 10000);
      for (unsigned div = 1000; div > 0; div /= 10)
        *r.ptr++ = static_cast<char>('0' + f / div % 10);
      const int len = static_cast<int>(r.ptr - tmp);
      if (len > cap)
        return 0;
      std::memcpy(buf, tmp, static_cast<std::size_t>(len));
      return len;
    }
  }
  char tmp[48];
  const bool tie = is_decimal_tie(x, -4);
  auto r = std::to_chars(tmp, tmp + sizeof tmp, v, std::chars_format::fixed, tie ? 5 : 4);
  int n = static_cast<int>(r.ptr - tmp);
  if (tie) {
    --n; // the exact fifth decimal is a 5: drop it and round up
    if (increment_digits(tmp, n)) {
      std::memmove(tmp + 1, tmp, static_cast<std::size_t>(n));
      tmp[0] = '1';
      ++n;
    }
  }
  if (n > cap)
    return 0;
  std::memcpy(buf, tmp, static_cast<std::size_t>(n));
  return n;
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
  char text[16];
  const int n = detail::round_fixed4(x, text, 8);
  bool minus = x < 0.0f;
  if (minus) { // a value that rounds to zero loses its sign
    minus = false;
    for (int i = 0; i < n; ++i)
      if (text[i] >= '1' && text[i] <= '9')
        minus = true;
  }
  const int width = n + (minus ? 1 : 0);
  if (n == 0 || width > 8) {
    std::memset(p, '*', 8);
    return p + 8;
  }
  for (int i = width; i < 8; ++i)
    *p++ = ' ';
  if (minus)
    *p++ = '-';
  std::memcpy(p, text, static_cast<std::size_t>(n));
  return p + n;
}

char *put_e14_6(char *p, float x) {
  if (std::isnan(x))
    return put_right(p, 14, "NaN");
  if (std::isinf(x))
    return put_right(p, 14, x < 0 ? "-Infinity" : "Infinity");
  *p++ = ' ';
  *p++ = x < 0.0f ? '-' : ' ';
  if (x == 0.0f) {
    std::memcpy(p, "0.000000E+00", 12);
    return p + 12;
  }
  *p++ = '0';
  *p++ = '.';
  int exponent = 0;
  if (!detail::round_significant_fast(x, 6, p, exponent)) {
    const detail::significant_digits d = detail::round_significant_exact(x, 6);
    std::memcpy(p, d.digits, 6);
    exponent = d.exponent;
  }
  p += 6;
  const int e = exponent + 1; // 0.dddddd x 10^e
  const int a = e < 0 ? -e : e;
  *p++ = 'E';
  *p++ = e < 0 ? '-' : '+';
  *p++ = static_cast<char>('0' + a / 10);
  *p++ = static_cast<char>('0' + a % 10);
  return p;
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
