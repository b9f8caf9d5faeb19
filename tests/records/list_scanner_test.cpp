#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "records/list_scanner.h"
#include "records/list_scanner_detail.h"

namespace wavespec::records {
namespace {

constexpr float unset = -777.0f; // marks an item the read left unchanged

struct reals_result {
  std::vector<float> values;
  read_outcome outcome;
};

reals_result read_reals(const std::string &text, std::size_t count, bool end_allowed = true) {
  input_source in;
  in.attach(text);
  std::vector<float> v(count, unset);
  std::vector<read_target> items(v.begin(), v.end());
  const read_outcome r = read_list(in, items, end_allowed);
  return {v, r};
}

std::string failure_of(const std::string &text, bool integer) {
  input_source in;
  in.attach(text);
  float r = 0;
  std::int32_t i = 0;
  const read_target items[] = {integer ? read_target(i) : read_target(r)};
  try {
    (void)read_list(in, items, false);
  } catch (const list_error &e) {
    return std::string(e.text.context) + ": " + e.text.cause;
  }
  return "";
}

// The reader's tables, kept apart so that reading with a tally can be held
// to them too (ReadingWithATally).
const struct {
  const char *text;
  std::vector<float> want;
} separator_rows[] = {
    {"1 2 3 4\n", {1, 2, 3, 4}},
    {"1,2,3,4\n", {1, 2, 3, 4}},
    {"1, 2 ,3 ,4\n", {1, 2, 3, 4}},
    {"1\t2\t3\t4\r\n", {1, 2, 3, 4}},
    {"1 2\n3 4\n", {1, 2, 3, 4}},
    {"\n\n1 2 3 4 5 6\n", {1, 2, 3, 4}},
    {"1,,3,4\n", {1, unset, 3, 4}},
    {"1, ,3,4\n", {1, unset, 3, 4}},
    {"1 2 /\n", {1, 2, unset, unset}},
    {"2*0 5 6\n", {0, 0, 5, 6}},
    {"2* 5 6\n", {unset, unset, 5, 6}},
    {"+3*7 8\n", {7, 7, 7, 8}},
    {"1.2.3 4 5\n", {1.2f, 0.3f, 4, 5}},
    {"1.0-2 1.5d3 1.5+3 1500\n", {0.01f, 1500, 1500, 1500}},
    {"-.5 5. 1E0 +2e-1\n", {-0.5f, 5, 1, 0.2f}},
    {"1 -, 3 4\n", {1, unset, 3, 4}},
};

const struct {
  const char *text;
  read_outcome outcome;
  std::vector<float> want;
} end_rows[] = {
    {"0.1 1 2 3", read_outcome::complete, {0.1f, 1, 2, 3}},
    {"0.1 1 2 3 \t", read_outcome::complete, {0.1f, 1, 2, 3}},
    {"0.1 1 2 3 4", read_outcome::end_of_input, {0.1f, 1, 2, 3}},
    {"0.1 1 2 3,", read_outcome::end_of_input, {0.1f, 1, 2, 3}},
    {"0.1 1 2", read_outcome::end_of_input, {0.1f, 1, 2, unset}},
    {"0.1 1 2\n", read_outcome::end_of_input, {0.1f, 1, 2, unset}},
    {"", read_outcome::end_of_input, {unset, unset, unset, unset}},
};

const struct {
  const char *text;
  std::int32_t want;
} integer_rows[] = {{"2 3\n", 2},
                    {"   7\n", 7},
                    {"\n\n1+2\n", 100},
                    {",\n", -1},
                    {"15-1\n", 1},
                    {"-2147483648\n", std::numeric_limits<std::int32_t>::min()},
                    {"0000000000000000000042\n", 42},
                    {"2*9\n", 9},
                    {"5/\n", 5}};

const struct {
  const char *text;
  bool integer;
  const char *failure;
} malformed_rows[] = {
    {"abc\n", false, "invalid number: incomprehensible list input"},
    {"abc\n", true, "invalid number: incomprehensible list input"},
    {"1.5\n", true, "invalid integer: read unexpected character"},
    {"1e2\n", true, "invalid integer: read unexpected character"},
    {"2147483648\n", true, "invalid integer: integer out of range"},
    {"1+10\n", true, "invalid integer: integer out of range"},
    {"1e\n", false, "exponent field: incomprehensible list input"},
    {"1.5+\n", false, "exponent field: incomprehensible list input"},
    {"1e+x\n", false, "exponent field: incomprehensible list input"},
    {"1e100000000\n", false, "exponent field: incomprehensible list input"},
    {"1e9999999997\n", false, "exponent field: incomprehensible list input"}, // found by fuzzing
    {"*5\n", false, "bad repetition count: incomprehensible list input"},
    {"0*5\n", false, "bad repetition count: incomprehensible list input"},
    {"-2*5\n", false, "bad repetition count: incomprehensible list input"},
    {"99999999999*5\n", false, "bad repetition count: incomprehensible list input"},
    {"-\n", false, "invalid number: incomprehensible list input"},
    {"\r5\n", false, "invalid number: incomprehensible list input"},
};

TEST(FreeFormatRead, SeparatorsNullsSlashAndRepeats) {
  for (const auto &r : separator_rows) {
    SCOPED_TRACE(r.text);
    const auto got = read_reals(r.text, 4);
    EXPECT_EQ(got.outcome, read_outcome::complete);
    EXPECT_EQ(got.values, r.want);
  }
}

TEST(FreeFormatRead, EndOfStreamOutcomes) {
  for (const auto &r : end_rows) {
    SCOPED_TRACE(r.text);
    const auto got = read_reals(r.text, 4);
    EXPECT_EQ(got.outcome, r.outcome);
    EXPECT_EQ(got.values, r.want);
  }
}

TEST(FreeFormatRead, EndFlagStaysAndReadStartFails) {
  input_source in;
  in.attach("5");
  std::int32_t v = 0;
  const read_target items[] = {v};
  EXPECT_EQ(read_list(in, items, false), read_outcome::complete);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(read_list(in, items, true), read_outcome::end_of_input);
  try {
    (void)read_list(in, items, false);
    FAIL();
  } catch (const list_error &e) {
    EXPECT_STREQ(e.text.context, "read start");
  }
  EXPECT_EQ(failure_of("\n\n", true), "list in: end of file");
}

TEST(FreeFormatRead, KeyboardIntegerAnswers) {
  for (const auto &r : integer_rows) {
    SCOPED_TRACE(r.text);
    input_source in;
    in.attach(r.text);
    std::int32_t v = -1;
    const read_target items[] = {v};
    (void)read_list(in, items, false);
    EXPECT_EQ(v, r.want);
  }
}

TEST(FreeFormatRead, MalformedInputFails) {
  for (const auto &r : malformed_rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(failure_of(r.text, r.integer), r.failure);
  }
  EXPECT_EQ(failure_of(std::string("\0 5\n", 4), false),
            "invalid number: incomprehensible list input");
}

TEST(NumberConversion, ExponentLimitsGiveInfinityOrZero) {
  const auto r = read_reals("1e99999999 -1e99999999 1e-99999999 -1e-99999999\n", 4);
  EXPECT_EQ(r.values[0], std::numeric_limits<float>::infinity());
  EXPECT_EQ(r.values[1], -std::numeric_limits<float>::infinity());
  EXPECT_EQ(r.values[2], 0.0f);
  EXPECT_FALSE(std::signbit(r.values[2]));
  EXPECT_TRUE(std::signbit(r.values[3]));
  const auto big = read_reals("3.5e38 1e-46 0e99999999 1" + std::string(3000, '0') + "e-3001\n", 4);
  EXPECT_EQ(big.values[0], std::numeric_limits<float>::infinity());
  EXPECT_EQ(big.values[1], 0.0f);
  EXPECT_EQ(big.values[2], 0.0f);
  EXPECT_EQ(big.values[3], 0.1f);
}

TEST(NumberConversion, DoubleThenFloatLikeStrtod) {
  std::mt19937_64 rng(20261208);
  for (int n = 0; n < 20000; ++n) {
    const auto bits = static_cast<std::uint32_t>(rng());
    const auto f = std::bit_cast<float>(bits & 0x7fffffffu);
    if (!std::isfinite(f))
      continue;
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", static_cast<int>(rng() % 17), static_cast<double>(f));
    const auto got = read_reals(std::string(text) + "\n", 1);
    ASSERT_EQ(got.values[0], static_cast<float>(std::strtod(text, nullptr))) << text;
  }
}

// Short decimals near the midpoint between two floats, where reading through
// the nearest double and rounding directly to float may differ.
TEST(NumberConversion, DecimalsNearFloatMidpoints) {
  std::mt19937_64 rng(31337);
  for (int n = 0; n < 100000; ++n) {
    const auto f =
        std::bit_cast<float>(static_cast<std::uint32_t>(rng() % 0x7f000000u) + 0x00800000u);
    const double mid =
        (static_cast<double>(f) +
         static_cast<double>(std::nextafter(f, std::numeric_limits<float>::infinity()))) /
        2;
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", 8 + static_cast<int>(rng() % 7), mid);
    const auto got = read_reals(std::string(text) + "\n", 1);
    ASSERT_EQ(got.values[0], static_cast<float>(std::strtod(text, nullptr))) << text;
  }
}

// Numbers longer than the digits a token keeps round as their whole decimal:
// against glibc's strtod, which is exact for any length.
TEST(NumberConversion, LongNumbersRoundAsTheirWholeDecimal) {
  std::mt19937_64 rng(8008);
  for (int n = 0; n < 300; ++n) {
    const auto f = std::bit_cast<float>(static_cast<std::uint32_t>(rng() % 0x7f000000u));
    char head[64];
    std::snprintf(head, sizeof head, "%.17e", static_cast<double>(f));
    std::string text(head, std::strchr(head, 'e'));
    const std::string exponent = std::strchr(head, 'e');
    const std::size_t more = 780 + rng() % 900; // straddling the digits kept
    for (std::size_t i = 0; i < more; ++i)
      text.push_back(i + 1 == more && rng() % 2 ? '1' : (rng() % 4 ? '0' : '9'));
    text += exponent;
    const auto got = read_reals(text + "\n", 1);
    ASSERT_EQ(got.values[0], static_cast<float>(std::strtod(text.c_str(), nullptr))) << text;
  }
  // Leading zeros, before and after the point, take no digits kept.
  const auto zeros = read_reals(std::string(5000, '0') + "1.5 0." + std::string(5000, '0') +
                                    "25e5001 " + std::string(900, '9') + "e-900\n",
                                3);
  EXPECT_EQ(zeros.values[0], 1.5f);
  EXPECT_EQ(zeros.values[1], 2.5f);
  EXPECT_EQ(zeros.values[2], 1.0f);
}

TEST(FreeFormatRead, RepeatCountBeforeALoneSignOrPointGivesNulls) {
  // "r*" then a sign or a point with no digit: r nulls when a blank, a tab, a
  // line end, the end, a comma or a slash follows; anything else fails.
  for (const char *text : {"2*- 9\n", "2*+\t9\n", "2*.\n9\n", "2*+.\n9\n", "2*-,9\n"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(read_reals(text, 3).values, (std::vector<float>{unset, unset, 9}));
  }
  EXPECT_EQ(failure_of("2*-x\n", false), "invalid number: incomprehensible list input");
  EXPECT_EQ(failure_of("- 5\n", false), "invalid number: incomprehensible list input");
}

// Everything read_list gives over a text, record after record to its end or
// to the first failure: values as bit patterns, outcomes, the failure and
// the line it names.
struct stream_read {
  std::vector<std::uint32_t> bits;
  std::vector<read_outcome> outcomes;
  std::string failure;
  std::int64_t failure_line = 0;
  friend bool operator==(const stream_read &, const stream_read &) = default;
};

struct stream_shape {
  std::size_t width;
  bool integer;
  bool end_allowed;
  std::size_t block; // 0: the whole text in one block
};

stream_read read_stream(const std::string &text, const stream_shape &shape, line_tally *tally) {
  input_source in;
  shape.block == 0 ? in.attach(text) : in.attach(text, shape.block);
  stream_read got;
  for (int n = 0; n < 32 && got.failure.empty(); ++n) {
    std::vector<float> reals(shape.width, unset);
    std::vector<std::int32_t> integers(shape.width, -1);
    std::vector<read_target> items;
    for (std::size_t i = 0; i < shape.width; ++i)
      items.push_back(shape.integer ? read_target(integers[i]) : read_target(reals[i]));
    try {
      got.outcomes.push_back(tally != nullptr ? read_list(in, items, shape.end_allowed, *tally)
                                              : read_list(in, items, shape.end_allowed));
    } catch (const list_error &e) {
      got.failure = std::string(e.text.context) + ": " + e.text.cause;
      got.failure_line = in.line_number();
    }
    for (std::size_t i = 0; i < shape.width; ++i)
      got.bits.push_back(shape.integer ? static_cast<std::uint32_t>(integers[i])
                                       : std::bit_cast<std::uint32_t>(reals[i]));
    if (got.failure.empty() && got.outcomes.back() == read_outcome::end_of_input)
      break;
  }
  return got;
}

// Reading notes change nothing that is read: every text of the reader's
// tables, read to its end as records of several widths, reals or integers,
// the end allowed or not, whole or in small blocks, gives the same values,
// outcomes, failures and failing lines with a tally as without.
TEST(ReadingWithATally, ReadsTheReaderTablesAlike) {
  std::vector<std::string> texts;
  for (const auto &r : separator_rows)
    texts.emplace_back(r.text);
  for (const auto &r : end_rows)
    texts.emplace_back(r.text);
  for (const auto &r : integer_rows)
    texts.emplace_back(r.text);
  for (const auto &r : malformed_rows)
    texts.emplace_back(r.text);
  texts.emplace_back("1 2 3 4\n5,6,7,8,9\r\n2.2.2 1\n\n  \n3*1.5.5 2\n1 2\n3");
  int reads = 0;
  for (const std::string &text : texts)
    for (std::size_t width : {1, 2, 4, 5})
      for (bool integer : {false, true})
        for (bool end_allowed : {true, false})
          for (std::size_t block : {0, 1, 3}) {
            SCOPED_TRACE(text + " width " + std::to_string(width) + " block " +
                         std::to_string(block));
            const stream_shape shape{width, integer, end_allowed, block};
            reading_notes notes;
            line_tally tally(notes, 1);
            ASSERT_EQ(read_stream(text, shape, &tally), read_stream(text, shape, nullptr));
            ++reads;
          }
  EXPECT_EQ(reads, static_cast<int>(texts.size()) * 48);
}

// What the reader passes over is split as it would split values.
TEST(ReadingWithATally, PassedValuesSplitAsTheReaderSplits) {
  const struct {
    const char *text;
    std::int64_t values;
  } rows[] = {
      {"", 0},
      {"  \t ", 0},
      {"5", 1},
      {"0.21821", 1},
      {",5", 2},
      {",,", 2},
      {"a , b", 2},
      {"a,,b", 3},
      {"2.2.2", 1},
      {"1 2/3 4", 2},
      {"/ 1 2", 0},
      {"3*0 x", 4},
      {"3* 1", 4},
      {"+2*7", 2},
      {"-2*7", 1},
      {"0*5", 1},
      {"007*", 7},
      {"2147483647*", 2147483647},
      {"2147483648*", 1},
      {"1.5*2", 1},
      {"*5", 1},
      {"\r", 1},
      {"x\ry", 1},
      {"2*3*4", 2},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    passed_values counter;
    for (const char *p = r.text; *p != '\0'; ++p)
      counter.take(static_cast<unsigned char>(*p));
    EXPECT_EQ(counter.values(), r.values);
  }
}

} // namespace
} // namespace wavespec::records
