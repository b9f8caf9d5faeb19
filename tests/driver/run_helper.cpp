#include "driver/run_helper.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <stdexcept>
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

run_result sandbox::run(const std::string &answers, const std::string &stdout_path,
                        bool close_stdout) const {
  const fs::path in = dir_ / ".answers", out = dir_ / ".stdout", err = dir_ / ".stderr";
  std::ofstream(in, std::ios::binary) << answers;
  const char *bin = std::getenv("WAVESPEC_BIN"); // another build of the program may be tested
  if (bin == nullptr)
    bin = WAVESPEC_BIN;
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir_.c_str()) != 0)
      _exit(127);
    dup2(open(in.c_str(), O_RDONLY), 0);
    const std::string target = stdout_path.empty() ? out.string() : stdout_path;
    dup2(open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    for (int fd = 3; fd < 64; ++fd)
      close(fd);
    if (close_stdout)
      close(1);
    execl(bin, "wavespec", static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run_result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
  const char *bin = std::getenv("WAVESPEC_BIN");
  if (bin == nullptr)
    bin = WAVESPEC_BIN;
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir_.c_str()) != 0)
      _exit(127);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    for (int fd = 3; fd < 64; ++fd)
      close(fd);
    std::signal(SIGINT, ignore_interrupts ? SIG_IGN : SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    execl(bin, "wavespec", static_cast<char *>(nullptr));
    _exit(127);
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
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.err = read(".stderr");
  fs::remove(err);
  return r;
}

std::string waveform(int nt, double dt, unsigned seed) {
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

std::string bundled_record() {
  std::ifstream f(std::string(WAVESPEC_DATA) + "/sf1295.txt", std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

} // namespace wavespec::testing
