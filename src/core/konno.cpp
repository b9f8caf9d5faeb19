// The effective amplitude spectrum and Konno-Ohmachi smoothing of an
// analysed record.
#include <algorithm>
#include <cmath>

#include "core/numbers.h"

#include "core/pipeline.h"
#include "core/workspace.h"

namespace wavespec {
namespace core {

// Centres within a float's rounding of the grid's ends are on the grid.
void check_centres(std::span<const double> centres, const frequency_grid &grid) {
  if (centres.empty())
    return;
  const auto [low, high] = std::minmax_element(centres.begin(), centres.end());
  const auto df = static_cast<double>(grid.df);
  const double nyquist = static_cast<double>(grid.nom - 1) * df;
  constexpr double slack = 1.0 + 1e-6;
  if (*low * slack >= df && *high <= nyquist * slack)
    return;
  const auto digits = [](double f) { return shortest_digits(static_cast<float>(f)); };
  throw centres_error("centres " + digits(*low) + " .. " + digits(*high) + " Hz reach outside " +
                      digits(df) + " .. " + digits(nyquist) +
                      " Hz, this record's df to its Nyquist frequency");
}

void add_eas_and_konno_ohmachi(spectrum &s, workspace &ws, unsigned threads) {
  const analysis_options &o = s.options;
  if (o.eas) {
    s.eas_original = effective_amplitudes(s.view());
    s.eas_smoothed = s.eas_original;
    if (o.konno_ohmachi == 0.0) { // smoothed as the components are
      const parzen_window window = make_window(o.band, s.grid.df);
      if (!refused(window))
        spectral::smooth_spectrum(s.eas_smoothed, ws.get().power(s.grid.nf), s.grid.df, window,
                                  ws.get().smoothing(s.grid.nf));
    }
  }
  if (o.konno_ohmachi > 0.0) {
    check_centres(o.centres, s.grid);
    s.centres = o.centres.empty() ? per_decade_frequencies(s.grid) : o.centres;
    s.konno_ohmachi_values.resize((o.eas ? 4 : 3) * s.centres.size());
    smooth_konno_ohmachi(s.view(), o.konno_ohmachi, s.centres, s.eas_original,
                         s.konno_ohmachi_values, threads);
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
  const auto nom = static_cast<std::size_t>(s.grid.nom);
  std::vector<double> f(nom - 1);
  for (std::size_t k = 1; k < nom; ++k)
    f[k - 1] = static_cast<double>(k) * static_cast<double>(s.grid.df);
  std::vector<std::span<const float>> series;
  for (int c = 0; c < 3; ++c)
    series.push_back(s.original(c).subspan(1));
  if (!eas.empty())
    series.push_back(eas.subspan(1, nom - 1));
  try {
    konno_ohmachi(f, series, b, centres, out, threads);
  } catch (const std::invalid_argument &e) {
    throw options_error(e.what());
  }
}

} // namespace wavespec
