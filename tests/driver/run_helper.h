// Runs the built wavespec in a fresh temporary directory with answers on its
// standard input, and collects what it left behind.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace wavespec::testing {

// Under AddressSanitizer the program reserves terabytes of shadow memory and
// its resident memory grows with it: limits on memory do not apply there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

struct run_result {
  std::string out;
  std::string err;
  int status = -1; // exit status, or 128 + signal
};

class sandbox {
public:
  sandbox();
  ~sandbox();
  sandbox(const sandbox &) = delete;
  sandbox &operator=(const sandbox &) = delete;

  [[nodiscard]] const std::filesystem::path &dir() const { return dir_; }
  void write(const std::string &name, const std::string &content) const;
  [[nodiscard]] std::string read(const std::string &name) const;
  [[nodiscard]] bool exists(const std::string &name) const;
  // Runs wavespec with `answers` on standard input; `stdout_path`, when not
  // empty, replaces the captured standard output (e.g. /dev/full), and
  // `close_stdout` starts it with standard output closed.
  [[nodiscard]] run_result run(const std::string &answers, const std::string &stdout_path = "",
                               bool close_stdout = false) const;

  // Starts wavespec with a pipe on its standard input and output, waits until
  // its output ends with `prompt`, sends `signal` and returns how it ended.
  // With `ignore_interrupts` it starts with SIGINT ignored; `then` is written
  // to its input after the signal, and the input is closed.
  [[nodiscard]] run_result signal_at_prompt(const std::string &answers, const std::string &prompt,
                                            int signal, bool ignore_interrupts = false,
                                            const std::string &then = "") const;

  // Runs wavespec with command-line arguments and `input` on its standard
  // input.
  [[nodiscard]] run_result command(const std::vector<std::string> &args,
                                   const std::string &input = "") const;

  // Starts wavespec in the folder with standard input from `input` (a path)
  // and standard output on `out` (a descriptor; -1: the folder's .stdout),
  // its address space limited to `limit_bytes` when that is not 0.
  [[nodiscard]] pid_t start(const std::string &input, int out = -1, std::size_t limit_bytes = 0,
                            const std::vector<std::string> &args = {}) const;
  // Waits for a started run; its peak memory (KiB) into `max_rss_kb`.
  [[nodiscard]] run_result finish(pid_t pid, long *max_rss_kb = nullptr) const;

private:
  std::filesystem::path dir_;
};

// The resident memory of a running process (KiB), 0 when it has ended.
[[nodiscard]] long resident_kb(pid_t pid);
// Whether the process ends (is waitable) within `ms` milliseconds.
[[nodiscard]] bool ends_within(pid_t pid, int ms);

// A waveform file: a header, then nt records "t,x,y,z" with t = i * dt.
[[nodiscard]] std::string waveform_text(int nt, double dt, unsigned seed = 1);
// The bundled record, read from the data folder.
[[nodiscard]] std::string bundled_record();
// A whole file's bytes.
[[nodiscard]] std::string read_file(const std::string &path);

} // namespace wavespec::testing
