#include <limits>

#include "driver/stages.h"

namespace wavespec::driver {

using namespace records;

void read_waveform_file(record_streams &io, analysis_state &st) {
  open_record_file(io, waveform_file, st.infile);
  read_waveform_records(io, st);
  close_record_file(io, waveform_file);
}

void read_waveform_records(record_streams &io, analysis_state &st) {
  (void)read_free_record(io, waveform_file, {}, true); // the header, whatever it holds
  // Records beyond the capacity are read into `spare` and only counted, so
  // that a file with too many samples is still recognised as such.
  std::array<float, 4> spare{};
  std::int64_t i = 1;
  for (;;) {
    const bool stored = i <= capacity;
    const auto at = static_cast<std::size_t>(i - 1);
    const read_target items[] = {stored ? st.time[at] : spare[0], stored ? st.xr1[at] : spare[1],
                                 stored ? st.xr2[at] : spare[2], stored ? st.xr3[at] : spare[3]};
    if (read_free_record(io, waveform_file, items, true) == read_outcome::end_of_input)
      break;
    ++i;
  }
  const std::int64_t count = i - 1;
  st.nt = count > std::numeric_limits<std::int32_t>::max()
              ? std::numeric_limits<std::int32_t>::max()
              : static_cast<std::int32_t>(count);
}

} // namespace wavespec::driver
