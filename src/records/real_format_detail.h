// Digit generation for the real renderings, kept apart from the layouts so that
// it can be tested on its own.
#pragma once

#include <cstdint>

namespace wavespec::records::detail {

// |x| rounded to `precision` significant digits (1..9): value = d1.d2...dn x 10^exponent.
struct significant_digits {
  char digits[12]; // ASCII digits, the first never '0'
  int count;       // == precision
  int exponent;    // decimal exponent of the first digit
};

// x finite and non-zero. Exact halfway cases round away from zero.
[[nodiscard]] significant_digits round_significant(float x, int precision);
// The same without the fast path: from the exact expansion only.
[[nodiscard]] significant_digits round_significant_exact(float x, int precision);

// True when |x| lies exactly halfway between two multiples of 10^k.
[[nodiscard]] bool is_decimal_tie(float x, int k);

} // namespace wavespec::records::detail
