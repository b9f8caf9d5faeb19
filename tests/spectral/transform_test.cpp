#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <vector>

#include "spectral/reference_transform.h"
#include "wavespec/spectral.hpp"

namespace wavespec {
namespace {

using series = std::vector<complex32>;
using testing::reference_transform;

series transform(series a, int sign) {
  transform_plan(static_cast<int>(a.size()), sign)(a);
  return a;
}

series reference(series a, int sign) {
  reference_transform(a, sign);
  return a;
}

series random_series(std::size_t n, std::mt19937 &rng) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  series a(n);
  for (auto &v : a)
    v = {u(rng), u(rng)};
  return a;
}

// Bit for bit, NaN parts compared as NaN (a NaN's sign is never shown).
void expect_same_bits(const series &got, const series &want, int n) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    for (auto part : {&complex32::re, &complex32::im}) {
      if (std::isnan(want[i].*part))
        ASSERT_TRUE(std::isnan(got[i].*part)) << "n " << n << " at " << i;
      else
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].*part),
                  std::bit_cast<std::uint32_t>(want[i].*part))
            << "n " << n << " at " << i;
    }
}

TEST(Transform, WorkedExamplesBitForBit) {
  // The quarter-turn twiddle has a real part that is not zero: the program's
  // pi lies above pi.
  for (auto *f : {&transform, &reference}) {
    const series four = f({{0, 0}, {1, 0}, {0, 0}, {0, 0}}, -1);
    EXPECT_EQ(four, (series{{1, 0}, {-1.6292068e-7f, -1}, {-1, 0}, {1.6292068e-7f, 1}}));
    const series back = f({{0, 0}, {1, 0}, {0, 0}, {0, 0}}, +1);
    EXPECT_EQ(back, (series{{1, 0}, {-1.6292068e-7f, 1}, {-1, 0}, {1.6292068e-7f, -1}}));
    EXPECT_EQ(f({{3, 1}, {5, -2}}, -1), (series{{8, -1}, {-2, 3}}));
    EXPECT_EQ(f({{3, 1}}, -1), (series{{3, 1}}));
    const series eight = f({{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}, {8, 0}}, -1);
    const series want = {
        {36, 0}, {-3.9999983f, 9.6568537f},  {-3.9999993f, 4},  {-3.9999988f, 1.6568546f},
        {-4, 0}, {-4.0000005f, -1.6568537f}, {-4.0000005f, -4}, {-4.0000024f, -9.6568546f}};
    for (std::size_t i = 0; i < 8; ++i) {
      EXPECT_NEAR(eight[i].re, want[i].re, 5e-7 * std::fabs(want[i].re) + 1e-7) << i;
      EXPECT_NEAR(eight[i].im, want[i].im, 5e-7 * std::fabs(want[i].im) + 1e-7) << i;
    }
  }
}

TEST(Transform, TableDrivenEqualsTheReferenceForEveryLength) {
  std::mt19937 rng(12345);
  for (int n = 4; n <= 65536; n *= 2)
    for (int sign : {-1, 1}) {
      series a = random_series(static_cast<std::size_t>(n), rng);
      a[1] = {std::numeric_limits<float>::infinity(), -0.0f}; // specials travel the same way
      a[2] = {std::numeric_limits<float>::quiet_NaN(), 1e-40f};
      SCOPED_TRACE(sign);
      expect_same_bits(transform(a, sign), reference(a, sign), n);
    }
}

TEST(Transform, ImpulseAndConstantAreExact) {
  for (int n : {4, 64, 4096}) {
    series impulse(static_cast<std::size_t>(n));
    impulse[0] = {1, 0};
    for (const complex32 &v : transform(impulse, -1))
      ASSERT_EQ(v, (complex32{1, 0})) << n;
    const series constant = transform(series(static_cast<std::size_t>(n), {0.75f, 0}), -1);
    EXPECT_EQ(constant[0], (complex32{0.75f * static_cast<float>(n), 0}));
    for (std::size_t i = 1; i < constant.size(); ++i)
      ASSERT_EQ(constant[i], (complex32{0, 0})) << n;
  }
}

TEST(Transform, PlansRefuseWhatTheyCannotDo) {
  EXPECT_THROW(transform_plan(12), std::invalid_argument);
  EXPECT_THROW(transform_plan(0), std::invalid_argument);
  EXPECT_THROW(transform_plan(8, 2), std::invalid_argument);
  series a(16);
  EXPECT_THROW(transform_plan(8)(a), std::invalid_argument);
  EXPECT_EQ(transform_length(1), 4);
  EXPECT_EQ(transform_length(1025), 2048);
  EXPECT_EQ(transform_length(65536), 65536);
  EXPECT_EQ(transform_length(65537), 0);
}

TEST(Transform, AgreesWithSlowDftUsingTheProgramsPi) {
  std::mt19937 rng(4242);
  for (std::size_t n = 4; n <= 2048; n *= 2) {
    const series a = random_series(n, rng);
    const series fast = transform(a, -1);
    long double err = 0, norm = 0;
    const auto program_pi = static_cast<long double>(pi);
    for (std::size_t q = 0; q < n; ++q) {
      std::complex<long double> sum = 0;
      for (std::size_t p = 0; p < n; ++p) {
        const long double angle =
            -2 * program_pi * static_cast<long double>((p * q) % n) / static_cast<long double>(n);
        sum += std::complex<long double>(a[p].re, a[p].im) * std::polar(1.0L, angle);
      }
      err += std::norm(sum - std::complex<long double>(fast[q].re, fast[q].im));
      norm += std::norm(sum);
    }
    EXPECT_LT(std::sqrt(err / norm), 2e-6L) << "n = " << n;
  }
}

TEST(Transform, ForwardThenInverseGivesBackNTimesTheSeries) {
  std::mt19937 rng(77);
  for (std::size_t n = 4; n <= 65536; n *= 4) {
    const series a = random_series(n, rng);
    const series round = transform(transform(a, -1), +1);
    double err = 0, norm = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double dr = round[i].re / static_cast<double>(n) - a[i].re;
      const double di = round[i].im / static_cast<double>(n) - a[i].im;
      err += dr * dr + di * di;
      norm += static_cast<double>(a[i].re) * a[i].re + static_cast<double>(a[i].im) * a[i].im;
    }
    EXPECT_LT(std::sqrt(err / norm), 5e-6) << "n = " << n;
  }
}

} // namespace
} // namespace wavespec
