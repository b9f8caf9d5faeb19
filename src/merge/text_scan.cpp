#include "merge/text_scan.h"

#include <charconv>

namespace wavespec::merge {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

} // namespace

text_scan &text_scan::blanks() {
  while (!rest_.empty() && is_blank(rest_.front()))
    rest_.remove_prefix(1);
  return *this;
}

bool text_scan::take(std::string_view word) {
  blanks();
  if (!rest_.starts_with(word))
    return false;
  rest_.remove_prefix(word.size());
  return true;
}

bool text_scan::after(std::string_view word) {
  const auto at = rest_.find(word);
  if (at == std::string_view::npos)
    return false;
  rest_.remove_prefix(at + word.size());
  return true;
}

std::optional<std::uint64_t> text_scan::whole_number() {
  blanks();
  std::uint64_t v = 0;
  const auto r = std::from_chars(rest_.data(), rest_.data() + rest_.size(), v);
  if (r.ec != std::errc())
    return std::nullopt;
  rest_.remove_prefix(static_cast<std::size_t>(r.ptr - rest_.data()));
  return v;
}

std::optional<double> text_scan::real_number() {
  blanks();
  std::size_t n = 0;
  while (n < rest_.size() && (is_digit(rest_[n]) || rest_[n] == '.' || rest_[n] == '+' ||
                              rest_[n] == '-' || rest_[n] == 'E' || rest_[n] == 'e'))
    ++n;
  const auto v = parse_real(rest_.substr(0, n));
  if (v)
    rest_.remove_prefix(n);
  return v;
}

std::string_view text_scan::until_any(std::string_view stops) {
  const auto at = std::min(rest_.find_first_of(stops), rest_.size());
  const std::string_view piece = rest_.substr(0, at);
  rest_.remove_prefix(at);
  return piece;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back()))
    text.remove_suffix(1);
  return text;
}

std::optional<double> parse_real(std::string_view text) {
  text = trimmed(text);
  if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+')
    text.remove_prefix(1); // from_chars takes no plus sign
  if (text.empty())
    return std::nullopt;
  double v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size())
    return std::nullopt;
  return v;
}

} // namespace wavespec::merge
