// Taking header lines apart by plain scanning: one pass from left to right,
// any line length, numbers by std::from_chars.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wavespec::merge {

class text_scan {
public:
  explicit text_scan(std::string_view text) : rest_(text) {}

  // Passes over blanks and tabs.
  text_scan &blanks();
  // True, and past it, when `word` comes next (after blanks).
  bool take(std::string_view word);
  // Moves to just after the next `word` anywhere ahead; false if none.
  bool after(std::string_view word);
  // An unsigned integer next (after blanks); none when there are no digits
  // or the value does not fit.
  std::optional<std::uint64_t> whole_number();
  // A real written with digits, a point, a sign or an exponent next (after
  // blanks): "0.005", ".0050", "1.5E-3".
  std::optional<double> real_number();
  // The characters up to (not including) the first of `stops`, or to the end.
  std::string_view until_any(std::string_view stops);
  [[nodiscard]] std::string_view rest() const { return rest_; }

private:
  std::string_view rest_;
};

// `text` without leading and trailing blanks and tabs.
[[nodiscard]] std::string_view trimmed(std::string_view text);

// The whole of `text` (blanks around it allowed) as a real; none otherwise.
[[nodiscard]] std::optional<double> parse_real(std::string_view text);

} // namespace wavespec::merge
