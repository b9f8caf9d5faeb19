#include <stdexcept>

#include "spectral/transform.h"

namespace wavespec {
namespace {

double d(float x) {
  return static_cast<double>(x);
}

void fill(std::span<const float> x, std::span<complex32> fx) {
  for (std::size_t i = 0; i < x.size(); ++i)
    fx[i] = {x[i], 0.0f};
  for (std::size_t i = x.size(); i < fx.size(); ++i)
    fx[i] = {0.0f, 0.0f};
}

// The full complex product with (dt, 0): an infinite or NaN part makes the
// other part NaN.
void scale(float dt, std::span<complex32> fx) {
  const double t = d(dt);
  for (complex32 &v : fx) {
    const double re = d(v.re), im = d(v.im);
    v = {static_cast<float>(re * t - im * 0.0), static_cast<float>(re * 0.0 + im * t)};
  }
}

} // namespace

frequency_grid make_grid(std::int32_t nf, float dt) {
  frequency_grid g;
  g.nf = nf;
  g.dur = static_cast<float>(static_cast<double>(nf) * d(dt));
  g.df = static_cast<float>(1.0 / d(g.dur));
  g.dom = static_cast<float>(d(g.df) * d(two_pi));
  g.nom = nf / 2 + 1;
  g.eom = static_cast<float>(static_cast<double>(g.nom) * d(g.dom));
  g.highest = static_cast<float>(d(g.eom) / d(two_pi));
  g.band_min = narrowest_band(g.df);
  g.band_max = widest_band(g.df);
  return g;
}

namespace spectral {

void prepare_series(std::span<const float> samples, float dt, std::span<complex32> fx,
                    const complex32 *by_stage) {
  fill(samples, fx);
  transform(static_cast<int>(fx.size()), fx.data(), by_stage);
  scale(dt, fx);
}

} // namespace spectral

frequency_grid prepare(std::span<const float> samples, float dt, std::span<complex32> fx,
                       const transform_plan &plan) {
  const std::size_t nf = fx.size();
  if (nf < 4 || (nf & (nf - 1)) != 0 || samples.size() > nf || nf > (std::size_t{1} << 30) ||
      plan.size() != static_cast<int>(nf) || plan.sign() != -1)
    throw std::invalid_argument(
        "wavespec::prepare: fx must hold a power of two >= 4 values, at least the samples, and "
        "the plan must be its forward plan");
  spectral::prepare_series(samples, dt, fx, plan.stage(1));
  return make_grid(static_cast<std::int32_t>(nf), dt);
}

} // namespace wavespec
