// Everything one analysis works on, owned by the driver for the whole run.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "spectral/complex32.h"

namespace wavespec::driver {

// Capacity of every array, in elements; at most 65536 samples are analysed.
inline constexpr std::int32_t capacity = 66000;
inline constexpr std::int32_t max_samples = 65536;

struct analysis_state {
  using reals = std::array<float, capacity>;
  using spectra = std::array<spectral::complex32, capacity>;

  // The arrays are zero in a value-initialised state (analysis_state{} or
  // new analysis_state()). The run writes every element before reading it,
  // except time(1) and time(2), which give dt even when fewer than two
  // samples were read: make_analysis_state zeroes those and takes the rest
  // from zeroed pages without writing them again.
  reals time;            // sample times; only the first two are used
  reals xr1, xr2, xr3;   // X, Y, Z samples
  spectra fx1, fx2, fx3; // the series, then their spectra
  reals sf1, sf2, sf3;   // amplitude spectra, smoothed in place
  reals sg;              // work array of the smoothing

  std::string infile; // the input file name, then the output file name
  std::int32_t nt = 0;
  float dt = 0.0f;
  std::int32_t nf = 0;
  std::int32_t if1 = 0;
  float dur = 0.0f, df = 0.0f, dom = 0.0f;
  std::int32_t nom = 0;
  float eom = 0.0f;
  std::int32_t nit = 0;
  float band1 = 0.0f, band2 = 0.0f, band = 0.0f;
  float fq = 0.0f;
};

} // namespace wavespec::driver
