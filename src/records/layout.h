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

// One step of writing a record: characters as they stand (blanks and line
// ends folded in), or one of the two real fields the writer knows.
struct output_step {
  enum class kind { text, f8_4, e14_6 };
  kind k;
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
  // The layout as steps for a writer: blanks count only before characters
  // that follow them on the same line. False when the layout holds an element
  // that cannot be written (a text field, a real field other than F8.4 and
  // E14.6); `fields` is the number of reals one record takes.
  [[nodiscard]] bool writable() const { return writable_; }
  [[nodiscard]] const std::vector<output_step> &output_steps() const { return steps_; }
  [[nodiscard]] std::size_t fields() const { return fields_; }

private:
  void plan_output();

  std::string source_;
  std::size_t max_length_ = 0;
  std::vector<layout_element> elements_;
  bool writable_ = true;
  std::vector<output_step> steps_;
  std::size_t fields_ = 0;
};

} // namespace wavespec::records
