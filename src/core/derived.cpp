// What an analysed record's spectra give besides themselves: the effective
// amplitude spectrum, Konno-Ohmachi smoothing and the horizontal-to-
// vertical ratio.
#include <algorithm>
#include <cmath>

#include "core/centres.h"
#include "core/numbers.h"
#include "core/pipeline.h"
#include "core/workspace.h"
#include "records/interrupt.h"

namespace wavespec {
namespace core {
namespace {

// Centres are summed this many at a time: an even number, so that the
// chunks give the bits of one call over all of them.
constexpr std::size_t chunk_size = 4096;

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
void ratio(std::span<const float> h, std::span<const float> z, std::span<float> r) {
  for (std::size_t k = 0; k < r.size(); ++k)
    r[k] = static_cast<float>(static_cast<double>(h[k]) / static_cast<double>(z[k]));
}

// The points f_k = k df, k = 1 .. nom - 1, and the series summed at them:
// X, Y, Z, the EAS when asked, then the horizontal combination for H/V when
// it is not the EAS already there.
struct konno_ohmachi_input {
  std::vector<double> f;
  std::vector<std::span<const float>> series;
  std::size_t kept_rows = 3; // the rows a file shows (X, Y, Z and the EAS)
  std::size_t h_row = 0;     // the horizontal combination's, with H/V
};

konno_ohmachi_input input_of(const spectrum &s, std::span<const float> horizontal) {
  const analysis_options &o = s.options;
  const auto nom = static_cast<std::size_t>(s.grid.nom);
  konno_ohmachi_input in;
  in.f.resize(nom - 1);
  for (std::size_t k = 1; k < nom; ++k)
    in.f[k - 1] = static_cast<double>(k) * static_cast<double>(s.grid.df);
  for (int c = 0; c < 3; ++c)
    in.series.push_back(s.original(c).subspan(1));
  if (o.eas)
    in.series.push_back(std::span<const float>(s.eas_original).subspan(1));
  in.kept_rows = in.series.size();
  in.h_row = o.eas && o.horizontal == horizontal_mean::quadratic ? 3 : in.series.size();
  if (o.hv && in.h_row == in.series.size())
    in.series.push_back(horizontal.subspan(1));
  return in;
}

} // namespace

centre_reach reach_of(double fc, const frequency_grid &grid) {
  constexpr double slack = 1.0 + 1e-6; // a float's rounding of either end is on the grid
  const auto df = static_cast<double>(grid.df);
  if (fc * slack < df)
    return centre_reach::below;
  return fc <= static_cast<double>(grid.nom - 1) * df * slack ? centre_reach::within
                                                              : centre_reach::above;
}

void check_centres(const centre_list &centres, const frequency_grid &grid) {
  const auto df = static_cast<double>(grid.df);
  if (!std::isfinite(df) || df <= 0.0)
    throw centres_error("this record's df, " + shortest_digits(grid.df) + " Hz (1 / " +
                        shortest_digits(grid.dur) +
                        " s, nf * dt), is no finite positive frequency: it has no "
                        "Konno-Ohmachi centres");
  if (centres.empty())
    return;
  // The centres rise (the options are checked so): the ends are enough.
  const double low = centres[0], high = centres[centres.size() - 1];
  if (centres_reached(low, grid) && centres_reached(high, grid))
    return;
  // A float's digits, which hide a double's rounding of the ends, unless
  // the value is beyond a float (a centre the user gave as 1e300).
  const auto digits = [](double f) {
    const auto narrow = static_cast<float>(f);
    return std::isfinite(narrow) ? shortest_digits(narrow) : shortest_digits(f);
  };
  throw centres_error("centres " + digits(low) + " .. " + digits(high) + " Hz reach outside " +
                      digits(df) + " .. " + digits(static_cast<double>(grid.nom - 1) * df) +
                      " Hz, this record's df to its Nyquist frequency");
}

void prepare_derived_series(spectrum &s, workspace &ws) {
  const analysis_options &o = s.options;
  if (o.eas) {
    s.eas_original = effective_amplitudes(s.view());
    s.eas_smoothed =
        o.konno_ohmachi == 0.0 ? parzen_smoothed(s.eas_original, s, ws) : s.eas_original;
  }
  if (o.hv && o.konno_ohmachi == 0.0) {
    const bool is_eas = !s.eas_smoothed.empty() && o.horizontal == horizontal_mean::quadratic;
    const std::vector<float> h = is_eas ? s.eas_smoothed : parzen_smoothed(horizontal_of(s), s, ws);
    s.hv.resize(h.size());
    ratio(h, s.smoothed(2), s.hv);
  }
}

void for_each_konno_ohmachi_chunk(const spectrum &s, unsigned threads,
                                  const std::function<void(const konno_ohmachi_chunk &)> &emit) {
  const centre_list centres(s.options, s.grid);
  if (!s.options.centres_within_record)
    check_centres(centres, s.grid);
  const std::vector<float> horizontal = s.options.hv ? horizontal_of(s) : std::vector<float>{};
  const konno_ohmachi_input in = input_of(s, horizontal);
  konno_ohmachi_plan plan(in.f, in.series, s.options.konno_ohmachi, threads);
  const std::size_t rows = in.series.size();
  std::vector<double> fc(std::min(chunk_size, centres.size()));
  std::vector<float> values(rows * fc.size()), hv(s.options.hv ? fc.size() : 0);
  const auto stop = [] { return records::pending_interrupt() != 0; };
  for (std::size_t first = 0; first < centres.size(); first += chunk_size) {
    const std::size_t n = std::min(chunk_size, centres.size() - first);
    for (std::size_t i = 0; i < n; ++i)
      fc[i] = centres[first + i];
    if (!plan.smooth(std::span(fc).first(n), std::span(values).first(rows * n), threads, stop))
      records::check_interrupt();
    if (!hv.empty())
      ratio(std::span(values).subspan(in.h_row * n, n), std::span(values).subspan(2 * n, n),
            std::span(hv).first(n));
    emit({first, std::span(fc).first(n), std::span(values).first(in.kept_rows * n),
          std::span(hv).first(hv.empty() ? 0 : n)});
  }
}

void add_derived_series(spectrum &s, workspace &ws, unsigned threads) {
  prepare_derived_series(s, ws);
  if (s.options.konno_ohmachi == 0.0)
    return;
  const std::size_t total = centre_list(s.options, s.grid).size();
  const std::size_t kept = s.options.eas ? 4 : 3;
  s.centres.resize(total);
  s.konno_ohmachi_values.resize(kept * total);
  s.hv.resize(s.options.hv ? total : 0);
  for_each_konno_ohmachi_chunk(s, threads, [&](const konno_ohmachi_chunk &c) {
    const std::size_t n = c.centres.size();
    std::copy(c.centres.begin(), c.centres.end(), s.centres.begin() + static_cast<long>(c.first));
    for (std::size_t q = 0; q < kept; ++q)
      std::copy_n(c.rows.begin() + static_cast<long>(q * n), n,
                  s.konno_ohmachi_values.begin() + static_cast<long>(q * total + c.first));
    std::copy(c.hv.begin(), c.hv.end(), s.hv.begin() + static_cast<long>(c.first));
  });
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
    core::take_if_higher(peak, f, s.hv[i], band);
  }
  return peak;
}

namespace core {

void take_if_higher(std::optional<hv_peak> &peak, double f, float a, frequency_band band) {
  if (band.holds(f) && std::isfinite(a) &&
      (!peak || a > peak->a0 || (a == peak->a0 && f < peak->f0)))
    peak = hv_peak{f, a};
}

} // namespace core

} // namespace wavespec
