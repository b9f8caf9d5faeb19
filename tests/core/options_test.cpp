// The options of a run: GNU-style parsing, one set of words for each
// refusal whichever program is given the arguments, and the help the
// option table describes.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "wavespec/options.hpp"

namespace wavespec::testing {
namespace {

run_options parsed(const std::vector<std::string> &args,
                   front_end program = front_end::command_line) {
  run_options o;
  EXPECT_EQ(parse_arguments(args, program, o), command::run);
  return o;
}

std::string refusal(const std::vector<std::string> &args, front_end program) {
  run_options o;
  try {
    (void)parse_arguments(args, program, o);
  } catch (const options_error &e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(RunOptions, GnuConventions) {
  const run_options a = parsed({"-qm2", "-b0.5", "w.txt", "--summary=s.csv", "-d", "out", "v.txt"});
  EXPECT_TRUE(a.quiet);
  EXPECT_EQ(a.analysis.op, operation::double_integrate);
  EXPECT_EQ(a.analysis.band, 0.5f);
  EXPECT_EQ(a.summary, "s.csv");
  EXPECT_EQ(a.output_dir, "out");
  EXPECT_EQ(a.inputs, (std::vector<std::string>{"w.txt", "v.txt"}));
  // Abbreviations, a value in the next word even when it starts with a
  // dash, "-" as an input and "--" ending the options.
  const run_options b = parsed({"--oper", "integrate", "--band", "-0", "-d", "o", "-", "--", "-q"});
  EXPECT_EQ(b.analysis.op, operation::integrate);
  EXPECT_FALSE(b.quiet);
  EXPECT_EQ(b.inputs, (std::vector<std::string>{"-", "-q"}));
  const log_spread spread =
      parsed({"--konno-ohmachi", "40", "--frequencies=1:10:3", "--eas", "w"}).analysis.spread;
  EXPECT_EQ(spread.fmin, 1.0);
  EXPECT_EQ(spread.fmax, 10.0);
  EXPECT_EQ(spread.n, 3);
  run_options o; // an error before --help wins
  EXPECT_THROW((void)parse_arguments(std::vector<std::string>{"--bogus", "--help"},
                                     front_end::dask_batch, o),
               options_error);
}

TEST(RunOptions, HelpAndVersionEndTheParse) {
  for (const front_end program : {front_end::command_line, front_end::dask_batch}) {
    run_options o;
    EXPECT_EQ(parse_arguments(std::vector<std::string>{"-b", "0", "--help", "--bogus"}, program, o),
              command::help);
    EXPECT_EQ(parse_arguments(std::vector<std::string>{"-V"}, program, o), command::version);
  }
}

// The same bad arguments get the same words from every program.
TEST(RunOptions, RefusalsAreWordedOnceForEveryProgram) {
  const struct {
    std::vector<std::string> args;
    const char *words;
  } rows[] = {
      {{"--bogus", "-d", "o", "w"}, "unrecognized option --bogus"},
      {{"-x", "-d", "o", "w"}, "unrecognized option -x"},
      {{"--out", "o.csv", "w"}, "option --out is ambiguous (--output, --output-dir)"},
      {{"-d", "o", "w", "-b"}, "option -b needs a value"},
      {{"-d", "o", "w", "--eas=yes"}, "option --eas takes no value"},
      {{"-d", "", "w"}, "option -d needs a value, not an empty one"},
      {{"-o", "", "w"}, "option -o needs a value, not an empty one"},
      {{"-d", "o", "w", "--summary="}, "option --summary needs a value, not an empty one"},
      {{"-b", "1e39", "-d", "o", "w"},
       "invalid band '1e39': a bandwidth in Hz from 0 to 3.4028235e+38"},
      {{"--konno-ohmachi", "40", "--frequencies", "1:10:100000000", "-d", "o", "w"},
       "invalid frequencies '1:10:100000000': FMIN:FMAX:N with 0 < FMIN < FMAX, FMAX / FMIN "
       "finite, and N from 2 to 10000000"},
      {{"--konno-ohmachi", "40", "--frequencies", "1e-300:1e300:5", "-d", "o", "w"},
       "invalid frequencies '1e-300:1e300:5': FMIN:FMAX:N with 0 < FMIN < FMAX, FMAX / FMIN "
       "finite, and N from 2 to 10000000"},
      {{"-m", "4", "-d", "o", "w"},
       "invalid operation '4' (0 none, 1 integrate, 2 double-integrate, 3 differentiate)"},
      {{"-b", "nan", "-d", "o", "w"},
       "invalid band 'nan': a bandwidth in Hz from 0 to 3.4028235e+38"},
      {{"-j", "0", "-d", "o", "w"}, "invalid jobs '0': a whole number from 1 to 4096"},
      {{"--konno-ohmachi", "0", "-d", "o", "w"},
       "invalid Konno-Ohmachi coefficient '0': a number above 0 and at most 10000, such as 40"},
      {{"--konno-ohmachi", "inf", "-d", "o", "w"},
       "invalid Konno-Ohmachi coefficient 'inf': a number above 0 and at most 10000, such as 40"},
      {{"--konno-ohmachi", "1e100", "-d", "o", "w"},
       "invalid Konno-Ohmachi coefficient '1e100': a number above 0 and at most 10000, such as 40"},
      {{"--konno-ohmachi", "40", "--frequencies", "10:1:5", "-d", "o", "w"},
       "invalid frequencies '10:1:5': FMIN:FMAX:N with 0 < FMIN < FMAX, FMAX / FMIN finite, and N "
       "from 2 to 10000000"},
      {{"--konno-ohmachi", "40", "-b", "1", "-d", "o", "w"},
       "--konno-ohmachi and a Parzen --band do not go together"},
      {{"--frequencies", "1:10:5", "-d", "o", "w"},
       "--frequencies sets the centres of --konno-ohmachi, which is missing"},
      {{"-q"}, "no input files"},
      {{"w", "v"}, "2 inputs need -d DIR for their outputs"},
      {{"-o", "o.csv", "w", "v"}, "-o names one output, but there are 2 inputs: use -d DIR"},
      {{"-o", "o.csv", "-d", "out", "w"},
       "-o and -d do not go together: -o names the output of one input"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.words);
    EXPECT_EQ(refusal(r.args, front_end::command_line), r.words);
    EXPECT_EQ(refusal(r.args, front_end::dask_batch), r.words);
  }
}

TEST(RunOptions, WhatOnlyOneProgramCanDo) {
  const auto cl = front_end::command_line;
  const auto batch = front_end::dask_batch;
  EXPECT_EQ(refusal({"--scheduler", "tcp://h:1", "-d", "o", "w"}, cl),
            "unrecognized option --scheduler");
  EXPECT_EQ(refusal({"-d", "o", "-"}, batch),
            "a cluster cannot read standard input: name the files");
  for (const std::vector<std::string> &args : {std::vector<std::string>{"w"}, {"-o", "-", "w"}})
    EXPECT_EQ(refusal(args, batch),
              "a cluster writes files: name them with -d DIR (or -o FILE for one input)");
  EXPECT_EQ(refusal({"-j", "2", "--scheduler", "tcp://h:1", "-d", "o", "w"}, batch),
            "--jobs sets the workers of a local cluster, not of --scheduler");
  EXPECT_EQ(parsed({"--workers", "3", "-d", "o", "w"}, batch).jobs, 3u);
  EXPECT_EQ(parsed({"-o", "x.csv", "w"}, batch).output, "x.csv");
}

// Values given to the library are checked by the same rules, with the
// same words, as the command line's text.
TEST(RunOptions, TheLibrarysValuesAreCheckedAsTheText) {
  const struct {
    analysis_options a;
    const char *words;
  } rows[] = {
      {{operation::none, -1.0f}, "invalid band '-1': a bandwidth in Hz from 0 to 3.4028235e+38"},
      {{operation::none, 0.0f, -3.0},
       "invalid Konno-Ohmachi coefficient '-3': a number above 0 and at most 10000, "
       "such as 40"},
      {{operation::none, 1.0f, 40.0}, "--konno-ohmachi and a Parzen --band do not go together"},
      {{operation::none, 0.0f, 40.0, {1.0, 0.0}},
       "invalid centre frequency '0': a frequency in Hz above 0"},
      {{operation::none, 0.0f, 40.0, {1.0, 3.0, 3.0}},
       "centre frequencies must increase: centre 3, 3 Hz, follows 3 Hz"},
      {{operation::none, 0.0f, 0.0, {1.0}},
       "--frequencies sets the centres of --konno-ohmachi, which is missing"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.words);
    try {
      check_analysis_options(r.a);
      ADD_FAILURE() << "accepted";
    } catch (const options_error &e) {
      EXPECT_STREQ(e.what(), r.words);
    }
  }
}

TEST(RunOptions, HelpListsEachProgramsOptionsWithinEightyColumns) {
  const std::string cl = help_text(front_end::command_line);
  const std::string batch = help_text(front_end::dask_batch);
  for (const char *both : {"--operation=OP", "--band=HZ", "--konno-ohmachi=B", "--metadata",
                           "--summary=FILE", "--output-dir=DIR", "--version"}) {
    EXPECT_NE(cl.find(both), std::string::npos) << both;
    EXPECT_NE(batch.find(both), std::string::npos) << both;
  }
  EXPECT_EQ(cl.find("--scheduler"), std::string::npos);
  EXPECT_NE(batch.find("--scheduler=ADDRESS"), std::string::npos);
  for (const std::string *text : {&cl, &batch})
    for (std::size_t at = 0, end; at < text->size(); at = end + 1) {
      end = text->find('\n', at);
      EXPECT_LE(end - at, 80u) << text->substr(at, end - at);
    }
}

} // namespace
} // namespace wavespec::testing
