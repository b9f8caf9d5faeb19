// The driver's storage, allocated once for the whole run.
#pragma once

#include <memory>

#include "driver/analysis_state.h"

namespace wavespec::driver {

struct state_release {
  std::size_t mapped = 0; // bytes mapped, 0 when from the heap
  void operator()(analysis_state *st) const noexcept;
};

using state_ptr = std::unique_ptr<analysis_state, state_release>;

// The analysis_state of a run, its arrays zero (from zeroed pages, not
// written over). Its 3.7 MB are asked for in huge pages where the system
// offers them: a few page faults instead of about a thousand, which is most
// of the program's start-up time.
[[nodiscard]] state_ptr make_analysis_state();

} // namespace wavespec::driver
