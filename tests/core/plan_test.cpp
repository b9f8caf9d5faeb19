// The plan of a run: every file it writes named before anything is read,
// refused when one of them is an input or another file of the run under
// any name, and sidecars only beside regular files.
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "driver/run_helper.h"
#include "wavespec/batch.hpp"

namespace wavespec::testing {
namespace fs = std::filesystem;
namespace {

// Runs in the sandbox's folder, as a user in it would.
class in_folder {
public:
  explicit in_folder(const fs::path &dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~in_folder() { fs::current_path(old_); }
  in_folder(const in_folder &) = delete;
  in_folder &operator=(const in_folder &) = delete;

private:
  fs::path old_;
};

std::string refusal(const std::vector<std::string> &args) {
  run_options o;
  try {
    (void)parse_arguments(args, front_end::command_line, o);
    (void)plan_run(o);
  } catch (const options_error &e) {
    return e.what();
  }
  return "(accepted)";
}

// Every way one file can be named twice, for every kind of file a run writes.
TEST(RunPlan, NoFileIsWrittenOverAnInputOrAnotherOutput) {
  sandbox box;
  const in_folder here(box.dir());
  for (const char *name : {"a.txt", "b.txt", "data.json", "x.csv"})
    box.write(name, waveform_text(64, 0.01));
  fs::create_directory("out");
  fs::create_directory("sub");
  box.write("sub/a.txt", waveform_text(64, 0.01));
  box.write("sub/b.csv", waveform_text(64, 0.01));
  fs::create_symlink("a.txt", "link.txt");
  fs::create_hard_link("a.txt", "hard.txt");
  const struct {
    std::vector<std::string> args;
    const char *words;
  } rows[] = {
      {{"-d", "out", "a.txt", "sub/a.txt"}, "a.txt and sub/a.txt would both write out/a.csv"},
      {{"-d", "out", "a.txt", "./a.txt"}, "a.txt and ./a.txt would both write out/a.csv"},
      {{"-d", "out", "-", "-"}, "standard input (\"-\") can be read only once"},
      {{"-o", "a.txt", "a.txt"}, "a.txt: its spectrum would replace it (a.txt)"},
      {{"-o", "link.txt", "a.txt"}, "a.txt: its spectrum would replace it (link.txt)"},
      {{"-o", "hard.txt", "a.txt"}, "a.txt: its spectrum would replace it (hard.txt)"},
      {{"-o", "sub/../a.txt", "a.txt"}, "a.txt: its spectrum would replace it (sub/../a.txt)"},
      {{"-d", ".", "x.csv", "b.txt"}, "x.csv: its spectrum would replace it (./x.csv)"},
      {{"-d", "sub", "b.txt", "sub/b.csv"},
       "the spectrum of b.txt (sub/b.csv) would replace the input sub/b.csv"},
      {{"-q", "-d", "out", "a.txt", "--summary", "a.txt"},
       "the summary (a.txt) would replace the input a.txt"},
      {{"-q", "-d", "out", "a.txt", "--summary", "link.txt"},
       "the summary (link.txt) would replace the input a.txt"},
      {{"-d", "out", "a.txt", "--summary", "out/a.csv"},
       "the summary (out/a.csv) would replace the spectrum of a.txt (out/a.csv)"},
      {{"--metadata", "-o", "data.csv", "data.json"},
       "the sidecar of data.json (data.json) would replace the input data.json"},
      {{"--metadata", "-d", "out", "a.txt", "--summary", "out/a.json"},
       "the summary (out/a.json) would replace the sidecar of a.txt (out/a.json)"},
      {{"--metadata", "-o", "out/x.json", "b.txt", "--summary", "out/x.json.json"},
       "the summary (out/x.json.json) would replace the sidecar of b.txt (out/x.json.json)"},
      {{"--summary", "-", "a.txt"},
       "the spectrum already goes to standard output: --summary needs a file"},
      // "-" is standard output as whatever it is open on, and so are its names
      {{"-o", "-", "a.txt", "--summary", "/dev/stdout"},
       "the summary (/dev/stdout) would replace the spectrum of a.txt (-)"},
      {{"-o", "/proc/self/fd/1", "a.txt", "--summary", "-"},
       "the summary (-) would replace the spectrum of a.txt (/proc/self/fd/1)"},
      {{"-o", "-", "a.txt", "--flatfile", "/dev/fd/1", "--konno-ohmachi", "40", "--frequencies",
        "1:2:2"},
       "the flatfile (/dev/fd/1) would replace the spectrum of a.txt (-)"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.words);
    EXPECT_EQ(refusal(r.args), r.words);
  }
  EXPECT_EQ(box.read("a.txt"), waveform_text(64, 0.01)); // nothing written
}

TEST(RunPlan, NamesHoldingANulAreRefused) {
  run_options o;
  o.inputs = {"a.txt"};
  o.output = std::string("spec\0.csv", 9);
  try {
    (void)plan_run(o);
    ADD_FAILURE() << "accepted";
  } catch (const options_error &e) {
    EXPECT_STREQ(e.what(), "a file name cannot hold a NUL character: spec\\0.csv");
  }
  EXPECT_THROW((void)plan_output("a.txt", std::string("x\0y", 3), false), options_error);
}

TEST(RunPlan, SidecarsOnlyBesideRegularFiles) {
  sandbox box;
  const in_folder here(box.dir());
  box.write("a.txt", waveform_text(64, 0.01));
  ASSERT_EQ(::mkfifo("fifo.csv", 0600), 0);
  fs::create_symlink("/dev/null", "null.csv");
  const struct {
    const char *output, *sidecar;
  } rows[] = {{"out.csv", "out.json"}, {"out", "out.json"},     {"-", ""},        {"/dev/null", ""},
              {"/dev/stdout", ""},     {"/proc/self/fd/1", ""}, {"fifo.csv", ""}, {"null.csv", ""}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.output);
    run_options o;
    o.inputs = {"a.txt"};
    o.output = r.output;
    o.metadata = true;
    const run_plan plan = plan_run(o);
    ASSERT_EQ(plan.records.size(), 1u);
    EXPECT_EQ(plan.records[0].output, r.output);
    EXPECT_EQ(plan.records[0].sidecar, r.sidecar);
    EXPECT_EQ(plan_output("a.txt", r.output, true).sidecar, r.sidecar);
  }
}

TEST(RunPlan, OneSpectrumApartRefusesItsRecordsFile) {
  sandbox box;
  const in_folder here(box.dir());
  box.write("victim.txt", waveform_text(64, 0.01));
  fs::create_symlink("victim.txt", "link.txt");
  fs::create_hard_link("victim.txt", "hard.csv");
  for (const char *name : {"victim.txt", "link.txt", "hard.csv", "./victim.txt"})
    EXPECT_THROW((void)plan_output("victim.txt", name, false), options_error) << name;
  EXPECT_THROW((void)plan_output("victim.csv", "victim.csv", true), options_error);
  box.write("victim.json", "{}");
  EXPECT_THROW((void)plan_output("victim.json", "victim.csv", true), options_error);
  EXPECT_EQ(plan_output("", "any.csv", true).sidecar, "any.json"); // no record file: no refusal
}

TEST(RunPlan, OutputsAndTheClosingLinesDestination) {
  EXPECT_EQ(output_path("records/rec.2.txt", "out"), "out/rec.2.csv");
  EXPECT_EQ(output_path("-", "out/"), "out/stdin.csv");
  EXPECT_EQ(output_path(".hidden", "d"), "d/.hidden.csv");
  run_options o;
  o.inputs = {"a.txt", "b.txt"};
  o.output_dir = "deep/out";
  const run_plan plan = plan_run(o);
  EXPECT_EQ(plan.destination, "deep/out");
  EXPECT_EQ(plan.records[1].output, "deep/out/b.csv");
  EXPECT_EQ(plan.records[1].sidecar, "");
}

} // namespace
} // namespace wavespec::testing
