#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "spectral/konno_ohmachi.h"
#include "wavespec/wavespec.hpp"

namespace wavespec {
namespace {

// The sums written straight from the definition, in long double.
long double direct(std::span<const double> f, std::span<const float> a, double b, double fc) {
  long double num = 0, den = 0;
  for (std::size_t k = 0; k < f.size(); ++k) {
    const long double x = static_cast<long double>(b) *
                          std::log10(static_cast<long double>(f[k]) / static_cast<long double>(fc));
    const long double r = x == 0 ? 1.0L : std::sin(x) / x;
    const long double w = r * r * r * r;
    num += w * static_cast<long double>(a[k]);
    den += w;
  }
  return num / den;
}

struct case_data {
  std::vector<double> f;
  std::vector<std::vector<float>> series;
};

// A spectrum of n points at k * df with amplitudes spread over decades.
case_data synthetic(std::size_t n, double df, unsigned seed) {
  std::mt19937 rng(seed);
  std::lognormal_distribution<float> amp(0.0f, 2.0f);
  case_data c;
  for (std::size_t k = 1; k <= n; ++k)
    c.f.push_back(static_cast<double>(k) * df);
  c.series.assign(5, std::vector<float>(n));
  for (auto &s : c.series)
    for (float &v : s)
      v = amp(rng);
  return c;
}

// The same points in another order (the library takes any order).
case_data shuffled(case_data c, unsigned seed) {
  std::vector<std::size_t> order(c.f.size());
  for (std::size_t k = 0; k < order.size(); ++k)
    order[k] = k;
  std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  case_data out = c;
  for (std::size_t k = 0; k < order.size(); ++k) {
    out.f[k] = c.f[order[k]];
    for (std::size_t q = 0; q < c.series.size(); ++q)
      out.series[q][k] = c.series[q][order[k]];
  }
  return out;
}

std::vector<std::span<const float>> spans(const case_data &c) {
  return {c.series.begin(), c.series.end()};
}

TEST(KonnoOhmachi, WithinOneBillionthOfTheDirectSums) {
  const spectrum s = analyse(read_waveform(WAVESPEC_DATA "/sf1295.txt"), {});
  case_data real;
  for (std::int32_t k = 1; k < s.grid.nom; ++k)
    real.f.push_back(static_cast<double>(k) * static_cast<double>(s.grid.df));
  for (int c = 0; c < 3; ++c)
    real.series.emplace_back(s.original(c).begin() + 1, s.original(c).end());
  const case_data cases[] = {synthetic(7, 0.5, 1), synthetic(300, 0.01, 2),
                             shuffled(synthetic(1000, 0.01, 4), 5), real};
  for (const case_data &c : cases)
    for (double b : {20.0, 40.0, 188.5, max_konno_ohmachi_coefficient}) {
      // the default centres, centres below, inside and above the band, and
      // centres on points and between them
      const double low = *std::min_element(c.f.begin(), c.f.end());
      const double high = *std::max_element(c.f.begin(), c.f.end());
      std::vector<std::vector<double>> centre_sets = {
          log_spaced_frequencies(low / 100, high * 100, 37),
          {c.f[0], c.f[1], 0.5 * (c.f[1] + c.f[2]), c.f[3] * (1 + 1e-9)}};
      if (b != max_konno_ohmachi_coefficient) // (the slow part, as for any b)
        centre_sets.push_back(per_decade_frequencies(low, high));
      for (const auto &centres : centre_sets) {
        std::vector<double> sums(c.series.size() * centres.size());
        spectral::konno_ohmachi_sums(c.f, spans(c), b, centres, sums, 1);
        for (std::size_t q = 0; q < c.series.size(); ++q)
          for (std::size_t i = 0; i < centres.size(); ++i) {
            const long double want = direct(c.f, c.series[q], b, centres[i]);
            const long double got = sums[q * centres.size() + i];
            ASSERT_LE(std::fabs(got - want), 1e-9L * std::fabs(want))
                << "b " << b << " fc " << centres[i] << " series " << q;
          }
      }
    }
}

// Inputs whose results are pinned bit for bit: amplitudes spread over twelve
// decades from integer draws alone (the same on every standard library), and
// centres on points, between them, near them (|x| below 0.01 but not 0),
// log-spaced across the band and far outside it, odd and even in number.
struct pinned_case {
  std::size_t points;
  double df;
  std::size_t series;
  double b;
  bool shuffle;
  std::size_t centre_count; // 18 on, near and between points, the rest log-spaced
  double ratio;             // from one log-spaced centre to the next
};

case_data pinned_points(const pinned_case &p, unsigned seed) {
  std::mt19937 rng(seed);
  case_data c;
  for (std::size_t k = 1; k <= p.points; ++k)
    c.f.push_back(static_cast<double>(k) * p.df);
  c.series.assign(p.series, std::vector<float>(p.points));
  for (auto &s : c.series)
    for (float &v : s) {
      const auto mantissa = static_cast<float>(rng() >> 9) * 0x1p-23f; // [0, 1)
      v = std::ldexp(1.0f + mantissa, static_cast<int>(rng() % 41) - 20);
    }
  return p.shuffle ? shuffled(c, seed + 1) : c;
}

std::vector<double> pinned_centres(const pinned_case &p, const case_data &c) {
  const double low = *std::min_element(c.f.begin(), c.f.end());
  const double high = *std::max_element(c.f.begin(), c.f.end());
  const std::size_t n = p.points;
  std::vector<double> at;
  for (std::size_t k : {std::size_t{0}, n / 3, n / 2, n - 1}) {
    const double fk = static_cast<double>(k + 1) * p.df;
    at.push_back(fk);                        // on a point
    at.push_back(fk * (1.0 + 0.004 / p.b));  // near it, above
    at.push_back(fk * (1.0 - 0.0017 / p.b)); // near it, below
    at.push_back(fk + 0.5 * p.df);           // between two points
  }
  at.push_back(low / 100.0);
  at.push_back(high * 100.0);
  for (double fc = low / 3.0; at.size() < p.centre_count; fc *= p.ratio)
    at.push_back(fc);
  at.resize(p.centre_count);
  return at;
}

std::uint64_t fnv1a(std::span<const double> values) {
  std::uint64_t h = 0xcbf29ce484222325u;
  for (const double v : values) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    for (int byte = 0; byte < 8; ++byte) {
      h ^= (bits >> (8 * byte)) & 0xffu;
      h *= 0x100000001b3u;
    }
  }
  return h;
}

// Results of the code as it stood before the sums were written once for every
// vector width, on this C library's log10, sin and cos.
struct pinned_result {
  pinned_case input;
  std::uint64_t hash;
};
const pinned_result pinned[] = {
    {{7, 0.5, 1, 20.0, false, 25, 1.2}, 0x8158b6229aaf0bccu},
    {{256, 0.01, 2, 40.0, false, 40, 1.1}, 0x6a305e065f25b8e2u},
    {{1000, 0.01, 3, 188.5, false, 51, 1.05}, 0x80dc61c402d2f5a7u},
    {{1000, 0.01, 4, 5.0, true, 64, 1.05}, 0x8db71ed10c3ce9edu},
    {{4097, 0.0030517578125, 5, 40.0, false, 183, 1.0471285480508996}, 0x453fdabce9229bbu},
    {{2000, 0.05, 4, 0.7, true, 1, 1.0}, 0x58463cb3e008bfcau},
    {{2000, 0.05, 3, 1000.0, false, 120, 1.02}, 0x23cc894523905632u},
    {{3000, 0.02, 2, 10000.0, false, 77, 1.01}, 0xd9495b56e4cbe060u},
    {{600, 0.05, 1, 40.0, false, 1201, 1.003}, 0xe59e6788f365612u},
    {{300, 0.1, 4, 20.0, true, 2, 1.1}, 0x1b61e9c9512e2b9u},
};

// The paths this processor runs, plain always among them.
std::vector<spectral::sum_path> paths_here() {
  std::vector<spectral::sum_path> here;
  for (const auto path :
       {spectral::sum_path::plain, spectral::sum_path::avx2, spectral::sum_path::avx512})
    if (spectral::path_taken(path) == path)
      here.push_back(path);
  return here;
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(KonnoOhmachi, EveryPathAndThreadCountGivesThePinnedBits) {
  const std::vector<spectral::sum_path> paths = paths_here();
  if (paths.size() < 3)
    std::printf("[ NOTE     ] %zu of the 3 paths run on this processor\n", paths.size());
  unsigned seed = 10;
  for (const pinned_result &p : pinned) {
    const case_data c = pinned_points(p.input, seed++);
    const std::vector<double> centres = pinned_centres(p.input, c);
    ASSERT_EQ(centres.size(), p.input.centre_count);
    std::vector<double> first(c.series.size() * centres.size()), other(first.size());
    spectral::konno_ohmachi_sums(c.f, spans(c), p.input.b, centres, first, 1, paths[0]);
    EXPECT_EQ(fnv1a(first), p.hash) << "case " << (&p - pinned);
    for (const auto path : paths)
      for (unsigned threads : {1u, 2u, 3u, 7u}) {
        spectral::konno_ohmachi_sums(c.f, spans(c), p.input.b, centres, other, threads, path);
        ASSERT_TRUE(same_bits(first, other)) << "case " << (&p - pinned) << " path "
                                             << static_cast<int>(path) << " threads " << threads;
      }
    std::vector<float> rounded(first.size());
    konno_ohmachi(c.f, spans(c), p.input.b, centres, rounded, 2);
    for (std::size_t i = 0; i < first.size(); ++i)
      ASSERT_EQ(rounded[i], static_cast<float>(first[i])); // rounded once
  }
}

// Smooths `centres` chunk by chunk (sizes taken from `sizes` in turn, the
// last cut short) into one set of rows.
template <typename Value, typename Smooth>
std::vector<Value> by_chunks(std::size_t series, std::span<const double> centres,
                             std::span<const std::size_t> sizes, const Smooth &smooth) {
  std::vector<Value> all(series * centres.size()), rows;
  for (std::size_t first = 0, i = 0; first < centres.size(); ++i) {
    const std::size_t n = std::min(sizes[i % sizes.size()], centres.size() - first);
    rows.assign(series * n, Value(-1));
    EXPECT_TRUE(smooth(centres.subspan(first, n), std::span<Value>(rows)));
    for (std::size_t s = 0; s < series; ++s)
      std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(s * n), n,
                  all.begin() + static_cast<std::ptrdiff_t>(s * centres.size() + first));
    first += n;
  }
  return all;
}

TEST(KonnoOhmachiPlan, ChunksOfEvenSizeGiveTheBitsOfOneCall) {
  const std::size_t even[][3] = {{2, 2, 2}, {8, 50, 2}, {256, 514, 4}};
  for (const std::size_t which : {2u, 4u, 8u}) {
    const pinned_case &p = pinned[which].input;
    const case_data c = pinned_points(p, static_cast<unsigned>(10 + which));
    const std::vector<double> centres = pinned_centres(p, c);
    const std::size_t rows = c.series.size() * centres.size();
    const spectral::konno_ohmachi_points points(c.f, spans(c), p.b, 2);
    std::vector<double> whole(rows);
    ASSERT_TRUE(points.smooth(centres, whole, 1, {}));
    for (const auto path : paths_here())
      for (const auto &sizes : even)
        for (unsigned threads : {1u, 3u}) {
          const auto chunked = by_chunks<double>(
              c.series.size(), centres, sizes, [&](auto chunk, std::span<double> out) {
                return points.smooth(chunk, out, threads, {}, path);
              });
          ASSERT_TRUE(same_bits(whole, chunked))
              << "case " << which << " path " << static_cast<int>(path) << " chunks of " << sizes[0]
              << " threads " << threads;
        }
    // The public plan against the public function.
    std::vector<float> once(rows);
    konno_ohmachi(c.f, spans(c), p.b, centres, once, 2);
    const konno_ohmachi_plan plan(c.f, spans(c), p.b);
    ASSERT_EQ(plan.series(), c.series.size());
    const auto chunked =
        by_chunks<float>(c.series.size(), centres, even[1], [&](auto chunk, std::span<float> out) {
          return plan.smooth(chunk, out, 2);
        });
    ASSERT_EQ(std::memcmp(once.data(), chunked.data(), rows * sizeof(float)), 0) << which;
    // A chunk of an odd size moves the pairs after it: other last bits, the
    // same sums.
    const std::size_t odd[] = {3};
    const auto moved =
        by_chunks<double>(c.series.size(), centres, odd, [&](auto chunk, std::span<double> out) {
          return points.smooth(chunk, out, 2, {});
        });
    for (std::size_t i = 0; i < rows; ++i)
      ASSERT_NEAR(moved[i], whole[i], 1e-12 * std::fabs(whole[i])) << i;
  }
}

// A plan of a 65536-sample record's size and centres enough for seconds.
struct long_chunk {
  case_data c = synthetic(32768, 0.0030517578125, 7);
  konno_ohmachi_plan plan{c.f, spans(c), 40.0, 2};
  std::vector<double> centres = log_spaced_frequencies(0.003, 100.0, 200'000);
  std::vector<float> out = std::vector<float>(c.series.size() * centres.size(), -1.0f);
};

TEST(KonnoOhmachiPlan, AStopRequestEndsALongChunkWithinMilliseconds) {
  long_chunk job;
  std::atomic<bool> stop{false};
  std::chrono::steady_clock::time_point asked;
  std::thread asker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    asked = std::chrono::steady_clock::now();
    stop = true;
  });
  const bool complete = job.plan.smooth(job.centres, job.out, 2, [&] { return stop.load(); });
  const auto ended = std::chrono::steady_clock::now();
  asker.join();
  EXPECT_FALSE(complete);
  const auto waited = std::chrono::duration<double, std::milli>(ended - asked).count();
  std::printf("[ NOTE     ] ended %.2f ms after the request\n", waited);
  EXPECT_LT(waited, 250.0); // the whole chunk takes seconds; a busy machine may delay a thread
}

// The whole chunk looks at the hook some 200000 times; a thread that goes on
// summing after the request would look thousands of times more.
TEST(KonnoOhmachiPlan, TheStopHookEndsEveryThreadAndItsExceptionReachesTheCaller) {
  long_chunk job;
  std::atomic<int> calls{0};
  EXPECT_FALSE(job.plan.smooth(job.centres, job.out, 2, [&] { return ++calls >= 5; }));
  EXPECT_LT(calls.load(), 5 + 2000);
  calls = 0;
  const auto throwing = [&] {
    if (++calls == 3)
      throw std::runtime_error("interrupted");
    return false;
  };
  EXPECT_THROW((void)job.plan.smooth(job.centres, job.out, 2, throwing), std::runtime_error);
  EXPECT_LT(calls.load(), 3 + 2000);
  // Without a request the chunk completes: a small one here.
  EXPECT_TRUE(job.plan.smooth(std::span(job.centres).first(6), job.out, 2, [] { return false; }));
}

std::string refusal(double b) {
  const case_data c = synthetic(10, 1.0, 4);
  try {
    konno_ohmachi_plan plan(c.f, spans(c), b);
  } catch (const std::invalid_argument &e) {
    return e.what();
  }
  return "accepted";
}

TEST(KonnoOhmachi, CoefficientsAboveTheLargestAreRefusedAndNoResultIsNaN) {
  const case_data c = synthetic(2000, 0.01, 6);
  std::vector<double> centres = log_spaced_frequencies(0.0001, 2000.0, 301);
  for (std::size_t k : {0u, 1u, 2u, 99u, 1000u, 1998u}) {
    centres.push_back(0.5 * (c.f[k] + c.f[k + 1])); // between two points
    centres.push_back(c.f[k]);                      // on one
    centres.push_back(c.f[k] * (1 + 1e-12));        // next to one
  }
  const double largest = max_konno_ohmachi_coefficient;
  std::vector<double> sums(c.series.size() * centres.size());
  spectral::konno_ohmachi_sums(c.f, spans(c), largest, centres, sums, 2);
  for (std::size_t i = 0; i < sums.size(); ++i)
    ASSERT_TRUE(std::isfinite(sums[i]) && sums[i] > 0) << i;
  for (std::size_t q = 0; q < c.series.size(); ++q)
    for (std::size_t i = 0; i < centres.size(); ++i) {
      const long double want = direct(c.f, c.series[q], largest, centres[i]);
      ASSERT_LE(std::fabs(sums[q * centres.size() + i] - want), 1e-9L * want) << centres[i];
    }
  EXPECT_EQ(refusal(largest), "accepted");
  const auto text = [](double v) {
    char digits[32];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
  };
  for (const double b : {std::nextafter(largest, 2 * largest), 1e5, 1e100, 1.7e308})
    EXPECT_EQ(refusal(b), "the Konno-Ohmachi coefficient " + text(b) +
                              " is above the largest that can be summed, " + text(largest));
  // Beyond the limit, the library's own sums: phases so large that rounding
  // swallows any margin still find the point at a centre (weight 1, not
  // 0 / 0) on every path...
  std::vector<double> at_point(c.series.size());
  for (const auto path : paths_here()) {
    spectral::konno_ohmachi_sums(c.f, spans(c), 1e20, std::vector<double>{c.f[0]}, at_point, 1,
                                 path);
    for (const double v : at_point)
      ASSERT_TRUE(std::isfinite(v)) << static_cast<int>(path);
  }
  // ...and between points, where every weight underflows, refuse the centre
  // rather than give 0 / 0.
  const std::vector<double> between = {0.5 * (c.f[10] + c.f[11])};
  std::vector<double> one(c.series.size());
  try {
    spectral::konno_ohmachi_sums(c.f, spans(c), 1e100, between, one, 2);
    ADD_FAILURE() << "summed: " << one[0];
  } catch (const std::invalid_argument &e) {
    EXPECT_NE(std::string(e.what()).find("centre frequency " + text(between[0]) + " sum to 0"),
              std::string::npos)
        << e.what();
  }
}

TEST(KonnoOhmachi, FrequencySetsAndRefusals) {
  const std::vector<double> log = log_spaced_frequencies(0.1, 10.0, 5);
  EXPECT_EQ(log.size(), 5u);
  EXPECT_EQ(log.front(), 0.1);
  EXPECT_NEAR(log[2], 1.0, 1e-15);
  EXPECT_NEAR(log.back(), 10.0, 1e-14);
  frequency_grid g = make_grid(8192, 0.005f); // df 0.0244..., Nyquist 100 Hz
  const std::vector<double> decade = per_decade_frequencies(g);
  EXPECT_EQ(decade.size(), 362u); // floor(100 log10(4096)) + 1
  EXPECT_EQ(decade.front(), static_cast<double>(g.df));
  EXPECT_LE(decade.back(), 4096.0 * static_cast<double>(g.df));
  EXPECT_THROW((void)log_spaced_frequencies(1.0, 0.5, 3), std::invalid_argument);
  EXPECT_THROW((void)log_spaced_frequencies(1.0, 2.0, 1), std::invalid_argument);
  EXPECT_THROW((void)log_spaced_frequencies(1e-300, 1e300, 3), std::invalid_argument); // no NaN
  EXPECT_THROW((void)per_decade_frequencies(1e-300, 1e300), std::invalid_argument);
  const case_data c = synthetic(10, 1.0, 4);
  std::vector<float> out(c.series.size());
  EXPECT_THROW(konno_ohmachi(c.f, spans(c), 0.0, std::vector<double>{1.0}, out),
               std::invalid_argument);
  EXPECT_THROW(konno_ohmachi(c.f, spans(c), 40.0, std::vector<double>{-1.0}, out),
               std::invalid_argument);
  const konno_ohmachi_plan plan(c.f, spans(c), 40.0);
  std::vector<float> short_of_one(2 * c.series.size() - 1);
  EXPECT_THROW((void)plan.smooth(std::vector<double>{1.0, 2.0}, short_of_one),
               std::invalid_argument);
  EXPECT_THROW((void)plan.smooth(std::vector<double>{1.0, NAN}, out), std::invalid_argument);
  EXPECT_TRUE(plan.smooth({}, {})); // no centres: nothing to do
  EXPECT_THROW(konno_ohmachi_plan(std::vector<double>{}, {}, 40.0), std::invalid_argument);
  const std::vector<float> shorter(9);
  EXPECT_THROW(konno_ohmachi_plan(c.f, std::vector<std::span<const float>>{shorter}, 40.0),
               std::invalid_argument);
}

TEST(EffectiveAmplitude, TheRootMeanSquareOfTheHorizontals) {
  EXPECT_EQ(effective_amplitude(3.0f, 4.0f), static_cast<float>(std::sqrt(12.5)));
  EXPECT_EQ(effective_amplitude(0.0f, 0.0f), 0.0f);
  EXPECT_EQ(effective_amplitude(3e38f, 3e38f), 3e38f); // formed in double: no overflow
  EXPECT_EQ(effective_amplitude(1e-30f, 0.0f), static_cast<float>(1e-30 / std::sqrt(2.0)));
}

} // namespace
} // namespace wavespec
