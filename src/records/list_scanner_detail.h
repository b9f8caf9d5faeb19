// The number scanner's token and its exact conversions, tested on their own.
#pragma once

#include <cstdint>
#include <string>

namespace wavespec::records::detail {

// A number as written: sign, mantissa and decimal exponent.
struct number_token {
  bool negative = false;
  std::string mantissa;         // digits with at most one '.', at least one digit
  bool has_point = false;       // the mantissa holds a '.'
  bool letter_exponent = false; // the exponent was written with E, e, D or d
  std::int64_t exponent = 0;    // |exponent| <= 99999999
};

// The nearest double to the token, then the nearest 32-bit real; values
// beyond the double range give an infinity or a zero of the token's sign.
[[nodiscard]] float token_to_real(const number_token &t);

// The token truncated toward zero; throws list_error ("invalid integer") for a
// point or an exponent letter and for a value outside the 32-bit range.
[[nodiscard]] std::int32_t token_to_integer(const number_token &t);

} // namespace wavespec::records::detail
