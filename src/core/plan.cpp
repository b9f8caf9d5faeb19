// The plan of a run: every file it writes, named before anything is read,
// and refused when two of them are one file or one of them is an input.
#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

#include "core/loading.h"
#include "wavespec/batch.hpp"
#include "wavespec/flatfile.hpp"
#include "wavespec/metadata.hpp"
#include "wavespec/output_file.hpp"

namespace wavespec {
namespace {

namespace fs = std::filesystem;

// A file of the run: what it is, for the words of a refusal, and which file
// it is on the system.
struct run_file {
  enum class role { input, spectrum, sidecar, summary, flatfile } what;
  std::string name;  // as the run names it
  std::string input; // the input it belongs to (spectra and sidecars)
  std::string key;   // "dev:ino" of an existing file, else its path made absolute
};

std::string shown(const std::string &input) {
  return input == standard_stream ? "standard input" : input;
}

std::string described(const run_file &f) {
  switch (f.what) {
  case run_file::role::input:
    return "the input " + shown(f.name);
  case run_file::role::spectrum:
    return "the spectrum of " + shown(f.input) + " (" + f.name + ")";
  case run_file::role::sidecar:
    return "the sidecar of " + shown(f.input) + " (" + f.name + ")";
  case run_file::role::flatfile:
    return "the flatfile (" + f.name + ")";
  case run_file::role::summary:
    break;
  }
  return "the summary (" + f.name + ")";
}

std::string identity_key(const struct stat &st) {
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// Which file a name is: an existing file by its device and inode (links
// followed), a new one by the absolute path its links lead to.
std::string file_key(const std::string &name) {
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0)
    return identity_key(st);
  int error = 0;
  const std::string target = output_file::follow_links(name, error);
  std::error_code unresolved;
  fs::path path = fs::weakly_canonical(target, unresolved);
  if (unresolved)
    path = fs::absolute(target, unresolved).lexically_normal();
  return path.string();
}

// Standard input is a file of the run when it is a regular file.
std::string standard_input_key() {
  struct stat st {};
  return ::fstat(0, &st) == 0 && S_ISREG(st.st_mode) ? identity_key(st) : std::string();
}

// Standard output is a file of the run as whatever it is open on, so that
// "-" and /dev/stdout (or /proc/self/fd/1) are one file.
std::string standard_output_key() {
  struct stat st {};
  return ::fstat(1, &st) == 0 ? identity_key(st) : std::string();
}

// The file an output name writes; "-" is standard output.
std::string output_key(const std::string &name) {
  return name == standard_stream ? standard_output_key() : file_key(name);
}

// A sidecar goes only beside a file that is or will be a regular file.
bool takes_sidecar(const std::string &output) {
  if (output.empty() || output == standard_stream || output.starts_with("/dev/") ||
      output.starts_with("/proc/"))
    return false;
  struct stat st {};
  return ::stat(output.c_str(), &st) != 0 || S_ISREG(st.st_mode);
}

// Two spectra, or any file written and any other file of the run, that are
// one file.
void refuse_collisions(const std::vector<run_file> &files) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    const run_file &a = files[i];
    if (a.what == run_file::role::input || a.key.empty())
      continue;
    for (std::size_t j = 0; j < files.size(); ++j) {
      const run_file &b = files[j];
      if (j == i || b.key != a.key || (j > i && b.what != run_file::role::input))
        continue; // each pair of written files once
      if (a.what == run_file::role::spectrum && b.what == run_file::role::spectrum)
        throw options_error(shown(b.input) + " and " + shown(a.input) + " would both write " +
                            a.name);
      if (a.what == run_file::role::spectrum && b.what == run_file::role::input &&
          a.input == b.name)
        throw options_error(shown(a.input) + ": its spectrum would replace it (" + a.name + ")");
      throw options_error(described(a) + " would replace " + described(b));
    }
  }
}

} // namespace

namespace core {

void refuse_nul(const std::string &name) {
  if (name.find('\0') == std::string::npos)
    return;
  std::string printable;
  for (const char c : name)
    printable += c == '\0' ? std::string("\\0") : std::string(1, c);
  throw options_error("a file name cannot hold a NUL character: " + printable);
}

} // namespace core

void make_output_dir(const std::string &dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error)
    throw file_error(error.value(), dir);
}

run_plan plan_run(const run_options &o) {
  for (const std::string *name : {&o.output, &o.output_dir, &o.summary, &o.flatfile})
    core::refuse_nul(*name);
  for (const std::string &input : o.inputs)
    core::refuse_nul(input);
  if (std::count(o.inputs.begin(), o.inputs.end(), standard_stream) > 1)
    throw options_error("standard input (\"-\") can be read only once");
  run_plan plan;
  plan.dry_run = o.dry_run;
  const bool no_spectra =
      o.dry_run || (!o.flatfile.empty() && o.output.empty() && o.output_dir.empty());
  std::vector<run_file> files;
  for (const std::string &input : o.inputs) {
    std::string output = no_spectra              ? std::string()
                         : !o.output_dir.empty() ? output_path(input, o.output_dir)
                         : o.output.empty()      ? std::string(standard_stream)
                                                 : o.output;
    std::string sidecar = o.metadata && takes_sidecar(output) ? metadata_path(output) : "";
    files.push_back({run_file::role::input, input, input,
                     input == standard_stream ? standard_input_key() : file_key(input)});
    if (!output.empty())
      files.push_back({run_file::role::spectrum, output, input, output_key(output)});
    if (!sidecar.empty())
      files.push_back({run_file::role::sidecar, sidecar, input, file_key(sidecar)});
    plan.records.push_back({input, std::move(output), std::move(sidecar)});
  }
  if (o.summary == standard_stream && o.flatfile == standard_stream)
    throw options_error("the flatfile already goes to standard output: --summary needs a file");
  const bool spectrum_to_stdout =
      std::any_of(plan.records.begin(), plan.records.end(),
                  [](const planned_record &r) { return r.output == standard_stream; });
  if (o.summary == standard_stream && spectrum_to_stdout)
    throw options_error("the spectrum already goes to standard output: --summary needs a file");
  if (!o.summary.empty())
    files.push_back({run_file::role::summary, o.summary, {}, output_key(o.summary)});
  if (!o.flatfile.empty())
    files.push_back({run_file::role::flatfile, o.flatfile, {}, output_key(o.flatfile)});
  refuse_collisions(files);
  plan.summary = o.dry_run && o.summary.empty() ? std::string(standard_stream) : o.summary;
  plan.flatfile = o.flatfile;
  if (o.resume && !o.flatfile.empty() && o.flatfile != standard_stream) {
    const std::map<std::string, std::string> done = flatfile_rows_done(o);
    for (planned_record &r : plan.records)
      if (const auto row = done.find(r.input); row != done.end())
        r.previous_row = row->second;
  }
  plan.destination = !o.output_dir.empty() ? o.output_dir
                     : !no_spectra         ? plan.records.front().output
                                           : o.flatfile;
  return plan;
}

planned_record plan_output(const std::string &input, const std::string &output, bool metadata) {
  core::refuse_nul(input);
  core::refuse_nul(output);
  planned_record r{input, output, metadata && takes_sidecar(output) ? metadata_path(output) : ""};
  std::vector<run_file> files;
  if (!input.empty())
    files.push_back({run_file::role::input, input, input, file_key(input)});
  if (output != standard_stream)
    files.push_back({run_file::role::spectrum, output, input, file_key(output)});
  if (!r.sidecar.empty())
    files.push_back({run_file::role::sidecar, r.sidecar, input, file_key(r.sidecar)});
  refuse_collisions(files);
  return r;
}

} // namespace wavespec
