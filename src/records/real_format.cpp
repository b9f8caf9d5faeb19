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
    if (digits[i] == '.') continue;
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
    if (*p != '.') d.digits[n++] = *p;
  assert(n == count && p != end);
  ++p; // 'e'
  [[maybe_unused]] auto r = std::from_chars(p + (*p == '+' ? 1 : 0), end, d.exponent);
  return d;
}

// v * 10^p with exact powers of ten only: at most three roundings, so the
// relative error stays below 4 * 2^-53.
double scale_by_power_of_ten(double v, int p) {
  const auto &exact = exact_powers_of_ten;
  while (p > 22) {
    v *= 1e22;
    p -= 22;
  }
  while (p < -22) {
    v /= 1e22;
    p += 22;
  }
  return p >= 0 ? v * exact[p] : v / exact[-p];
}

constexpr double undecided_margin = 1e-5; // far above the scaling error

// Fast path of round_significant: the value scaled to `precision` digits in
// double. Its error is far below the margin, so unless the scaled value lies
// within the margin of a halfway point or of a decade boundary, rounding it
// gives the digits of the exact value. Returns false when undecided.
bool round_significant_fast(float x, int precision, significant_digits &d) {
  const double v = std::fabs(static_cast<double>(x));
  int e2 = 0;
  (void)std::frexp(v, &e2);
  int exponent = static_cast<int>(std::floor((e2 - 1) * 0.30102999566398120));
  const double low = scale_by_power_of_ten(1.0, precision - 1);
  const double high = low * 10.0;
  double scaled = scale_by_power_of_ten(v, precision - 1 - exponent);
  if (scaled >= high - undecided_margin) {
    ++exponent;
    scaled = scale_by_power_of_ten(v, precision - 1 - exponent);
  } else if (scaled < low + undecided_margin) {
    --exponent;
    scaled = scale_by_power_of_ten(v, precision - 1 - exponent);
  }
  if (scaled < low + undecided_margin || scaled >= high - undecided_margin) return false;
  const double whole = std::floor(scaled);
  const double fraction = scaled - whole;
  if (std::fabs(fraction - 0.5) < undecided_margin) return false;
  auto n = static_cast<std::uint64_t>(whole) + (fraction > 0.5 ? 1u : 0u);
  if (static_cast<double>(n) >= high) { // 999999.6 -> 1000000: the exponent moves up
    n /= 10;
    ++exponent;
  }
  for (int i = precision - 1; i >= 0; --i) {
    d.digits[i] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  d.count = precision;
  d.exponent = exponent;
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
  if (m == 0) return false;
  const int zeros = std::countr_zero(m);
  m >>= zeros;
  e += zeros;
  if (e + 1 != k) return false;
  if (k <= 0) return true;
  if (k > 10) return false;
  std::uint32_t p5 = 1;
  for (int i = 0; i < k; ++i) p5 *= 5;
  return m % p5 == 0;
}

significant_digits round_significant(float x, int precision) {
  assert(std::isfinite(x) && x != 0.0f && precision >= 1 && precision <= 9);
  if (significant_digits fast{}; precision >= 6 && round_significant_fast(x, precision, fast)) return fast;
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
  if (!is_decimal_tie(x, d.exponent - precision + 1)) return d;
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
  if (!(v < 1e7)) return 0;
  if (v < 1e5) { // fast path: v * 10^4 is one rounding away from exact
    const double scaled = v * 1e4;
    const double whole = std::floor(scaled);
    const double fraction = scaled - whole;
    if (std::fabs(fraction - 0.5) >= undecided_margin) {
      const auto n = static_cast<std::uint64_t>(whole) + (fraction > 0.5 ? 1u : 0u);
      char tmp[24];
      auto r = std::to_chars(tmp, tmp + sizeof tmp, n / 10000);
      *r.ptr++ = '.';
      const auto f = static_cast<unsigned>(n % 10000);
      for (unsigned div = 1000; div > 0; div /= 10) *r.ptr++ = static_cast<char>('0' + f / div % 10);
      const int len = static_cast<int>(r.ptr - tmp);
      if (len > cap) return 0;
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
  if (n > cap) return 0;
  std::memcpy(buf, tmp, static_cast<std::size_t>(n));
  return n;
}

} // namespace detail

namespace {

// The digits part of a free-format real: "1.", "0.5", "9.99999975E-005".
void append_free_digits(std::string &out, float x) {
  const detail::significant_digits d = detail::round_significant(x, 9);
  int last = d.count; // one past the last digit that is not a trailing zero
  while (last > 1 && d.digits[last - 1] == '0') --last;
  const int e = d.exponent;
  if (e >= -4 && e <= 8) {
    if (e >= 0) {
      out.append(d.digits, static_cast<std::size_t>(e + 1));
      out.push_back('.');
      if (last > e + 1) out.append(d.digits + e + 1, static_cast<std::size_t>(last - e - 1));
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
  if (len < 3) out.append(3 - len, '0');
  out.append(exp, len);
}

void append_right(std::string &out, std::size_t width, const char *text) {
  const std::size_t n = std::strlen(text);
  out.append(width - n, ' ');
  out.append(text, n);
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

std::size_t free_real_length(float x) {
  std::string s;
  append_free_real(s, x);
  return s.size();
}

void append_f8_4(std::string &out, float x) {
  if (std::isnan(x)) return append_right(out, 8, "NaN");
  if (std::isinf(x)) return append_right(out, 8, x < 0 ? "-Inf" : "Infinity");
  char text[16];
  const int n = detail::round_fixed4(x, text, 8);
  bool minus = x < 0.0f;
  if (minus) { // a value that rounds to zero loses its sign
    minus = false;
    for (int i = 0; i < n; ++i)
      if (text[i] >= '1' && text[i] <= '9') minus = true;
  }
  const int width = n + (minus ? 1 : 0);
  if (n == 0 || width > 8) {
    out.append(8, '*');
    return;
  }
  out.append(static_cast<std::size_t>(8 - width), ' ');
  if (minus) out.push_back('-');
  out.append(text, static_cast<std::size_t>(n));
}

void append_e14_6(std::string &out, float x) {
  if (std::isnan(x)) return append_right(out, 14, "NaN");
  if (std::isinf(x)) return append_right(out, 14, x < 0 ? "-Infinity" : "Infinity");
  out.append(x < 0.0f ? " -" : "  ");
  if (x == 0.0f) {
    out.append("0.000000E+00");
    return;
  }
  const detail::significant_digits d = detail::round_significant(x, 6);
  const int e = d.exponent + 1; // 0.dddddd x 10^e
  const int a = e < 0 ? -e : e;
  out.append("0.");
  out.append(d.digits, 6);
  out.push_back('E');
  out.push_back(e < 0 ? '-' : '+');
  out.push_back(static_cast<char>('0' + a / 10));
  out.push_back(static_cast<char>('0' + a % 10));
}

} // namespace wavespec::records
