// Layout strings of fixed-field records, such as "(F8.4,6(',',E14.6))".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wavespec::records {

struct layout_element {
  enum class kind {
    blanks,    // nX: n pending blank columns
    line_end,  // "/": hand out the line, start a new one
    literal,   // 'text'
    fixed,     // Fw.d, one real item
    exponent,  // Ew.d, one real item
    text_field // Aw, one text item (input)
  };
  kind k;
  int width = 0; // n for blanks, w for fields
  int digits = 0;
  std::string text;
};

// A layout string parsed once, repetitions r(...) unrolled.
class fixed_layout {
public:
  // Throws std::invalid_argument for a string that is not a layout.
  explicit fixed_layout(std::string_view source);
  [[nodiscard]] const std::string &source() const { return source_; }
  [[nodiscard]] const std::vector<layout_element> &elements() const { return elements_; }
  // The most characters one record of this layout can take, line ends included.
  [[nodiscard]] std::size_t max_length() const { return max_length_; }

private:
  std::string source_;
  std::size_t max_length_ = 0;
  std::vector<layout_element> elements_;
};

} // namespace wavespec::records
