// What an analysed record's spectra give besides themselves: the effective
// amplitude spectrum, Konno-Ohmachi smoothing and the horizontal-to-
// vertical ratio.
#include <algorithm>
#include <cmath>

#include "core/numbers.h"
#include "core/pipeline.h"
#include "core/workspace.h"

namespace wavespec {
namespace core {
namespace {

// The horizontal combination of each point's original X and Y, formed in
// double and rounded once.
std::vector<float> horizontal_of(const spectrum &s) {
  if (s.options.horizontal == horizontal_mean::quadratic)
    return s.eas_original.empty() ? effective_amplitudes(s.view()) : s.eas_original;
  const std::span<const float> x = s.original(0), y = s.original(1);
  std::vector<float> h(x.size());
  for (std::size_t k = 0; k < h.size(); ++k)
    h[k] = static_cast<float>(std::sqrt(static_cast<double>(x[k]) * static_cast<double>(y[k])));
  return h;
}

// A series smoothed by the Parzen window of the spectrum, as the components
// are (through power and back).
std::vector<float> parzen_smoothed(std::vector<float> series, const spectrum &s, workspace &ws) {
  const parzen_window window = make_window(s.options.band, s.grid.df);
  if (!refused(window))
    spectral::smooth_spectrum(series, ws.get().power(s.grid.nf), s.grid.df, window,
                              ws.get().smoothing(s.grid.nf));
  return series;
}

// h / z, in double, rounded once.
std::vector<float> ratio(std::span<const float> h, std::span<const float> z) {
  std::vector<float> r(h.size());
  for (std::size_t k = 0; k < r.size(); ++k)
    r[k] = static_cast<float>(static_cast<double>(h[k]) / static_cast<double>(z[k]));
  return r;
}

// The centres a record's values are taken at: those asked for (those within
// its grid with centres_within_record), or 100 per decade over its grid.
std::vector<double> centres_of(const analysis_options &o, const frequency_grid &grid) {
  if (o.centres.empty())
    return per_decade_frequencies(grid);
  if (!o.centres_within_record) {
    check_centres(o.centres, grid);
    return o.centres;
  }
  std::vector<double> kept;
  for (const double fc : o.centres)
    if (centres_reached(fc, grid))
      kept.push_back(fc);
  return kept;
}

// The Konno-Ohmachi rows of X, Y, Z, the EAS when asked, then the
// horizontal combination for H/V when it is not the EAS already there.
void add_konno_ohmachi(spectrum &s, std::span<const float> horizontal, unsigned threads) {
  const analysis_options &o = s.options;
  s.centres = centres_of(o, s.grid);
  std::vector<std::span<const float>> extra;
  if (o.eas)
    extra.push_back(s.eas_original);
  const bool own_horizontal = o.hv && !(o.eas && o.horizontal == horizontal_mean::quadratic);
  if (own_horizontal)
    extra.push_back(horizontal);
  const std::size_t n = s.centres.size();
  std::vector<float> rows((3 + extra.size()) * n);
  konno_ohmachi_rows(s.view(), o.konno_ohmachi, s.centres, extra, rows, threads);
  if (o.hv) {
    const std::size_t h_row = own_horizontal ? 3 + extra.size() - 1 : 3;
    s.hv = ratio(std::span(rows).subspan(h_row * n, n), std::span(rows).subspan(2 * n, n));
  }
  rows.resize((o.eas ? 4 : 3) * n); // the horizontal row is H/V's alone
  s.konno_ohmachi_values = std::move(rows);
}

} // namespace

bool centres_reached(double fc, const frequency_grid &grid) {
  constexpr double slack = 1.0 + 1e-6; // a float's rounding of either end is on the grid
  const auto df = static_cast<double>(grid.df);
  return fc * slack >= df && fc <= static_cast<double>(grid.nom - 1) * df * slack;
}

void check_centres(std::span<const double> centres, const frequency_grid &grid) {
  if (centres.empty())
    return;
  const auto [low, high] = std::minmax_element(centres.begin(), centres.end());
  if (centres_reached(*low, grid) && centres_reached(*high, grid))
    return;
  const auto digits = [](double f) { return shortest_digits(static_cast<float>(f)); };
  const auto df = static_cast<double>(grid.df);
  throw centres_error("centres " + digits(*low) + " .. " + digits(*high) + " Hz reach outside " +
                      digits(df) + " .. " + digits(static_cast<double>(grid.nom - 1) * df) +
                      " Hz, this record's df to its Nyquist frequency");
}

void add_derived_series(spectrum &s, workspace &ws, unsigned threads) {
  const analysis_options &o = s.options;
  if (o.eas) {
    s.eas_original = effective_amplitudes(s.view());
    s.eas_smoothed =
        o.konno_ohmachi == 0.0 ? parzen_smoothed(s.eas_original, s, ws) : s.eas_original;
  }
  const std::vector<float> horizontal = o.hv ? horizontal_of(s) : std::vector<float>{};
  if (o.konno_ohmachi > 0.0) {
    add_konno_ohmachi(s, horizontal, threads);
  } else if (o.hv) {
    const bool is_eas = !s.eas_smoothed.empty() && o.horizontal == horizontal_mean::quadratic;
    const std::vector<float> h = is_eas ? s.eas_smoothed : parzen_smoothed(horizontal, s, ws);
    s.hv = ratio(h, s.smoothed(2));
  }
}

void konno_ohmachi_rows(const spectrum_view &s, double b, std::span<const double> centres,
                        std::span<const std::span<const float>> extra, std::span<float> out,
                        unsigned threads) {
  const auto nom = static_cast<std::size_t>(s.grid.nom);
  std::vector<double> f(nom - 1);
  for (std::size_t k = 1; k < nom; ++k)
    f[k - 1] = static_cast<double>(k) * static_cast<double>(s.grid.df);
  std::vector<std::span<const float>> series;
  for (int c = 0; c < 3; ++c)
    series.push_back(s.original(c).subspan(1));
  for (const std::span<const float> e : extra)
    series.push_back(e.subspan(1, nom - 1));
  try {
    konno_ohmachi(f, series, b, centres, out, threads);
  } catch (const std::invalid_argument &e) {
    throw options_error(e.what());
  }
}

} // namespace core

std::vector<float> effective_amplitudes(const spectrum_view &s) {
  std::vector<float> eas(static_cast<std::size_t>(s.grid.nom));
  for (std::size_t k = 0; k < eas.size(); ++k)
    eas[k] = effective_amplitude(s.original(0)[k], s.original(1)[k]);
  return eas;
}

void smooth_konno_ohmachi(const spectrum_view &s, double b, std::span<const double> centres,
                          std::span<const float> eas, std::span<float> out, unsigned threads) {
  std::vector<std::span<const float>> extra;
  if (!eas.empty())
    extra.push_back(eas);
  core::konno_ohmachi_rows(s, b, centres, extra, out, threads);
}

frequency_band usable_band(std::int64_t nt, float dt, const frequency_grid &grid) {
  const auto df = static_cast<double>(grid.df);
  const double span = static_cast<double>(nt - 1) * static_cast<double>(dt);
  return {span > 0.0 ? std::max(df, 1.0 / span) : df, static_cast<double>(grid.nom - 1) * df};
}

std::optional<hv_peak> find_hv_peak(const spectrum_view &s, frequency_band band) {
  const bool centres = s.options.konno_ohmachi > 0.0;
  std::optional<hv_peak> peak;
  for (std::size_t i = 0; i < s.hv.size(); ++i) {
    const double f =
        centres ? s.centres[i] : static_cast<double>(s.frequency(static_cast<std::int32_t>(i)));
    const float a = s.hv[i];
    if (band.holds(f) && std::isfinite(a) &&
        (!peak || a > peak->a0 || (a == peak->a0 && f < peak->f0)))
      peak = hv_peak{f, a};
  }
  return peak;
}

} // namespace wavespec
