#include "spectral/prepare.h"

#include "spectral/wvfast.h"

namespace wavespec::spectral {

namespace {

void fill(std::int32_t nt, std::int32_t nf, std::span<const float> x, std::span<complex32> fx) {
  const auto filled = static_cast<std::size_t>(nt);
  for (std::size_t i = 0; i < filled; ++i)
    fx[i] = {x[i], 0.0f};
  for (std::size_t i = filled; i < static_cast<std::size_t>(nf); ++i)
    fx[i] = {0.0f, 0.0f};
}

void scale(float dt, std::int32_t nf, std::span<complex32> fx) {
  const auto n = static_cast<std::size_t>(nf);
  // The full complex product with (dt, 0): an infinite or NaN part makes the
  // other part NaN.
  const auto d = static_cast<double>(dt);
  for (std::size_t i = 0; i < n; ++i) {
    const auto re = static_cast<double>(fx[i].re), im = static_cast<double>(fx[i].im);
    fx[i] = {static_cast<float>(re * d - im * 0.0), static_cast<float>(re * 0.0 + im * d)};
  }
}

} // namespace

void prepare_spectrum(std::int32_t nt, float dt, std::int32_t nf, std::span<const float> x,
                      std::span<complex32> fx) {
  fill(nt, nf, x, fx);
  wvfast(nf, fx, static_cast<int>(fx.size()), -1);
  scale(dt, nf, fx);
}

void prepare_spectrum(std::int32_t nt, float dt, std::int32_t nf, std::span<const float> x,
                      std::span<complex32> fx, const twiddle_table &table) {
  fill(nt, nf, x, fx);
  wvfast(nf, fx, table);
  scale(dt, nf, fx);
}

frequency_grid make_grid(std::int32_t nf, float dt) {
  frequency_grid g{};
  g.dur = static_cast<float>(static_cast<double>(nf) * static_cast<double>(dt));
  g.df = static_cast<float>(1.0 / static_cast<double>(g.dur));
  g.dom = static_cast<float>(static_cast<double>(g.df) * static_cast<double>(two_pi));
  g.nom = nf / 2 + 1;
  g.eom = static_cast<float>(static_cast<double>(g.nom) * static_cast<double>(g.dom));
  g.highest = static_cast<float>(static_cast<double>(g.eom) / static_cast<double>(two_pi));
  return g;
}

} // namespace wavespec::spectral
