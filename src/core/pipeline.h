// The analysis of one record in a workspace, without checks: what
// wavespec::analyse_into runs after its checks, and what the dialogue and the
// command line run after theirs.
#pragma once

#include <functional>
#include <optional>
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

// Where a centre lies against the grid's df .. Nyquist frequency (a float's
// rounding of either end counting as on it).
enum class centre_reach { below, within, above };
[[nodiscard]] centre_reach reach_of(double fc, const frequency_grid &grid);
[[nodiscard]] inline bool centres_reached(double fc, const frequency_grid &grid) {
  return reach_of(fc, grid) == centre_reach::within;
}

class centre_list;

// Throws centres_error for centres outside the grid's df .. Nyquist.
void check_centres(const centre_list &centres, const frequency_grid &grid);

// What the options ask for besides the spectra themselves: the EAS (smoothed
// as the components are), the Konno-Ohmachi values and H/V; centres outside
// the grid throw centres_error (or are left out, with centres_within_record).
void add_derived_series(spectrum &s, workspace &ws, unsigned threads);

// The part of add_derived_series that does not grow with the centres: the
// EAS, and H/V on the record's own grid (Parzen).
void prepare_derived_series(spectrum &s, workspace &ws);

// Konno-Ohmachi values at a run of centres from the `first`: X, Y, Z and,
// when asked, the EAS, one row of centres.size() values each, then H/V.
struct konno_ohmachi_chunk {
  std::size_t first;
  std::span<const double> centres;
  std::span<const float> rows;
  std::span<const float> hv;
};

// The Konno-Ohmachi values of a prepared spectrum (prepare_derived_series)
// at its centres, a chunk at a time, so that memory does not grow with the
// centres; a noted signal ends it by `interrupted` within a block's sums.
// Centres outside the grid throw centres_error (or are left out).
void for_each_konno_ohmachi_chunk(const spectrum &s, unsigned threads,
                                  const std::function<void(const konno_ohmachi_chunk &)> &emit);

// Keeps in `peak` the higher of it and H/V `a` at `f` (within `band`; the
// lower frequency of equal values).
void take_if_higher(std::optional<hv_peak> &peak, double f, float a, frequency_band band);

// Konno-Ohmachi rows of the original X, Y, Z, then of each extra series
// (nom points each), at the centres into `out`.
void konno_ohmachi_rows(const spectrum_view &s, double b, std::span<const double> centres,
                        std::span<const std::span<const float>> extra, std::span<float> out,
                        unsigned threads);

// The band a record is analysed with: the band asked for, or with
// options.band_clamp the nearest band the record accepts when it refuses
// that one (which band_error reports otherwise).
[[nodiscard]] float band_for(const analysis_options &options, const frequency_grid &grid);

[[nodiscard]] inline bool refused(const parzen_window &w) {
  return w.verdict == window_verdict::too_narrow || w.verdict == window_verdict::too_wide;
}

} // namespace wavespec::core
