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
  std::vector<std::string> lines(1);
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == '\n')
      lines.emplace_back();
    else
      lines.back().push_back(static_cast<char>(data[i]));
  }
  static const file_format formats[] = {file_format::cosmos, file_format::smc,
                                        file_format::geonet, file_format::at2,
                                        file_format::knet,   file_format::generic};
  const auto detected = detect_format(lines);
  const file_format f = detected ? *detected : formats[data[0] % 6];
  const quantity q = data[0] & 8 ? quantity::velocity : quantity::acceleration;
  try {
    const auto components = read_components(f, "fuzz", lines, q, 0.01);
    if (components.empty())
      __builtin_trap();
  } catch (const merge_error &) {
  }
  return 0;
}
