#include <bit>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <vector>

#include "wavespec/spectral.hpp"

namespace wavespec {
namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
const float nan = std::numeric_limits<float>::quiet_NaN();

TEST(Amplitude, WorkedValues) {
  EXPECT_EQ(amplitude({3.0f, -4.0f}), 5.0f);
  EXPECT_EQ(amplitude({0.0f, 0.0f}), 0.0f);
  EXPECT_EQ(amplitude({-1e-30f, 2.0f}), 2.0f); // s + m == m: m itself
  EXPECT_EQ(amplitude({1.0f, 1.0f}), 1.41421354f);
  EXPECT_EQ(amplitude({-inf, 1.0f}), inf);
  EXPECT_EQ(amplitude({inf, -inf}), inf);
  EXPECT_TRUE(std::isnan(amplitude({nan, 1.0f})));
  EXPECT_TRUE(std::isnan(amplitude({0.0f, nan})));
  EXPECT_EQ(amplitude({3e38f, 3e38f}), inf); // formed in double, then rounded
}

TEST(Amplitude, WholeSpectrumGivesTheSameBits) {
  std::mt19937 rng(31);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::uniform_int_distribution<int> scale(-45, 38);
  const float specials[] = {0.0f, -0.0f, inf, -inf, nan, 1e-45f, -3e38f, 1.0f};
  for (std::size_t n : {0u, 1u, 3u, 4u, 7u, 1029u}) {
    std::vector<complex32> z(n);
    for (auto &v : z)
      v = {u(rng) * std::pow(10.0f, static_cast<float>(scale(rng))), u(rng)};
    for (std::size_t i = 0; i < n; ++i) // specials against ordinary and special values
      z[i].re = i % 3 == 0 ? specials[i / 3 % 8] : z[i].re;
    for (std::size_t i = 0; i < n; i += 5)
      z[i].im = specials[i / 5 % 8];
    std::vector<float> all(n + 1, 7.0f);
    amplitudes(z, all);
    for (std::size_t i = 0; i < n; ++i) {
      const float want = amplitude(z[i]);
      if (std::isnan(want)) // a NaN's sign is never shown
        ASSERT_TRUE(std::isnan(all[i])) << "at " << i;
      else
        ASSERT_EQ(std::bit_cast<std::uint32_t>(all[i]), std::bit_cast<std::uint32_t>(want))
            << "at " << i << ": " << z[i].re << ", " << z[i].im;
    }
    EXPECT_EQ(all[n], 7.0f); // nothing past the spectrum
  }
}

} // namespace
} // namespace wavespec
