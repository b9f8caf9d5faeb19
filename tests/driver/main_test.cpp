// The program's entry: failure reports and statuses, hostile input, signals
// at every prompt and while a write blocks, bounded memory, and files that
// must not be touched.
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
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

namespace fs = std::filesystem;
namespace {

const std::string lately_reading = "lately reading sequential formatted external IO\n";

TEST(HonestFailures, TheSpectrumFileIsNeverTheWaveformFile) {
  for (const char *name : {"w.txt", "./w.txt", "hard.txt", "soft.txt", "sub/../w.txt   "}) {
    SCOPED_TRACE(name);
    sandbox box;
    const std::string record = waveform_text(64, 0.01);
    box.write("w.txt", record);
    fs::create_hard_link(box.dir() / "w.txt", box.dir() / "hard.txt");
    fs::create_symlink("w.txt", box.dir() / "soft.txt");
    fs::create_directory(box.dir() / "sub");
    const run_result got = box.run(std::string("w.txt\n0\n0\n") + name + "\n");
    const std::string trimmed = std::string(name).substr(0, std::string(name).find(' '));
    EXPECT_EQ(got.err, "open: the spectrum file is the waveform file\n"
                       "apparent state: unit 10 named " +
                           trimmed + "\n" + lately_reading);
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(box.read("w.txt"), record); // left exactly as it was
  }
}

TEST(HonestFailures, ARepeatCountBeforeALoneSignOrPointGivesNulls) {
  // The first record written with a repeat count before a lone sign or point
  // gives the same samples as the same nulls written with commas.
  const struct {
    const char *lone;
    const char *nulls;
  } rows[] = {{"0 2*- 9", "0,,,9"},   {"0 2*+\t9", "0,,,9"}, {"0 2*.\n9", "0,,,9"},
              {"0 2*+.\n9", "0,,,9"}, {"0 2*-,9", "0,,,9"},  {"0 2*-/", "0/"}};
  const std::string tail = "0.01 1 2 3\n0.02 4 5 6\n0.03 7 8 9\n";
  for (const auto &r : rows) {
    SCOPED_TRACE(r.lone);
    sandbox box;
    box.write("lone.txt", std::string("h\n") + r.lone + "\n" + tail);
    box.write("nulls.txt", std::string("h\n") + r.nulls + "\n" + tail);
    const run_result lone = box.run("lone.txt\n0\n0\nlone.csv\n");
    ASSERT_EQ(lone.status, 0) << lone.err;
    ASSERT_EQ(box.run("nulls.txt\n0\n0\nnulls.csv\n").status, 0);
    EXPECT_EQ(box.read("lone.csv"), box.read("nulls.csv"));
  }
  // The same in keyboard answers: no change, no smoothing.
  sandbox box;
  box.write("w.txt", waveform_text(64, 0.01));
  ASSERT_EQ(box.run("w.txt\n0\n0\nplain.csv\n").status, 0);
  const run_result keyboard = box.run("w.txt\n2*-\n2*.\nnull.csv\n");
  EXPECT_EQ(keyboard.status, 0) << keyboard.err;
  EXPECT_EQ(box.read("null.csv"), box.read("plain.csv"));
}

// A pipe with `room` bytes left in it (0: full), nobody reading it.
struct blocked_pipe {
  int read_end = -1, write_end = -1;
  blocked_pipe() {
    int fds[2];
    if (pipe(fds) != 0)
      throw std::runtime_error("pipe");
    read_end = fds[0], write_end = fds[1];
    fcntl(write_end, F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (::write(write_end, block.data(), block.size()) > 0) {
    }
    fcntl(write_end, F_SETFL, 0);
  }
  ~blocked_pipe() {
    close(read_end);
    close(write_end);
  }
};

TEST(HonestFailures, SignalsEndTheRunWhileAWriteBlocks) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    const std::string said = sig == SIGINT ? "Interrupt\n" : "Killed\n";
    { // the console is a full pipe
      sandbox box;
      box.write("answers", "w.txt\n0\n0\nout.csv\n");
      box.write("w.txt", waveform_text(64, 0.01));
      const blocked_pipe console;
      const pid_t pid = box.start((box.dir() / "answers").string(), console.write_end);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      kill(pid, sig);
      EXPECT_TRUE(ends_within(pid, 1000));
      const run_result got = box.finish(pid);
      EXPECT_EQ(got.status, 1);
      EXPECT_EQ(got.err, said);
    }
    { // the spectrum "file" is a FIFO nobody reads
      sandbox box;
      box.write("answers", "w.txt\n0\n0\nout.csv\n");
      box.write("w.txt", bundled_record());
      mkfifo((box.dir() / "out.csv").c_str(), 0644);
      const pid_t pid = box.start((box.dir() / "answers").string());
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      kill(pid, sig);
      EXPECT_TRUE(ends_within(pid, 1000));
      const run_result got = box.finish(pid);
      EXPECT_EQ(got.status, 1);
      EXPECT_EQ(got.err, said);
    }
  }
}

// Runs the dialogue to its last prompt, gives the output name, and sends
// SIGHUP `delay_us` later.
run_result hangup_after_name(const sandbox &box, const std::string &name, int delay_us) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0)
    throw std::runtime_error("pipe");
  const pid_t pid = box.start("/proc/self/fd/" + std::to_string(in[0]), out[1]);
  close(in[0]);
  close(out[1]);
  const std::string answers = "w.txt\n0\n0\n", prompt = "Enter output file name (csv format)\n";
  if (::write(in[1], answers.data(), answers.size()) < 0)
    throw std::runtime_error("write");
  std::string seen;
  char buf[4096];
  for (ssize_t n; !seen.ends_with(prompt) && (n = ::read(out[0], buf, sizeof buf)) > 0;)
    seen.append(buf, static_cast<std::size_t>(n));
  if (::write(in[1], name.data(), name.size()) < 0)
    throw std::runtime_error("write");
  std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
  kill(pid, SIGHUP);
  close(in[1]);
  close(out[0]);
  return box.finish(pid);
}

TEST(HonestFailures, AHangupWhileWritingLeavesOnlyWholeNewRows) {
  sandbox box;
  box.write("w.txt", read_file(std::string(WAVESPEC_DATA) + "/wtmc_v1a.txt"));
  ASSERT_EQ(box.run("w.txt\n0\n0\nfull.csv\n").status, 0);
  const std::string full = box.read("full.csv");
  const std::string old(8 << 20, 'x');
  for (int delay_us : {0, 500, 1000, 2000, 3000, 5000, 8000}) {
    SCOPED_TRACE(delay_us);
    box.write("out.csv", old);
    const run_result got = hangup_after_name(box, "out.csv\n", delay_us);
    const std::string now = box.read("out.csv");
    if (got.status == 0) { // finished before the hangup
      EXPECT_EQ(now, full);
      continue;
    }
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.err, "Killed\n");
    if (now == old)
      continue; // the hangup came before the file was opened
    EXPECT_EQ(now, full.substr(0, now.size())) << "not a prefix of the new file";
    EXPECT_TRUE(now.empty() || now.back() == '\n') << "a row cut short";
  }
}

TEST(HonestFailures, EndlessInputTakesBoundedMemory) {
  if (sanitized)
    GTEST_SKIP() << "memory is not bounded under AddressSanitizer";
  sandbox box;
  const pid_t pid = box.start("/dev/zero");
  long most = 0;
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    most = std::max(most, resident_kb(pid));
  }
  kill(pid, SIGTERM);
  const run_result got = box.finish(pid);
  EXPECT_LT(most, 20 * 1024);
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.err, "Killed\n");
}

TEST(HonestFailures, HundredMegabyteNumbersAreReadInBoundedMemory) {
  if (sanitized)
    GTEST_SKIP() << "memory is not bounded under AddressSanitizer";
  sandbox box;
  // t1 = 0.(99999998 zeros)1e99999998 = 0.1; the X sample has 100 million 1s.
  std::string second =
      "0." + std::string(99999998, '0') + "1e99999998 0." + std::string(100000000, '1') + " 2 3\n";
  box.write("w.txt", "h\n0 1 2 3\n" + second);
  second.clear();
  second.shrink_to_fit();
  box.write("answers", "w.txt\n0\n0\nout.csv\n");
  long peak_kb = 0;
  const run_result got = box.finish(box.start((box.dir() / "answers").string()), &peak_kb);
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_NE(got.out.find(" NT and DT= 2  0.100000001\n"), std::string::npos) << got.out;
  EXPECT_TRUE(box.exists("out.csv"));
  EXPECT_LT(peak_kb, 20 * 1024);
}

TEST(HonestFailures, RunningOutOfMemoryIsReportedNeverAnAbort) {
  if (sanitized)
    GTEST_SKIP() << "AddressSanitizer cannot start under a small address-space limit";
  // Address-space limits from too small to enough: every run ends with a
  // report or a spectrum, never a signal.
  sandbox box;
  box.write("w.txt", read_file(std::string(WAVESPEC_DATA) + "/wtmc_v1a.txt"));
  box.write("answers", "w.txt\n2\n0.1\nout.csv\n");
  int reported = 0, finished = 0;
  for (std::size_t mb = 4; mb <= 40; mb += 2) {
    SCOPED_TRACE(mb);
    const run_result got = box.finish(box.start((box.dir() / "answers").string(), -1, mb << 20));
    ASSERT_TRUE(got.status == 0 || got.status == 2 || got.status == 127) << got.status;
    if (got.status == 2) {
      EXPECT_NE(got.err.find("out of memory\napparent state: unit "), std::string::npos) << got.err;
      EXPECT_NE(got.err.find("\nlately "), std::string::npos) << got.err;
      ++reported;
    }
    finished += got.status == 0;
  }
  EXPECT_GT(reported, 0);
  EXPECT_GT(finished, 0);
}

TEST(HonestFailures, FileNamesLongerThanTheHostTakesAreNeverOpened) {
  sandbox box;
  box.write("w.txt", waveform_text(64, 0.01));
  const std::string too_long(5000, 'a'), shown = std::string(4096, 'a') + "...";
  const run_result input = box.run(too_long + "\n");
  EXPECT_EQ(input.err, "open: File name too long\napparent state: unit 11 named " + shown + "\n" +
                           lately_reading);
  EXPECT_EQ(input.status, 2);
  const run_result output = box.run("w.txt\n0\n0\n" + std::string(4097, 'b') + "   \n");
  EXPECT_EQ(output.err, "open: File name too long\napparent state: unit 10 named " +
                            std::string(4096, 'b') + "...\n" + lately_reading);
  // Blanks after a name that fits are dropped, however many.
  EXPECT_EQ(box.run("w.txt\n0\n0\nout.csv" + std::string(100000, ' ') + "\n").status, 0);
  EXPECT_TRUE(box.exists("out.csv"));
  // A NUL is part of the name, which is never cut there.
  const std::string with_nul("w.txt\0x", 7);
  const run_result nul = box.run(with_nul + "\n");
  EXPECT_EQ(nul.err, "open: Invalid argument\napparent state: unit 11 named " + with_nul + "\n" +
                         lately_reading);
}

} // namespace
} // namespace wavespec::testing
