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
  const auto all = formats();
  const format_entry *named = data[0] & 16 ? &all[data[0] % all.size()] : nullptr;
  const quantity q = data[0] & 8 ? quantity::velocity : quantity::acceleration;
  try {
    const component_file file = component_from_bytes(
        "fuzz", std::string(reinterpret_cast<const char *>(data) + 1, size - 1), named);
    const format_entry *detected = named ? named : detect_format(file);
    const format_entry &f = detected ? *detected : all[data[0] % all.size()];
    const auto components = read_components(f, file, {q, 0.01, 1e-3, data[0] & 32 ? "gal" : ""});
    if (components.empty())
      __builtin_trap();
  } catch (const merge_error &) {
  }
  return 0;
}
