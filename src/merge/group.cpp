#include "merge/group.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "records/interrupt.h"
#include "wavespec/output_file.hpp"

namespace wavespec::merge {
namespace {

using clock = std::chrono::steady_clock;

std::string name_word(std::string_view text) {
  std::string s;
  for (const char c : text) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-';
    if (keep)
      s.push_back(c);
    else if (!s.empty() && s.back() != '_')
      s.push_back('_');
  }
  while (!s.empty() && (s.back() == '_' || s.back() == '.'))
    s.pop_back();
  return s;
}

// "20190706T031952", UTC.
std::string compact_time(double t) {
  using namespace std::chrono;
  const sys_seconds whole{seconds{static_cast<long long>(std::floor(t))}};
  const sys_days day = floor<days>(whole);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{whole - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02u%02uT%02lld%02lld%02lld", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<long long>(time.hours().count()),
                static_cast<long long>(time.minutes().count()),
                static_cast<long long>(time.seconds().count()));
  return text;
}

// What groups a component: format-specific record words and the variant.
std::string key_of(const series &s) {
  const std::string &r = s.record.empty() ? s.site : s.record;
  return r.empty() ? std::string() : r + "\n" + s.variant;
}

double end_of(const series &s) {
  return s.start + static_cast<double>(s.values.size()) * s.dt;
}

// The components of one key split where their times do not overlap: the
// records of one station at different times. Components without a start
// join the first.
void split_by_time(std::vector<series> &parts, std::vector<std::vector<series>> &out) {
  std::stable_sort(parts.begin(), parts.end(), [](const series &a, const series &b) {
    if (std::isnan(a.start) != std::isnan(b.start))
      return std::isnan(a.start);
    return !std::isnan(a.start) && a.start < b.start;
  });
  bool open = false, timed_before = false;
  double reach = 0;
  for (series &s : parts) {
    const bool timed = !std::isnan(s.start);
    if (!open || (timed && timed_before && s.start >= reach)) {
      out.emplace_back();
      open = true;
      timed_before = false;
    }
    if (timed) {
      reach = timed_before ? std::max(reach, end_of(s)) : end_of(s);
      timed_before = true;
    }
    out.back().push_back(std::move(s));
  }
}

std::string csv_field(const std::string &text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos)
    return text;
  std::string q = "\"";
  for (const char c : text)
    q += c == '"' ? std::string("\"\"") : std::string(1, c == '\n' || c == '\r' ? ' ' : c);
  return q + "\"";
}

std::string summary_text(const std::vector<group_outcome> &done) {
  std::string text = "record,files,output,status,message\n";
  for (const group_outcome &g : done) {
    std::string files;
    for (const std::string &f : g.files)
      files += (files.empty() ? "" : ";") + f;
    text += csv_field(g.record) + "," + csv_field(files) + "," + csv_field(g.output) + "," +
            (g.written ? "written" : "refused") + "," + csv_field(g.message) + "\n";
  }
  return text;
}

} // namespace

std::string unused_name(const std::string &name, std::set<std::string> &used) {
  std::string candidate = name;
  for (int k = 2; used.contains(candidate); ++k)
    candidate = name + "-" + std::to_string(k);
  used.insert(candidate);
  return candidate;
}

std::string record_name(const series &s) {
  std::string name =
      name_word(s.record.empty() || s.record.find(',') != std::string::npos ? s.station : s.record);
  if (name.empty())
    name = "record";
  if (std::fabs(s.start) < 1e11) // a date the calendar writes (not NaN)
    name += "_" + compact_time(s.start);
  if (!s.variant.empty())
    name += "_" + name_word(s.variant);
  return name;
}

std::vector<std::vector<series>> group_components(std::vector<series> parts) {
  std::vector<std::string> order;
  std::map<std::string, std::vector<series>> by_key;
  std::vector<std::vector<series>> out;
  for (series &s : parts) {
    const std::string key = key_of(s);
    if (key.empty()) {
      out.push_back({std::move(s)});
      continue;
    }
    if (by_key.find(key) == by_key.end())
      order.push_back(key);
    by_key[key].push_back(std::move(s));
  }
  for (const std::string &key : order)
    split_by_time(by_key[key], out);
  return out;
}

std::vector<series> read_file(const std::string &path, const std::string &format,
                              const read_request &request) {
  const format_entry *named = format.empty() ? nullptr : &format_named(format);
  const component_file file = read_component_file(path, named);
  const format_entry *f = named != nullptr ? named : detect_format(file);
  if (f == nullptr)
    throw merge_error(path + ": unknown format; name it with --format");
  std::vector<series> parts = read_components(*f, file, request);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0)
    for (series &s : parts)
      s.file_id = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  return parts;
}

namespace {

std::string base_name(const std::string &path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string listed(const std::vector<series> &parts) {
  std::string names;
  for (const series &s : parts)
    names +=
        (names.empty() ? "" : ", ") + (s.component.empty() ? "?" : s.component) + " of " + s.source;
  return names;
}

class folder_run {
public:
  folder_run(const std::vector<std::string> &inputs, const folder_options &o)
      : inputs_(inputs), o_(o), terminal_(::isatty(2) == 1) {}
  int run();

private:
  std::vector<series> read_all();
  void write_group(std::vector<series> parts);
  void refuse_output_over_input(const std::string &out) const;
  void progress(const char *what, std::size_t done, std::size_t total);
  void clear_progress();
  void say(const std::string &text);
  bool write_summary();

  const std::vector<std::string> &inputs_;
  const folder_options &o_;
  bool terminal_;
  std::vector<group_outcome> done_;
  std::set<std::string> names_; // the record names given so far
  std::size_t refused_ = 0, shown_ = 0;
  clock::time_point last_shown_{};
};

void folder_run::say(const std::string &text) {
  clear_progress();
  std::fprintf(stderr, "wavespec-merge: %s\n", text.c_str());
}

// One line on a terminal, rewritten in place at most ten times a second.
void folder_run::progress(const char *what, std::size_t done, std::size_t total) {
  if (!terminal_ || (clock::now() - last_shown_ < std::chrono::milliseconds(100) && done < total))
    return;
  last_shown_ = clock::now();
  char line[160];
  const int n = std::snprintf(line, sizeof line, "wavespec-merge: %s %zu/%zu, %zu refused", what,
                              done, total, refused_);
  std::fprintf(stderr, "\r%s%*s", line,
               shown_ > static_cast<std::size_t>(n) ? static_cast<int>(shown_) - n : 0, "");
  shown_ = static_cast<std::size_t>(n);
  std::fflush(stderr);
}

void folder_run::clear_progress() {
  if (shown_ > 0)
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_), "");
  shown_ = 0;
}

std::vector<series> folder_run::read_all() {
  std::vector<series> parts;
  for (std::size_t i = 0; i < inputs_.size(); ++i) {
    records::check_interrupt();
    progress("reading files", i, inputs_.size());
    try {
      for (series &s : read_file(inputs_[i], o_.format, o_.request)) {
        if (!s.warning.empty())
          say(s.warning);
        parts.push_back(std::move(s));
      }
    } catch (const merge_error &e) {
      ++refused_;
      done_.push_back({name_word(base_name(inputs_[i])), {inputs_[i]}, {}, false, e.what()});
      say(e.what());
    }
  }
  return parts;
}

// Whether two names are one existing file (a link, a hard link, ./).
bool same_file(const std::string &a, const std::string &b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void folder_run::refuse_output_over_input(const std::string &out) const {
  for (const std::string &path : inputs_)
    if (same_file(out, path))
      throw merge_error(out + ": is the input file " + path + "; name another folder");
}

void folder_run::write_group(std::vector<series> parts) {
  group_outcome g;
  g.record = unused_name(record_name(parts.front()), names_);
  for (const series &s : parts)
    if (std::find(g.files.begin(), g.files.end(), s.source) == g.files.end())
      g.files.push_back(s.source);
  try {
    if (parts.size() < 3)
      throw merge_error("incomplete: " + std::to_string(parts.size()) + " component" +
                        (parts.size() == 1 ? "" : "s") + " (" + listed(parts) +
                        "); a record needs 3");
    if (parts.size() > 3)
      throw merge_error("ambiguous: " + std::to_string(parts.size()) + " components (" +
                        listed(parts) + ") for one record; convert three of them with -o");
    std::vector<series> xyz = order_components(std::move(parts), false);
    const std::size_t n = check_components(xyz, o_.merge);
    const std::string out = o_.outdir + "/" + g.record + ".txt";
    refuse_output_over_input(out);
    write_waveform(out, std::move(xyz), n, o_.merge);
    g.output = out;
    g.written = true;
  } catch (const merge_error &e) {
    g.message = e.what();
    ++refused_;
    say(g.record + ": " + g.message);
  }
  done_.push_back(std::move(g));
}

bool folder_run::write_summary() {
  if (o_.summary.empty())
    return true;
  if (o_.summary != "-")
    for (const group_outcome &g : done_)
      if (g.written && same_file(o_.summary, g.output)) { // the record stays
        say("summary: " + o_.summary + ": is the record " + g.output + "; not written");
        return false;
      }
  try {
    std::optional<output_file> file;
    if (o_.summary == "-")
      file.emplace(STDOUT_FILENO, "standard output");
    else
      file.emplace(o_.summary);
    file->ignore_interrupts(); // written also after an interrupt: what was done
    file->write(summary_text(done_));
    file->commit();
  } catch (const std::system_error &e) {
    say(std::string("summary: ") + e.what());
    return false;
  } catch (const records::interrupted &) { // a FIFO whose reader never came
    say("summary: " + o_.summary + ": interrupted: not written");
    return false;
  }
  return true;
}

int folder_run::run() {
  records::install_interrupt_handlers();
  bool interrupted = false;
  try {
    std::vector<std::vector<series>> groups = group_components(read_all());
    for (std::size_t i = 0; i < groups.size(); ++i) {
      records::check_interrupt();
      progress("records", i, groups.size());
      write_group(std::move(groups[i]));
      std::vector<series>().swap(groups[i]);
    }
  } catch (const records::interrupted &) {
    interrupted = true;
  }
  clear_progress();
  const bool summary = write_summary();
  interrupted = interrupted || records::pending_interrupt() != 0;
  const std::size_t written = done_.size() - refused_;
  say(std::string(interrupted ? "interrupted: " : "") + std::to_string(written) + " of " +
      std::to_string(done_.size()) + " records written to " + o_.outdir +
      (refused_ > 0 ? ", " + std::to_string(refused_) + " refused" : ""));
  if (interrupted)
    return 1;
  return refused_ > 0 || !summary ? 2 : 0;
}

// The summary replaces no input; checked before anything is read or made.
void refuse_summary_over_input(const std::vector<std::string> &inputs, const folder_options &o) {
  if (o.summary.empty() || o.summary == "-")
    return;
  for (const std::string &path : inputs)
    if (same_file(o.summary, path))
      throw merge_error(o.summary + ": is the input file " + path + "; name another summary");
}

} // namespace

int convert_folder(const std::vector<std::string> &inputs, const folder_options &o) {
  refuse_summary_over_input(inputs, o);
  std::error_code error;
  std::filesystem::create_directories(o.outdir, error);
  if (error)
    throw merge_error(o.outdir + ": cannot make the folder: " + error.message());
  folder_run run(inputs, o);
  return run.run();
}

} // namespace wavespec::merge
