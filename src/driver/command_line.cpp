// The command line's run: the core's options and plan, the records analysed
// on worker threads (each with its own workspace), progress on a terminal,
// and the core's summary, closing line and exit status.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "driver/command_line.h"
#include "records/interrupt.h"
#include "wavespec/batch.hpp"
#include "wavespec/flatfile.hpp"
#include "wavespec/output_file.hpp"
#include "wavespec/version.hpp"

namespace wavespec::driver {
namespace {

using clock = std::chrono::steady_clock;

double seconds_since(clock::time_point start) {
  return std::chrono::duration<double>(clock::now() - start).count();
}

void say(const std::string &line) {
  std::fputs(("wavespec: " + line + "\n").c_str(), stderr);
}

// Counts shared between the workers and the main thread.
struct progress {
  std::atomic<std::size_t> next{0}, done{0}, failed{0};
  std::atomic<bool> stop{false};
  std::mutex mutex; // standard error and the wake-up of the main thread
  std::condition_variable changed;
};

// A file the run ends with: the summary or the flatfile.
struct end_file {
  std::string what, name; // "summary" or "flatfile"; its name ("-": standard output)
  std::optional<output_file> file;
};

class batch {
public:
  batch(const run_options &o, run_plan plan)
      : o_(o), plan_(std::move(plan)), outcomes_(plan_.records.size()),
        terminal_(::isatty(2) == 1 && !o.quiet && plan_.records.size() > 1) {}

  int run();

private:
  void work();
  void work_through();
  void report(const std::string &line);
  void show_progress(bool last);
  void wait_for_workers();
  bool write_at_end(end_file &f, const std::function<std::string()> &text);

  const run_options &o_;
  run_plan plan_;
  std::vector<std::optional<record_outcome>> outcomes_;
  progress p_;
  bool terminal_;
  clock::time_point start_ = clock::now();
  std::size_t shown_width_ = 0;
  std::atomic<bool> broken_{false};
  std::atomic<bool> closed_{false}; // standard output's reader went away
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
  // a single record may share its Konno-Ohmachi sums between processors
  const unsigned threads = outcomes_.size() == 1 ? processors() : 1;
  for (;;) {
    const std::size_t i = p_.next++;
    if (i >= outcomes_.size() || p_.stop)
      break;
    record_outcome outcome;
    try {
      outcome = process_record(plan_.records[i], o_, ws, {}, threads);
    } catch (const interrupted &) {
      p_.stop = true;
      break;
    }
    if (outcome.status == record_status::output_closed) {
      p_.stop = true; // its reader is gone: the run ends quietly
      closed_ = true;
    } else if (!outcome.done_well()) {
      ++p_.failed;
      report(failure_line(outcome));
    } else if (!outcome.warning.empty()) {
      report(warning_line(outcome));
    }
    outcomes_[i] = std::move(outcome);
    ++p_.done;
    p_.changed.notify_one();
  }
}

void batch::report(const std::string &line) {
  const std::lock_guard lock(p_.mutex);
  if (shown_width_ > 0)
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_width_), "");
  shown_width_ = 0;
  say(line);
}

// One line that updates in place.
void batch::show_progress(bool last) {
  if (!terminal_)
    return;
  const std::lock_guard lock(p_.mutex);
  const std::string line =
      "wavespec: " + progress_line(p_.done, outcomes_.size(), p_.failed, seconds_since(start_));
  const std::size_t width = line.size();
  std::fprintf(stderr, "\r%s%*s", line.c_str(),
               static_cast<int>(shown_width_ > width ? shown_width_ - width : 0), "");
  shown_width_ = width;
  if (last) {
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_width_), "");
    shown_width_ = 0;
  }
  std::fflush(stderr);
}

// The workers on their threads while this one shows the progress and
// watches for a signal (which may have been delivered to any thread).
void batch::wait_for_workers() {
  std::vector<std::thread> workers;
  const auto jobs = std::min<std::size_t>(o_.jobs != 0 ? o_.jobs : processors(), outcomes_.size());
  for (std::size_t j = 0; j < jobs; ++j)
    workers.emplace_back([this] { work(); });
  {
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
}

// Writes a file the run ends with (written also after an interrupt: what
// was done); false when it could not be.
bool batch::write_at_end(end_file &f, const std::function<std::string()> &text) {
  if (!f.file)
    return true;
  const end_result r = write_end_file(*f.file, f.what, f.name, text());
  if (!r.line.empty())
    say(r.line);
  if (r.how == end_written::reader_gone)
    closed_ = true;
  return r.how == end_written::written || (r.how != end_written::given_up && closed_);
}

// Standard output's reader went away: the run ends as a Unix filter does
// when its pipe closes, by SIGPIPE, without a word (the files it ends with
// are written first).
[[noreturn]] void end_as_a_filter() {
  std::signal(SIGPIPE, SIG_DFL);
  std::raise(SIGPIPE);
  std::_Exit(128 + SIGPIPE);
}

// The files a run ends with are made before any record is read, so that one
// that cannot be written stops the run before it starts.
void open_at_start(end_file &f) {
  if (f.name == standard_stream)
    f.file.emplace(STDOUT_FILENO, "standard output");
  else if (!f.name.empty())
    f.file.emplace(f.name);
}

int batch::run() {
  end_file summary{"summary", plan_.summary, {}}, flatfile{"flatfile", plan_.flatfile, {}};
  for (end_file *f : {&summary, &flatfile})
    try {
      open_at_start(*f);
    } catch (const std::system_error &e) {
      say(f->what + ": " + e.what());
      return 2;
    } catch (const interrupted &) { // a FIFO whose reader never came
      if (!o_.quiet)
        say(closing_line(plan_, outcomes_, seconds_since(start_), true));
      return 1;
    }
  if (outcomes_.size() == 1)
    work(); // this thread, which also gets the signals
  else
    wait_for_workers();
  show_progress(true);
  const bool written = write_at_end(flatfile, [&] { return flatfile_text(o_, outcomes_); }) &&
                       write_at_end(summary, [&] { return summary_text(o_, outcomes_); });
  const bool interrupted = (p_.stop && !broken_ && !closed_) || records::pending_interrupt() != 0;
  if (closed_ && !interrupted)
    end_as_a_filter();
  if (!o_.quiet && (outcomes_.size() > 1 || !o_.output_dir.empty() || interrupted))
    say(closing_line(plan_, outcomes_, seconds_since(start_), interrupted));
  return exit_status(outcomes_, interrupted, broken_ || !written);
}

// The options and the plan, or the refusal that ends the run before it
// starts (-1 when the run goes on).
int prepare(int argc, char **argv, run_options &options, run_plan &plan) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  switch (parse_arguments(args, front_end::command_line, options)) {
  case command::help:
    std::fputs(help_text(front_end::command_line).c_str(), stdout);
    return 0;
  case command::version:
    std::printf("wavespec %s\n", version);
    return 0;
  case command::run:
    break;
  }
  plan = plan_run(options);
  if (!options.output_dir.empty()) {
    try {
      make_output_dir(options.output_dir);
    } catch (const file_error &e) {
      say(e.what());
      return 2;
    }
  }
  return -1;
}

} // namespace

int run_command_line(int argc, char **argv) {
  try {
    run_options options;
    run_plan plan;
    if (const int status = prepare(argc, argv, options, plan); status >= 0)
      return status;
    return batch(options, std::move(plan)).run();
  } catch (const options_error &e) {
    say(e.what());
    std::fputs((help_pointer(front_end::command_line) + "\n").c_str(), stderr);
    return 2;
  } catch (const std::exception &e) { // the plan itself failed (no memory, say)
    say(e.what());
    return 2;
  }
}

} // namespace wavespec::driver
