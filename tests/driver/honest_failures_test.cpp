// Failures reported as failures, and nothing lost: records refused, files that
// must not be touched, signals while a write blocks, memory on endless input.
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
namespace fs = std::filesystem;
namespace {

const std::string lately_reading = "lately reading sequential formatted external IO\n";

// Under AddressSanitizer the program reserves terabytes of shadow memory and
// its resident memory grows with it: limits on memory do not apply there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

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
