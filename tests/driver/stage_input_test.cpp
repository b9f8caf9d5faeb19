#include <gtest/gtest.h>
#include <string>

#include "driver/run_helper.h"

namespace wavespec::testing {
namespace {

const std::string prompt = "\nEnter input file of waveform data\n";

std::string stage1(int nt, const std::string &dt_text, int if1, int nf) {
  return prompt + "\n NT and DT= " + std::to_string(nt) + "  " + dt_text +
         "\n\n  IF1,NF= " + std::to_string(if1) + " " + std::to_string(nf) + "\n";
}

TEST(InputStage, WorkedExampleAndTransformLengths) {
  const struct {
    int nt, if1, nf;
  } rows[] = {{4000, 12, 4096}, {1000, 10, 1024}, {1024, 10, 1024},  {1025, 11, 2048},
              {2, 2, 4},        {4, 2, 4},        {65536, 16, 65536}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.nt);
    sandbox box;
    box.write("w.txt", waveform_text(r.nt, 0.01));
    const run_result got = box.run("w.txt\n");
    EXPECT_EQ(got.out.substr(0, stage1(r.nt, "0.00999999978", r.if1, r.nf).size()),
              stage1(r.nt, "0.00999999978", r.if1, r.nf));
  }
}

TEST(InputStage, TooManySamplesIsAFailure) {
  for (int nt : {65537, 66001}) {
    sandbox box;
    box.write("w.txt", waveform_text(nt, 0.01));
    const run_result got = box.run("w.txt\n");
    EXPECT_EQ(got.out, prompt + "\n NT and DT= " + std::to_string(nt) +
                           "  0.00999999978\n  NT>2**16 !!!!!\n");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 2); // a script must not count a refused record as done
  }
}

TEST(InputStage, RecordsThatCannotBeAnalysedEndWithStatusTwo) {
  const struct {
    const char *content;
    const char *report;
  } rows[] = {
      {"", "\n NT and DT= 0  0.\n  NT<2 !!!!! (at least two samples are needed)\n"},
      {"header only\n", "\n NT and DT= 0  0.\n  NT<2 !!!!! (at least two samples are needed)\n"},
      {"h\n0 1 2 3\n", "\n NT and DT= 1  0.\n  NT<2 !!!!! (at least two samples are needed)\n"},
      {"h\n0 1 2 3\n0 4 5 6\n",
       "\n NT and DT= 2  0.\n  DT<=0 !!!!! (sample times must increase)\n"},
      {"h\n1 1 2 3\n0 4 5 6\n",
       "\n NT and DT= 2 -1.\n  DT<=0 !!!!! (sample times must increase)\n"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.content);
    sandbox box;
    box.write("w.txt", r.content);
    const run_result got = box.run("w.txt\n2\n");
    EXPECT_EQ(got.out, prompt + r.report);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 2);
  }
}

TEST(InputStage, MissingWaveformFileIsReportedNotCreated) {
  sandbox box;
  const run_result got = box.run("  new file.txt   \n");
  EXPECT_EQ(got.status, 2);
  EXPECT_EQ(got.out, prompt);
  EXPECT_EQ(got.err, "open: No such file or directory\n"
                     "apparent state: unit 11 named   new file.txt\n"
                     "lately reading sequential formatted external IO\n");
  EXPECT_FALSE(box.exists("  new file.txt"));
}

TEST(InputStage, WaveformFileStyles) {
  // Separators, CRLF, blank lines, a split record, repeats, nulls and an
  // unterminated last line that still counts.
  const std::string content =
      "t x y z\r\n0.0 1 2 3\r\n\n0.01,4,,6\n0.02\t7\t8\n9\n3*0.03 1\n0.04 1 2 3";
  sandbox box;
  box.write("w.txt", content);
  const run_result got = box.run("w.txt\n");
  EXPECT_EQ(got.out.substr(0, stage1(5, "0.00999999978", 3, 8).size()),
            stage1(5, "0.00999999978", 3, 8));
}

} // namespace
} // namespace wavespec::testing
