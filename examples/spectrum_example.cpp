// The smoothed velocity spectrum of a 5 Hz sine, through the installed
// spectral kernels: its peak stays at 5 Hz.
#include <cmath>
#include <cstdio>
#include <span>
#include <vector>

#include <wavespec/spectral.hpp>

int main() {
  const float dt = 0.01f;
  std::vector<float> x(1000);
  for (std::size_t i = 0; i < x.size(); ++i)
    x[i] =
        static_cast<float>(std::sin(2.0 * 3.141592653589793 * 5.0 * static_cast<double>(i) * 0.01));
  std::vector<wavespec::complex32> fx(1024);
  const wavespec::frequency_grid grid =
      wavespec::prepare(x, dt, fx, wavespec::transform_plan(1024));
  wavespec::apply_operation(wavespec::operation::integrate, grid, fx);
  std::vector<float> amp(static_cast<std::size_t>(grid.nom)), power(amp.size());
  wavespec::amplitudes(std::span(fx).first(amp.size()), amp);
  wavespec::smooth(amp, power, grid.df, wavespec::make_window(1.0f, grid.df));
  std::size_t peak = 1;
  for (std::size_t i = 1; i < amp.size(); ++i)
    if (amp[i] > amp[peak])
      peak = i;
  std::printf("df = %g Hz, peak at %g Hz\n", static_cast<double>(grid.df),
              static_cast<double>(static_cast<float>(peak) * grid.df));
  return 0;
}
