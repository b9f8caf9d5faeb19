// One record's course and how a run ends: the closed set of outcomes, the
// record's own file never written over, a spectrum and its sidecar as one
// unit, and the summary, closing line and exit status of a run.
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "driver/run_helper.h"
#include "wavespec/batch.hpp"
#include "wavespec/flatfile.hpp"

namespace wavespec::testing {
namespace fs = std::filesystem;
namespace {

record_outcome run_one(const sandbox &box, const std::string &input, const std::string &output,
                       analysis_options options = {}, const std::string &sidecar = "") {
  workspace ws;
  run_options o;
  o.analysis = options;
  return process_record({input, output, sidecar}, o, ws, box.dir().string());
}

TEST(RecordCourse, EachFailureHasItsStatus) {
  sandbox box;
  box.write("w.txt", waveform_text(512, 0.01));
  box.write("bad.txt", "h\n0 1 2 3\n0.01 1 x 3\n");
  box.write("one.txt", "h\n0 1 2 3\n");
  fs::create_directory(box.dir() / "dir");
  const struct {
    const char *input, *output;
    analysis_options options;
    record_status status;
    const char *message; // its beginning
  } rows[] = {
      {"w.txt", "w.csv", {}, record_status::ok, ""},
      {"missing.txt", "m.csv", {}, record_status::unreadable, "open: No such file or directory"},
      {"bad.txt", "b.csv", {}, record_status::unreadable, "line 3: invalid number"},
      {"one.txt", "o.csv", {}, record_status::not_analysable, "1 sample: at least two"},
      {"w.txt", "w.csv", {operation::none, 100.0f}, record_status::band_refused, "band 100 Hz"},
      {"w.txt",
       "w.csv",
       {operation::none, 0.0f, -1.0},
       record_status::bad_options,
       "invalid Konno-Ohmachi coefficient '-1'"},
      {"w.txt", "dir", {}, record_status::output_failed, "dir: Is a directory"},
      {"w.txt", "w.txt", {}, record_status::output_failed, "its spectrum would replace it"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.message);
    const record_outcome o = run_one(box, r.input, r.output, r.options);
    EXPECT_EQ(o.status, r.status) << status_name(o.status) << ": " << o.message;
    EXPECT_EQ(o.message.substr(0, std::string(r.message).size()), r.message);
    EXPECT_EQ(status_named(status_name(r.status)), r.status);
  }
  EXPECT_EQ(box.read("w.txt"), waveform_text(512, 0.01));
}

// process_record itself refuses its input under any name, so that no front
// end can skip the rule by skipping the plan.
TEST(RecordCourse, TheInputIsNeverWrittenOver) {
  sandbox box;
  const std::string record = waveform_text(512, 0.01);
  box.write("w.txt", record);
  fs::create_symlink("w.txt", box.dir() / "link.csv");
  fs::create_hard_link(box.dir() / "w.txt", box.dir() / "hard.csv");
  for (const char *output : {"w.txt", "link.csv", "hard.csv", "./w.txt"}) {
    const record_outcome o = run_one(box, "w.txt", output);
    EXPECT_EQ(o.status, record_status::output_failed) << output;
    EXPECT_EQ(o.message, std::string("its spectrum would replace it (") + output + ")");
  }
  const record_outcome o = run_one(box, "w.txt", "w.csv", {}, "hard.csv");
  EXPECT_EQ(o.message, "its sidecar would replace it (hard.csv)");
  EXPECT_FALSE(box.exists("w.csv"));
  EXPECT_EQ(box.read("w.txt"), record);
}

// When the sidecar cannot be written, the spectrum is not replaced either.
TEST(RecordCourse, ASpectrumAndItsSidecarAreOneUnit) {
  sandbox box;
  box.write("w.txt", waveform_text(512, 0.01));
  box.write("w.csv", "the spectrum before\n");
  fs::create_directory(box.dir() / "w.json");
  const record_outcome failed = run_one(box, "w.txt", "w.csv", {}, "w.json");
  EXPECT_EQ(failed.status, record_status::output_failed);
  EXPECT_EQ(failed.message, "w.json: Is a directory");
  EXPECT_EQ(box.read("w.csv"), "the spectrum before\n");
  fs::remove(box.dir() / "w.json");
  EXPECT_TRUE(run_one(box, "w.txt", "w.csv", {}, "w.json").ok());
  EXPECT_NE(box.read("w.json").find("\"input\": \"w.txt\""), std::string::npos);
}

TEST(RunEnd, SummaryClosingLineAndStatusFromTheOutcomes) {
  sandbox box;
  box.write("w.txt", waveform_text(512, 0.01));
  run_plan plan;
  plan.destination = "out";
  std::vector<std::optional<record_outcome>> outcomes(3);
  outcomes[0] = run_one(box, "w.txt", "w.csv");
  const run_options options;
  EXPECT_EQ(summary_text(options, outcomes),
            summary_header(options) + "w.txt,w.csv,ok,512,0.00999999978,512,0.1953125,50.1953087,"
                                      "0.724337876,18.1084461,,\n");
  EXPECT_EQ(closing_line(plan, outcomes, 1.25, true),
            "interrupted: 1 of 3 records written to out in 1.2 s");
  EXPECT_EQ(exit_status(outcomes, true), 1);
  EXPECT_EQ(exit_status(outcomes, false), 2); // records not done are not written
  outcomes[1] = run_one(box, "gone.txt", "g.csv");
  outcomes[2] = outcomes[0];
  EXPECT_EQ(failure_line(*outcomes[1]), "gone.txt: open: No such file or directory");
  EXPECT_EQ(closing_line(plan, outcomes, 0.04, false),
            "2 of 3 records written to out in 0.0 s, 1 failed");
  EXPECT_EQ(exit_status(outcomes, false), 2);
  outcomes[1] = outcomes[0];
  EXPECT_EQ(exit_status(outcomes, false), 0);
  EXPECT_EQ(exit_status(outcomes, false, true), 2);
  EXPECT_EQ(progress_line(50, 200, 2, 2.0), "50/200 done, 2 failed, 25 records/s, 0:06 left");
}

// A sample that is not a finite float after reading fails its record,
// naming the line, wherever it stands; from standard input, the record.
TEST(RecordCourse, ImpossibleSamplesAreRefusedByLine) {
  const struct {
    int row; // 1-based data row, its line one more
    const char *value, *component;
  } rows[] = {{1, "1e999", "X"}, {256, "3.5e38", "Y"}, {512, "-1e39", "Z"}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.value);
    sandbox box;
    std::string text = waveform_text(512, 0.01);
    std::size_t at = 0;
    for (int line = 0; line < r.row; ++line)
      at = text.find('\n', at) + 1;
    const std::size_t end = text.find('\n', at);
    std::string row = text.substr(at, end - at);
    const int field = std::string("XYZ").find(r.component[0]) + 1;
    std::size_t begin = 0;
    for (int f = 0; f < field; ++f)
      begin = row.find(',', begin) + 1;
    row.replace(begin,
                row.find(',', begin) == std::string::npos ? std::string::npos
                                                          : row.find(',', begin) - begin,
                r.value);
    text.replace(at, end - at, row);
    box.write("w.txt", text);
    const record_outcome o = run_one(box, "w.txt", "w.csv");
    EXPECT_EQ(o.status, record_status::not_analysable);
    EXPECT_EQ(o.message.substr(0, o.message.find(" reads")),
              "line " + std::to_string(r.row + 1) + ": " + r.component);
    EXPECT_FALSE(box.exists("w.csv"));
    try {
      (void)read_waveform(box.dir() / "w.txt");
      ADD_FAILURE() << "read";
    } catch (const record_error &e) {
      EXPECT_EQ(e.line(), r.row + 1);
      EXPECT_EQ(e.reason(), record_error::kind::not_finite);
    }
  }
  const std::vector<float> x = {1.0f, 2.0f, 3.0f}, y = {1.0f, std::nanf(""), 3.0f};
  try {
    check_waveform({x, y, x, 0.01f});
    ADD_FAILURE() << "accepted";
  } catch (const record_error &e) {
    EXPECT_STREQ(e.what(), "y[1] is NaN: samples must be finite 32-bit floats");
  }
}

// One band for a folder of records of many lengths: clamped to each
// record's nearest limit, which the outcome and the sidecar say.
TEST(RecordCourse, ABandClampedToEachRecordsLimits) {
  sandbox box;
  box.write("short.txt", waveform_text(300, 0.01));  // limits 1.45 .. 36.2 Hz
  box.write("long.txt", waveform_text(40000, 0.01)); // limits 0.0113 .. 0.283 Hz
  run_options o;
  o.analysis.band = 0.5f;
  workspace ws;
  const std::string dir = box.dir().string();
  EXPECT_EQ(process_record({"short.txt", "s.csv", ""}, o, ws, dir).status,
            record_status::band_refused);
  o.analysis.band_clamp = true;
  for (const char *name : {"short", "long"}) {
    const std::string in = std::string(name) + ".txt", out = std::string(name) + ".csv";
    const record_outcome got = process_record({in, out, std::string(name) + ".json"}, o, ws, dir);
    ASSERT_TRUE(got.ok()) << got.message;
    const float used = *got.band;
    EXPECT_NE(make_window(used, got.grid->df).verdict, window_verdict::too_narrow);
    EXPECT_NE(make_window(used, got.grid->df).verdict, window_verdict::too_wide);
    EXPECT_NEAR(used, std::string(name) == "short" ? got.grid->band_min : got.grid->band_max,
                1e-6 * used);
    run_options plain;
    plain.analysis.band = used;
    EXPECT_TRUE(process_record({in, "plain.csv", ""}, plain, ws, dir).ok());
    EXPECT_EQ(box.read(out), box.read("plain.csv")); // the bytes of that band asked for
    EXPECT_NE(box.read(std::string(name) + ".json").find("\"band_asked_hz\": 0.5"),
              std::string::npos);
  }
}

// A flatfile row whose input name holds a line end is found again on resume;
// a file that is no flatfile is not taken for one.
TEST(RecordCourse, FlatfileRowsWithLineEndsInNamesAreResumed) {
  sandbox box;
  box.write("two\nlines.txt", waveform_text(512, 0.01));
  box.write("w.txt", waveform_text(512, 0.01));
  const run_result first = box.command({"-q", "--konno-ohmachi", "40", "--frequencies", "1:10:3",
                                        "--flatfile", "f.csv", "two\nlines.txt", "w.txt"});
  ASSERT_EQ(first.status, 0) << first.err;
  run_options o;
  o.analysis.konno_ohmachi = 40;
  o.analysis.spread = {1, 10, 3};
  o.flatfile = (box.dir() / "f.csv").string();
  const std::map<std::string, std::string> done = flatfile_rows_done(o);
  EXPECT_EQ(done.size(), 2u);
  EXPECT_EQ(done.count("two\nlines.txt"), 1u);
  box.write("f.csv", "junk\n"); // no flatfile at all: refused, not taken for another run's
  EXPECT_THROW(
      try { (void)flatfile_rows_done(o); } catch (const options_error &e) {
        EXPECT_NE(std::string(e.what()).find("f.csv: not a flatfile"), std::string::npos);
        throw;
      },
      options_error);
}

TEST(RecordCourse, ResumedAndDryRuns) {
  sandbox box;
  box.write("w.txt", waveform_text(512, 0.01));
  run_options o;
  o.resume = true;
  workspace ws;
  const std::string dir = box.dir().string();
  EXPECT_TRUE(process_record({"w.txt", "w.csv", "w.json"}, o, ws, dir).ok());
  fs::remove(box.dir() / "w.json");
  EXPECT_TRUE(process_record({"w.txt", "w.csv", "w.json"}, o, ws, dir).ok()); // a unit: both again
  box.write("w.csv", "whole, from before\n");
  const record_outcome skipped = process_record({"w.txt", "w.csv", "w.json"}, o, ws, dir);
  EXPECT_EQ(skipped.status, record_status::skipped);
  EXPECT_EQ(skipped.output, "");
  EXPECT_EQ(box.read("w.csv"), "whole, from before\n");
  run_options dry;
  dry.dry_run = true;
  const record_outcome read = process_record({"w.txt", "", ""}, dry, ws, dir);
  EXPECT_TRUE(read.ok());
  EXPECT_EQ(read.grid->nf, 512);
  EXPECT_EQ(read.output, "");
  EXPECT_EQ(summary_row(dry, read),
            "w.txt,,ok,512,0.00999999978,512,0.1953125,50.1953087,0.724337876,18.1084461,,\n");
  EXPECT_EQ(summary_row(o, skipped), "w.txt,,skipped,,,,,,,,,\n");
  std::vector<std::optional<record_outcome>> outcomes = {skipped, read};
  run_plan plan;
  plan.destination = "out";
  EXPECT_EQ(exit_status(outcomes, false), 0);
  EXPECT_EQ(closing_line(plan, outcomes, 0.0, false),
            "1 of 2 records written to out in 0.0 s, 1 already there");
  plan.dry_run = true;
  EXPECT_EQ(closing_line(plan, outcomes, 0.0, false),
            "1 of 2 records read in 0.0 s, 1 already there");
}

TEST(RecordCourse, KonnoOhmachiCentresTheRecordDoesNotReach) {
  sandbox box;
  box.write("w.txt", waveform_text(512, 0.01)); // df 0.1953125, Nyquist 50 Hz
  const record_outcome o = run_one(
      box, "w.txt", "w.csv", {operation::none, 0.0f, 40.0, log_spaced_frequencies(0.01, 80, 5)});
  EXPECT_EQ(o.status, record_status::band_refused);
  EXPECT_EQ(o.message, "centres 0.01 .. 80 Hz reach outside 0.1953125 .. 50 Hz, this record's df "
                       "to its Nyquist frequency");
  const record_outcome far = run_one(
      box, "w.txt", "w.csv", {operation::none, 0.0f, 40.0, log_spaced_frequencies(1, 1e300, 2)});
  EXPECT_EQ(far.message.substr(0, 24), "centres 1 .. 1e+300 Hz r"); // not "inf"
  EXPECT_TRUE(run_one(box, "w.txt", "w.csv",
                      {operation::none, 0.0f, 40.0, log_spaced_frequencies(0.1953125, 50, 5)})
                  .ok());
}

// An interval so small (subnormal) or so large that 1 / (nf dt) leaves the
// floats gives a df of inf or 0 and frequencies of nothing but infinities or
// zeros: the record is refused at once, smoothed either way, instead of
// written as rows of inf (Parzen) or run through a count of centres made of
// NaN (Konno-Ohmachi).
TEST(RecordCourse, AGridWithoutFiniteFrequenciesIsRefusedAtOnce) {
  sandbox box;
  analysis_options parzen{operation::none, 1.0f};
  parzen.band_clamp = parzen.hv = true;
  analysis_options ko{operation::none, 0.0f, 40.0};
  ko.eas = ko.hv = true;
  for (const char *dt : {"1e-45", "3e38"})
    for (const analysis_options &options : {parzen, ko}) {
      box.write("w.txt", std::string("t x y z\n0 1 2 3\n") + dt + " 2 3 4\n2 1 1 1\n3 0 1 2\n");
      const record_outcome o = run_one(box, "w.txt", "w.csv", options);
      EXPECT_EQ(o.status, record_status::not_analysable) << dt;
      EXPECT_NE(o.message.find("are not finite and positive"), std::string::npos) << o.message;
      EXPECT_FALSE(fs::exists(box.dir() / "w.csv")) << dt;
    }
}

// Readings that usually mean a damaged file are told, named by their first
// line and counted, or with strict refused; the spectrum never changes.
TEST(RecordCourse, DamagedReadingsAreToldNeverChanged) {
  const struct {
    const char *line_10; // what the 10th line becomes ("" to cut the last line)
    const char *warning;
  } rows[] = {
      {"0.08,1,5,2,3", "line 10: 5 values where the file's lines hold 4; in all: 1 line whose "
                       "count of values differs"},
      {"0.08,1,2.2.2,3", "line 10: a number runs straight into the next; in all: 1 line whose "
                         "count of values differs, 1 number run into the next"},
      // the short line's record takes its last value from the next line,
      // which still holds 4 (1 read, 3 passed over)
      {"0.08,1,2", "line 10: 3 values where the file's lines hold 4; in all: 1 line whose count "
                   "of values differs"},
      {"", "line 514: the file ends inside the record begun here (dropped); in all: 1 line whose "
           "count of values differs, the file ends inside a record"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.line_10);
    sandbox box;
    std::string text = waveform_text(512, 0.01);
    if (*r.line_10 == '\0') {
      text += "5.12,0.0033\n";
    } else {
      std::size_t at = 0;
      for (int line = 1; line < 10; ++line)
        at = text.find('\n', at) + 1;
      text.replace(at, text.find('\n', at) - at, r.line_10);
    }
    box.write("w.txt", text);
    const record_outcome told = run_one(box, "w.txt", "w.csv");
    ASSERT_TRUE(told.ok()) << told.message;
    EXPECT_EQ(told.warning, r.warning);
    EXPECT_EQ(read_waveform(box.dir() / "w.txt").warning, r.warning);
    const std::string dialogue = box.run("w.txt\n0\n0\nd.csv\n").out;
    EXPECT_EQ(box.read("w.csv"), box.read("d.csv")); // the same bytes, warned or not
    run_options strict;
    strict.strict = true;
    workspace ws;
    const record_outcome refused =
        process_record({"w.txt", "s.csv", ""}, strict, ws, box.dir().string());
    EXPECT_EQ(refused.status, record_status::unreadable);
    EXPECT_EQ(refused.message, std::string(r.warning) + " (refused: strict)");
    EXPECT_FALSE(box.exists("s.csv"));
    EXPECT_THROW((void)read_waveform(box.dir() / "w.txt", true), record_error);
  }
  sandbox clean;
  clean.write("w.txt", waveform_text(512, 0.01));
  EXPECT_EQ(run_one(clean, "w.txt", "w.csv").warning, "");
}

} // namespace
} // namespace wavespec::testing
