#include <bit>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <vector>

#include "spectral/integrate.h"
#include "spectral/reference_transform.h"
#include "wavespec/spectral.hpp"

namespace wavespec {
namespace {

using spectral::divide;

TEST(FrequencyGrid, WorkedExamples) {
  const frequency_grid g = make_grid(1024, 0.01f);
  EXPECT_EQ(g.dur, 10.24f);
  EXPECT_EQ(g.df, 0.09765625f);
  EXPECT_EQ(g.dom, 0.61359227f);
  EXPECT_EQ(g.nom, 513);
  EXPECT_EQ(g.eom, 314.77283f);
  EXPECT_EQ(g.highest, 50.097652f);
  const frequency_grid small = make_grid(4, 0.01f);
  EXPECT_EQ(small.nom, 3);
  EXPECT_EQ(small.df, 25.0f);
  EXPECT_EQ(small.highest, 75.0f);
  EXPECT_EQ(g.band_min, 0.362168938f); // the limits the dialogue shows for this grid
  EXPECT_EQ(g.band_max, 9.05422306f);
}

TEST(SpectrumPreparation, ZeroFillTransformAndScale) {
  const transform_plan plan(1024);
  std::vector<complex32> fx(1024, {5, 5});
  std::vector<float> x(1000, 0.0f);
  x[0] = 1.0f;
  (void)prepare(x, 0.01f, fx, plan);
  for (std::size_t i = 0; i < 1024; ++i)
    ASSERT_EQ(fx[i], (complex32{0.01f, 0})) << i;
  std::vector<float> c(1024, 2.0f);
  (void)prepare(c, 0.5f, fx, plan);
  EXPECT_EQ(fx[0], (complex32{1024.0f, 0}));
  EXPECT_THROW((void)prepare(c, 0.5f, std::span(fx).first(512), plan), std::invalid_argument);
  std::vector<complex32> longer(2048);
  EXPECT_THROW((void)prepare(c, 0.5f, longer, plan), std::invalid_argument);
}

TEST(SpectrumPreparation, FillTransformAndScaleWithSpecialSamples) {
  // Partial fills, signed zeros and non-finite samples: the reference
  // transform of the zero-filled series, each part multiplied by (dt, 0).
  std::mt19937 rng(2024);
  std::uniform_real_distribution<float> u(-100.0f, 100.0f);
  for (std::int32_t nf = 4; nf <= 65536; nf *= 4) {
    for (std::int32_t nt : {nf, nf / 2 + 1, 1}) {
      std::vector<float> x(static_cast<std::size_t>(nt));
      for (auto &v : x)
        v = u(rng);
      x[0] = -0.0f;
      if (nt > 3) {
        x[1] = std::numeric_limits<float>::infinity();
        x[2] = std::numeric_limits<float>::quiet_NaN();
      }
      std::vector<complex32> want(static_cast<std::size_t>(nf)), got(want.size(), {7, 7});
      for (std::size_t i = 0; i < x.size(); ++i)
        want[i] = {x[i], 0.0f};
      testing::reference_transform(want, -1);
      const double dt = 0.005f;
      for (complex32 &v : want)
        v = {static_cast<float>(v.re * dt - v.im * 0.0),
             static_cast<float>(v.re * 0.0 + v.im * dt)};
      (void)prepare(x, 0.005f, got, transform_plan(nf));
      for (std::size_t i = 0; i < got.size(); ++i)
        for (auto part : {&complex32::re, &complex32::im}) { // a NaN's sign is never shown
          if (std::isnan(want[i].*part))
            ASSERT_TRUE(std::isnan(got[i].*part)) << "nf " << nf << " nt " << nt << " at " << i;
          else
            ASSERT_EQ(std::bit_cast<std::uint32_t>(want[i].*part),
                      std::bit_cast<std::uint32_t>(got[i].*part))
                << "nf " << nf << " nt " << nt << " at " << i;
        }
    }
  }
}

TEST(Integration, WorkedExampleAtIndexTwo) {
  const float dom = 0.61359227f;
  const struct {
    std::int32_t nit;
    complex32 want;
  } rows[] = {{1, {0, -1.6297468f}},
              {2, {-2.6560745f, 0}},
              {3, {0, 0.61359227f}},
              {0, {1, 0}},
              {7, {1, 0}}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.nit);
    std::vector<complex32> fx = {{4, 3}, {1, 0}, {1, 0}, {8, 8}};
    frequency_grid grid;
    grid.nom = 3;
    grid.dom = dom;
    apply_operation(operation_for(r.nit), grid, fx);
    EXPECT_EQ(fx[1], r.want);
    EXPECT_EQ(fx[0], r.nit == 3 ? (complex32{0, 0}) : (complex32{4, 3})); // 0 Hz
    EXPECT_EQ(fx[3], (complex32{8, 8}));                                  // above nom
  }
}

TEST(Integration, DoubleIntegrationIsTheScaledDivisionAtEveryPoint) {
  // The side-by-side loop must give, bit for bit, divide() by (-omega^2, 0).
  std::mt19937 rng(77);
  std::uniform_real_distribution<float> u(-1e3f, 1e3f);
  const float specials[] = {0.0f,
                            -0.0f,
                            std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            1e-40f,
                            -3e38f};
  for (float dom : {0.61359227f, 0.0f, 1e-30f, 7e18f}) {
    std::vector<complex32> fx(1031);
    for (std::size_t i = 0; i < fx.size(); ++i)
      fx[i] = {i % 7 == 3 ? specials[i / 7 % 6] : u(rng), i % 11 == 5 ? specials[i % 6] : u(rng)};
    std::vector<complex32> got = fx;
    frequency_grid grid;
    grid.nom = 1030;
    grid.dom = dom;
    apply_operation(operation::double_integrate, grid, got);
    for (std::size_t i = 1; i < 1030; ++i) {
      const auto w = static_cast<double>(
          static_cast<float>(static_cast<double>(i) * static_cast<double>(dom)));
      const complex32 want = divide(fx[i], -(w * w), 0.0);
      for (auto part : {&complex32::re, &complex32::im}) { // a NaN's sign is never shown
        if (std::isnan(want.*part))
          ASSERT_TRUE(std::isnan(got[i].*part)) << "dom " << dom << " at " << i;
        else
          ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].*part),
                    std::bit_cast<std::uint32_t>(want.*part))
              << "dom " << dom << " at " << i;
      }
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got[0]), std::bit_cast<std::uint64_t>(fx[0]));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got[1030]), std::bit_cast<std::uint64_t>(fx[1030]));
  }
}

TEST(Integration, SmithDivisionKeepsNaNAndInfinityRules) {
  const complex32 r = divide({std::numeric_limits<float>::infinity(), 1.0f}, 0.0, 2.0);
  EXPECT_TRUE(std::isnan(r.re)); // inf * 0 in the first part
  EXPECT_EQ(divide({3, 4}, 1, 2), (complex32{2.2f, -0.4f}));
  EXPECT_EQ(divide({3, 4}, 2, 1), (complex32{2.0f, 1.0f}));
}

} // namespace
} // namespace wavespec
