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
  // Records beyond the capacity are read and only counted, so that a file
  // with too many samples is still recognised as such.
  float *const columns[] = {st.time.data(), st.xr1.data(), st.xr2.data(), st.xr3.data()};
  const std::int64_t count =
      read_real_rows(io, waveform_file, columns, static_cast<std::size_t>(capacity));
  st.nt = count > std::numeric_limits<std::int32_t>::max()
              ? std::numeric_limits<std::int32_t>::max()
              : static_cast<std::int32_t>(count);
}

} // namespace wavespec::driver
