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

// Throws centres_error for centres outside the grid's df .. Nyquist.
void check_centres(std::span<const double> centres, const frequency_grid &grid);

// The EAS (when asked for, smoothed as the components are) and the
// Konno-Ohmachi values (when asked for) of an analysed spectrum; centres
// outside the grid throw centres_error.
void add_eas_and_konno_ohmachi(spectrum &s, workspace &ws, unsigned threads);

// The band a record is analysed with: the band asked for, or with
// options.band_clamp the nearest band the record accepts when it refuses
// that one (which band_error reports otherwise).
[[nodiscard]] float band_for(const analysis_options &options, const frequency_grid &grid);

[[nodiscard]] inline bool refused(const parzen_window &w) {
  return w.verdict == window_verdict::too_narrow || w.verdict == window_verdict::too_wide;
}

} // namespace wavespec::core
