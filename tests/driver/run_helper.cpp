#include "driver/run_helper.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace wavespec::testing {

namespace fs = std::filesystem;

sandbox::sandbox() {
  char tmpl[] = "/tmp/wavespec-run-XXXXXX";
  if (mkdtemp(tmpl) == nullptr)
    throw std::runtime_error("mkdtemp");
  dir_ = tmpl;
}

sandbox::~sandbox() {
  std::error_code ec;
  fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(dir_, ec);
}

void sandbox::write(const std::string &name, const std::string &content) const {
  std::ofstream(dir_ / name, std::ios::binary) << content;
}

std::string sandbox::read(const std::string &name) const {
  std::ifstream f(dir_ / name, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

bool sandbox::exists(const std::string &name) const {
  return fs::exists(dir_ / name);
}

namespace {

const char *program() {
  const char *bin = std::getenv("WAVESPEC_BIN"); // another build of the program may be tested
  return bin != nullptr ? bin : WAVESPEC_BIN;
}

// In the child: runs wavespec in `dir` with the given standard streams
// (out < 0: standard output closed).
[[noreturn]] void exec_program(const fs::path &dir, int in, int out, const fs::path &err,
                               const std::vector<std::string> &args = {}) {
  if (chdir(dir.c_str()) != 0)
    _exit(127);
  dup2(in, 0);
  if (out >= 0)
    dup2(out, 1);
  dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  for (int fd = 3; fd < 64; ++fd)
    close(fd);
  if (out < 0)
    close(1); // last, so that no file opened above takes its number
  std::vector<char *> argv{const_cast<char *>("wavespec")};
  for (const std::string &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(program(), argv.data());
  _exit(127);
}

int exit_status(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

run_result sandbox::run(const std::string &answers, const std::string &stdout_path,
                        bool close_stdout) const {
  const fs::path in = dir_ / ".answers", out = dir_ / ".stdout", err = dir_ / ".stderr";
  std::ofstream(in, std::ios::binary) << answers;
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string target = stdout_path.empty() ? out.string() : stdout_path;
    const int out_fd = close_stdout ? -1 : open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    exec_program(dir_, open(in.c_str(), O_RDONLY), out_fd, err);
  }
  run_result r;
  r.status = exit_status(pid);
  r.out = read(".stdout");
  r.err = read(".stderr");
  fs::remove(in);
  fs::remove(out);
  fs::remove(err);
  return r;
}

run_result sandbox::signal_at_prompt(const std::string &answers, const std::string &prompt,
                                     int signal, bool ignore_interrupts,
                                     const std::string &then) const {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0)
    throw std::runtime_error("pipe");
  const fs::path err = dir_ / ".stderr";
  const pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGINT, ignore_interrupts ? SIG_IGN : SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    exec_program(dir_, in[0], out[1], err);
  }
  close(in[0]);
  close(out[1]);
  std::signal(SIGPIPE, SIG_IGN);
  if (!answers.empty() && ::write(in[1], answers.data(), answers.size()) < 0)
    throw std::runtime_error("write");
  run_result r;
  char buf[4096];
  while (!r.out.ends_with(prompt)) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0)
      break; // the prompt never came: fail, not hang
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0)
      break;
    r.out.append(buf, static_cast<std::size_t>(n));
  }
  kill(pid, signal);
  if (!then.empty())
    (void)!::write(in[1], then.data(), then.size());
  close(in[1]);
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
    r.out.append(buf, static_cast<std::size_t>(n));
  close(out[0]);
  r.status = exit_status(pid);
  r.err = read(".stderr");
  fs::remove(err);
  return r;
}

run_result sandbox::command(const std::vector<std::string> &args, const std::string &input) const {
  const fs::path in = dir_ / ".input";
  std::ofstream(in, std::ios::binary) << input;
  run_result r = finish(start(in.string(), -1, 0, args));
  fs::remove(in);
  fs::remove(dir_ / ".stdout");
  fs::remove(dir_ / ".stderr");
  return r;
}

pid_t sandbox::start(const std::string &input, int out, std::size_t limit_bytes,
                     const std::vector<std::string> &args) const {
  const fs::path err = dir_ / ".stderr", stdout_file = dir_ / ".stdout";
  const pid_t pid = fork();
  if (pid == 0) {
    if (limit_bytes != 0) {
      const rlimit limit{limit_bytes, limit_bytes};
      setrlimit(RLIMIT_AS, &limit);
    }
    const int out_fd =
        out >= 0 ? out : open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    exec_program(dir_, open(input.c_str(), O_RDONLY), out_fd, err, args);
  }
  return pid;
}

run_result sandbox::finish(pid_t pid, long *max_rss_kb) const {
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (max_rss_kb != nullptr)
    *max_rss_kb = usage.ru_maxrss;
  run_result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read(".stdout");
  r.err = read(".stderr");
  return r;
}

long resident_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:"))
      return std::stol(line.substr(6));
  return 0;
}

bool ends_within(pid_t pid, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid)
      return true;
    usleep(10000);
  }
  return false;
}

std::string waveform_text(int nt, double dt, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-50.0, 50.0);
  std::string s = "time x y z\n";
  char line[128];
  for (int i = 0; i < nt; ++i) {
    std::snprintf(line, sizeof line, "%.4f,%.5g,%.5g,%.5g\n", i * dt, u(rng), u(rng), u(rng));
    s += line;
  }
  return s;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

std::string bundled_record() {
  return read_file(std::string(WAVESPEC_DATA) + "/sf1295.txt");
}

} // namespace wavespec::testing
