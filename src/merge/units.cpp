#include "merge/units.h"

namespace wavespec::merge {
std::string unit_label(std::string_view text) {
  if (const auto u = parse_unit(text))
    return u->name;
  std::string s = header_word(text);
  while (!s.empty() && s.back() == '.')
    s.pop_back();
  return s.empty() ? "?" : s;
}

std::string header_word(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
    ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
    --end;
  std::string s(text.substr(begin, end - begin));
  for (char &c : s)
    if (c == ' ' || c == '\t' || c == ',' || c == '(' || c == ')' || c == '=' || c == '\r' ||
        c == '\n' || c == '\0')
      c = '_';
  return s;
}

} // namespace wavespec::merge
