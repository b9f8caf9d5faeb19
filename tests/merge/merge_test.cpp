#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "merge/formats.h"
#include "merge/merge_helpers.h"
#include "merge/output.h"

namespace wavespec::merge {
namespace {

std::vector<series> read(const std::string &name, quantity q = quantity::acceleration,
                         double dt = 0) {
  const component_file file = read_component_file(data + name);
  const format_entry *f = detect_format(file);
  return read_components(f ? *f : format_named("generic"), file, {q, dt, 1.0, {}, {}, false});
}

TEST(MergeFormats, EachFormatFromItsOwnHeader) {
  const struct {
    const char *file;
    const char *format;
    std::size_t components, count;
    double dt, first, last;
    const char *component, *units;
  } rows[] = {
      {"0111a.smc", "smc", 1, 6001, 0.005, 1.5057, -0.0, "360", "gal"},
      {"0111c.smc", "smc", 1, 6004, 0.005, -5.8486, -0.0, "270", "gal"},
      {"mli_HNN_first20.V1c", "cosmos", 1, 20, 0.01, -0.004575336, -0.0, "360", "gal"},
      {"mli_HNZ_first20.V1c", "cosmos", 1, 20, 0.01, 0.01302731, -0.0, "Up", "gal"},
      {"wtmc.V2A", "geonet", 3, 8192, 0.02, 0.02, -0.0, "N28W", "gal"},
      {"test_NS.knet", "knet", 1, 10, 0.01, 1000 * 3920.0 / 6182761, 10000 * 3920.0 / 6182761,
       "N-S", "gal"},
      {"test_000.at2", "at2", 1, 7, 0.005, 0.001, 0.007, "000", "g"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.file);
    const component_file file = read_component_file(data + r.file);
    ASSERT_NE(detect_format(file), nullptr);
    ASSERT_STREQ(detect_format(file)->name, r.format);
    const auto got = read_components(*detect_format(file), file, {});
    ASSERT_EQ(got.size(), r.components);
    EXPECT_EQ(got[0].values.size(), r.count);
    EXPECT_DOUBLE_EQ(got[0].dt, r.dt);
    EXPECT_NEAR(got[0].values.front(), r.first, 1e-9);
    if (r.last != -0.0) {
      EXPECT_NEAR(got[0].values.back(), r.last, 1e-9);
    }
    EXPECT_EQ(got[0].component, r.component);
    EXPECT_EQ(got[0].units, r.units);
  }
  const auto vel = read("wtmc.V2A", quantity::velocity);
  EXPECT_EQ(vel[2].units, "cm/s");
  EXPECT_THROW((void)read("0111a.smc", quantity::velocity), merge_error);
}

TEST(MergeFormats, MalformedHeadersAreReportedWithTheirLine) {
  const scratch dir;
  const std::string knet_head =
      "Origin Time       2011/03/11 14:46:00\nLat.\nLong.\nDepth.\nMag.\n"
      "Station Code      TST001\nSLat\nSLong\nSHeight\nRecord\n"
      "Sampling Freq(Hz) 100Hz\nDuration Time(s)  0.1\nDir.              N-S\n";
  const struct {
    const char *name;
    std::string content;
    const char *message;
  } rows[] = {
      {"short.smc", "2 CORRECTED ACCELEROGRAM\n*\n", "malformed header at line 27"},
      {"knet.txt", "Origin Time       2011/03/11 14:46:00\nLat. 1\n",
       "malformed header at line 6: the file ends after 2 lines"},
      {"at2.txt", "PEER NGA\nx\nUNITS OF G\nno count here\n",
       "malformed header at line 4: no NPTS and DT"},
      // Long lines are scanned, not matched recursively: no crash.
      {"long.at2", "PEER\nx\ny\nNPTS=" + std::string(30000, ' ') + "\n",
       "malformed header at line 4: no NPTS and DT"},
      {"long.v1", "x (Format v01.20 with 13 text lines)" + std::string(100000, ' ') + "\n",
       "malformed header at line 5: the file ends after 1 lines"},
      {"scale.knet", knet_head + "Scale Factor      " + std::string(100000, '9') + "\n",
       "malformed header at line 14: scale factor"},
      // Counts too large for their type name their field.
      {"huge.at2", "PEER\nx\ny\nNPTS=99999999999999999999999, DT= .01\n",
       "malformed header at line 4: no NPTS"},
      {"big.at2", "PEER\nx\ny\nNPTS=999999999999, DT= .01\n",
       "malformed header at line 4: NPTS 999999999999 is more than 100000000"},
      // Fewer samples than the header promises.
      {"cut.knet", knet_head + "Scale Factor      3920(gal)/6182761\nMax\nLast\nMemo.\n1 2 3\n",
       "3 samples where the header promises 10"},
      {"cut.at2", "PEER\nx\ny\nNPTS= 4, DT= .01\n1 2 3\n", "3 samples where the header promises 4"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    const std::string path = dir.file(r.name, r.content);
    EXPECT_EQ(failure_of(path).substr(0, path.size() + 2 + std::strlen(r.message)),
              path + ": " + r.message);
  }
}

TEST(MergeFormats, EndlessInputEndsWithAClearError) {
  EXPECT_EQ(failure_of("/dev/zero"), "/dev/zero: line 1 is longer than 1 MiB");
  const scratch dir;
  EXPECT_EQ(failure_of(dir.file("empty", "")), dir.file("empty", "") + ": no samples");
}

TEST(MergeOutput, TimesGiveBackTheIntervalInSinglePrecision) {
  const struct {
    double dt;
    const char *t1, *t7;
  } rows[] = {
      {0.005, "0.005", "0.035"}, {0.02, "0.02", "0.14"}, {0.01, "0.01", "0.07"}, {1.0, "1", "7"}};
  for (const auto &r : rows) {
    EXPECT_EQ(time_text(1, r.dt), r.t1);
    EXPECT_EQ(time_text(7, r.dt), r.t7);
    EXPECT_EQ(std::strtof(time_text(1, r.dt).c_str(), nullptr) -
                  std::strtof(time_text(0, r.dt).c_str(), nullptr),
              static_cast<float>(r.dt));
  }
}

TEST(MergeOutput, MismatchesSayWhatAndByHowMuch) {
  std::vector<series> xyz = {read("0111a.smc")[0], read("0111c.smc")[0], read("0111b.smc")[0]};
  try {
    (void)check_components(xyz, {});
    ADD_FAILURE();
  } catch (const merge_error &e) {
    EXPECT_STREQ(e.what(), "sample counts differ: X 6001, Y 6004 (3 more), Z 6002 (1 more); --trim "
                           "cuts them to the shortest (6001)");
  }
  EXPECT_EQ(check_components(xyz, {false, true}), 6001u);
  xyz[1].dt = 0.01;
  EXPECT_THROW((void)check_components(xyz, {false, true}), merge_error);
}

TEST(MergeCommand, RealRecordsAndErrors) {
  const fs::path dir =
      fs::temp_directory_path() / ("wavespec-merge-run-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string out = (dir / "sf.txt").string();
  const std::string smc = data + "0111a.smc " + data + "0111c.smc " + data + "0111b.smc";
  const result mismatch = merge_cmd(smc + " -o " + out);
  EXPECT_EQ(mismatch.status, 2);
  EXPECT_NE(mismatch.err.find("(3 more)"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(dir)); // no output, no temporary file
  ASSERT_EQ(merge_cmd("--trim " + smc + " -o " + out).status, 0);
  EXPECT_EQ(body(out), body(WAVESPEC_TEST_DATA "/../../data/sf1295.txt"));
  const std::string analyse = "cd " + dir.string() +
                              " && printf 'sf.txt\\n2\\n0.5\\nout.csv\\n' | " + WAVESPEC_BIN +
                              " > /dev/null";
  ASSERT_EQ(std::system(analyse.c_str()), 0); // wavespec analyses the merged record
  std::ifstream csv(dir / "out.csv");
  EXPECT_EQ(std::count(std::istreambuf_iterator<char>(csv), {}, '\n'), 1 + 4097);
  csv.close();
  fs::remove(dir / "out.csv");
  ASSERT_EQ(merge_cmd(data + "wtmc.V2A -o " + (dir / "v2.txt").string()).status, 0);
  EXPECT_EQ(body(dir / "v2.txt"), body(WAVESPEC_TEST_DATA "/../../data/wtmc_v2a.txt"));

  std::ofstream(dir / "unknown.txt") << "something\nelse\n";
  const std::string u = (dir / "unknown.txt").string();
  EXPECT_EQ(merge_cmd(u + " " + u + " " + u + " -o " + (dir / "x.txt").string()).status, 2);
  EXPECT_EQ(
      merge_cmd(data + "nosuchfile " + u + " " + u + " -o " + (dir / "x.txt").string()).status, 2);
  EXPECT_FALSE(fs::exists(dir / "x.txt"));

  // The conventions of the command line: usage errors with the pointer to
  // --help, file errors without it, "--" before names that begin with "-".
  const result bogus = merge_cmd("--bogus");
  EXPECT_EQ(bogus.status, 2);
  EXPECT_EQ(bogus.err, "wavespec-merge: unrecognized option --bogus\n"
                       "Try 'wavespec-merge --help' for more information.\n");
  EXPECT_EQ(merge_cmd("--help > /dev/null").status, 0);
  EXPECT_EQ(merge_cmd("--version > /dev/null").status, 0);
  const result missing =
      merge_cmd(data + "0111a.smc " + data + "0111c.smc nosuchfile -o " + (dir / "x.txt").string());
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "wavespec-merge: nosuchfile: cannot open: No such file or directory\n");
  const result dash = merge_cmd("-o " + (dir / "x.txt").string() + " -- -a -b -c");
  EXPECT_EQ(dash.err, "wavespec-merge: -a: cannot open: No such file or directory\n");

  std::string longs;
  for (int c = 5; c <= 7; ++c) { // more than 65536 samples: written, with a warning
    const fs::path name = dir / ("long" + std::to_string(c) + ".txt");
    std::ofstream g(name);
    for (int i = 0; i < 70000; ++i)
      g << (i % c) << "\n";
    longs += " " + name.string();
  }
  const result many =
      merge_cmd("--format generic --dt 0.01" + longs + " -o " + (dir / "long_out.txt").string());
  EXPECT_EQ(many.status, 0);
  EXPECT_NE(many.err.find("at most 65536"), std::string::npos);
  fs::remove_all(dir);
}

} // namespace
} // namespace wavespec::merge
