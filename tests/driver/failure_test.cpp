#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/run_helper.h"

namespace wavespec::testing {
namespace {

std::string report(const std::string &first, const std::string &unit, const std::string &format,
                   bool writing = false) {
  return first + "\napparent state: unit " + unit + "\n" +
         (format.empty() ? "" : "last format: " + format + "\n") + "lately " +
         (writing ? "writing" : "reading") + " sequential formatted external IO\n";
}

// Keyboard answers: malformed, ending at every prompt, and read after the end.
TEST(FailureReport, KeyboardAnswers) {
  const struct {
    const char *answers;
    std::string err;
  } rows[] = {
      {"", report("fmt: end of file", "5 (unnamed)", "(A30)")},
      {"w.txt", report("fmt: end of file", "5 (unnamed)", "(A30)")},
      {"w.txt\n", report("list in: end of file", "5 (unnamed)", "list io")},
      {"w.txt\n\n\n", report("list in: end of file", "5 (unnamed)", "list io")},
      {"w.txt\n1.5\n",
       report("invalid integer: read unexpected character", "5 (unnamed)", "list io")},
      {"w.txt\n3000000000\n",
       report("invalid integer: integer out of range", "5 (unnamed)", "list io")},
      {"w.txt\nabc\n",
       report("invalid number: incomprehensible list input", "5 (unnamed)", "list io")},
      {"w.txt\n0\n1e\n",
       report("exponent field: incomprehensible list input", "5 (unnamed)", "list io")},
      {"w.txt\n0\n*2\n",
       report("bad repetition count: incomprehensible list input", "5 (unnamed)", "list io")},
      {"w.txt\n0\n", report("list in: end of file", "5 (unnamed)", "list io")},
      {"w.txt\n0\n0.1\n", report("list in: end of file", "5 (unnamed)", "list io")},
      {"w.txt\n0\n0.1\nabc\n",
       report("invalid number: incomprehensible list input", "5 (unnamed)", "list io")},
      {"w.txt\n0\n0.1\n1.5\n",
       report("invalid integer: read unexpected character", "5 (unnamed)", "list io")},
      {"w.txt\n0\n0\n", report("fmt: end of file", "5 (unnamed)", "(A30)")},
      {"w.txt\n0\n0", report("read start: end of file", "5 (unnamed)", "(A30)")},
      {"w.txt\n0\n0\nout.csv", report("fmt: end of file", "5 (unnamed)", "(A30)")},
      {"   \n", report("open: null file name", "11 named ", "")},
      {"w.txt\n0\n0\n \n", report("open: null file name", "10 named ", "")},
      {"w.txt\n0\n0\nno/dir/out.csv\n",
       report("open: No such file or directory", "10 named no/dir/out.csv", "")},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.answers);
    sandbox box;
    box.write("w.txt", waveform_text(16, 0.01));
    const run_result got = box.run(r.answers);
    EXPECT_EQ(got.err, r.err);
    EXPECT_EQ(got.status, 2);
    EXPECT_FALSE(box.exists("out.csv"));
  }
}

TEST(FailureReport, WaveformFile) {
  const struct {
    const char *content;
    const char *context;
  } rows[] = {
      {"h\n0 1 2 3\n0.01 abc 2 3\n", "invalid number: incomprehensible list input"},
      {"h\n0 1 2 3\n0.01 1e+ 2 3\n", "exponent field: incomprehensible list input"},
      {"h\n0 1 2 3\n0*1 2 3 4\n", "bad repetition count: incomprehensible list input"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.content);
    sandbox box;
    box.write("wave.txt", r.content);
    const run_result got = box.run("wave.txt\n");
    EXPECT_EQ(got.err, report(r.context, "11 named wave.txt", "list io"));
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.out, "\nEnter input file of waveform data\n");
  }
  sandbox box;
  std::filesystem::create_directory(box.dir() / "adir");
  const run_result dir = box.run("adir\n");
  EXPECT_EQ(dir.err, report("read: Is a directory", "11 named adir", "list io"));
  EXPECT_EQ(dir.status, 2);
}

TEST(FailureReport, SpectrumFileAndConsole) {
  const std::string answers = "w.txt\n0\n0\n";
  {
    sandbox box;
    box.write("w.txt", waveform_text(16, 0.01));
    const run_result got = box.run(answers + "/dev/full\n");
    // the write stops at the header record, the first one not delivered
    EXPECT_EQ(got.err,
              report("write: No space left on device", "10 named /dev/full", "list io", true));
    EXPECT_EQ(got.status, 2);
  }
  {
    sandbox box;
    box.write("w.txt", waveform_text(16, 0.01));
    const run_result got = box.run(answers + "out.csv\n", "/dev/full");
    // found when the first prompt is delivered, before the first answer is read
    EXPECT_EQ(got.err, report("write: No space left on device", "6 (unnamed)",
                              "(1X,/,'Enter input file of waveform data')", true));
    EXPECT_EQ(got.status, 2);
  }
  {
    sandbox box;
    box.write("w.txt", waveform_text(16, 0.01));
    const run_result got = box.run(answers + "out.csv\n", "", true);
    EXPECT_EQ(got.err, report("write: Bad file descriptor", "6 (unnamed)",
                              "(1X,/,'Enter input file of waveform data')", true));
    EXPECT_EQ(got.status, 2);
  }
  { // a name that opens only for reading, even for root: a folder
    sandbox box;
    box.write("w.txt", waveform_text(16, 0.01));
    std::filesystem::create_directory(box.dir() / "folder");
    const run_result got = box.run(answers + "folder\n");
    EXPECT_EQ(got.err,
              report("list output start: can't write file", "10 named folder", "list io", true));
    EXPECT_EQ(got.status, 2);
  }
  if (geteuid() != 0) {
    sandbox box;
    box.write("w.txt", waveform_text(16, 0.01));
    box.write("ro.csv", "keep\n");
    chmod((box.dir() / "ro.csv").c_str(), 0444);
    const run_result got = box.run(answers + "ro.csv\n");
    EXPECT_EQ(got.err,
              report("list output start: can't write file", "10 named ro.csv", "list io", true));
    EXPECT_EQ(box.read("ro.csv"), "keep\n");
  }
}

// Hostile input never crashes the program: it analyses or reports.
TEST(HostileInput, EndsWithAStatusNeverACrash) {
  const std::string rows4 = "0 1 2 3\n0.01 1 2 3\n0.02 1 2 3\n0.03 1 2 3\n";
  const struct {
    std::string content;
    std::string answers;
    int status;
  } rows[] = {
      {std::string(3 << 20, 'h') + "\n" + rows4, "0\n0\nout.csv\n", 0},
      {"h\n" + std::string(1 << 20, ' ') + rows4, "0\n0\nout.csv\n", 0},
      {"h\n" + rows4 + std::string("0.04 1 2 \0 3\n", 13), "0\n0\nout.csv\n", 2},
      {"h\n" + rows4 + "2147483647*0.5\n", "0\n0\nout.csv\n", 0},
      {"h\n" + rows4 + "0.04 1" + std::string(5000, '7') + "e-5000 2 3\n", "0\n0\nout.csv\n", 0},
      {"h\n" + rows4 + "0.04 1e99999999 -1e-99999999 1e-99999999\n", "0\n0\nout.csv\n", 0},
      {"h\n0 3e38 3e38 -3e38\n0.01 3e38 3e38 3e38\n0.02 3e38 -3e38 3e38\n", "2\n0\nout.csv\n", 0},
      {"h\n" + rows4, "0\n1e38\n1\n1\n1\nout.csv\n", 0},
      {"h\n" + rows4, "0\n1e-38\n1\n1\n1\nout.csv\n", 0},
      {"h\n" + rows4, "0\n0\n" + std::string(100000, 'n') + "\n", 2},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.answers + std::to_string(r.content.size()));
    sandbox box;
    box.write("w.txt", r.content);
    const run_result got = box.run("w.txt\n" + r.answers);
    EXPECT_EQ(got.status, r.status) << got.err;
  }
  sandbox box; // the transform overflows: infinities and NaN in the file
  box.write("w.txt", rows[6].content);
  ASSERT_EQ(box.run("w.txt\n0\n0\nout.csv\n").status, 0);
  EXPECT_NE(box.read("out.csv").find("Infinity"), std::string::npos);
}

// A signal at any prompt ends the waiting read at once.
TEST(Interrupts, SignalAtEveryPrompt) {
  const struct {
    const char *answers;
    const char *prompt;
  } rows[] = {{"", "Enter input file of waveform data\n"},
              {"w.txt\n", "(Enter=3)\n"},
              {"w.txt\n0\n", "No smoothing.\n\n Enter Band Width(Hz):\n"},
              {"w.txt\n0\n0.1\n", "Enter 0 for stop\n"},
              {"w.txt\n0\n0\n", "Enter output file name (csv format)\n"}};
  for (const auto &r : rows) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      SCOPED_TRACE(std::string(r.prompt) + std::to_string(sig));
      sandbox box;
      box.write("w.txt", waveform_text(16, 0.01));
      const run_result got = box.signal_at_prompt(r.answers, r.prompt, sig);
      EXPECT_EQ(got.status, 1);
      EXPECT_EQ(got.err, sig == SIGINT ? "Interrupt\n" : "Killed\n");
      EXPECT_TRUE(got.out.ends_with(r.prompt));
    }
  }
}

TEST(Interrupts, IgnoredInterruptStaysIgnored) {
  sandbox box;
  box.write("w.txt", waveform_text(16, 0.01));
  const run_result got = box.signal_at_prompt("", "Enter input file of waveform data\n", SIGINT,
                                              true, "w.txt\n0\n0\nout.csv\n");
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.err, "");
  EXPECT_TRUE(box.exists("out.csv"));
}

} // namespace
} // namespace wavespec::testing
