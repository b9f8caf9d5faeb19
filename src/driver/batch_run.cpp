// The command line's run: the outputs checked before any work, the records
// analysed on worker threads (each with its own workspace), progress on a
// terminal, the summary, the closing line and the exit status.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "driver/command_line.h"
#include "records/interrupt.h"
#include "records/output_file.h"
#include "wavespec/batch.hpp"
#include "wavespec/version.hpp"

namespace wavespec::driver {
namespace {

namespace fs = std::filesystem;
using clock = std::chrono::steady_clock;

void say(const std::string &line) {
  std::fputs(("wavespec: " + line + "\n").c_str(), stderr);
}

// The processors this process may run on.
unsigned processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

std::string shown(const std::string &input) {
  return input == standard_stream ? "standard input" : input;
}

// The outputs of the inputs; refused before any work when two inputs would
// write the same file, standard input is named twice, or an output would
// replace its own input.
std::vector<std::string> plan_outputs(const command_options &o) {
  if (std::count(o.inputs.begin(), o.inputs.end(), standard_stream) > 1)
    throw usage_error("standard input (\"-\") can be read only once");
  std::vector<std::string> outputs;
  std::map<std::string, std::string> writer; // output -> the input that writes it
  for (const std::string &input : o.inputs) {
    const std::string out = !o.output_dir.empty() ? output_path(input, o.output_dir)
                            : o.output.empty()    ? std::string(standard_stream)
                                                  : o.output;
    std::error_code unresolved; // a name no path reaches (/dev/stdout on a pipe) stays as given
    fs::path key = fs::weakly_canonical(out, unresolved);
    if (unresolved)
      key = fs::path(out).lexically_normal();
    if (const auto [it, fresh] = writer.emplace(key.string(), input);
        !fresh && out != standard_stream)
      throw usage_error(shown(it->second) + " and " + shown(input) + " would both write " + out);
    outputs.push_back(out);
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    struct stat in {
    }, out{};
    if (outputs[i] != standard_stream && o.inputs[i] != standard_stream &&
        ::stat(o.inputs[i].c_str(), &in) == 0 && ::stat(outputs[i].c_str(), &out) == 0 &&
        in.st_dev == out.st_dev && in.st_ino == out.st_ino)
      throw usage_error(o.inputs[i] + ": its spectrum would replace it (" + outputs[i] + ")");
  }
  if (o.summary == standard_stream &&
      std::find(outputs.begin(), outputs.end(), standard_stream) != outputs.end())
    throw usage_error("the spectrum already goes to standard output: --summary needs a file");
  return outputs;
}

// Counts shared between the workers and the main thread.
struct progress {
  std::atomic<std::size_t> next{0}, done{0}, failed{0};
  std::atomic<bool> stop{false};
  std::mutex mutex; // standard error and the wake-up of the main thread
  std::condition_variable changed;
};

class batch {
public:
  batch(const command_options &o, std::vector<std::string> outputs)
      : o_(o), outputs_(std::move(outputs)), outcomes_(o.inputs.size()), finished_(o.inputs.size()),
        terminal_(::isatty(2) == 1 && !o.quiet && outputs_.size() > 1) {}

  int run();

private:
  void work();
  void work_through();
  void report_failure(const record_outcome &r);
  void show_progress(bool last);
  bool write_summary();
  std::string closing_line(double seconds, bool interrupted) const;

  const command_options &o_;
  std::vector<std::string> outputs_;
  std::vector<record_outcome> outcomes_;
  std::vector<char> finished_; // outcome i is complete
  progress p_;
  bool terminal_;
  clock::time_point start_ = clock::now();
  std::size_t shown_width_ = 0;
  std::atomic<bool> broken_{false};
};

void batch::work() {
  try {
    work_through();
  } catch (const std::exception &e) { // a workspace that cannot be had, say
    {
      const std::lock_guard lock(p_.mutex);
      say(e.what());
    }
    broken_ = true;
    p_.stop = true;
  } catch (...) {
    broken_ = true;
    p_.stop = true;
  }
  p_.changed.notify_one();
}

void batch::work_through() {
  workspace ws;
  for (;;) {
    const std::size_t i = p_.next++;
    if (i >= outcomes_.size() || p_.stop)
      break;
    try {
      // a single record may share its Konno-Ohmachi sums between processors
      outcomes_[i] = process_record(o_.inputs[i], outputs_[i], o_.analysis, ws, {},
                                    outcomes_.size() == 1 ? processors() : 1, o_.metadata);
    } catch (const interrupted &) {
      p_.stop = true;
      break;
    }
    finished_[i] = 1;
    if (!outcomes_[i].ok) {
      ++p_.failed;
      report_failure(outcomes_[i]);
    }
    ++p_.done;
    p_.changed.notify_one();
  }
}

void batch::report_failure(const record_outcome &r) {
  const std::lock_guard lock(p_.mutex);
  if (shown_width_ > 0)
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_width_), "");
  shown_width_ = 0;
  say(shown(r.input) + ": " + r.message);
}

// One line that updates in place: done/total, failed, records per second,
// time left.
void batch::show_progress(bool last) {
  if (!terminal_)
    return;
  const std::lock_guard lock(p_.mutex);
  const double seconds = std::chrono::duration<double>(clock::now() - start_).count();
  const std::size_t done = p_.done, total = outcomes_.size();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const auto left = rate > 0 ? static_cast<long>(static_cast<double>(total - done) / rate) : 0;
  char line[160];
  std::snprintf(line, sizeof line,
                "wavespec: %zu/%zu done, %zu failed, %.0f records/s, %ld:%02ld left", done, total,
                p_.failed.load(), rate, left / 60, left % 60);
  const std::size_t width = std::strlen(line);
  std::fprintf(stderr, "\r%s%*s", line,
               static_cast<int>(shown_width_ > width ? shown_width_ - width : 0), "");
  shown_width_ = width;
  if (last) {
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_width_), "");
    shown_width_ = 0;
  }
  std::fflush(stderr);
}

bool batch::write_summary() {
  if (o_.summary.empty())
    return true;
  std::string text = summary_header();
  for (std::size_t i = 0; i < outcomes_.size(); ++i)
    if (finished_[i])
      text += summary_row(outcomes_[i]);
  try {
    std::optional<records::output_file> file;
    if (o_.summary == standard_stream)
      file.emplace(STDOUT_FILENO, "standard output");
    else
      file.emplace(o_.summary);
    file->ignore_interrupts(); // written also after an interrupt: what was done
    file->write(text);
    file->commit();
  } catch (const std::system_error &e) {
    say(std::string("summary: ") + e.what());
    return false;
  }
  return true;
}

std::string batch::closing_line(double seconds, bool interrupted) const {
  const std::string where = o_.output_dir.empty() ? outputs_.front() : o_.output_dir;
  char text[64];
  std::snprintf(text, sizeof text, " in %.1f s", seconds);
  return std::string(interrupted ? "interrupted: " : "") + std::to_string(p_.done - p_.failed) +
         " of " + std::to_string(outcomes_.size()) + " records written to " + where + text +
         (p_.failed > 0 ? ", " + std::to_string(p_.failed.load()) + " failed" : "");
}

int batch::run() {
  std::vector<std::thread> workers;
  if (outcomes_.size() == 1) {
    work(); // this thread, which also gets the signals
  } else {
    const auto jobs =
        std::min<std::size_t>(o_.jobs != 0 ? o_.jobs : processors(), outcomes_.size());
    for (std::size_t j = 0; j < jobs; ++j)
      workers.emplace_back([this] { work(); });
    std::unique_lock lock(p_.mutex);
    auto shown = clock::now();
    while (p_.done < outcomes_.size() && !p_.stop) {
      p_.changed.wait_for(lock, std::chrono::milliseconds(100));
      if (records::pending_interrupt() != 0)
        p_.stop = true;
      if (clock::now() - shown < std::chrono::milliseconds(100))
        continue; // ten updates a second at most
      shown = clock::now();
      lock.unlock();
      show_progress(false);
      lock.lock();
    }
  }
  for (std::thread &t : workers)
    t.join();
  show_progress(true);
  const bool interrupted = (p_.stop && !broken_) || records::pending_interrupt() != 0;
  const bool summary_written = write_summary();
  const double seconds = std::chrono::duration<double>(clock::now() - start_).count();
  if (!o_.quiet && (outcomes_.size() > 1 || !o_.output_dir.empty() || interrupted))
    say(closing_line(seconds, interrupted));
  if (interrupted)
    return 1;
  return p_.failed > 0 || broken_ || !summary_written ? 2 : 0;
}

} // namespace

int run_command_line(int argc, char **argv) {
  command_options options;
  try {
    switch (parse_command_line(argc, argv, options)) {
    case command::help:
      std::fputs(help_text().c_str(), stdout);
      return 0;
    case command::version:
      std::printf("wavespec %s\n", version);
      return 0;
    case command::analyse:
      break;
    }
    std::vector<std::string> outputs = plan_outputs(options);
    if (!options.output_dir.empty()) {
      std::error_code error;
      fs::create_directories(options.output_dir, error);
      if (error) {
        say(options.output_dir + ": " + error.message());
        return 2;
      }
    }
    return batch(options, std::move(outputs)).run();
  } catch (const usage_error &e) {
    say(e.what());
    std::fputs("Try 'wavespec --help' for more information.\n", stderr);
    return 2;
  } catch (const std::exception &e) { // the plan itself failed (no memory, say)
    say(e.what());
    return 2;
  }
}

} // namespace wavespec::driver
