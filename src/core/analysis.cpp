#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

#include "core/numbers.h"
#include "core/pipeline.h"
#include "core/workspace.h"
#include "spectral/transform.h"
#include "wavespec/options.hpp"

namespace wavespec {
namespace core {

spectrum_view run_analysis(waveform_view w, operation op, const parzen_window &window, float band,
                           workspace &ws, std::span<float> original, std::span<float> smoothed) {
  workspace::buffers &b = ws.get();
  const std::int32_t nf = transform_length(w.nt());
  const frequency_grid grid = make_grid(nf, w.dt);
  const auto nom = static_cast<std::size_t>(grid.nom);
  const complex32 *const twiddles = b.twiddles(nf);
  const std::span<complex32> series = b.series(nf);
  const std::span<const float> xyz[] = {w.x, w.y, w.z};
  for (std::size_t c = 0; c < 3; ++c) {
    spectral::prepare_series(xyz[c], w.dt, series, twiddles);
    apply_operation(op, grid, series);
    const std::span<float> amp = original.subspan(c * nom, nom);
    const std::span<float> smooth = smoothed.subspan(c * nom, nom);
    amplitudes(series.first(nom), amp);
    std::copy(amp.begin(), amp.end(), smooth.begin());
    if (!refused(window))
      spectral::smooth_spectrum(smooth, b.power(nf), grid.df, window, b.smoothing(nf));
  }
  return {grid, {op, band}, original.first(3 * nom), smoothed.first(3 * nom)};
}

spectrum_view run_analysis(waveform_view w, operation op, const parzen_window &window, float band,
                           workspace &ws) {
  const std::span<float> results = ws.get().results(transform_length(w.nt()));
  const std::size_t half = results.size() / 2;
  return run_analysis(w, op, window, band, ws, results.first(half), results.subspan(half));
}

} // namespace core

std::span<const float> spectrum_view::original(int c) const {
  const auto nom = static_cast<std::size_t>(grid.nom);
  return original_values.subspan(static_cast<std::size_t>(c) * nom, nom);
}

std::span<const float> spectrum_view::smoothed(int c) const {
  const auto nom = static_cast<std::size_t>(grid.nom);
  return smoothed_values.subspan(static_cast<std::size_t>(c) * nom, nom);
}

float spectrum_view::frequency(std::int32_t i) const {
  return static_cast<float>(static_cast<double>(i) * static_cast<double>(grid.df));
}

band_error::band_error(float band, float band_min, float band_max)
    : std::invalid_argument("band " + core::shortest_digits(band) + " Hz is outside " +
                            core::free_digits(band_min) + " .. " + core::free_digits(band_max) +
                            " Hz for this record"),
      band_(band), min_(band_min), max_(band_max) {}

frequency_grid grid_of(waveform_view w) {
  check_waveform(w);
  return make_grid(transform_length(w.nt()), w.dt);
}

namespace core {

// The limits shown are each a float's rounding of the true limit, and may
// fall just outside what the window accepts: the clamped band steps inwards
// a float at a time (a few steps at most) until it is accepted.
float band_for(const analysis_options &options, const frequency_grid &grid) {
  if (!refused(make_window(options.band, grid.df)))
    return options.band;
  if (!options.band_clamp)
    throw band_error(options.band, grid.band_min, grid.band_max);
  const bool below = options.band < grid.band_min;
  float band = below ? grid.band_min : grid.band_max;
  const float inwards = below ? std::numeric_limits<float>::infinity() : 0.0f;
  for (int step = 0; step < 64 && refused(make_window(band, grid.df)); ++step)
    band = std::nextafter(band, inwards);
  return band;
}

} // namespace core

namespace {

// The window of a checked analysis on the record's grid, or band_error;
// `band` receives the band it is for.
parzen_window window_for(const analysis_options &options, const frequency_grid &grid, float &band) {
  band = core::band_for(options, grid);
  return make_window(band, grid.df);
}

} // namespace

spectrum_view analyse_into(waveform_view w, const analysis_options &options, workspace &ws,
                           std::span<float> original, std::span<float> smoothed) {
  check_analysis_options(options);
  if (options.eas || options.konno_ohmachi != 0.0)
    throw options_error("analyse_into holds no Konno-Ohmachi or EAS values: use analyse");
  const frequency_grid grid = grid_of(w);
  float band = 0.0f;
  const parzen_window window = window_for(options, grid, band);
  const auto values = 3 * static_cast<std::size_t>(grid.nom);
  if (original.size() < values || smoothed.size() < values)
    throw std::invalid_argument("wavespec::analyse_into: the spans hold fewer than 3 * nom values");
  return core::run_analysis(w, options.op, window, band, ws, original, smoothed);
}

spectrum analyse(waveform_view w, const analysis_options &options, workspace &ws,
                 unsigned threads) {
  check_analysis_options(options);
  const frequency_grid grid = grid_of(w);
  float band = 0.0f;
  const parzen_window window = window_for(options, grid, band);
  spectrum s;
  s.original_values.resize(3 * static_cast<std::size_t>(grid.nom));
  s.smoothed_values.resize(s.original_values.size());
  (void)core::run_analysis(w, options.op, window, band, ws, s.original_values, s.smoothed_values);
  s.grid = grid;
  s.options = options;
  s.options.band = band;
  core::add_derived_series(s, ws, threads);
  return s;
}

spectrum analyse(waveform_view w, const analysis_options &options) {
  workspace ws;
  return analyse(w, options, ws);
}

} // namespace wavespec
