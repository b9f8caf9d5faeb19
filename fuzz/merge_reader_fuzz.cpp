// Fuzz target: the component-file readers of wavespec-merge, and the
// grouping, ordering and checks of what they give. Any input must give
// components or a merge_error, nothing else.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "merge/formats.h"
#include "merge/group.h"
#include "merge/output.h"

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
    read_request request{q, 0.01, 1e-3, data[0] & 32 ? "gal" : "", {}, false};
    request.input_unit = data[0] & 64 ? "nm/s^2" : "";
    request.keep_offset = (data[0] & 128) != 0;
    auto components = read_components(f, file, request);
    if (components.empty())
      __builtin_trap();
    for (const series &s : components)
      (void)record_name(s);
    for (auto &group : group_components(components))
      if (group.size() == 3)
        (void)check_components(order_components(std::move(group), false), {});
  } catch (const merge_error &) {
  }
  return 0;
}
