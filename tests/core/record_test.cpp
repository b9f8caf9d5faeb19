// Reading records with the dialogue's rules, and the errors of records that
// cannot be read or analysed.
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run_helper.h"
#include "wavespec/wavespec.hpp"

namespace wavespec::testing {
namespace {

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    out.push_back(l);
  return out;
}

record_error parse_error(const std::string &content, const std::string &name = "w.txt") {
  try {
    (void)parse_waveform(content, name);
  } catch (const record_error &e) {
    return e;
  }
  ADD_FAILURE() << "no record_error for " << content;
  return {record_error::kind::unreadable, {}};
}

TEST(CoreReading, FailuresCarryTheDialoguesReportAndTheLine) {
  const struct {
    const char *content;
    std::int64_t line;
    const char *brief; // what failed and where, on one line
  } rows[] = {
      {"h\n0 1 2 3\n0.01 1 x 3\n", 3, "line 3: invalid number"},
      {"h\n0 1 2 3\n\n\n1e 2 3 4\n", 5, "line 5: exponent field"},
      {"h\r\n0 1 2 3\r\n*5 1 2 3\r\n", 3, "line 3: bad repetition count"},
      {"h\n0,1,2,3\n0.01,1,2,-\n", 3, "line 3: invalid number"},
      {"abc\n1 2 3 4\n1 2 3 4 5\nx\n", 4, "line 4: invalid number"},
      {"h\n1\n2\n3\nq\n", 5, "line 5: invalid number"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.content);
    sandbox box;
    box.write("w.txt", r.content);
    const run_result dialogue = box.run("w.txt\n");
    ASSERT_EQ(dialogue.status, 2);
    const record_error e = parse_error(r.content);
    EXPECT_EQ(e.reason(), record_error::kind::unreadable);
    EXPECT_EQ(e.report(), lines_of(dialogue.err));
    EXPECT_EQ(e.line(), r.line);
    EXPECT_EQ(e.one_line(), r.brief);
    EXPECT_EQ(e.what(), "w.txt: " + std::string(r.brief));
  }
}

// Line ends are counted block by block as the file is read; a failure far
// into a file, after lines of every length, is placed on its own line.
TEST(CoreReading, TheFailingLineIsFoundBeyondTheFirstBlocks) {
  for (const int bad : {5999, 9001, 23456}) {
    std::string content = "header\n";
    for (int i = 2; i < bad; ++i)
      content += std::to_string(i) + std::string(static_cast<std::size_t>(i % 7), ' ') + " 1 2 3\n";
    content += "0 1 x 3\n0 1 2 3\n";
    sandbox box;
    box.write("w.txt", content);
    try {
      (void)read_waveform(box.dir() / "w.txt");
      FAIL() << bad;
    } catch (const record_error &e) {
      EXPECT_EQ(e.line(), bad);
    }
  }
}

TEST(CoreReading, AFileIsReadOnlyNeverCreated) {
  sandbox box;
  const std::string missing = (box.dir() / "missing.txt").string();
  try {
    (void)read_waveform(missing);
    FAIL();
  } catch (const record_error &e) {
    EXPECT_EQ(e.report(),
              (std::vector<std::string>{"open: No such file or directory",
                                        "apparent state: unit 11 named " + missing,
                                        "lately reading sequential formatted external IO"}));
  }
  EXPECT_FALSE(box.exists("missing.txt"));
  box.write("w.txt", waveform_text(100, 0.01));
  EXPECT_EQ(read_waveform(box.dir() / "w.txt").nt(), 100);
}

TEST(CoreReading, RecordsThatCannotBeAnalysed) {
  using kind = record_error::kind;
  const struct {
    std::string content;
    kind reason;
    const char *text;
  } rows[] = {
      {waveform_text(65537, 0.01), kind::too_many_samples,
       "65537 samples: at most 65536 can be analysed"},
      {"header only\n", kind::too_few_samples, "0 samples: at least two are needed"},
      {"h\n0 1 2 3\n", kind::too_few_samples, "1 sample: at least two are needed"},
      {"h\n1 1 2 3\n0 4 5 6\n", kind::bad_interval,
       "sampling interval -1. (the second time less the first): it must be positive and finite"},
      {"h\n1e39 1 2 3\n1e39 4 5 6\n", kind::bad_interval,
       "sampling interval NaN (the second time less the first): it must be positive and finite"},
      {"h\n0 1 2 3\n1e300 4 5 6\n", kind::bad_interval,
       "sampling interval Infinity (the second time less the first): it must be positive and "
       "finite"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    const record_error e = parse_error(r.content);
    EXPECT_EQ(e.reason(), r.reason);
    EXPECT_EQ(e.report(), std::vector<std::string>{r.text});
  }
}

TEST(CoreReading, HeaderSamplesAndInterval) {
  const waveform w =
      parse_waveform("time x(gal) y z\r\n0.0,1,,3\n0.01 4 5 6 7 8\n0.02\n7\n8 9\n0.03,1", "w");
  EXPECT_EQ(w.header, "time x(gal) y z");
  EXPECT_EQ(w.x, (std::vector<float>{1, 4, 7}));
  EXPECT_EQ(w.y, (std::vector<float>{0, 5, 8})); // a null value is zero
  EXPECT_EQ(w.z, (std::vector<float>{3, 6, 9}));
  EXPECT_EQ(w.dt, 0.01f);
  const std::string rows = waveform_text(9000, 0.5);
  const waveform many = parse_waveform(std::string(5000, 'h') + rows.substr(rows.find('\n')), "m");
  EXPECT_EQ(many.header.size(), 4096u);
  EXPECT_EQ(many.nt(), 9000);
}

} // namespace
} // namespace wavespec::testing
