#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <string>

#include "records/real_format.h"
#include "records/real_format_detail.h"

namespace wavespec::records {
namespace {

std::string free_real(float x) {
  std::string s;
  append_free_real(s, x);
  return s;
}
std::string f8(float x) {
  std::string s;
  append_f8_4(s, x);
  return s;
}
std::string e14(float x) {
  std::string s;
  append_e14_6(s, x);
  return s;
}

TEST(FreeReal, RenderingTable) {
  const struct {
    float x;
    const char *text;
  } rows[] = {
      {0.0f, "  0."},
      {-0.0f, "  0."},
      {1.0f, "  1."},
      {0.5f, "  0.5"},
      {-2.5f, " -2.5"},
      {0.01f, "  0.00999999978"},
      {0.1f, "  0.100000001"},
      {100.0f, "  100."},
      {327.68f, "  327.679993"},
      {123456789.0f, "  123456792."},
      {0.0001f, "  9.99999975E-005"},
      {1.0e-5f, "  9.99999975E-006"},
      {0.0001220703125f, "  0.000122070313"}, // 2^-13: an exact tie, rounded away
      {1.0e9f, "  1.E+009"},
      {1.0e10f, "  1.E+010"},
      {1.0e-40f, "  9.9999461E-041"},
      {std::numeric_limits<float>::infinity(), "  Infinity"},
      {-std::numeric_limits<float>::infinity(), " -Infinity"},
      {std::numeric_limits<float>::quiet_NaN(), "  NaN"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(free_real(r.x), r.text);
  }
}

TEST(FixedFields, RenderingTable) {
  const struct {
    float x;
    const char *f;
    const char *e;
  } rows[] = {
      {0.0f, "  0.0000", "  0.000000E+00"},
      {0.5f, "  0.5000", "  0.500000E+00"},
      {1.2345678f, "  1.2346", "  0.123457E+01"},
      {-1.5f, " -1.5000", " -0.150000E+01"},
      {9.9999996f, " 10.0000", "  0.100000E+02"},
      {0.03125f, "  0.0313", "  0.312500E-01"},
      {999.99994f, "999.9999", "  0.100000E+04"},
      {1000.0f, "********", "  0.100000E+04"},
      {-99.5f, "-99.5000", " -0.995000E+02"},
      {-999.5f, "********", " -0.999500E+03"},
      {1.0e-10f, "  0.0000", "  0.100000E-09"},
      {std::numeric_limits<float>::max(), "********", "  0.340282E+39"},
      {-0.00001f, "  0.0000", " -0.100000E-04"},
      {-99.99996f, "********", " -0.100000E+03"},
      {std::numeric_limits<float>::denorm_min(), "  0.0000", "  0.140130E-44"},
      {std::numeric_limits<float>::infinity(), "Infinity", "      Infinity"},
      {-std::numeric_limits<float>::infinity(), "    -Inf", "     -Infinity"},
      {std::numeric_limits<float>::quiet_NaN(), "     NaN", "           NaN"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.f);
    EXPECT_EQ(f8(r.x), r.f);
    EXPECT_EQ(e14(r.x), r.e);
  }
}

TEST(FixedFields, ExactTiesRoundAwayFromZero) {
  // m * 2^-5 with m odd is an exact tie at 4 decimals; ties to even would
  // give 0.0312, 0.1562, 0.2812 and 0.976562E-03, 0.123456E+07.
  EXPECT_EQ(f8(0.03125f), "  0.0313"); // 312.5 units: up, not to even 312
  EXPECT_EQ(f8(0.28125f), "  0.2813");
  EXPECT_EQ(f8(-0.15625f), " -0.1563");
  EXPECT_EQ(e14(0.0009765625f), "  0.976563E-03"); // 2^-10 = 0.0009765625
  EXPECT_EQ(e14(1234565.0f), "  0.123457E+07");
  EXPECT_EQ(e14(9999995.0f), "  0.100000E+08"); // carry moves the exponent
}

// Reference: the exact decimal expansion (glibc prints it exactly), rounded
// half away from zero in the test.
detail::significant_digits reference_digits(float x, int precision) {
  char buf[200];
  std::snprintf(buf, sizeof buf, "%.120e", std::fabs(static_cast<double>(x)));
  std::string digits;
  const char *p = buf;
  for (; *p != 'e'; ++p)
    if (*p != '.')
      digits.push_back(*p);
  int exponent = std::atoi(p + 1);
  std::string kept = digits.substr(0, static_cast<std::size_t>(precision));
  if (digits[static_cast<std::size_t>(precision)] >= '5') {
    int i = precision - 1;
    while (i >= 0 && kept[static_cast<std::size_t>(i)] == '9')
      kept[static_cast<std::size_t>(i--)] = '0';
    if (i < 0) {
      kept = "1" + kept.substr(0, kept.size() - 1);
      ++exponent;
    } else {
      ++kept[static_cast<std::size_t>(i)];
    }
  }
  detail::significant_digits d{};
  std::memcpy(d.digits, kept.data(), kept.size());
  d.count = precision;
  d.exponent = exponent;
  return d;
}

TEST(DigitGeneration, MatchesExactReferenceOnStridedSweep) {
  std::uint64_t checked = 0;
  for (std::uint64_t bits = 1; bits < (1ull << 32); bits += 10007) {
    const auto x = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    if (!std::isfinite(x) || x == 0.0f)
      continue;
    for (int precision : {6, 9}) {
      const auto got = detail::round_significant(x, precision);
      const auto want = reference_digits(x, precision);
      ASSERT_EQ(std::string(got.digits, 9).substr(0, static_cast<std::size_t>(precision)),
                std::string(want.digits, static_cast<std::size_t>(precision)))
          << "bits " << bits << " precision " << precision;
      ASSERT_EQ(got.exponent, want.exponent) << "bits " << bits;
    }
    // The E14.6 field takes its own way to the six digits.
    const auto six = reference_digits(x, 6);
    const int e = six.exponent + 1;
    char field[32];
    std::snprintf(field, sizeof field, " %c0.%.6sE%c%02d", x < 0.0f ? '-' : ' ', six.digits,
                  e < 0 ? '-' : '+', e < 0 ? -e : e);
    ASSERT_EQ(e14(x), field) << "bits " << bits;
    ++checked;
  }
  EXPECT_GT(checked, 400000u);
}

TEST(DigitGeneration, NineDigitsReadBackToTheSameFloat) {
  for (std::uint64_t bits = 1; bits < 0x7f800000u; bits += 7919) {
    const auto x = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    const std::string text = free_real(x);
    const float back = std::strtof(text.c_str(), nullptr);
    ASSERT_EQ(back, x) << text;
  }
}

TEST(FixedFields, FourDecimalsMatchExactReference) {
  for (std::uint32_t bits = 0x30000000u; bits < 0x44800000u; bits += 3001) {
    const auto x = std::bit_cast<float>(bits);
    char buf[200];
    std::snprintf(buf, sizeof buf, "%.60f", static_cast<double>(x));
    std::string s(buf);
    const auto point = s.find('.');
    std::string kept = s.substr(0, point + 5);
    if (s[point + 5] >= '5') { // exact expansion: >= 5 rounds away
      int i = static_cast<int>(kept.size()) - 1;
      for (; i >= 0; --i) {
        if (kept[static_cast<std::size_t>(i)] == '.')
          continue;
        if (kept[static_cast<std::size_t>(i)] != '9') {
          ++kept[static_cast<std::size_t>(i)];
          break;
        }
        kept[static_cast<std::size_t>(i)] = '0';
      }
      if (i < 0)
        kept = "1" + kept;
    }
    const std::string want =
        kept.size() > 8 ? "********" : std::string(8 - kept.size(), ' ') + kept;
    ASSERT_EQ(f8(x), want) << buf;
  }
}

} // namespace
} // namespace wavespec::records
