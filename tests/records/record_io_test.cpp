#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "records/failure.h"
#include "records/interrupt.h"
#include "records/record_io.h"

namespace wavespec::records {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

class RecordIo : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/wavespec-io-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char *name) const { return (dir_ / name).string(); }

  failure_report failure(auto &&operation) {
    try {
      operation();
    } catch (const record_failure &f) {
      return f.report();
    }
    ADD_FAILURE() << "no failure";
    return {};
  }

  void stop_run_safely() {
    try {
      stop_run(io_);
    } catch (const run_stopped &) {
    }
  }

  fs::path dir_;
  std::string console_;
  record_streams io_{"", &console_};
};

TEST_F(RecordIo, FreeRecordsItemsAndWrapping) {
  write_free_record(io_, console, {});
  write_free_record(
      io_, console,
      {free_item::text("NT and DT="), free_item::integer(4000), free_item::real(0.01f)});
  write_free_record(io_, console,
                    {free_item::text(" IF1,NF="), free_item::integer(12), free_item::integer(-7)});
  // 70 columns, then a real of 12 characters: handed out before the real.
  write_free_record(io_, console,
                    {free_item::text(std::string(69, 'a')), free_item::real(0.100000001f)});
  // 74 characters alone never wrap; a text after a full line opens with a blank.
  write_free_record(io_, console, {free_item::text(std::string(74, 'b'))});
  write_free_record(io_, console,
                    {free_item::text(std::string(70, 'c')), free_item::text("0123456789")});
  write_free_record(io_, console,
                    {free_item::text(std::string(68, 'd')), free_item::integer(-12345678)});
  stop_run_safely();
  const std::string want = "\n NT and DT= 4000  0.00999999978\n  IF1,NF= 12 -7\n " +
                           std::string(69, 'a') + "\n  0.100000001\n " + std::string(74, 'b') +
                           "\n " + std::string(70, 'c') + "\n 0123456789\n " +
                           std::string(68, 'd') + " -12345678\n";
  EXPECT_EQ(console_, want);
}

TEST_F(RecordIo, FixedRecordLayouts) {
  write_fixed_record(io_, console, fixed_layout("(1X,/,'Enter input file of waveform data')"));
  write_fixed_record(io_, console, fixed_layout("(/,1X,'Enter output file name (csv format)')"));
  write_fixed_record(io_, console, fixed_layout("('Bandwidth is too narrow!')"));
  const float row[] = {0.5f, 1.2345678f, 0.0f, -1.5f, 0.000123f, 9.9999996f, 1.0e-10f};
  write_fixed_record(io_, console, fixed_layout("(F8.4,6(',',E14.6))"), row);
  // Blanks count only before what follows them on the same line.
  write_fixed_record(io_, console, fixed_layout("(2X,'a',3X,/,1X,F8.4,2X)"), row);
  // Layouts the writer cannot fill are refused before anything is written.
  EXPECT_THROW(write_fixed_record(io_, console, fixed_layout("(A30)")), std::logic_error);
  EXPECT_THROW(write_fixed_record(io_, console, fixed_layout("('x',F9.4)"), row), std::logic_error);
  EXPECT_THROW(write_fixed_record(io_, console, fixed_layout("('x',F8.4,F8.4)"), std::span(row, 1)),
               std::logic_error);
  stop_run_safely();
  EXPECT_EQ(console_,
            "\nEnter input file of waveform data\n\n Enter output file name (csv format)\n"
            "Bandwidth is too narrow!\n"
            "  0.5000,  0.123457E+01,  0.000000E+00, -0.150000E+01,  0.123000E-03,"
            "  0.100000E+02,  0.100000E-09\n"
            "  a\n   0.5000\n");
}

TEST_F(RecordIo, RowsOfRealsAsRecordByRecord) {
  // Plain records, records in other forms among them, rows past the capacity
  // (counted, not kept) and a last record cut short: the same values as
  // reading the records one by one.
  const std::string text = "1,2\n 3 4\n2*5\n6.0D0,,\n7e1 8/\n9,10 and a note\n11,12\n13";
  float a[4] = {0, 0, 0, 0}, b[4] = {-1, -1, -1, -1};
  float *const columns[] = {a, b};
  io_.open_memory_file(waveform_file, "rows.txt", text);
  EXPECT_EQ(read_real_rows(io_, waveform_file, columns, 4), 7);
  EXPECT_EQ(std::vector<float>(a, a + 4), (std::vector<float>{1, 3, 5, 6}));
  EXPECT_EQ(std::vector<float>(b, b + 4), (std::vector<float>{2, 4, 5, -1})); // a null keeps -1

  record_streams one_by_one("", nullptr);
  one_by_one.open_memory_file(waveform_file, "rows.txt", text);
  float x = 0, y = 0;
  int complete = 0;
  const read_target pair[] = {x, y};
  while (read_free_record(one_by_one, waveform_file, pair, true) == read_outcome::complete)
    ++complete;
  EXPECT_EQ(complete, 7);
  EXPECT_EQ(x, 13.0f); // the cut-short record's value is taken, the record not counted

  record_streams bad("", nullptr);
  bad.open_memory_file(waveform_file, "bad.txt", "1,2\n3,x\n");
  float c[2], d[2];
  float *const bad_columns[] = {c, d};
  const auto r = failure([&] { (void)read_real_rows(bad, waveform_file, bad_columns, 2); });
  EXPECT_EQ(r.context, "invalid number");
  EXPECT_EQ(c[0], 1.0f);
}

// Where the blocks of a file end changes nothing: records split anywhere,
// their line ends too, read as from one block, failures on the same line.
TEST_F(RecordIo, RowsReadAlikeInBlocksOfAnySize) {
  for (const std::string text :
       {"h\n1,2\n 3 4\n2*5\n6.0D0,,\n7e1 8/\n9,10 and a note\n11,12\n13",
        "h\r\n1.25,2e-3\r\n\r\n-3.5\r\n4\r\n5,6,7\r\n", "h\n1,2\n3,4\n5,x\n"}) {
    std::vector<std::string> reads;
    for (std::size_t block = 0; block <= 17; ++block) {
      record_streams io("", nullptr);
      io.open_memory_file(waveform_file, "rows.txt", text);
      if (block > 0)
        io.at(waveform_file).in.attach(text, block);
      float a[8], b[8];
      std::fill(a, a + 8, -1.0f), std::fill(b, b + 8, -1.0f);
      float *const columns[] = {a, b};
      std::string got;
      try {
        std::string header;
        (void)read_line_text(io.at(waveform_file), header, 80);
        got = std::to_string(read_real_rows(io, waveform_file, columns, 8));
      } catch (const record_failure &f) {
        got = f.report().context + " on line " + std::to_string(f.report().line);
      }
      for (int i = 0; i < 8; ++i)
        got += " " + std::to_string(a[i]) + " " + std::to_string(b[i]);
      reads.push_back(got);
    }
    for (const std::string &got : reads)
      EXPECT_EQ(got, reads[0]) << text;
  }
}

TEST_F(RecordIo, FileNameAnswers) {
  std::string out;
  const std::string answers = "wave.dat   \n  two\r\n" + std::string(40, 'x') + "\nlast";
  record_streams io(answers, &out);
  const fixed_layout a30("(A30)");
  EXPECT_EQ(read_fixed_record(io, keyboard, a30).text, "wave.dat   ");
  EXPECT_EQ(read_fixed_record(io, keyboard, a30).text, "  two");
  EXPECT_EQ(read_fixed_record(io, keyboard, a30).text, std::string(40, 'x')); // never cut
  const auto r = failure([&] { (void)read_fixed_record(io, keyboard, a30); });
  EXPECT_EQ(render_failure(r),
            "fmt: end of file\napparent state: unit 5 (unnamed)\nlast format: (A30)\n"
            "lately reading sequential formatted external IO\n");
  const auto again = failure([&] { (void)read_fixed_record(io, keyboard, a30); });
  EXPECT_EQ(again.context, "read start");
}

TEST_F(RecordIo, OpeningRuleAndTruncationOnClose) {
  const std::string csv = path("out.csv");
  std::ofstream(csv) << "old line 1\nold line 2\nold line 3\n";
  open_record_file(io_, spectrum_file, csv + "   ");
  write_free_record(io_, spectrum_file, {free_item::text("new")});
  close_record_file(io_, spectrum_file);
  EXPECT_EQ(slurp(csv), " new\n");

  const std::string missing = path("missing.txt");
  open_record_file(io_, waveform_file, missing); // created, empty, read as empty
  EXPECT_EQ(read_free_record(io_, waveform_file, {}, true), read_outcome::end_of_input);
  close_record_file(io_, waveform_file);
  EXPECT_TRUE(fs::exists(missing));
  EXPECT_EQ(fs::file_size(missing), 0u);
}

TEST_F(RecordIo, OpenAndWriteFailures) {
  auto blank = failure([&] { open_record_file(io_, waveform_file, "    "); });
  EXPECT_EQ(render_failure(blank), "open: null file name\napparent state: unit 11 named \n"
                                   "lately reading sequential formatted external IO\n");
  const std::string nowhere = path("no/such/dir.csv");
  auto missing = failure([&] { open_record_file(io_, spectrum_file, nowhere); });
  EXPECT_EQ(render_failure(missing),
            "open: No such file or directory\napparent state: unit 10 named " + nowhere +
                "\nlately reading sequential formatted external IO\n");
  if (geteuid() != 0) { // root may write anything: a read-only file opens read-write
    const std::string ro = path("ro.csv");
    std::ofstream(ro) << "keep\n";
    chmod(ro.c_str(), 0444);
    open_record_file(io_, spectrum_file, ro);
    auto refused = failure([&] { write_free_record(io_, spectrum_file, {free_item::text("x")}); });
    EXPECT_EQ(refused.context, "list output start");
    EXPECT_EQ(refused.cause, "can't write file");
    close_all_quietly(io_);
    EXPECT_EQ(slurp(ro), "keep\n");
  }
  open_record_file(io_, spectrum_file, "/dev/full");
  auto full = failure([&] {
    write_free_record(io_, spectrum_file, {free_item::text("x")});
    close_record_file(io_, spectrum_file);
  });
  EXPECT_EQ(render_failure(full),
            "write: No space left on device\napparent state: unit 10 named /dev/full\n"
            "last format: list io\nlately writing sequential formatted external IO\n");
}

TEST_F(RecordIo, DirectoryAsWaveformFileIsAReadFailure) {
  open_record_file(io_, waveform_file, dir_.string());
  auto r = failure([&] { (void)read_free_record(io_, waveform_file, {}, true); });
  EXPECT_EQ(render_failure(r),
            "read: Is a directory\napparent state: unit 11 named " + dir_.string() +
                "\nlast format: list io\nlately reading sequential formatted external IO\n");
}

// Writes 1000 rows, is interrupted, closes as the program's entry does.
// Returns 7 when the file holds exactly the 1000 complete rows.
int interrupt_while_writing(const std::string &csv) {
  std::string console_text;
  record_streams io("", &console_text);
  install_interrupt_handlers();
  open_record_file(io, spectrum_file, csv);
  const fixed_layout row("(F8.4,6(',',E14.6))");
  const float values[7] = {1, 2, 3, 4, 5, 6, 7};
  for (int i = 0; i < 1000; ++i)
    write_fixed_record(io, spectrum_file, row, values);
  std::raise(SIGINT);
  bool stopped = false;
  try {
    write_fixed_record(io, spectrum_file, row, values);
  } catch (const interrupted &) {
    stopped = true;
  }
  close_all_quietly(io);
  const std::string content = slurp(csv);
  return stopped && content.size() == 1000u * 99u && content.find('x') == std::string::npos ? 7 : 1;
}

// An interrupt while the spectrum file is written: the file keeps exactly the
// complete rows and nothing of its former content after them.
TEST(RecordIoDeathTest, InterruptKeepsTheCompleteRows) {
  char tmpl[] = "/tmp/wavespec-int-XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  const std::string csv = (dir / "out.csv").string();
  std::ofstream(csv) << std::string(500000, 'x');
  EXPECT_EXIT(std::_Exit(interrupt_while_writing(csv)), ::testing::ExitedWithCode(7), "");
  fs::remove_all(dir);
}

} // namespace
} // namespace wavespec::records
