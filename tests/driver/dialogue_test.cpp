// The dialogue end to end: its input stage (sample counts, intervals,
// transform lengths, missing files) and whole runs (the console's text, the
// spectrum file, refused bandwidths, files replaced whole).
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

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

namespace {

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    out.push_back(l);
  return out;
}

const std::string stages2to4 = "\n  DUR,DOM,NOM,EOM=  10.2399998  0.613592267 513  314.772827\n"
                               "  Highest Frequency (hz)=  50.0976524\n"
                               "\n  Integration/Differentiation:\n"
                               "  NO Change         :                 (Enter=0)\n"
                               "  Integration       : Ex.) acc -> vel (Enter=1)\n"
                               "  Double Integration: Ex.) acc -> dis (Enter=2)\n"
                               "  Differentiation:  : Ex.) Vel -> acc (Enter=3)\n";

const std::string smoothing_dialogue =
    "\n Smoothing Spectra by Parzen Windows\n\n Delta Freq(Hz)=  0.09765625\n"
    " Enter Band Width(Hz):\n    BAND must be larger than  0.362168938\n"
    "    BAND must be smaller than  9.05422306\n    if Band=0, No smoothing.\n\n"
    " Enter Band Width(Hz):\n";

const std::string output_dialogue = "\n Output of Original and Smoothed Fourier Spectrum:\n\n "
                                    "Enter output file name (csv format)\n";

const std::string header =
    " freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z";

TEST(WholeRun, DialogueAndSpectrumFile) {
  sandbox box;
  box.write("w.txt", waveform_text(1000, 0.01));
  const run_result got = box.run("w.txt\n2\n1.5\nout.csv\n");
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.err, "");
  const std::string start = "\nEnter input file of waveform data\n\n NT and DT= 1000  "
                            "0.00999999978\n\n  IF1,NF= 10 1024\n";
  EXPECT_EQ(got.out, start + stages2to4 + "\n Note: Fourier Amp. at 0(Hz) is neglected!!!\n" +
                         smoothing_dialogue + output_dialogue);
  const auto csv = lines(box.read("out.csv"));
  ASSERT_EQ(csv.size(), 1u + 513u);
  EXPECT_EQ(csv[0], header);
  EXPECT_EQ(csv[1].substr(0, 9), "  0.0000,");
  EXPECT_EQ(csv[2].substr(0, 9), "  0.0977,");
  EXPECT_EQ(csv[513].substr(0, 9), " 50.0000,");
  for (std::size_t i = 1; i < csv.size(); ++i)
    ASSERT_EQ(csv[i].size(), 98u) << i;
}

TEST(WholeRun, ZeroHertzRowFollowsTheIntegrationChoice) {
  std::vector<std::string> first_rows;
  for (const char *nit : {"0", "1", "2", "3", "99", ","}) {
    sandbox box;
    box.write("w.txt", waveform_text(1000, 0.01, 7));
    const run_result got = box.run(std::string("w.txt\n") + nit + "\n0\nout.csv\n");
    ASSERT_EQ(got.status, 0) << got.err;
    first_rows.push_back(lines(box.read("out.csv"))[1]);
  }
  EXPECT_EQ(first_rows[1], first_rows[0]); // integration leaves 0 Hz alone
  EXPECT_EQ(first_rows[2], first_rows[0]);
  EXPECT_EQ(first_rows[3], "  0.0000,  0.000000E+00,  0.000000E+00,  0.000000E+00,  0.000000E+00,"
                           "  0.000000E+00,  0.000000E+00");
  EXPECT_EQ(first_rows[4], first_rows[0]);
  EXPECT_EQ(first_rows[5], first_rows[0]); // a null answer means no change
}

TEST(WholeRun, RefusedBandwidthPerComponent) {
  const std::string narrow = "Bandwidth is too narrow!\n Enter 0 for stop\n";
  const std::string wide = "Bandwidth is too wide!\n Enter 0 for stop\n";
  const struct {
    const char *answers;
    std::string tail;
    bool csv;
  } rows[] = {
      {"0.1\n1\n1\n1\nout.csv\n", narrow + narrow + narrow + output_dialogue, true},
      {"-3\n0\n", narrow, false},
      {"100\n5\n0\n", wide + wide, false},
      {"1e38\n-1\n4\n0\n", wide + wide + wide, false},
      {"0.2\n,\n", narrow, false}, // a null answer means stop
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.answers);
    sandbox box;
    box.write("w.txt", waveform_text(1000, 0.01));
    const run_result got = box.run(std::string("w.txt\n0\n") + r.answers);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.err, "");
    EXPECT_TRUE(got.out.ends_with(smoothing_dialogue + r.tail)) << got.out;
    EXPECT_EQ(box.exists("out.csv"), r.csv);
  }
  sandbox box; // refused and went on: the smoothed columns equal the originals
  box.write("w.txt", waveform_text(1000, 0.01));
  ASSERT_EQ(box.run("w.txt\n0\n0.1\n1\n1\n1\nout.csv\n").status, 0);
  for (const std::string &row : lines(box.read("out.csv"))) {
    if (row == header)
      continue;
    ASSERT_EQ(row.substr(9, 14), row.substr(24, 14));
    ASSERT_EQ(row.substr(39, 14), row.substr(54, 14));
    ASSERT_EQ(row.substr(69, 14), row.substr(84, 14));
  }
}

TEST(WholeRun, ExistingOutputFilesAreReplacedWhole) {
  sandbox box;
  box.write("w.txt", waveform_text(8, 0.01));
  box.write("out.csv", std::string(100000, 'x') + "\n");
  ASSERT_EQ(box.run("w.txt\n0\n0\nout.csv\n").status, 0);
  EXPECT_EQ(lines(box.read("out.csv")).size(), 1u + 5u);
  EXPECT_EQ(box.read("out.csv").find('x'), std::string::npos);
}

TEST(WholeRun, BundledRecordEndToEnd) {
  sandbox box;
  box.write("sf1295.txt", bundled_record());
  const run_result got = box.run("sf1295.txt\n2\n0.5\nspectrum.csv\n");
  ASSERT_EQ(got.status, 0) << got.err;
  EXPECT_NE(got.out.find(" NT and DT= 6001  0.00499999989\n"), std::string::npos);
  const auto csv = lines(box.read("spectrum.csv"));
  EXPECT_EQ(csv.size(), 1u + 4097u);
}

} // namespace
} // namespace wavespec::testing
