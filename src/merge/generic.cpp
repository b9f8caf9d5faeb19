// One value per line, at the interval given with --dt; a first line that is
// not a number is a title.
#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {

std::vector<series> read_generic(const component_file &file, const read_request &request) {
  if (!(request.dt > 0))
    fail(file, "the generic format needs --dt with a positive interval");
  series s;
  s.source = file.path;
  s.dt = request.dt;
  s.units.push_back('?'); // unknown
  for (std::size_t i = 0; i < file.lines.size(); ++i) {
    if (trimmed(file.lines[i]).empty())
      continue;
    const auto v = parse_real(file.lines[i]);
    if (!v && i == 0)
      continue;
    if (!v)
      malformed_data(file, i, quoted(trimmed(file.lines[i])));
    s.values.push_back(checked_sample(file, i, file.lines[i], *v));
  }
  if (s.values.empty())
    fail(file, "no samples");
  return {s};
}

} // namespace wavespec::merge
