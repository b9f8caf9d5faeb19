// Fuzz target: the component-file readers of wavespec-merge. Any input must
// give components or a merge_error, nothing else.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "merge/formats.h"

using namespace wavespec::merge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  text_file file{"fuzz", {std::string()}};
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == '\n')
      file.lines.emplace_back();
    else
      file.lines.back().push_back(static_cast<char>(data[i]));
  }
  const auto all = formats();
  const format_entry *detected = detect_format(file);
  const format_entry &f = detected ? *detected : all[data[0] % all.size()];
  const quantity q = data[0] & 8 ? quantity::velocity : quantity::acceleration;
  try {
    const auto components = read_components(f, file, {q, 0.01});
    if (components.empty())
      __builtin_trap();
  } catch (const merge_error &) {
  }
  return 0;
}
