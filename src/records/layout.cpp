#include "records/layout.h"

#include <cctype>
#include <stdexcept>

namespace wavespec::records {
namespace {

// Recursive descent over "(e,e,...)"; `p` moves through the source.
class layout_parser {
public:
  explicit layout_parser(std::string_view s) : s_(s) {}

  std::vector<layout_element> parse() {
    auto out = group();
    if (p_ != s_.size())
      fail();
    return out;
  }

private:
  [[noreturn]] void fail() const { throw std::invalid_argument("bad layout: " + std::string(s_)); }
  [[nodiscard]] char peek() const { return p_ < s_.size() ? s_[p_] : '\0'; }
  void expect(char c) {
    if (peek() != c)
      fail();
    ++p_;
  }
  int number() {
    if (!std::isdigit(static_cast<unsigned char>(peek())))
      fail();
    int n = 0;
    while (std::isdigit(static_cast<unsigned char>(peek())))
      n = n * 10 + (s_[p_++] - '0');
    return n;
  }

  std::vector<layout_element> group() {
    expect('(');
    std::vector<layout_element> out;
    for (;;) {
      element(out);
      if (peek() == ')')
        break;
      expect(',');
    }
    expect(')');
    return out;
  }

  void element(std::vector<layout_element> &out) {
    const char c = peek();
    if (c == '/') {
      ++p_;
      out.push_back({layout_element::kind::line_end, 0, 0, {}});
    } else if (c == '\'') {
      const auto close = s_.find('\'', p_ + 1);
      if (close == std::string_view::npos)
        fail();
      out.push_back(
          {layout_element::kind::literal, 0, 0, std::string(s_.substr(p_ + 1, close - p_ - 1))});
      p_ = close + 1;
    } else if (c == 'F' || c == 'E') {
      ++p_;
      const int w = number();
      expect('.');
      const int d = number();
      out.push_back(
          {c == 'F' ? layout_element::kind::fixed : layout_element::kind::exponent, w, d, {}});
    } else if (c == 'A') {
      ++p_;
      out.push_back({layout_element::kind::text_field, number(), 0, {}});
    } else {
      const int n = number();
      if (peek() == 'X') {
        ++p_;
        out.push_back({layout_element::kind::blanks, n, 0, {}});
      } else {
        const auto inner = group();
        for (int i = 0; i < n; ++i)
          out.insert(out.end(), inner.begin(), inner.end());
      }
    }
  }

  std::string_view s_;
  std::size_t p_ = 0;
};

} // namespace

fixed_layout::fixed_layout(std::string_view source)
    : source_(source), elements_(layout_parser(source).parse()) {
  for (const layout_element &e : elements_) {
    using k = layout_element::kind;
    if (e.k == k::line_end)
      max_length_ += 1;
    else if (e.k == k::literal)
      max_length_ += e.text.size();
    else
      max_length_ += static_cast<std::size_t>(e.width);
  }
  plan_output();
}

void fixed_layout::plan_output() {
  using k = layout_element::kind;
  std::string text;
  std::size_t pending = 0; // blank columns not yet written
  for (const layout_element &e : elements_) {
    if (e.k == k::blanks) {
      pending += static_cast<std::size_t>(e.width);
      continue;
    }
    if (e.k == k::line_end) {
      text.push_back('\n');
      pending = 0;
      continue;
    }
    text.append(pending, ' ');
    pending = 0;
    if (e.k == k::literal) {
      text += e.text;
      continue;
    }
    ++fields_;
    const bool f8_4 = e.k == k::fixed && e.width == 8 && e.digits == 4;
    const bool e14_6 = e.k == k::exponent && e.width == 14 && e.digits == 6;
    if (!f8_4 && !e14_6) { // the writer refuses the layout: no steps are needed
      writable_ = false;
      continue;
    }
    if (!text.empty())
      steps_.push_back({output_step::kind::text, std::move(text)});
    text.clear();
    steps_.push_back({f8_4 ? output_step::kind::f8_4 : output_step::kind::e14_6, {}});
  }
  if (!text.empty())
    steps_.push_back({output_step::kind::text, std::move(text)});
}

} // namespace wavespec::records
