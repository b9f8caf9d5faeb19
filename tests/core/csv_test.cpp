// The spectrum CSV written to files: whole or not at all.
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include "core/csv_fields.h"
#include "driver/run_helper.h"
#include "wavespec/wavespec.hpp"

namespace wavespec::testing {
namespace fs = std::filesystem;
namespace {

spectrum small_spectrum() {
  return analyse(parse_waveform(waveform_text(300, 0.01), "w"), {operation::integrate, 1.0f});
}

std::string csv_text(const spectrum &s) {
  std::ostringstream out;
  write_csv(s, out);
  return out.str();
}

std::vector<std::string> names_in(const fs::path &dir) {
  std::vector<std::string> names;
  for (const auto &e : fs::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The summary and the flatfile hold file names and messages users wrote:
// whatever they hold reads back as the same fields.
TEST(CoreCsv, TableFieldsReadBackAsWritten) {
  const std::vector<std::string> texts = {"plain.txt",  "",         "a,b.txt", "say \"x\"",
                                          "two\nlines", "cr\r.txt", "\"",      ",,"};
  std::string line = core::csv_field(texts.front());
  for (std::size_t i = 1; i < texts.size(); ++i)
    line += "," + core::csv_field(texts[i]);
  EXPECT_EQ(core::csv_fields(line), texts) << line;
  EXPECT_EQ(core::csv_field("a,b"), "\"a,b\"");
  EXPECT_EQ(core::csv_field("plain"), "plain");
}

TEST(CoreCsv, FilesAreReplacedWholeAndLinksFollowed) {
  const spectrum s = small_spectrum();
  const std::string want = csv_text(s);
  ASSERT_EQ(want.substr(0, 76), " freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,"
                                "Smoothed Z\n");
  sandbox box;
  const mode_t old_mask = ::umask(022);
  box.write("out.csv", std::string(100000, 'x'));
  write_csv(s, box.dir() / "out.csv");
  EXPECT_EQ(box.read("out.csv"), want);
  struct stat st {};
  ASSERT_EQ(::stat((box.dir() / "out.csv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u); // as a new file under the umask
  fs::create_symlink("target.csv", box.dir() / "link.csv");
  write_csv(s, box.dir() / "link.csv");
  EXPECT_TRUE(fs::is_symlink(box.dir() / "link.csv"));
  EXPECT_EQ(box.read("target.csv"), want);
  EXPECT_EQ(names_in(box.dir()), (std::vector<std::string>{"link.csv", "out.csv", "target.csv"}));
  ::umask(old_mask);
}

// A name as long as a folder holds (255 bytes) is written: the hidden file
// that becomes it is cut to fit, and none is left behind.
TEST(CoreCsv, TheLongestNameAFolderHoldsIsWritten) {
  const spectrum s = small_spectrum();
  sandbox box;
  const std::string name = std::string(251, 'a') + ".csv";
  write_csv(s, box.dir() / name);
  EXPECT_EQ(box.read(name), csv_text(s));
  write_csv(s, box.dir() / name); // replaced whole
  EXPECT_EQ(names_in(box.dir()), std::vector<std::string>{name});
}

TEST(CoreCsv, DevicesAreWrittenThroughAndFailuresNameThePath) {
  const spectrum s = small_spectrum();
  write_csv(s, "/dev/null");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  try {
    write_csv(s, "/dev/full");
    FAIL();
  } catch (const std::system_error &e) {
    EXPECT_EQ(e.code(), std::errc::no_space_on_device);
    EXPECT_NE(std::string(e.what()).find("/dev/full"), std::string::npos);
  }
  sandbox box;
  EXPECT_THROW(write_csv(s, box.dir() / "no" / "such.csv"), std::system_error);
  EXPECT_THROW(write_csv(s, box.dir()), std::system_error);
  EXPECT_TRUE(names_in(box.dir()).empty());
}

TEST(CoreCsv, AWriteThatFailsHalfwayLeavesNothing) {
  // A file size limit stops the write after 1000 bytes: no file under the
  // name, and no other file either.
  const spectrum s = small_spectrum();
  sandbox box;
  const pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      write_csv(s, box.dir() / "out.csv");
    } catch (const std::system_error &e) {
      _exit(e.code() == std::errc::file_too_large ? 0 : 3);
    }
    _exit(4);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(names_in(box.dir()).empty());
}

} // namespace
} // namespace wavespec::testing
