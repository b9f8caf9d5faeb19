#include "core/numbers.h"

#include <charconv>

#include "records/real_format.h"

namespace wavespec::core {

std::string free_digits(float x) {
  std::string s;
  records::append_free_real(s, x);
  return s.substr(s.find_first_not_of(' '));
}

std::string shortest_digits(float x) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  return {buf, r.ptr};
}

std::string shortest_digits(double x) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  return {buf, r.ptr};
}

} // namespace wavespec::core
