#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "spectral/swin.h"

namespace wavespec {
namespace {

// The smoothing of the program with work buffers of its own: f the
// amplitudes in and out, g the smoothed power out.
void smooth(std::size_t nf, std::vector<float> &f, std::vector<float> &g, float df,
            const parzen_window &w) {
  std::vector<double> padded(spectral::padded_length(nf));
  std::vector<float> sums(padded.size());
  spectral::smooth_spectrum(std::span(f).first(nf), std::span(g).first(nf), df, w, {padded, sums});
}

double d(float x) {
  return static_cast<double>(x);
}

// The convolution written the plain way: for each point, the taps in order.
std::vector<float> plain_smoothed_power(std::vector<float> g, const parzen_window &w) {
  const int nf = static_cast<int>(g.size()), lmax = w.lmax;
  const int ll = 2 * lmax - 1, ln = ll + nf - 1, lt = nf + 2 * (ll - 1), le = lt - lmax + 1;
  std::vector<float> g1(static_cast<std::size_t>(lt) + 1), g2(static_cast<std::size_t>(lt) + 1);
  auto at = [](int i) { return static_cast<std::size_t>(i); };
  for (int k = 1; k <= nf; ++k)
    g1[at(k + ll - 1)] = g[at(k - 1)];
  for (int k = lmax; k <= le; ++k) {
    auto s = static_cast<float>(d(w.w[0]) * d(g1[at(k)]));
    for (int l = 2; l <= lmax; ++l)
      s = static_cast<float>(d(s) +
                             d(w.w[at(l - 1)]) * (d(g1[at(k - l + 1)]) + d(g1[at(k + l - 1)])));
    g2[at(k)] = s;
  }
  for (int l = 2; l <= lmax; ++l) {
    g2[at(ll + l - 1)] += g2[at(ll - l + 1)];
    g2[at(ln - l + 1)] += g2[at(ln + l - 1)];
  }
  for (int k = 1; k <= nf; ++k)
    g[at(k - 1)] = g2[at(k + ll - 1)];
  return g;
}

TEST(ParzenWindow, BandwidthLimits) {
  const float df = 0.0244140625f;
  const float at_limit = 3.70861f * 1.0f; // udf exactly 0.5 with df = 1
  parzen_window w = make_window(at_limit, 1.0f);
  EXPECT_EQ(w.udf, 0.5f);
  EXPECT_EQ(w.verdict, window_verdict::accepted);
  EXPECT_EQ(w.lmax, 5);
  EXPECT_EQ(make_window(std::nextafter(at_limit, 0.0f), 1.0f).verdict, window_verdict::too_narrow);
  EXPECT_EQ(make_window(narrowest_band(df) / 2, df).verdict, window_verdict::too_narrow);
  EXPECT_EQ(make_window(-1.0f, df).verdict, window_verdict::too_narrow);
  EXPECT_EQ(make_window(0.0f, df).verdict, window_verdict::no_smoothing);
  EXPECT_EQ(make_window(widest_band(df), df).verdict, window_verdict::accepted);
  EXPECT_EQ(make_window(df * 93.6f, df).lmax, 101); // a little above band2 is accepted
  EXPECT_EQ(make_window(df * 93.7f, df).verdict, window_verdict::too_wide);
  EXPECT_EQ(make_window(1e38f, df).verdict, window_verdict::too_wide);
  EXPECT_EQ(make_window(1e-38f, df).verdict, window_verdict::too_narrow);
  // The window sums to about 0.99706 for every accepted bandwidth.
  for (float band : {at_limit, 10.0f, 50.0f, 93.0f}) {
    const parzen_window p = make_window(band, 1.0f);
    double sum = p.w[0];
    for (int l = 2; l <= p.lmax; ++l)
      sum += 2.0 * p.w[static_cast<std::size_t>(l - 1)];
    EXPECT_NEAR(sum, 0.99706, 2e-4) << band;
  }
}

TEST(ParzenSmoothing, MatchesThePlainConvolutionBitForBit) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> u(0.0f, 100.0f);
  for (int nf : {3, 7, 60, 513, 32769}) {
    for (float band : {3.70861f, 20.0f, 93.0f}) {
      std::vector<float> f(static_cast<std::size_t>(nf)), g(f.size());
      for (auto &v : f)
        v = u(rng);
      const parzen_window w = make_window(band, 1.0f);
      std::vector<float> power(f.size()), unsmoothed = f;
      smooth(f.size(), unsmoothed, power, 1.0f, parzen_window{}); // power only, band 0
      const std::vector<float> want = plain_smoothed_power(power, w);
      smooth(f.size(), f, g, 1.0f, w);
      for (std::size_t i = 0; i < g.size(); ++i)
        ASSERT_EQ(g[i], want[i]) << nf << " " << band << " " << i;
    }
  }
}

TEST(ParzenSmoothing, Properties) {
  const float df = 0.5f;
  const parzen_window w = make_window(20.0f, df);
  ASSERT_EQ(w.verdict, window_verdict::accepted);
  double total = w.w[0];
  for (int l = 2; l <= w.lmax; ++l)
    total += 2.0 * w.w[static_cast<std::size_t>(l - 1)];

  // Band 0: amplitude to power and back.
  std::vector<float> f = {1.5f, 2.0f, 3.25f, 0.0f, 7.0f}, g(5);
  const std::vector<float> before = f;
  smooth(5, f, g, df, parzen_window{});
  for (std::size_t i = 0; i < f.size(); ++i)
    EXPECT_FLOAT_EQ(f[i], before[i]);

  // A constant spectrum comes back as a * sqrt(sum of the window).
  std::vector<float> c(200, 2.0f), cg(200);
  smooth(200, c, cg, df, w);
  for (float v : c)
    ASSERT_NEAR(v, 2.0 * std::sqrt(total), 1e-5);

  // An isolated point spreads as a * sqrt(w(|m| + 1)).
  std::vector<float> p(200, 0.0f), pg(200);
  p[100] = 3.0f;
  smooth(200, p, pg, df, w);
  for (int m = -(w.lmax - 1); m <= w.lmax - 1; ++m)
    ASSERT_NEAR(p[static_cast<std::size_t>(100 + m)],
                3.0 * std::sqrt(w.w[static_cast<std::size_t>(std::abs(m))]), 1e-6);
  EXPECT_EQ(p[100 + static_cast<std::size_t>(w.lmax)], 0.0f);

  // A series shorter than the window, and the longest with the widest window.
  std::vector<float> shortest = {1, 2, 3}, sg(3);
  smooth(3, shortest, sg, 1.0f, make_window(93.0f, 1.0f));
  for (float v : shortest)
    EXPECT_TRUE(std::isfinite(v));
  std::vector<float> longest(32769, 1.0f), lg(32769);
  smooth(32769, longest, lg, 1.0f, make_window(93.0f, 1.0f));
  EXPECT_NEAR(longest[16000], std::sqrt(0.99706), 1e-4);
}

TEST(ParzenSmoothing, PublicFunctionRefusesWhatItCannotDo) {
  std::vector<float> f(10, 1.0f), g(9);
  EXPECT_THROW(wavespec::smooth(f, g, 1.0f, parzen_window{}), std::invalid_argument);
  g.resize(10);
  EXPECT_THROW(wavespec::smooth(f, g, 1.0f, make_window(1e-3f, 1.0f)), std::invalid_argument);
  wavespec::smooth(f, g, 1.0f, make_window(20.0f, 1.0f));
  EXPECT_GT(f[5], 0.9f);
}

} // namespace
} // namespace wavespec
