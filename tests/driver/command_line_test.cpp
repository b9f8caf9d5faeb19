// The command line, end to end: the dialogue's bytes for every option, batches
// with failures, usage errors, standard streams, interrupts, and jobs.
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "driver/run_helper.h"

namespace wavespec::testing {
namespace fs = std::filesystem;
namespace {

const std::string try_help = "Try 'wavespec --help' for more information.\n";

std::string record(const std::string &name) {
  return read_file(std::string(WAVESPEC_DATA) + "/" + name);
}

std::vector<std::string> files_in(const fs::path &dir) {
  std::vector<std::string> names;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    if (!e.is_directory())
      names.push_back(fs::relative(e.path(), dir).string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CommandLine, EveryOptionGivesTheDialoguesBytes) {
  const char *const names[] = {"none", "integrate", "double-integrate", "differentiate"};
  for (const char *rec : {"sf1295.txt", "wtmc_v2a.txt", "nc_mli.txt"}) {
    sandbox box;
    box.write("w.txt", record(rec));
    for (int op = 0; op <= 3; ++op)
      for (const char *band : {"0", "0.25"}) {
        SCOPED_TRACE(std::string(rec) + " " + std::to_string(op) + " " + band);
        ASSERT_EQ(box.run("w.txt\n" + std::to_string(op) + "\n" + band + "\nd.csv\n").status, 0);
        const std::string want = box.read("d.csv");
        const run_result by_number =
            box.command({"-m", std::to_string(op), "-b", band, "-o", "c.csv", "w.txt"});
        EXPECT_EQ(by_number.status, 0) << by_number.err;
        EXPECT_EQ(by_number.err, "");
        EXPECT_EQ(box.read("c.csv"), want);
        const run_result by_name =
            box.command({std::string("--operation=") + names[op], "--band", band, "w.txt"});
        EXPECT_EQ(by_name.out, want); // one input: standard output
        const run_result piped =
            box.command({"--oper", names[op], "--band=" + std::string(band), "-"}, record(rec));
        EXPECT_EQ(piped.out, want);
      }
    // A name that leads to a pipe, which no path reaches: written through.
    const run_result through = box.command({"-o", "/dev/stdout", "w.txt"});
    EXPECT_EQ(through.status, 0) << through.err;
    EXPECT_EQ(through.out, box.command({"w.txt"}).out);
  }
}

TEST(CommandLine, ABatchGoesOnPastItsFailures) {
  sandbox box;
  box.write("good.txt", record("sf1295.txt"));
  box.write("bad.txt", "h\n0 1 2 3\n0.01 1 x 3\n");
  box.write("wide.txt", record("nc_mli.txt")); // refuses 0.5 Hz
  ASSERT_EQ(box.run("good.txt\n1\n0.5\nwant.csv\n").status, 0);
  const run_result got =
      box.command({"-m", "1", "-b", "0.5", "-d", "out/deep", "good.txt", "missing.txt", "bad.txt",
                   "wide.txt", "--summary", "sum.csv", "-j", "2"});
  EXPECT_EQ(got.status, 2);
  EXPECT_EQ(files_in(box.dir() / "out"), std::vector<std::string>{"deep/good.csv"});
  EXPECT_EQ(box.read("out/deep/good.csv"), box.read("want.csv"));
  // Failed rows name no output; messages say what failed and where, on one line.
  EXPECT_EQ(box.read("sum.csv"),
            "input,output,status,nt,dt,nf,df_hz,fmax_hz,band_min_hz,band_max_hz,message,warnings\n"
            "good.txt,out/deep/good.csv,ok,6001,0.00499999989,8192,0.0244140625,100.024406,"
            "0.0905422345,2.26355577,,\n"
            "missing.txt,,failed,,,,,,,,open: No such file or directory,\n"
            "bad.txt,,failed,,,,,,,,line 3: invalid number,\n"
            "wide.txt,,failed,19200,0.00999999978,32768,0.00305175781,"
            "50.0030479,0.0113177793,0.282944471,band 0.5 Hz is outside 0.0113177793 .. "
            "0.282944471 Hz for this record,\n");
  EXPECT_NE(got.err.find("wavespec: bad.txt: line 3: invalid number\n"), std::string::npos);
  EXPECT_NE(got.err.find("wavespec: missing.txt: open: No such file or directory\n"),
            std::string::npos);
  EXPECT_NE(got.err.find("wavespec: wide.txt: band 0.5 Hz is outside 0.0113177793 .. "
                         "0.282944471 Hz for this record\n"),
            std::string::npos);
  EXPECT_NE(got.err.find("wavespec: 1 of 4 records written to out/deep in "), std::string::npos);
  EXPECT_TRUE(got.err.ends_with(" s, 3 failed\n")) << got.err;
}

// A record whose grid refuses the Konno-Ohmachi centres writes nothing, not
// even a header on standard output, as a refused Parzen band does not.
TEST(CommandLine, RefusedCentresWriteNothingToStandardOutput) {
  sandbox box;
  box.write("w.txt", waveform_text(512, 0.01)); // df 0.1953125, Nyquist 50 Hz
  box.write("tiny.txt", "h\n0 1 2 3\n1e-45 2 3 4\n2 1 1 1\n3 0 1 2\n"); // df inf
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--konno-ohmachi", "40", "--frequencies", "0.01:80:5", "w.txt"},
        std::vector<std::string>{"--konno-ohmachi", "40", "--eas", "--hv", "tiny.txt"}}) {
    const run_result got = box.command(args);
    EXPECT_EQ(got.status, 2) << args.back();
    EXPECT_EQ(got.out, "") << args.back();
    EXPECT_NE(got.err.find("wavespec: " + args.back() + ": "), std::string::npos) << got.err;
  }
}

TEST(CommandLine, UsageErrorsReadAndWriteNothing) {
  const struct {
    std::vector<std::string> args;
    const char *line;
  } rows[] = {
      {{"--bogus", "w.txt"}, "unrecognized option --bogus"},
      {{"-x", "w.txt"}, "unrecognized option -x"},
      {{"--out", "o.csv", "w.txt"}, "option --out is ambiguous (--output, --output-dir)"},
      {{"w.txt", "-b"}, "option -b needs a value"},
      {{"w.txt", "--jobs"}, "option --jobs needs a value"},
      {{"-m", "4", "w.txt"},
       "invalid operation '4' (0 none, 1 integrate, 2 double-integrate, 3 differentiate)"},
      {{"-b", "-1", "w.txt"}, "invalid band '-1': a bandwidth in Hz from 0 to 3.4028235e+38"},
      {{"-b", "nan", "w.txt"}, "invalid band 'nan': a bandwidth in Hz from 0 to 3.4028235e+38"},
      {{"-j", "0", "w.txt"}, "invalid jobs '0': a whole number from 1 to 4096"},
      {{"-q"}, "no input files"},
      {{"w.txt", "w.txt"}, "2 inputs need -d DIR for their outputs"},
      {{"-o", "o.csv", "w.txt", "v.txt"},
       "-o names one output, but there are 2 inputs: use -d DIR"},
      {{"-o", "o.csv", "-d", "out", "w.txt"},
       "-o and -d do not go together: -o names the output of one input"},
      {{"-d", "out", "w.txt", "sub/w.txt"}, "w.txt and sub/w.txt would both write out/w.csv"},
      {{"-d", "out", "-", "-"}, "standard input (\"-\") can be read only once"},
      {{"-o", "w.txt", "w.txt"}, "w.txt: its spectrum would replace it (w.txt)"},
      {{"--summary", "-", "w.txt"},
       "the spectrum already goes to standard output: --summary needs a file"},
      {{"--konno-ohmachi", "40", "-b", "1", "w.txt"},
       "--konno-ohmachi and a Parzen --band do not go together"},
      {{"--frequencies", "1:10:5", "w.txt"},
       "--frequencies sets the centres of --konno-ohmachi, which is missing"},
      {{"--konno-ohmachi", "0", "w.txt"},
       "invalid Konno-Ohmachi coefficient '0': a number above 0 and at most 10000, such as 40"},
      {{"--konno-ohmachi", "40", "--frequencies", "10:1:5", "w.txt"},
       "invalid frequencies '10:1:5': FMIN:FMAX:N with 0 < FMIN < FMAX, FMAX / FMIN finite, and N "
       "from 2 to 10000000"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.line);
    sandbox box;
    box.write("w.txt", waveform_text(64, 0.01));
    const run_result got = box.command(r.args);
    EXPECT_EQ(got.err, "wavespec: " + std::string(r.line) + "\n" + try_help);
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(files_in(box.dir()), std::vector<std::string>{"w.txt"});
  }
}

TEST(CommandLine, HelpAndVersion) {
  sandbox box;
  for (const char *flag : {"-h", "--help", "--he"}) {
    const run_result help = box.command({flag});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: wavespec [OPTION]... FILE...\n"));
    for (const char *option : {"--operation", "--band", "--output", "--output-dir", "--jobs",
                               "--summary", "--quiet", "--help", "--version", "Example:"})
      EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  // The manual page names every option of --help.
  const std::string manual = read_file(std::string(WAVESPEC_DATA) + "/../doc/wavespec.1");
  for (const char *option : {"operation", "band", "output", "output\\-dir", "jobs", "summary",
                             "quiet", "help", "version"})
    EXPECT_NE(manual.find(std::string("\\-\\-") + option), std::string::npos) << option;
  const run_result v = box.command({"-V"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "wavespec " WAVESPEC_VERSION "\n");
}

TEST(CommandLine, JobsDoNotChangeTheFiles) {
  sandbox box;
  std::vector<std::string> inputs;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "r" + std::to_string(i) + ".txt";
    box.write(name, waveform_text(1000 + 650 * i, 0.01, static_cast<unsigned>(i)));
    inputs.push_back(name);
  }
  std::vector<std::string> one = {"-q", "-m", "2", "-b", "0.5", "-j", "1", "-d", "one"};
  std::vector<std::string> four = {"-q", "-m", "2", "-b", "0.5", "-j", "4", "-d", "four"};
  one.insert(one.end(), inputs.begin(), inputs.end());
  four.insert(four.end(), inputs.begin(), inputs.end());
  const run_result a = box.command(one), b = box.command(four);
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(a.err + b.err, ""); // quiet
  for (int i = 0; i < 12; ++i) {
    const std::string csv = "r" + std::to_string(i) + ".csv";
    EXPECT_EQ(box.read("one/" + csv), box.read("four/" + csv)) << csv;
  }
}

std::vector<std::vector<double>> csv_numbers(const std::string &text) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(text.substr(text.find('\n') + 1));
  for (std::string line; std::getline(in, line);) {
    rows.emplace_back();
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, ',');)
      rows.back().push_back(std::stod(f));
  }
  return rows;
}

TEST(CommandLine, KonnoOhmachiAndTheEffectiveAmplitudeSpectrum) {
  sandbox box;
  box.write("w.txt", record("sf1295.txt"));
  const run_result ko =
      box.command({"--konno-ohmachi", "40", "--frequencies", "0.1:10:21", "--eas", "w.txt"});
  ASSERT_EQ(ko.status, 0) << ko.err;
  EXPECT_TRUE(ko.out.starts_with(" freq(Hz),Smoothed X,Smoothed Y,Smoothed Z,Smoothed EAS\n"));
  const auto rows = csv_numbers(ko.out);
  ASSERT_EQ(rows.size(), 21u);
  EXPECT_EQ(ko.out.substr(ko.out.find('\n') + 1, 15), "  0.100000E+00,");
  EXPECT_DOUBLE_EQ(rows.back()[0], 10.0);
  // The default centres: 100 per decade from df to the Nyquist frequency.
  EXPECT_EQ(csv_numbers(box.command({"--konno-ohmachi", "188.5", "w.txt"}).out).size(), 362u);
  // With Parzen smoothing, two more columns; the EAS of the originals.
  const run_result parzen = box.command({"-m", "1", "-b", "0.5", "--eas", "w.txt"});
  ASSERT_EQ(parzen.status, 0);
  EXPECT_TRUE(parzen.out.starts_with(
      " freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z,"
      "Original EAS,Smoothed EAS\n"));
  for (const auto &row : csv_numbers(parzen.out)) {
    ASSERT_EQ(row.size(), 9u);
    const double eas = std::sqrt((row[1] * row[1] + row[3] * row[3]) / 2);
    ASSERT_NEAR(row[7], eas, 1e-5 * eas + 1e-30); // each printed with 6 digits
  }
  // Without --eas the file is the dialogue's.
  ASSERT_EQ(box.run("w.txt\n1\n0.5\nd.csv\n").status, 0);
  EXPECT_EQ(box.command({"-m", "1", "-b", "0.5", "w.txt"}).out, box.read("d.csv"));
  // Jobs share the work, never change the bits.
  box.write("v.txt", record("wtmc_v2a.txt"));
  for (const char *jobs : {"1", "2"})
    ASSERT_EQ(box.command({"-q", "-j", jobs, "--konno-ohmachi", "40", "--eas", "-d",
                           std::string("j") + jobs, "w.txt", "v.txt"})
                  .status,
              0);
  EXPECT_EQ(box.read("j1/w.csv"), box.read("j2/w.csv"));
  EXPECT_EQ(box.read("j1/v.csv"), box.read("j2/v.csv"));
  // A single record shares its sums between the processors: the same bits.
  EXPECT_EQ(box.command({"--konno-ohmachi", "40", "--eas", "w.txt"}).out, box.read("j1/w.csv"));
}

TEST(CommandLine, AnInterruptedBatchLeavesOnlyWholeFiles) {
  sandbox box;
  box.write("big.txt", record("wtmc_v1a.txt"));
  ASSERT_EQ(box.command({"-o", "whole.csv", "big.txt"}).status, 0);
  const std::string whole = box.read("whole.csv");
  std::vector<std::string> args = {"-d", "out", "--summary", "sum.csv", "-j", "2"};
  for (int i = 0; i < 150; ++i) {
    const std::string name = "in/r" + std::to_string(i) + ".txt";
    fs::create_directories(box.dir() / "in");
    fs::create_hard_link(box.dir() / "big.txt", box.dir() / name);
    args.push_back(name);
  }
  box.write(".nothing", "");
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    fs::remove_all(box.dir() / "out");
    const pid_t pid = box.start((box.dir() / ".nothing").string(), -1, 0, args);
    for (int waited = 0; waited < 30000; waited += 10) { // until some spectra are written
      std::error_code ec;
      if (fs::exists(box.dir() / "out") &&
          std::distance(fs::directory_iterator(box.dir() / "out", ec), {}) >= 3)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, sig);
    ASSERT_TRUE(ends_within(pid, 2000));
    const run_result got = box.finish(pid);
    EXPECT_EQ(got.status, 1);
    const std::vector<std::string> written = files_in(box.dir() / "out");
    EXPECT_GT(written.size(), 0u);
    EXPECT_LT(written.size(), 150u);
    for (const std::string &f : written) // no temporary file, no piece of one
      EXPECT_EQ(box.read("out/" + f), whole) << f;
    const std::string summary = box.read("sum.csv");
    EXPECT_EQ(std::count(summary.begin(), summary.end(), '\n'),
              static_cast<long>(written.size()) + 1);
    EXPECT_NE(got.err.find("wavespec: interrupted: "), std::string::npos) << got.err;
  }
}

// A stopped batch resumed: the second run passes over what the first
// wrote, and the folder is the one an uninterrupted run writes, byte for
// byte.
TEST(CommandLine, AnInterruptedBatchIsResumed) {
  sandbox box;
  box.write("big.txt", record("wtmc_v1a.txt"));
  box.write(".nothing", "");
  std::vector<std::string> inputs;
  fs::create_directories(box.dir() / "in");
  for (int i = 0; i < 40; ++i) {
    inputs.push_back("in/r" + std::to_string(i) + ".txt");
    fs::create_hard_link(box.dir() / "big.txt", box.dir() / inputs.back());
  }
  const auto args = [&](std::vector<std::string> a) {
    a.insert(a.end(), inputs.begin(), inputs.end());
    return a;
  };
  ASSERT_EQ(box.command(args({"-q", "-m", "2", "--metadata", "-d", "whole"})).status, 0);
  const pid_t pid = box.start((box.dir() / ".nothing").string(), -1, 0,
                              args({"-q", "-m", "2", "--metadata", "-d", "out", "-j", "2"}));
  for (int waited = 0; waited < 30000; waited += 10) {
    std::error_code ec;
    if (fs::exists(box.dir() / "out") &&
        std::distance(fs::directory_iterator(box.dir() / "out", ec), {}) >= 10)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGINT);
  ASSERT_EQ(box.finish(pid).status, 1);
  const std::size_t first = files_in(box.dir() / "out").size();
  const run_result resumed = box.command(
      args({"-q", "-m", "2", "--metadata", "-d", "out", "--resume", "--summary", "s.csv"}));
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  const std::vector<std::string> names = files_in(box.dir() / "whole");
  ASSERT_EQ(names.size(), 80u);
  EXPECT_EQ(files_in(box.dir() / "out"), names);
  for (const std::string &n : names)
    EXPECT_EQ(box.read("out/" + n), box.read("whole/" + n)) << n;
  const std::string summary = box.read("s.csv");
  std::size_t skipped_rows = 0;
  for (std::size_t at = summary.find(",,skipped,"); at != std::string::npos;
       at = summary.find(",,skipped,", at + 1))
    ++skipped_rows;
  EXPECT_EQ(skipped_rows * 2, first - first % 2); // each skipped record had both its files
}

// A folder of many lengths with one band: refused where it does not fit,
// or with --band-clamp each record's nearest limit, listed in the summary.
TEST(CommandLine, ADryRunAndABandClampedForAFolder) {
  sandbox box;
  box.write("a.txt", record("sf1295.txt"));  // limits 0.0905 .. 2.26 Hz
  box.write("b.txt", record("np_2825.txt")); // 44800 samples: 0.0113 .. 0.283 Hz
  const run_result dry = box.command({"--dry-run", "a.txt", "b.txt"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out.substr(0, dry.out.find('\n')),
            "input,output,status,nt,dt,nf,df_hz,fmax_hz,band_min_hz,band_max_hz,message,warnings");
  EXPECT_NE(dry.out.find("\nb.txt,,ok,44800,"), std::string::npos) << dry.out;
  EXPECT_EQ(files_in(box.dir()), (std::vector<std::string>{"a.txt", "b.txt"}));
  const run_result refused = box.command({"-q", "-b", "0.5", "-d", "o1", "a.txt", "b.txt"});
  EXPECT_EQ(refused.status, 2);
  const run_result clamped = box.command(
      {"-q", "-b", "0.5", "--band-clamp", "-d", "o2", "--summary", "s.csv", "a.txt", "b.txt"});
  EXPECT_EQ(clamped.status, 0) << clamped.err;
  const std::string summary = box.read("s.csv");
  EXPECT_NE(summary.find(",message,warnings,band_hz\n"), std::string::npos);
  EXPECT_NE(summary.find("\na.txt,o2/a.csv,ok,6001,"), std::string::npos);
  EXPECT_TRUE(summary.find(",,0.5\n") != std::string::npos) << summary; // a.txt takes 0.5
  EXPECT_NE(summary.find(",,0.282944"), std::string::npos) << summary;  // b.txt its widest
}

// A reader that stops reading ends the run quietly, as a filter does.
TEST(CommandLine, AClosedStandardOutputEndsTheRunQuietly) {
  sandbox box;
  box.write("w.txt", record("wtmc_v1a.txt"));
  box.write("run.sh", "cd '" + box.dir().string() + "' && '" + WAVESPEC_BIN +
                          "' w.txt 2>err.txt | head -c 10 >/dev/null; echo ${PIPESTATUS[0]}\n");
  FILE *p = ::popen(("bash '" + (box.dir() / "run.sh").string() + "'").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char status[16] = {};
  ASSERT_NE(std::fgets(status, sizeof status, p), nullptr);
  ::pclose(p);
  EXPECT_EQ(std::string(status), "141\n"); // SIGPIPE, as `yes | head` ends
  EXPECT_EQ(box.read("err.txt"), "");
}

// Every blocking open, read or write ends within a second of SIGINT,
// SIGTERM or SIGHUP, on any thread, and the run ends as an interrupted run:
// status 1, whole files only, never a record's failure.
TEST(CommandLine, EveryWaitEndsOnASignal) {
  sandbox box;
  for (const char *name : {"r1.txt", "r2.txt", "r3.txt"})
    box.write(name, waveform_text(512, 0.01));
  box.write(".nothing", "");
  fs::create_directory(box.dir() / "fo");
  ASSERT_EQ(::mkfifo((box.dir() / "fo/r1.csv").c_str(), 0600), 0); // an output nobody reads
  ASSERT_EQ(::mkfifo((box.dir() / "in.txt").c_str(), 0600), 0);    // an input nobody writes
  const struct {
    std::vector<std::string> args;
    const char *what;
  } waits[] = {
      {{"-j", "1", "-d", "fo", "r1.txt", "r2.txt", "r3.txt"}, "a FIFO output, one job"},
      {{"-j", "2", "-d", "fo", "r1.txt", "r2.txt", "r3.txt"}, "a FIFO output, two jobs"},
      {{"-o", "fo/r1.csv", "r1.txt"}, "a FIFO output, one record"},
      {{"-j", "2", "-d", "out", "in.txt", "r2.txt"}, "a FIFO input"},
      {{"-o", "x.csv", "in.txt"}, "a FIFO input, one record"},
      {{"-d", "out", "--summary", "fo/r1.csv", "r2.txt"}, "a summary FIFO, opened first"},
      {{"--flatfile", "fo/r1.csv", "--konno-ohmachi", "40", "--frequencies", "1:10:3", "r2.txt"},
       "a flatfile FIFO, opened first"},
  };
  for (const auto &w : waits)
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
      SCOPED_TRACE(std::string(w.what) + " " + std::to_string(sig));
      const pid_t pid = box.start((box.dir() / ".nothing").string(), -1, 0, w.args);
      std::this_thread::sleep_for(std::chrono::milliseconds(300)); // well into the wait
      kill(pid, sig);
      ASSERT_TRUE(ends_within(pid, 1000));
      const run_result got = box.finish(pid);
      EXPECT_EQ(got.status, 1);
      EXPECT_NE(got.err.find("wavespec: interrupted: "), std::string::npos) << got.err;
      EXPECT_EQ(got.err.find("Interrupted system call"), std::string::npos) << got.err;
      EXPECT_EQ(got.err.find("in.txt:"), std::string::npos) << got.err; // no record's failure
    }
  EXPECT_FALSE(box.exists("x.csv"));
}

// The summary is written after an interrupt, but given up when its reader
// takes nothing for a second.
TEST(CommandLine, AStalledSummaryReaderIsGivenUp) {
  sandbox box;
  std::vector<std::string> args = {"-q", "-d", "out", "--summary", "s.fifo"};
  for (int i = 0; i < 1200; ++i) { // a summary beyond a pipe's 64 KiB
    args.push_back("a-long-name-for-a-record-so-that-rows-are-long-" + std::to_string(i) + ".txt");
    box.write(args.back(), waveform_text(8, 0.01));
  }
  box.write(".nothing", "");
  ASSERT_EQ(::mkfifo((box.dir() / "s.fifo").c_str(), 0600), 0);
  const int reader = ::open((box.dir() / "s.fifo").c_str(), O_RDONLY | O_NONBLOCK); // never reads
  const pid_t pid = box.start((box.dir() / ".nothing").string(), -1, 0, args);
  for (int waited = 0; waited < 30000; waited += 50) {
    std::error_code ec;
    if (fs::exists(box.dir() / "out") &&
        std::distance(fs::directory_iterator(box.dir() / "out", ec), {}) >= 1200)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the summary stalls
  kill(pid, SIGINT);
  ASSERT_TRUE(ends_within(pid, 2000));
  const run_result got = box.finish(pid);
  ::close(reader);
  EXPECT_EQ(got.status, 1);
  EXPECT_NE(got.err.find("summary: s.fifo: given up after the interrupt"), std::string::npos)
      << got.err;
}

// A name for an open descriptor is written through it: a file standard
// output appends to keeps what it held.
TEST(CommandLine, StandardOutputByNameKeepsAppending) {
  sandbox box;
  box.write("w.txt", waveform_text(64, 0.01));
  const std::string spectrum = box.command({"w.txt"}).out;
  for (const char *name : {"/dev/stdout", "/proc/self/fd/1", "/dev/fd/1", "-"}) {
    SCOPED_TRACE(name);
    box.write("log", "earlier\n");
    const int log = ::open((box.dir() / "log").c_str(), O_WRONLY | O_APPEND);
    const pid_t pid = box.start((box.dir() / "w.txt").string(), log, 0,
                                {"-q", "-o", name, "--metadata", "w.txt"});
    ::close(log);
    EXPECT_EQ(box.finish(pid).status, 0);
    EXPECT_EQ(box.read("log"), "earlier\n" + spectrum);
    for (const auto &e : fs::directory_iterator(box.dir())) // no sidecar, no new file
      EXPECT_TRUE(e.path().filename().string().starts_with(".") || e.path().filename() == "log" ||
                  e.path().filename() == "w.txt")
          << e.path();
  }
}

// A link in a sticky folder others may write to is followed as the system
// follows it: not when it belongs to someone else than the follower and the
// folder's owner.
TEST(CommandLine, LinksInStickyFoldersFollowTheSystemsRule) {
  sandbox box;
  box.write("w.txt", waveform_text(64, 0.01));
  const fs::path sticky = box.dir() / "sticky";
  fs::create_directory(sticky);
  ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
  fs::create_symlink("target.csv", sticky / "planted.csv");
  const uid_t other = ::geteuid() == 0 ? 65534 : ::geteuid();
  if (::lchown((sticky / "planted.csv").c_str(), other, other) != 0 || other == ::geteuid())
    GTEST_SKIP() << "no other owner for the link";
  const int kernel = ::open((sticky / "planted.csv").c_str(), O_WRONLY | O_CREAT, 0644);
  const bool kernel_refuses = kernel < 0 && errno == EACCES;
  if (kernel >= 0) {
    ::close(kernel);
    fs::remove(sticky / "target.csv");
  }
  const run_result got = box.command({"-o", "sticky/planted.csv", "w.txt"});
  EXPECT_EQ(got.status != 0, kernel_refuses) << got.err;
  if (kernel_refuses) {
    EXPECT_EQ(got.err, "wavespec: w.txt: sticky/planted.csv: Permission denied\n");
    EXPECT_FALSE(fs::exists(sticky / "target.csv"));
  }
}

// Konno-Ohmachi rows go out as they are summed: ten times the centres take
// no more memory.
TEST(CommandLine, KonnoOhmachiMemoryDoesNotGrowWithTheCentres) {
  if (sanitized)
    GTEST_SKIP() << "memory is not bounded under AddressSanitizer";
  sandbox box;
  box.write("w.txt", waveform_text(4096, 0.01));
  box.write(".nothing", "");
  long peak[2] = {};
  const char *counts[] = {"100000", "1000000"};
  for (int k = 0; k < 2; ++k) {
    const pid_t pid =
        box.start((box.dir() / ".nothing").string(), -1, 0,
                  {"--konno-ohmachi", "40", "--frequencies", std::string("0.1:40:") + counts[k],
                   "--eas", "--hv", "-o", "/dev/null", "w.txt"});
    ASSERT_EQ(box.finish(pid, &peak[k]).status, 0);
  }
  EXPECT_LT(peak[1], peak[0] + 4096) << peak[0] << " KiB, then " << peak[1] << " KiB";
}

} // namespace
} // namespace wavespec::testing
