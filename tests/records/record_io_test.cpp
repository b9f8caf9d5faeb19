#include <bit>
#include <csignal>
#include <cstdint>
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

// --- Reading notes ------------------------------------------------------------

// A waveform file read as the analysis reads it: the header passed over, then
// read_real_rows of four columns. The values kept as bit patterns (the rows
// beyond `kept` are counted only), the record count, the failure's report and
// its line, and the notes when asked for. `block`: the text handed out in
// blocks of that many characters (0: one block).
struct file_read {
  std::vector<std::uint32_t> bits;
  std::int64_t count = -1;
  std::string failure;
  std::int64_t failure_line = 0;
  reading_notes notes;
};

file_read read_file_text(const std::string &text, bool noting, std::size_t block = 0,
                         std::size_t kept = 64, const std::string &name = "rows.txt") {
  record_streams io("", nullptr);
  io.open_memory_file(waveform_file, name, text);
  if (block > 0)
    io.at(waveform_file).in.attach(text, block);
  std::vector<std::vector<float>> columns(4, std::vector<float>(kept, -777.0f));
  float *const places[] = {columns[0].data(), columns[1].data(), columns[2].data(),
                           columns[3].data()};
  file_read got;
  try {
    std::string header;
    (void)read_line_text(io.at(waveform_file), header, 80);
    got.count = read_real_rows(io, waveform_file, places, kept, noting ? &got.notes : nullptr);
  } catch (const record_failure &f) {
    got.failure = render_failure(f.report());
    got.failure_line = f.report().line;
  }
  for (const auto &column : columns)
    for (float v : column)
      got.bits.push_back(std::bit_cast<std::uint32_t>(v));
  return got;
}

// The file read with notes, whole and in blocks of 1 to 9 characters (so
// that every line is read the general way too, split at every place), reads
// as it does without; the notes do not depend on the blocks. Returns them.
reading_notes notes_read_alike(const std::string &text, std::size_t kept = 64) {
  const file_read plain = read_file_text(text, false, 0, kept);
  const file_read noted = read_file_text(text, true, 0, kept);
  EXPECT_EQ(noted.bits, plain.bits);
  EXPECT_EQ(noted.count, plain.count);
  EXPECT_EQ(noted.failure, plain.failure);
  EXPECT_EQ(noted.failure_line, plain.failure_line);
  for (std::size_t block = 1; block <= 9; ++block) {
    SCOPED_TRACE("block " + std::to_string(block));
    const file_read split = read_file_text(text, true, block, kept);
    EXPECT_EQ(split.bits, plain.bits);
    EXPECT_EQ(split.count, plain.count);
    EXPECT_EQ(split.failure, plain.failure);
    EXPECT_EQ(split.failure_line, plain.failure_line);
    EXPECT_TRUE(split.notes == noted.notes);
  }
  return noted.notes;
}

using line_count = reading_notes::line_count;

std::vector<line_count> listed(const reading_notes &n) {
  return {n.counts.begin(), n.counts.begin() + static_cast<std::ptrdiff_t>(n.distinct)};
}

// The bundled records and the dialogue's answer file: the same values,
// counts and failures with notes as without, whole, in small blocks and
// through the file's own 64 KiB blocks; the records are clean, all their
// lines of 4 values.
TEST_F(RecordIo, ReadingNotesOfTheBundledRecords) {
  int records = 0;
  for (const auto &entry : fs::directory_iterator(WAVESPEC_DATA)) {
    if (entry.path().extension() != ".txt")
      continue;
    SCOPED_TRACE(entry.path().string());
    const std::string text = slurp(entry.path()), name = entry.path().string();
    const file_read plain = read_file_text(text, false, 0, 70000, name);
    reading_notes from_file;
    {
      record_streams io("", nullptr);
      open_record_file(io, waveform_file, name, open_rule::read_only);
      std::vector<std::vector<float>> columns(4, std::vector<float>(70000, -777.0f));
      float *const places[] = {columns[0].data(), columns[1].data(), columns[2].data(),
                               columns[3].data()};
      std::string header;
      try {
        (void)read_line_text(io.at(waveform_file), header, 80);
        EXPECT_EQ(read_real_rows(io, waveform_file, places, 70000, &from_file), plain.count);
        std::vector<std::uint32_t> bits;
        for (const auto &column : columns)
          for (float v : column)
            bits.push_back(std::bit_cast<std::uint32_t>(v));
        EXPECT_EQ(bits, plain.bits);
      } catch (const record_failure &f) {
        EXPECT_EQ(render_failure(f.report()), plain.failure);
        EXPECT_EQ(f.report().line, plain.failure_line);
      }
    }
    const file_read noted = read_file_text(text, true, 0, 70000, name);
    EXPECT_EQ(noted.bits, plain.bits);
    EXPECT_EQ(noted.count, plain.count);
    EXPECT_EQ(noted.failure, plain.failure);
    for (std::size_t block : {1u, 7u, 4093u}) {
      const file_read split = read_file_text(text, true, block, 70000, name);
      EXPECT_EQ(split.bits, plain.bits);
      EXPECT_EQ(split.count, plain.count);
      EXPECT_TRUE(split.notes == noted.notes);
    }
    EXPECT_TRUE(from_file == noted.notes);
    if (!plain.failure.empty()) { // the answers: "2", "0.5", then a name fails on line 4
      EXPECT_EQ(plain.failure_line, 4);
      EXPECT_EQ(listed(noted.notes), (std::vector<line_count>{{1, 2, 2}}));
      continue;
    }
    ++records;
    EXPECT_EQ(listed(noted.notes), (std::vector<line_count>{{4, plain.count, 2}}));
    EXPECT_TRUE(noted.notes.clean());
  }
  EXPECT_EQ(records, 5);
}

// Each note on the file that calls for it, and files that call for none.
TEST_F(RecordIo, ReadingNotesOfEachCase) {
  const struct {
    const char *name;
    std::string text;
    std::int64_t records;
    std::vector<line_count> counts;
    std::int64_t run_on, first_run_on, cut;
  } cases[] = {
      {"decimal comma",
       "t x y z\n0,1,2,3\n4.995,-3.0891,1,5,0.21821\n0.01,4,5,6\n",
       3,
       {{4, 2, 2}, {5, 1, 3}},
       0,
       0,
       0},
      {"an extra value",
       "t x y z\n0,1,2,3\n0.005 4 5 6 7\n0.01,4,5,6\n",
       3,
       {{4, 2, 2}, {5, 1, 3}},
       0,
       0,
       0},
      {"a missing value",
       "t x y z\n0,1,2,3\n0.005,4,5\n0.01,7,8,9\n0.015,4,5,6\n",
       3,
       {{4, 3, 2}, {3, 1, 3}},
       0,
       0,
       0},
      {"run-on values",
       "t x y z\n0,1,2,3\n0.005,2.2.2,1\n0.01,1.5e3.5,9\n",
       3,
       {{4, 3, 2}},
       2,
       3,
       0},
      {"a cut last line",
       "t x y z\n0,1,2,3\n0.005,4,5,6\n10.000,0.0033",
       2,
       {{4, 2, 2}, {2, 1, 4}},
       0,
       0,
       4},
      {"a cut last line ended",
       "t x y z\n0,1,2,3\n10.000,0.0033\n\n",
       1,
       {{4, 1, 2}, {2, 1, 3}},
       0,
       0,
       3},
      {"all values and more, unended",
       "t x y z\n0,1,2,3\n0.005 1 2 3 4",
       1,
       {{4, 1, 2}, {5, 1, 3}},
       0,
       0,
       3},
      {"a record cut over two lines", "t x y z\n0,1\n2,3\n0.005,4\n", 1, {{2, 3, 2}}, 0, 0, 4},
      {"records over two lines", "t x y z\n0,1\n2,3\n0.005,4\n5,6\n", 2, {{2, 4, 2}}, 0, 0, 0},
      {"8 values, 4 used",
       "t\n0,1,2,3,4,5,6,7\n0.005,1,2,3,4,5,6,7\n0.01 1 2 3 4 5 6 7\n",
       3,
       {{8, 3, 2}},
       0,
       0,
       0},
      {"CRLF",
       "t x y z\r\n0,1,2,3\r\n0.005,4,5,6\r\n0.01,4,5,6,0.5\r\n",
       3,
       {{4, 2, 2}, {5, 1, 4}},
       0,
       0,
       0},
      {"blank lines", "t x y z\n\n0,1,2,3\n  \n\t\r\n0.005,4,5,6\n\n", 2, {{4, 2, 3}}, 0, 0, 0},
      {"repeats, nulls and a slash",
       "t\n0.0 3*0\n0.005,,2,3\n0.01 1 2 3 4*0\n0.015 1 2 / 7 8\n0.02,1,2,3,,5\n",
       5,
       {{4, 2, 2}, {8, 1, 4}, {3, 1, 5}, {6, 1, 6}},
       0,
       0,
       0},
      {"a header only", "t x y z\n", 0, {}, 0, 0, 0},
      {"a header without a line end", "t x y z", 0, {}, 0, 0, 0},
      {"nothing", "", 0, {}, 0, 0, 0},
      {"a failure", "t\n0,1,2,3\n0.005,4,5,6\n0.01,x,5,6\n", -1, {{4, 2, 2}}, 0, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const reading_notes n = notes_read_alike(c.text);
    EXPECT_EQ(read_file_text(c.text, false).count, c.records);
    EXPECT_EQ(listed(n), c.counts);
    EXPECT_EQ(n.unlisted_lines, 0);
    EXPECT_EQ(n.run_on_values, c.run_on);
    EXPECT_EQ(n.first_run_on_line, c.first_run_on);
    EXPECT_EQ(n.cut_record_line, c.cut);
  }
}

// The usual count and the lines that differ from it: the count of the most
// lines, a tie going to the count met first; counts met after the table is
// full are summed apart.
TEST_F(RecordIo, ReadingNotesUsualCountAndTheRest) {
  const reading_notes none = notes_read_alike("t\n");
  EXPECT_EQ(none.usual(), nullptr);
  EXPECT_EQ(none.unusual_lines(), 0);
  EXPECT_EQ(none.first_unusual_line(), 0);
  EXPECT_TRUE(none.clean());

  const reading_notes tie = notes_read_alike("t\n0 1 2 3 9\n0.005 4 5 6\n");
  EXPECT_EQ(tie.usual()->values, 5);
  EXPECT_EQ(tie.unusual_lines(), 1);
  EXPECT_EQ(tie.first_unusual_line(), 3);
  EXPECT_FALSE(tie.clean());

  std::string text = "t\n";
  for (int extra = 0; extra < 20; ++extra) { // lines of 4 .. 23 values, each twice
    std::string line = "0 1 2 3";
    for (int e = 0; e < extra; ++e)
      line += " 9";
    text += line + "\n" + line + "\n";
  }
  text += "0 1 2 3 9 9 9\n"; // 7 values: the most lines
  const reading_notes many = notes_read_alike(text);
  EXPECT_EQ(many.distinct, reading_notes::table_size);
  EXPECT_EQ(many.counts[15], (line_count{19, 2, 32}));
  EXPECT_EQ(many.unlisted_lines, 8);
  EXPECT_EQ(many.first_unlisted_line, 34);
  EXPECT_EQ(many.lines(), 41);
  EXPECT_EQ(many.usual()->values, 7);
  EXPECT_EQ(many.unusual_lines(), 38);
  EXPECT_EQ(many.first_unusual_line(), 2);
}

} // namespace
} // namespace wavespec::records
