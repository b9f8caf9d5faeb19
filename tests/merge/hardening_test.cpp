// The converter against hostile input and outputs: devices, links, intervals
// the time column cannot write, samples wavespec cannot read back, components
// of different records, and files cut anywhere.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "merge/merge_helpers.h"
#include "merge/output.h"

namespace wavespec::merge {
namespace {

series made(double dt, std::vector<double> values, const char *site = "S") {
  series s;
  s.source = "made";
  s.site = site;
  s.units = "gal";
  s.dt = dt;
  s.values = std::move(values);
  return s;
}

std::string refusal(const std::vector<series> &xyz, merge_options o = {}) {
  try {
    (void)check_components(xyz, o);
  } catch (const merge_error &e) {
    return e.what();
  }
  return "accepted";
}

TEST(MergeHardening, OutputsAreWrittenThroughNeverReplaced) {
  const scratch dir;
  const std::string v2a = data + "wtmc.V2A";
  const std::string out = dir.file("out.txt", "old");
  ::umask(027);
  ASSERT_EQ(merge_cmd(v2a + " -o " + out).status, 0);
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u); // as a new file under the umask
  ::umask(022);
  const std::string expected = slurp(out);

  const result full = merge_cmd(v2a + " -o /dev/full");
  EXPECT_EQ(full.status, 2);
  EXPECT_EQ(full.err, "wavespec-merge: /dev/full: No space left on device\n");
  EXPECT_EQ(merge_cmd(v2a + " -o /dev/null").status, 0);
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  const std::string piped = dir.file("piped.txt", "");
  EXPECT_EQ(merge_cmd(v2a + " -o - > " + piped).status, 0);
  EXPECT_EQ(slurp(piped), expected);
  EXPECT_EQ(merge_cmd(v2a + " -o /dev/stdout | cat > " + piped).status, 0);
  EXPECT_EQ(slurp(piped), expected);
  // Appended through standard output, by any of its names: what was there stays.
  for (const char *name : {"-", "/dev/stdout", "/proc/self/fd/1"}) {
    const std::string log = dir.file("log.txt", "earlier\n");
    EXPECT_EQ(merge_cmd(v2a + " -o " + name + " >> " + log).status, 0) << name;
    EXPECT_EQ(slurp(log), "earlier\n" + expected) << name;
  }

  const std::string target = dir.file("target.txt", "old"), link = target + ".link";
  fs::create_symlink(target, link);
  EXPECT_EQ(merge_cmd(v2a + " -o " + link).status, 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(slurp(target), expected);

  // The output is an input under another name: refused, the input intact.
  const std::string input = dir.file("in.V2A", slurp(v2a)), alias = input + ".alias";
  fs::create_hard_link(input, alias);
  const result over = merge_cmd(input + " -o " + alias);
  EXPECT_EQ(over.status, 2);
  EXPECT_EQ(over.err, "wavespec-merge: " + alias + ": is the input file " + input +
                          "; name another output\n");
  EXPECT_EQ(slurp(input), slurp(v2a));
}

TEST(MergeHardening, IntervalsTheTimeColumnCanWrite) {
  const struct {
    double dt;
    const char *what;
  } rows[] = {
      {0.0, "sampling interval 0 s is not positive"},
      {-0.01, "sampling interval -0.01 s is not positive"},
      {INFINITY, "sampling interval inf s is not finite"},
      {NAN, "sampling interval nan s is not finite"},
      {1e-12, "sampling interval 1e-12 s cannot be written in the time column"},
      {1.4e-9, "sampling interval 1.4e-09 s cannot be written in the time column"},
      {1e300, "sampling interval 1e+300 s cannot be written in the time column"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.dt);
    const std::vector<series> xyz(3, made(r.dt, {1, 2, 3}));
    EXPECT_EQ(refusal(xyz).substr(0, 10 + std::strlen(r.what)), std::string("X (made): ") + r.what);
  }
  EXPECT_EQ(refusal({made(0.01, {1, 2}), made(-0.01, {1, 2}), made(0.01, {1, 2})}),
            "Y (made): sampling interval -0.01 s is not positive");
  EXPECT_EQ(refusal(std::vector<series>(3, made(1e-9, {1, 2}))), "accepted");
  EXPECT_EQ(time_text(3, 1e-9), "0.000000003");
  const result inf = merge_cmd("--format generic --dt inf a b c -o x");
  EXPECT_EQ(inf.status, 2);
  EXPECT_NE(inf.err.find("--dt: not a finite number: 'inf'"), std::string::npos);
}

TEST(MergeHardening, SamplesWaveSpecCannotReadBackAreRefused) {
  const scratch dir;
  const std::string at2 = "PEER\nTest Event, 01/01/2000, Test Station, 000\nUNITS OF G\n"
                          "NPTS= 4, DT= .01\n";
  for (const char *bad : {"nan", "-inf", "1e39", "1e400"}) {
    SCOPED_TRACE(bad);
    const std::string path = dir.file("bad.at2", at2 + "1 2\n3 " + std::string(bad) + "\n");
    const std::string expected = path + ": malformed data at line 6: '" + bad + "'";
    EXPECT_EQ(failure_of(path).substr(0, expected.size()), expected);
    const std::string column = dir.file("bad.txt", std::string("1\n") + bad + "\n");
    EXPECT_NE(failure_of(column).find("malformed data at line 2"), std::string::npos);
  }
  // Beyond a float once converted, or once the mean is removed.
  EXPECT_EQ(refusal({made(0.01, {1, 2}), made(0.01, {1, 4e38}), made(0.01, {1, 2})}),
            "Y (made): sample 2 is 4e+38 gal, beyond a 32-bit float");
  const std::vector<series> edge(3, made(0.01, {3.4e38, 3.4e38, -3.4e38}));
  const std::string out = dir.file("demeaned.txt", "");
  fs::remove(out);
  EXPECT_EQ(check_components(edge, {}), 3u);
  try {
    write_waveform(out, edge, 3, {true, false, false});
    ADD_FAILURE();
  } catch (const merge_error &e) {
    EXPECT_STREQ(e.what(), "X (made): sample 3 is -4.53333e+38 gal once the mean is removed, "
                           "beyond a 32-bit float");
  }
  EXPECT_FALSE(fs::exists(out));
}

TEST(MergeHardening, ComponentsOfDifferentRecordsAreNotMerged) {
  std::vector<series> xyz(3, made(0.01, {1, 2, 3}));
  xyz[2].site = "OTHER";
  EXPECT_EQ(refusal(xyz),
            "different sites: X (made) S, Z (made) OTHER; --force merges them anyway");
  EXPECT_EQ(refusal(xyz, {false, false, true}), "accepted");
  xyz[2].site = "S";
  xyz[0].start = 1e9;
  xyz[1].start = 1e9 + 0.01; // one sample apart: the same record
  xyz[2].start = 1e9 + 3600;
  EXPECT_EQ(refusal(xyz), "different start times: X (made) 2001-09-09T01:46:40.000, Z (made) "
                          "2001-09-09T02:46:40.000; --force merges them anyway");

  // The start times the headers carry.
  const auto start_of = [](const char *name) {
    const std::string path = data + name;
    const component_file file = read_component_file(path);
    return read_components(*detect_format(file), file, {})[0].start;
  };
  EXPECT_DOUBLE_EQ(start_of("mli_HNN_first20.V1c"), 1589540596.34); // 2020-05-15 11:03:16.340
  EXPECT_EQ(start_of("test_NS.knet"), 1299854819);                  // 2011-03-11 14:46:59
  EXPECT_EQ(start_of("0111a.smc"), 624672240);                      // 1989-10-18 00:04:00

  // The K-NET files of another station or another time, end to end.
  const scratch dir;
  std::string other = slurp(data + "test_UD.knet");
  other.replace(other.find("TST001"), 6, "TST002");
  const std::string ud = dir.file("other.knet", other);
  const std::string ns_ew = data + "test_NS.knet " + data + "test_EW.knet ";
  const result station = merge_cmd(ns_ew + ud + " -o " + dir.file("x.txt", ""));
  EXPECT_EQ(station.status, 2);
  EXPECT_NE(station.err.find("different sites"), std::string::npos);
  EXPECT_EQ(merge_cmd("--force " + ns_ew + ud + " -o " + dir.file("x.txt", "")).status, 0);
  other = slurp(data + "test_UD.knet");
  other.replace(other.find("14:46:59"), 8, "15:46:59");
  const result later =
      merge_cmd(ns_ew + dir.file("later.knet", other) + " -o " + dir.file("y.txt", ""));
  EXPECT_NE(later.err.find("different start times"), std::string::npos);
}

// A file cut anywhere is refused, or gives the whole file's first samples.
void expect_cut_files_refused_or_faithful(const std::string &name) {
  const std::string whole = slurp(data + name);
  const format_entry &format = *detect_format(read_component_file(data + name));
  const std::vector<series> all = read_components(format, read_component_file(data + name), {});
  std::vector<std::size_t> line_ends;
  for (std::size_t i = 0; i < whole.size(); ++i)
    if (whole[i] == '\n')
      line_ends.push_back(i + 1);
  // Every line of a small file; of a large one, the header and a sample.
  const std::size_t step = std::max<std::size_t>(1, line_ends.size() / 250);
  std::size_t refused = 0, cases = 0;
  for (std::size_t l = 0; l < line_ends.size(); l += l < 60 ? 1 : step) {
    const std::size_t start = l == 0 ? 0 : line_ends[l - 1], end = line_ends[l];
    for (const std::size_t cut : {end, start + (end - start) / 2, end - 2}) {
      if (cut <= start && l > 0)
        continue;
      ++cases;
      try {
        const auto got =
            read_components(format, component_from_bytes(name, whole.substr(0, cut), &format), {});
        ASSERT_EQ(got.size(), all.size()) << name << " cut at " << cut;
        for (std::size_t c = 0; c < got.size(); ++c) {
          ASSERT_LE(got[c].values.size(), all[c].values.size());
          ASSERT_TRUE(std::equal(got[c].values.begin(), got[c].values.end(), all[c].values.begin()))
              << name << " cut at " << cut << ": not the whole file's first samples";
        }
      } catch (const merge_error &) {
        ++refused;
      }
    }
  }
  EXPECT_GT(refused, 0u) << name << ", " << cases << " cuts";
}

TEST(MergeHardening, FilesCutAnywhereAreRefusedOrFaithful) {
  for (const char *name :
       {"0111a.smc", "mli_HNN_first20.V1c", "wtmc.V2A", "test_000.at2", "test_NS.knet"}) {
    SCOPED_TRACE(name);
    expect_cut_files_refused_or_faithful(name);
  }
}

} // namespace
} // namespace wavespec::merge
