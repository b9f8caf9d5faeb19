// What the converter's tests share: the test files, a scratch folder, the
// failure of a reading, and the command run end to end.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "merge/formats.h"

namespace wavespec::merge {

namespace fs = std::filesystem;
inline const std::string data = WAVESPEC_TEST_DATA "/merge/";
inline const std::string net = data + "network/"; // files as data centres hand them out

// A file's bytes, as they are.
inline std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// A file in a temporary folder of its own, removed after the test.
class scratch {
public:
  scratch() : dir_(fs::temp_directory_path() / ("wavespec-merge-" + std::to_string(getpid()))) {
    fs::create_directories(dir_);
  }
  ~scratch() { fs::remove_all(dir_); }
  std::string file(const std::string &name, const std::string &content) const {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return (dir_ / name).string();
  }

private:
  fs::path dir_;
};

inline std::string failure_of(const std::string &path) {
  try {
    const component_file file = read_component_file(path);
    const format_entry *f = detect_format(file);
    (void)read_components(f ? *f : format_named("generic"), file,
                          {quantity::acceleration, 0.01, 1.0, {}, {}, false});
  } catch (const merge_error &e) {
    return e.what();
  }
  return "read";
}

// The command, end to end.
struct result {
  int status;
  std::string err;
};

inline result merge_cmd(const std::string &args) {
  const std::string err =
      (fs::temp_directory_path() / ("wavespec-merge-" + std::to_string(getpid()) + ".err"))
          .string();
  const int s = std::system((std::string(WAVESPEC_MERGE_BIN) + " " + args + " 2>" + err).c_str());
  std::ifstream f(err);
  return {WEXITSTATUS(s), {std::istreambuf_iterator<char>(f), {}}};
}

inline std::string body(const fs::path &p) { // the data lines, without the header
  std::ifstream f(p);
  std::string s{std::istreambuf_iterator<char>(f), {}};
  return s.substr(s.find('\n') + 1);
}

} // namespace wavespec::merge
