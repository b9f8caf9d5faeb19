#include "driver/stages.h"

namespace wavespec::driver {

void run_analysis(record_streams &io, analysis_state &st) {
  run_input_stage(io, st);
  run_prepare_stage(io, st);
  run_integrate_stage(io, st);
  run_smooth_stage(io, st);
  run_output_stage(io, st);
  records::stop_run(io);
}

} // namespace wavespec::driver
