// The number scanner's token and its exact conversions, tested on their own.
#pragma once

#include <cstdint>
#include <string>

namespace wavespec::records::detail {

// Significant digits a token keeps. A decimal that decides a rounding between
// two doubles has at most 767 significant digits, so a number cut after 800
// digits, with a last '1' standing for any non-zero digit dropped, rounds to
// the same double: however long a number is written, it takes bounded memory.
inline constexpr std::size_t max_kept_digits = 800;

// A number as written: value = digits x 10^(scale + exponent), signed.
struct number_token {
  bool negative = false;
  std::string digits;           // significant digits, no leading zeros ("" for zero)
  std::int64_t scale = 0;       // power of ten of the last kept digit
  bool dropped_nonzero = false; // a digit past max_kept_digits was not zero
  bool any_digit = false;       // at least one digit was written
  bool has_point = false;       // a '.' was written
  bool letter_exponent = false; // the exponent was written with E, e, D or d
  std::int64_t exponent = 0;    // |exponent| <= 99999999

  // Takes the next digit before (or, with after_point, after) the point.
  void add_digit(char d, bool after_point);
};

// The nearest double to the token, then the nearest 32-bit real; values
// beyond the double range give an infinity or a zero of the token's sign.
[[nodiscard]] float token_to_real(const number_token &t);

// The token truncated toward zero; throws list_error ("invalid integer") for a
// point or an exponent letter and for a value outside the 32-bit range.
[[nodiscard]] std::int32_t token_to_integer(const number_token &t);

} // namespace wavespec::records::detail
