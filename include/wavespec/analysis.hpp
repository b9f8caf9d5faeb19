// The analysis of one record: its spectra, optionally integrated or
// differentiated, and their Parzen-smoothed amplitudes.
//
//   wavespec::workspace ws;                           // one per thread, reused
//   auto record = wavespec::read_waveform("sf1295.txt");
//   auto spectrum = wavespec::analyse(record, {wavespec::operation::integrate, 0.5f}, ws);
//   float x100 = spectrum.smoothed(0)[100];           // X at 100 * df Hz
//   wavespec::write_csv(spectrum, "sf1295.csv");
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "wavespec/record.hpp"
#include "wavespec/spectral.hpp"

namespace wavespec {

// How the two horizontal components combine for H/V, each point's original
// amplitudes before any smoothing: quadratic, sqrt((X^2 + Y^2) / 2) (the
// EAS); geometric, sqrt(X Y).
enum class horizontal_mean { quadratic, geometric };

// n frequencies even in log10 from fmin to fmax inclusive, each
// fmin * 10^(i log10(fmax / fmin) / (n - 1)) as log_spaced_frequencies gives
// it, made one at a time where it is used (n = 0: none).
struct log_spread {
  double fmin = 0.0, fmax = 0.0;
  std::int64_t n = 0;
};

struct analysis_options {
  operation op = operation::none;
  float band = 0.0f; // the Parzen bandwidth in Hz; 0 for no smoothing
  // Konno-Ohmachi smoothing with this coefficient b (> 0) instead of Parzen's,
  // at `centres` (Hz) when given, else at the centres of `spread`, else at
  // 100 per decade from df to the Nyquist frequency.
  double konno_ohmachi = 0.0;
  std::vector<double> centres{};
  log_spread spread{};
  bool eas = false; // also the effective amplitude spectrum of X and Y
  // A Parzen band outside a record's limits becomes the nearest band the
  // record accepts, instead of band_error.
  bool band_clamp = false;
  // The horizontal-to-vertical ratio of the smoothed spectra: the
  // horizontal combination smoothed by the same window as Z, divided by
  // smoothed Z (needs Parzen or Konno-Ohmachi smoothing).
  bool hv = false;
  horizontal_mean horizontal = horizontal_mean::quadratic;
  // Konno-Ohmachi centres outside a record's df to Nyquist frequency are
  // left out of its values instead of refused (centres_error).
  bool centres_within_record = false;
};

// The amplitude spectra of one analysis, held elsewhere. Component c is 0
// (X), 1 (Y) or 2 (Z); each series has grid.nom points, point i at the
// frequency frequency(i).
struct spectrum_view {
  frequency_grid grid;
  analysis_options options;
  std::span<const float> original_values; // X, then Y, then Z: 3 * nom values
  std::span<const float> smoothed_values; // the same layout
  // With options.eas: sqrt((X^2 + Y^2) / 2) of the originals, and its Parzen
  // smoothing like the components' (nom values each).
  std::span<const float> eas_original{}, eas_smoothed{};
  // With Konno-Ohmachi smoothing: the centres, and the smoothed X, Y, Z (and
  // EAS) at them, one row of centres.size() values each.
  std::span<const double> centres{};
  std::span<const float> konno_ohmachi_values{};
  // With options.hv: H/V at each point (Parzen) or at each centre
  // (Konno-Ohmachi), each rounded once from the ratio in double.
  std::span<const float> hv{};
  // |spectrum| at each point after the operation.
  [[nodiscard]] std::span<const float> original(int c) const;
  // The same smoothed (with no smoothing, through power and back).
  [[nodiscard]] std::span<const float> smoothed(int c) const;
  // The frequency of point i as the CSV writes it: float(i * df).
  [[nodiscard]] float frequency(std::int32_t i) const;
};

// The same, owning its values.
struct spectrum {
  frequency_grid grid;
  analysis_options options;
  std::vector<float> original_values;
  std::vector<float> smoothed_values;
  std::vector<float> eas_original{}, eas_smoothed{};
  std::vector<double> centres{};
  std::vector<float> konno_ohmachi_values{};
  std::vector<float> hv{};
  [[nodiscard]] spectrum_view view() const {
    return {grid,
            options,
            original_values,
            smoothed_values,
            eas_original,
            eas_smoothed,
            centres,
            konno_ohmachi_values,
            hv};
  }
  operator spectrum_view() const { return view(); } // NOLINT: a view, as string_view
  [[nodiscard]] std::span<const float> original(int c) const { return view().original(c); }
  [[nodiscard]] std::span<const float> smoothed(int c) const { return view().smoothed(c); }
  [[nodiscard]] float frequency(std::int32_t i) const { return view().frequency(i); }
};

// A bandwidth the record's frequency step refuses: the window would be
// narrower than 5 points or wider than 101. The message names the band and
// the limits in the dialogue's digits:
//   band 5 Hz is outside 0.0905422345 .. 2.26355577 Hz for this record
class band_error : public std::invalid_argument {
public:
  band_error(float band, float band_min, float band_max);
  [[nodiscard]] float band() const noexcept { return band_; }
  [[nodiscard]] float band_min() const noexcept { return min_; }
  [[nodiscard]] float band_max() const noexcept { return max_; }

private:
  float band_, min_, max_;
};

// Options an analysis refuses whatever the record: a Konno-Ohmachi
// coefficient that is not positive and finite or that goes with a Parzen
// bandwidth, say (wavespec/options.hpp words them all).
class options_error : public std::invalid_argument {
public:
  using std::invalid_argument::invalid_argument;
};

// Konno-Ohmachi centres the record's grid does not reach: below its first
// frequency df or above its Nyquist frequency (nom - 1) df, where the
// smoothed values would be extrapolations. The message names both ranges:
//   centres 0.001 .. 200 Hz reach outside 0.0244140625 .. 100 Hz, this record's df to its
//   Nyquist frequency
class centres_error : public std::invalid_argument {
public:
  using std::invalid_argument::invalid_argument;
};

// Memory for analyses, reused from record to record so that a thread that
// analyses many records allocates once. Not shared between threads.
class workspace {
public:
  workspace();
  ~workspace();
  workspace(workspace &&) noexcept;
  workspace &operator=(workspace &&) noexcept;
  struct buffers; // the library's own
  [[nodiscard]] buffers &get() { return *b_; }

private:
  std::unique_ptr<buffers> b_;
};

// The grid of a record: its transform length (the smallest power of two, at
// least 4, not below nt) and dt. Throws record_error as check_waveform.
[[nodiscard]] frequency_grid grid_of(waveform_view w);

// Analyses a record (checked with check_waveform): each component
// transformed, scaled by dt, the operation applied to its one-sided
// spectrum, then its amplitudes and their Parzen smoothing. Writes 3 * nom
// values to each of `original` and `smoothed` (at least as long; nom from
// grid_of) and returns the view of them. Konno-Ohmachi smoothing and the
// EAS need storage of their own: analyse gives them, and analyse_into
// refuses options that ask for them (options_error). Throws record_error,
// band_error, or std::invalid_argument for spans too short.
spectrum_view analyse_into(waveform_view w, const analysis_options &options, workspace &ws,
                           std::span<float> original, std::span<float> smoothed);
// The Konno-Ohmachi smoothing of a spectrum's original X, Y, Z (and EAS)
// amplitudes, at f_k = k df for k = 1 .. nom-1, into `out` (`threads` share
// the centres). Throws options_error.
void smooth_konno_ohmachi(const spectrum_view &s, double b, std::span<const double> centres,
                          std::span<const float> eas, std::span<float> out, unsigned threads = 1);
// The band where a record's spectrum means something: from the lowest
// frequency whose period the record spans, 1 / ((nt - 1) dt) (never below
// df), to the Nyquist frequency (nom - 1) df, in double.
struct frequency_band {
  double low = 0.0, high = 0.0;
  // f within the band; a float's rounding of either end counts as on it
  // (FMIN:FMAX:N's last centre may come out an ulp above FMAX).
  [[nodiscard]] bool holds(double f) const {
    constexpr double slack = 1.0 + 1e-6;
    return f * slack >= low && f <= high * slack;
  }
};
[[nodiscard]] frequency_band usable_band(std::int64_t nt, float dt, const frequency_grid &grid);

// The peak of an H/V curve: the frequency f0 (Hz) and value A0 of its
// largest ratio among the points (or centres) within `band`, the lowest
// frequency of equal values; none when no point lies in the band or none
// is finite.
struct hv_peak {
  double f0 = 0.0;
  float a0 = 0.0f;
};
[[nodiscard]] std::optional<hv_peak> find_hv_peak(const spectrum_view &s, frequency_band band);

// The effective amplitude spectrum of a spectrum's original X and Y:
// sqrt((X^2 + Y^2) / 2) at each point (effective_amplitude), nom values.
[[nodiscard]] std::vector<float> effective_amplitudes(const spectrum_view &s);
// The same into a spectrum of its own, with Konno-Ohmachi smoothing and the
// EAS when the options ask for them; `threads` share the Konno-Ohmachi sums.
[[nodiscard]] spectrum analyse(waveform_view w, const analysis_options &options, workspace &ws,
                               unsigned threads = 1);
[[nodiscard]] spectrum analyse(waveform_view w, const analysis_options &options = {});

} // namespace wavespec
