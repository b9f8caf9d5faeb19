// The analysis of one record in a workspace, without checks: what
// wavespec::analyse_into runs after its checks, and what the dialogue and the
// command line run after theirs.
#pragma once

#include <vector>

#include "wavespec/analysis.hpp"

namespace wavespec::core {

// Each component in turn through the workspace's series: filled, transformed
// and scaled, the operation applied, its amplitudes into `original` and
// their smoothing by `window` into `smoothed` (3 * nom values each). An
// accepted window smooths; no smoothing takes the amplitudes through power
// and back; a refused window (which the user chose to go on with) leaves
// them as they are.
spectrum_view run_analysis(waveform_view w, operation op, const parzen_window &window, float band,
                           workspace &ws, std::span<float> original, std::span<float> smoothed);

// run_analysis into the workspace's own result buffers, valid until the
// workspace's next analysis.
spectrum_view run_analysis(waveform_view w, operation op, const parzen_window &window, float band,
                           workspace &ws);

// The EAS (when asked for, smoothed as the components are) and the
// Konno-Ohmachi values (when asked for) of an analysed spectrum.
void add_eas_and_konno_ohmachi(spectrum &s, workspace &ws, unsigned threads);

[[nodiscard]] inline bool refused(const parzen_window &w) {
  return w.verdict == window_verdict::too_narrow || w.verdict == window_verdict::too_wide;
}

} // namespace wavespec::core
