// One record's course and how a run ends: the closed set of outcomes, the
// record's own file never written over, a spectrum and its sidecar as one
// unit, and the summary, closing line and exit status of a run.
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "driver/run_helper.h"
#include "wavespec/batch.hpp"

namespace wavespec::testing {
namespace fs = std::filesystem;
namespace {

record_outcome run_one(const sandbox &box, const std::string &input, const std::string &output,
                       analysis_options options = {}, const std::string &sidecar = "") {
  workspace ws;
  return process_record({input, output, sidecar}, options, ws, box.dir().string());
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
  EXPECT_EQ(summary_text(outcomes), summary_header() +
                                        "w.txt,w.csv,ok,512,0.00999999978,512,0.1953125,50.1953087,"
                                        "0.724337876,18.1084461,\n");
  EXPECT_EQ(closing_line(plan, outcomes, 1.25, true),
            "interrupted: 1 of 3 records written to out in 1.2 s");
  EXPECT_EQ(exit_status(outcomes, true), 1);
  EXPECT_EQ(exit_status(outcomes, false), 2); // records not done are not written
  outcomes[1] = run_one(box, "gone.txt", "g.csv");
  outcomes[2] = outcomes[0];
  EXPECT_EQ(failure_line(*outcomes[1]), "gone.txt: open: No such file or directory; apparent "
                                        "state: unit 11 named gone.txt; lately reading "
                                        "sequential formatted external IO");
  EXPECT_EQ(closing_line(plan, outcomes, 0.04, false),
            "2 of 3 records written to out in 0.0 s, 1 failed");
  EXPECT_EQ(exit_status(outcomes, false), 2);
  outcomes[1] = outcomes[0];
  EXPECT_EQ(exit_status(outcomes, false), 0);
  EXPECT_EQ(exit_status(outcomes, false, true), 2);
  EXPECT_EQ(progress_line(50, 200, 2, 2.0), "50/200 done, 2 failed, 25 records/s, 0:06 left");
}

} // namespace
} // namespace wavespec::testing
