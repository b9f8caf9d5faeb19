// Records as users put them together: K-NET/KiK-net sets (made here in the
// public layout: their files may not be shared), units and their doubts,
// labels that survive, plain numbers, values that cannot survive, and a
// whole download folder in one call.
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

#include "merge/group.h"
#include "merge/merge_helpers.h"
#include "merge/output.h"

namespace wavespec::merge {
namespace {

// A K-NET/KiK-net file: 8 counts a line in fields 9 wide, an offset added.
std::string knet(const char *station, const char *dir, int offset, int n = 20,
                 const char *time = "2011/03/11 14:46:59") {
  std::ostringstream f;
  f << "Origin Time       2011/03/11 14:46:00\nLat.              38.103\n"
    << "Long.             142.860\nDepth. (km)       24\nMag.              9.0\n"
    << "Station Code      " << station << "\nStation Lat.      38.7292\n"
    << "Station Long.     141.0217\nStation Height(m) 230\nRecord Time       " << time << "\n"
    << "Sampling Freq(Hz) 100Hz\nDuration Time(s)  " << n / 100.0 << "\nDir.              " << dir
    << "\nScale Factor      3920(gal)/6182761\nMax. Acc. (gal)   1.0\n"
    << "Last Correction   2011/03/11 14:46:44\nMemo.\n";
  for (int i = 0; i < n; ++i) {
    char field[16];
    std::snprintf(field, sizeof field, "%9d", offset + (i % 5) * 100 - 200);
    f << field << (i % 8 == 7 || i + 1 == n ? "\n" : "");
  }
  return f.str();
}

std::string header_of(const std::string &path) {
  std::ifstream f(path);
  std::string line;
  std::getline(f, line);
  return line;
}

TEST(MergeRecords, KnetOffsetsAreRemovedAndSaid) {
  const scratch dir;
  const std::string ns = dir.file("TST0011103111446.NS", knet("TST001", "N-S", 8000)),
                    ew = dir.file("TST0011103111446.EW", knet("TST001", "E-W", -4000)),
                    ud = dir.file("TST0011103111446.UD", knet("TST001", "U-D", 12000)),
                    out = dir.file("out.txt", "");
  ASSERT_EQ(merge_cmd(ns + " " + ew + " " + ud + " -o " + out).status, 0);
  const double step = 100 * 3920.0 / 6182761;
  std::istringstream rows(body(out));
  std::string row;
  std::getline(rows, row);
  char expected[64];
  std::snprintf(expected, sizeof expected, "0.00,%.7g,%.7g,%.7g", -2 * step, -2 * step, -2 * step);
  EXPECT_EQ(row, expected); // the offset gone: 8000, -4000, 12000 counts
  const std::string header = header_of(out);
  EXPECT_EQ(header.substr(0, header.find(" from ")),
            "time(s) X=TST001.N-S(gal) Y=TST001.E-W(gal) Z=TST001.U-D(gal) "
            "[counts x 3920/6182761] [mean removed]");
  ASSERT_EQ(merge_cmd("--keep-offset " + ns + " " + ew + " " + ud + " -o " + out).status, 0);
  EXPECT_EQ(header_of(out).find("mean removed"), std::string::npos);
  EXPECT_EQ(body(out).substr(0, 14), "0.00,4.945363,");

  // A last value cut inside its field, the line end kept.
  std::string cut = knet("TST001", "N-S", 8000);
  cut.erase(cut.size() - 4, 3);
  const std::string c = dir.file("cut.NS", cut);
  EXPECT_EQ(failure_of(c), c + ": malformed data at line 20: value 4 does not fill its field "
                               "(ends at column 33, not 36): the file is cut");
}

TEST(MergeRecords, ComponentsThatDoNotBelongTogetherAreRefused) {
  const scratch dir;
  const std::string b_ns = dir.file("K.NS1", knet("IBRH10", "1", 0)),
                    b_ew = dir.file("K.EW1", knet("IBRH10", "2", 0)),
                    s_ud = dir.file("K.UD2", knet("IBRH10", "6", 0)), out = dir.file("o.txt", "");
  const result mixed = merge_cmd(b_ns + " " + b_ew + " " + s_ud + " -o " + out);
  EXPECT_EQ(mixed.status, 2);
  EXPECT_NE(mixed.err.find("sensors of different places: X (" + b_ns + ") borehole, Z (" + s_ud +
                           ") surface; --force"),
            std::string::npos)
      << mixed.err;
  EXPECT_EQ(merge_cmd("--force " + b_ns + " " + b_ew + " " + s_ud + " -o " + out).status, 0);
  const result twice = merge_cmd(b_ns + " " + b_ew + " " + b_ns + " -o " + out);
  EXPECT_NE(twice.err.find("the same channel twice: X (" + b_ns + ") NS1, Z (" + b_ns + ") NS1"),
            std::string::npos)
      << twice.err;
  // Corrected with uncorrected SMC data.
  std::string smc = slurp(data + "0111b.smc");
  smc.replace(0, 24, "1 UNCORRECTED ACCELEROGRAM");
  const std::string raw = dir.file("raw.smc", smc);
  const result processing =
      merge_cmd("--trim " + data + "0111a.smc " + data + "0111c.smc " + raw + " -o " + out);
  EXPECT_NE(processing.err.find("corrected and uncorrected data"), std::string::npos)
      << processing.err;
  // Digitized film: no sample rate.
  std::string film = slurp(data + "0111a.smc");
  film.replace(film.find("0.2000000E+03"), 13, "0.1700000E+39");
  EXPECT_NE(failure_of(dir.file("film.smc", film)).find("unevenly sampled"), std::string::npos);
}

TEST(MergeRecords, UnitsAreConvertedOrDoubted) {
  const std::string sac = net + "20190706031952.CJ.T001230.HNN.sac " + net +
                          "20190706031952.CJ.T001230.HNE.sac " + net +
                          "20190706031952.CJ.T001230.HNZ.sac";
  const scratch dir;
  const std::string out = dir.file("o.txt", "");
  const result as_said = merge_cmd(sac + " -o " + out);
  ASSERT_EQ(as_said.status, 0);
  EXPECT_NE(as_said.err.find("HNZ has a mean of 1.0027: gravity if the samples are in g, "
                             "implausible in nm/s^2"),
            std::string::npos)
      << as_said.err;
  EXPECT_NE(as_said.err.find("--input-unit g"), std::string::npos);
  const std::string first = body(out).substr(0, body(out).find('\n'));
  EXPECT_EQ(first, "0.00,0.0152567,0.0224793,1.003033");
  ASSERT_EQ(merge_cmd("--unit gal " + sac + " -o " + out).status, 0);
  EXPECT_EQ(body(out).substr(0, body(out).find('\n')), "0.00,1.52567e-09,2.24793e-09,1.003033e-07");
  const result g = merge_cmd("--input-unit g --unit gal " + sac + " -o " + out);
  ASSERT_EQ(g.status, 0);
  EXPECT_EQ(g.err, "");
  EXPECT_EQ(body(out).substr(0, body(out).find('\n')), "0.00,14.96171,22.04466,983.6396");
  const result velocity = merge_cmd("--unit cm/s " + sac + " -o " + out);
  EXPECT_EQ(velocity.status, 2);
  EXPECT_NE(velocity.err.find("the samples are in nm/s^2 (acceleration); --unit cm/s is a "
                              "velocity: not converted"),
            std::string::npos);
  // Values that a 32-bit float cannot hold, too small or too large.
  const result tiny = merge_cmd("--unit gal --scale 1e-300 " + sac + " -o " + out);
  EXPECT_EQ(tiny.status, 2);
  EXPECT_NE(tiny.err.find("below a 32-bit float (and not 0)"), std::string::npos) << tiny.err;
  EXPECT_NE(failure_of(dir.file("g.txt", "NPTS= 3, DT= 0.01\n1\n1e-300\n0\n"))
                .find("line 3: '1e-300' is below the range of a 32-bit float"),
            std::string::npos);
}

TEST(MergeRecords, LabelsAreOneWordEach) {
  const scratch dir;
  const auto at2 = [&](const char *name, const char *line2, const char *values) {
    return dir.file(name, std::string("PEER NGA STRONG MOTION DATABASE RECORD\n") + line2 +
                              "\nACCELERATION TIME SERIES IN UNITS OF G\n"
                              "NPTS=     3, DT=   .0050 SEC\n" +
                              values + "\n");
  };
  const std::string a = at2("a.at2", "Test Event, 01/01/2000, Test Station, 000", ".1 .2 .3"),
                    b = at2("b.at2", "Test Event, 01/01/2000, Test Station, 090", ".4 .5 .6"),
                    c = at2("c.at2", "TEST EVENT 01/01/00 0000, Test Station, UP", ".7 .8 .9"),
                    out = dir.file("o.txt", "");
  const result r = merge_cmd(a + " " + b + " " + c + " --force -o " + out);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string header = header_of(out);
  EXPECT_EQ(header.substr(0, header.find(" from ")),
            "time(s) X=Test_Station.000(g) Y=Test_Station.090(g) Z=Test_Station.UP(g)");
  const std::string cosmos = net + "Cosmos12TimeSeriesTest2.v1";
  ASSERT_EQ(merge_cmd(cosmos + " " + c + " --force --trim --unit gal -o " + out).status, 0);
  EXPECT_EQ(header_of(out).substr(0, 52), "time(s) X=CI-J2236.340(gal) Y=---J2236.90(gal) Z=Tes");
}

TEST(MergeRecords, PlainNumbersAsUsersHaveThem) {
  const scratch dir;
  const auto values = [&](const std::string &name, const std::string &text) {
    const component_file file = read_component_file(dir.file(name, text));
    return read_components(format_named("generic"), file, {});
  };
  const auto npts = values("n.txt", "my title\n3 0.01\n1.5\n-2\n3\n");
  EXPECT_EQ(npts[0].dt, 0.01);
  EXPECT_EQ(npts[0].values, (std::vector<double>{1.5, -2, 3}));
  const auto pairs = values("t.txt", "0.000 1\n0.005 2\n0.010 3\n0.015 4\n");
  EXPECT_EQ(pairs[0].dt, 0.005);
  EXPECT_EQ(pairs[0].values, (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(failure_of(dir.file("u.txt", "0.000 1\n0.005 2\n0.013 3\n0.015 4\n")),
            dir.file("u.txt", "0.000 1\n0.005 2\n0.013 3\n0.015 4\n") +
                ": malformed data at line 3: the time is not on an even interval (the times "
                "give 0.005000 s on average): unevenly sampled");
  EXPECT_NE(failure_of(dir.file("s.txt", "4 0.01\n1\n2\n3\n"))
                .find("3 samples where the header "
                      "promises 4"),
            std::string::npos);
}

std::map<std::string, std::string> summary_rows(const std::string &path) {
  std::map<std::string, std::string> rows;
  std::ifstream f(path);
  std::string line;
  std::getline(f, line);
  EXPECT_EQ(line, "record,files,output,status,message");
  while (std::getline(f, line))
    rows[line.substr(0, line.find(','))] = line;
  return rows;
}

TEST(MergeRecords, ADownloadFolderInOneCall) {
  const scratch dir;
  std::string files;
  for (const char *name :
       {"UU.HRU.01.ENE.mseed", "UU.HRU.01.ENN.mseed", "UU.HRU.01.ENZ.mseed",
        "20190706031952.CJ.T001230.HNZ.sac", "20190706031952.CJ.T001230.HNE.sac",
        "20190706031952.CJ.T001230.HNN.sac", "Cosmos12TimeSeriesTest2.v1", "CE36456.V2"})
    files += " " + net + name;
  for (const char *dir6 : {"1", "2", "3", "4", "5", "6"}) // KiK-net: borehole and surface
    files += " " + dir.file(std::string("IBRH10.") + dir6, knet("IBRH10", dir6, 100));
  files += " " + dir.file("junk.txt", "not a record\n");
  const std::string outdir = dir.file("x", "") + "-out", summary = outdir + ".csv";
  const result r = merge_cmd("-d " + outdir + " --summary " + summary +
                             " --trim --unit gal --input-unit gal" + files);
  EXPECT_EQ(r.status, 2) << r.err;
  const auto rows = summary_rows(summary);
  ASSERT_EQ(rows.size(), 7u) << slurp(summary);
  EXPECT_NE(rows.at("UU.HRU.01.EN_20200318T130901").find(",written,"), std::string::npos);
  EXPECT_NE(rows.at("CJ.T001230..HN_20190706T031952").find(",written,"), std::string::npos);
  EXPECT_NE(rows.at("IBRH10_20110311T144659_borehole").find(",written,"), std::string::npos);
  EXPECT_NE(rows.at("IBRH10_20110311T144659_surface").find(",written,"), std::string::npos);
  EXPECT_NE(rows.at("36456_19830502T164248_corrected").find(",written,"), std::string::npos);
  EXPECT_NE(rows.at("J2236_20050616T205304_corrected")
                .find(",refused,\"incomplete: 2 components (340 of "),
            std::string::npos);
  EXPECT_NE(rows.at("junk.txt").find("unknown format"), std::string::npos);
  // The written records are those the files give one by one.
  const std::string one = dir.file("one.txt", "");
  ASSERT_EQ(merge_cmd("--unit gal --input-unit gal " + net + "CE36456.V2 --trim -o " + one).status,
            0);
  EXPECT_EQ(body(outdir + "/36456_19830502T164248_corrected.txt"), body(one));
  EXPECT_EQ(header_of(outdir + "/UU.HRU.01.EN_20200318T130901.txt").substr(0, 52),
            "time(s) X=HRU.ENN(gal) Y=HRU.ENE(gal) Z=HRU.ENZ(gal)");
  fs::remove_all(outdir);
  fs::remove(summary);
}

// The summary is one more output of a folder's conversion: naming an input
// (under any name) it is refused before anything is read, and naming a
// record written by the run it is not written, the record kept.
// Records of one name get names of their own, even beside a record whose
// name looks like one given to a second: never two records in one file.
TEST(MergeRecords, EveryRecordHasAFileOfItsOwn) {
  std::set<std::string> used;
  std::vector<std::string> got;
  for (const char *name : {"X", "X", "X-2", "X", "Y"})
    got.push_back(unused_name(name, used));
  EXPECT_EQ(got, (std::vector<std::string>{"X", "X-2", "X-2-2", "X-3", "Y"}));
}

TEST(MergeRecords, TheSummaryReplacesNoInputAndNoRecord) {
  const scratch dir;
  const std::string v2 = dir.file("CE36456.V2", slurp(net + "CE36456.V2"));
  const std::string link = dir.file("x", "") + "-link", outdir = dir.file("y", "") + "-out";
  ASSERT_EQ(::symlink(v2.c_str(), link.c_str()), 0);
  for (const std::string &summary : {v2, link}) {
    const result r = merge_cmd("-d " + outdir + " --summary " + summary + " --trim " + v2);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "wavespec-merge: " + summary + ": is the input file " + v2 +
                         "; name another summary\n");
    EXPECT_EQ(slurp(v2), slurp(net + "CE36456.V2"));
  }
  EXPECT_FALSE(fs::exists(outdir));
  const std::string record = outdir + "/36456_19830502T164248_corrected.txt";
  const result r = merge_cmd("-d " + outdir + " --summary " + record + " --trim " + v2);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("summary: " + record + ": is the record " + record + "; not written"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(header_of(record).substr(0, 8), "time(s) ");
  fs::remove_all(outdir);
}

TEST(MergeRecords, AnInterruptedFolderKeepsWhatWasFinished) {
  const scratch dir;
  const std::string fifo = dir.file("x", "") + ".fifo", outdir = dir.file("y", "") + "-out";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string status = dir.file("status", "");
  const std::string run = "(" + std::string(WAVESPEC_MERGE_BIN) + " -d " + outdir + " --summary " +
                          outdir + ".csv " + net + "CE36456.V2 " + fifo +
                          " 2>/dev/null & pid=$!; " +
                          "sleep 0.5; kill -TERM $pid; wait $pid; echo $? > " + status + ")";
  ASSERT_EQ(std::system(run.c_str()), 0);
  EXPECT_EQ(slurp(status), "1\n");
  EXPECT_EQ(slurp(outdir + ".csv"), "record,files,output,status,message\n");
  EXPECT_TRUE(fs::is_empty(outdir)); // nothing half-written
  // a summary FIFO nobody reads: the record stays, the summary is named
  const std::string err = dir.file("err", "");
  const std::string wait = "(" + std::string(WAVESPEC_MERGE_BIN) + " -d " + outdir + " --summary " +
                           fifo + " --trim " + net + "CE36456.V2 2>" + err +
                           " & pid=$!; sleep 0.5; kill -HUP $pid; wait $pid; echo $? > " + status +
                           ")";
  ASSERT_EQ(std::system(wait.c_str()), 0);
  EXPECT_EQ(slurp(status), "1\n");
  EXPECT_NE(slurp(err).find("summary: " + fifo + ": interrupted: not written"), std::string::npos)
      << slurp(err);
  EXPECT_TRUE(fs::exists(outdir + "/36456_19830502T164248_corrected.txt"));
  fs::remove_all(outdir);
}

// A FIFO nobody opens, as the output or as an input, holds the conversion
// only until a signal: then nothing is written and the status says so.
TEST(MergeRecords, ASignalEndsTheWaitForAFifo) {
  const scratch dir;
  const std::string fifo = dir.file("wait", "") + ".fifo", out = dir.file("out", "") + ".txt";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string merge = std::string(WAVESPEC_MERGE_BIN) + " --trim ";
  const std::string v2 = net + "CE36456.V2 ";
  for (const std::string &args : {v2 + "-o " + fifo, v2 + fifo + " -o " + out})
    for (const char *sig : {"TERM", "HUP"}) {
      SCOPED_TRACE(args + " SIG" + sig);
      const std::string status = dir.file("status", ""), err = dir.file("err", "");
      const std::string run = "(" + merge + args + " 2>" + err + " & pid=$!; sleep 0.3; kill -" +
                              sig + " $pid; wait $pid; echo $? > " + status + ")";
      ASSERT_EQ(std::system(run.c_str()), 0);
      EXPECT_EQ(slurp(status), "1\n");
      EXPECT_NE(slurp(err).find("wavespec-merge: interrupted: "), std::string::npos);
      for (const auto &entry : fs::directory_iterator(fs::path(out).parent_path()))
        EXPECT_EQ(entry.path().filename().string().find("out.txt"), std::string::npos)
            << entry.path(); // neither the output nor a scratch file
    }
}

} // namespace
} // namespace wavespec::merge
