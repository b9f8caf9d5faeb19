// One record's course, and what a run of many ends with.
#include <cerrno>
#include <new>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "core/centres.h"
#include "core/csv_fields.h"
#include "core/csv_rows.h"
#include "core/loading.h"
#include "core/numbers.h"
#include "core/pipeline.h"
#include "wavespec/batch.hpp"
#include "wavespec/csv.hpp"
#include "wavespec/flatfile.hpp"
#include "wavespec/metadata.hpp"
#include "wavespec/output_file.hpp"

namespace wavespec {
namespace {

// An output the run will not write: it is the record's own input.
struct output_refused {
  std::string message;
};

// `name` in `directory` (when given and the name is relative).
std::string in_directory(const std::string &name, const std::string &directory) {
  if (directory.empty() || name.starts_with('/') || name == standard_stream)
    return name;
  std::string path = directory;
  if (!path.ends_with('/'))
    path.push_back('/');
  return path.append(name);
}

struct opened_record {
  core::loaded_record record;
  records::file_identity identity; // of the input, when it is a file
  records::reading_notes notes;    // what the reading met
};

// Reads the record into the workspace, by the library's rules; its failures
// name it as given.
opened_record load(const std::string &input, const std::string &directory, workspace &ws) {
  return core::with_public_errors([&] {
    records::stream_state u(records::waveform_file, true);
    opened_record opened;
    if (input == standard_stream) {
      records::open_memory_stream(u, "standard input", {});
      u.in.attach(0);
      struct stat st {};
      if (::fstat(0, &st) == 0 && S_ISREG(st.st_mode))
        opened.identity = {st.st_dev, st.st_ino, true};
    } else {
      records::open_stream(u, in_directory(input, directory), records::open_rule::read_only, input);
      opened.identity = u.identity;
    }
    opened.record = core::load_records(u, ws, &opened.notes);
    records::close_stream(u);
    return opened;
  });
}

// Refuses an output that is the input under any name (links followed).
void refuse_replacing(const records::file_identity &input, const std::string &output,
                      const std::string &directory, const char *what) {
  struct stat st {};
  if (!input.known || output.empty() || output == standard_stream ||
      ::stat(in_directory(output, directory).c_str(), &st) != 0)
    return;
  if (st.st_dev == input.device && st.st_ino == input.inode)
    throw output_refused{std::string("its ") + what + " would replace it (" + output + ")"};
}

// A failure of the file `name`, worded as the user named it.
[[noreturn]] void fail_named(const std::system_error &e, const std::string &name) {
  throw file_error(e.code().value(), name);
}

// The spectrum file and its sidecar: both written and finished, then both
// take their names. When the sidecar cannot take its name after the
// spectrum took its own, the new spectrum is removed again, so that
// neither is left newer than the other.
// `csv_bytes` writes the spectrum file's bytes; `sidecar_text` gives the
// sidecar's text once they are written.
void write_outputs(const planned_record &r, const std::string &directory,
                   const std::function<void(byte_sink &)> &csv_bytes,
                   const std::function<std::string()> &sidecar_text) {
  const bool to_stdout = r.output == standard_stream;
  std::optional<output_file> csv, sidecar;
  std::string name = to_stdout ? "standard output" : r.output;
  try {
    if (to_stdout)
      csv.emplace(STDOUT_FILENO, name);
    else
      csv.emplace(in_directory(r.output, directory));
    core::file_sink sink(*csv);
    csv_bytes(sink);
    csv->finish();
    if (!r.sidecar.empty()) {
      name = r.sidecar;
      sidecar.emplace(in_directory(r.sidecar, directory));
      sidecar->write(sidecar_text());
      sidecar->finish();
    }
    name = to_stdout ? "standard output" : r.output;
    csv->commit();
  } catch (const std::system_error &e) {
    fail_named(e, name);
  }
  if (!sidecar)
    return;
  try {
    sidecar->commit();
  } catch (const std::system_error &e) {
    if (!csv->written_through())
      (void)::unlink(csv->target().c_str());
    fail_named(e, r.sidecar);
  }
}

// A spectrum held whole.
void write_outputs(const spectrum_view &s, const planned_record &r, const std::string &directory,
                   const record_facts &facts) {
  write_outputs(
      r, directory, [&](byte_sink &sink) { write_csv(s, sink); },
      [&] { return spectrum_metadata(facts, s); });
}

// A Konno-Ohmachi spectrum written as its values are summed, a chunk of
// centres at a time, so that memory does not grow with the centres; the
// peak of H/V is followed as the rows go by. `s` is prepared
// (prepare_derived_series).
void write_konno_ohmachi(const spectrum &s, const planned_record &r, const std::string &directory,
                         record_facts &facts, unsigned threads, record_outcome &out) {
  const frequency_band usable = usable_band(facts.nt, facts.dt, s.grid);
  if (!s.options.centres_within_record) // refused before its output is opened: not even a header
    core::check_centres(core::centre_list(s.options, s.grid), s.grid);
  write_outputs(
      r, directory,
      [&](byte_sink &sink) {
        core::write_csv_header(s, sink);
        core::for_each_konno_ohmachi_chunk(s, threads, [&](const core::konno_ohmachi_chunk &c) {
          spectrum_view v = s.view();
          v.centres = c.centres, v.konno_ohmachi_values = c.rows, v.hv = c.hv;
          core::write_csv_rows(v, sink);
          for (std::size_t i = 0; i < c.hv.size(); ++i)
            core::take_if_higher(out.peak, c.centres[i], c.hv[i], usable);
        });
      },
      [&] {
        facts.peak = out.peak;
        facts.peak_known = true;
        return spectrum_metadata(facts, s);
      });
}

// The lines of a record's file, read again (none for standard input).
core::record_lines lines_of(const std::string &input, const std::string &directory) {
  if (input == standard_stream)
    return {};
  return [input, directory](std::size_t k) {
    return core::with_public_errors([&] {
      records::stream_state u(records::waveform_file, true);
      records::open_stream(u, in_directory(input, directory), records::open_rule::read_only, input);
      return core::line_of_record(u, k);
    });
  };
}

// Whether a record's outputs are all there (each is only ever whole).
bool already_written(const planned_record &r, const std::string &directory) {
  struct stat st {};
  const auto regular = [&](const std::string &name) {
    return ::stat(in_directory(name, directory).c_str(), &st) == 0 && S_ISREG(st.st_mode);
  };
  return r.output != standard_stream && regular(r.output) &&
         (r.sidecar.empty() || regular(r.sidecar));
}

// The analysis of a loaded record and its outputs.
void analyse_and_write(const planned_record &r, const run_options &o,
                       const core::loaded_record &record, workspace &ws,
                       const std::string &directory, unsigned threads, record_outcome &out) {
  analysis_options options = o.analysis;
  options.centres_within_record = !o.flatfile.empty(); // its row leaves the rest empty
  options.band = core::band_for(options, *out.grid);
  out.band = options.band;
  const parzen_window window = make_window(options.band, out.grid->df);
  const spectrum_view v = core::run_analysis(record.samples, options.op, window, options.band, ws);
  record_facts facts{r.input, record.header, record.count, record.samples.dt};
  if (options.band != o.analysis.band)
    facts.band_asked = o.analysis.band;
  if (options.eas || options.hv || options.konno_ohmachi > 0.0) { // values of their own
    spectrum s{v.grid,
               options,
               {v.original_values.begin(), v.original_values.end()},
               {v.smoothed_values.begin(), v.smoothed_values.end()}};
    if (options.konno_ohmachi > 0.0 && o.flatfile.empty()) { // rows as they are summed
      core::prepare_derived_series(s, ws);
      if (!r.output.empty())
        write_konno_ohmachi(s, r, directory, facts, threads, out);
      out.status = record_status::ok;
      out.output = r.output;
      return;
    }
    core::add_derived_series(s, ws, threads);
    if (options.hv)
      out.peak = find_hv_peak(s, usable_band(record.count, record.samples.dt, s.grid));
    if (!r.output.empty())
      write_outputs(s, r, directory, facts);
    out.status = record_status::ok;
    if (!o.flatfile.empty())
      out.flat_row = flatfile_row(o, out, s, facts);
  } else {
    write_outputs(v, r, directory, facts);
  }
  out.output = r.output;
}

// The record's course; fills `out` as it goes, throws what went wrong.
void run_record(const planned_record &r, const run_options &o, workspace &ws,
                const std::string &directory, unsigned threads, record_outcome &out) {
  const bool flat_done =
      !r.previous_row.empty() && (r.output.empty() || already_written(r, directory));
  if (o.resume && (o.flatfile.empty() ? already_written(r, directory) : flat_done)) {
    out.status = record_status::skipped;
    out.flat_row = r.previous_row;
    return;
  }
  check_analysis_options(o.analysis);
  const opened_record opened = load(r.input, directory, ws);
  const core::loaded_record &record = opened.record;
  out.nt = record.count;
  out.dt = record.samples.dt;
  if (o.strict && !opened.notes.clean())
    throw core::refused_damage(opened.notes, r.input);
  out.warning = core::damage_of(opened.notes);
  out.grid =
      core::check_loaded(record.count, record.samples, lines_of(r.input, directory), r.input);
  if (!o.dry_run) {
    refuse_replacing(opened.identity, r.output, directory, "spectrum");
    refuse_replacing(opened.identity, r.sidecar, directory, "sidecar");
    analyse_and_write(r, o, record, ws, directory, threads, out);
  }
  out.status = record_status::ok;
}

record_status status_of(const record_error &e) {
  const record_error::kind k = e.reason();
  return k == record_error::kind::unreadable || k == record_error::kind::damaged
             ? record_status::unreadable
             : record_status::not_analysable;
}

std::string shown(const std::string &input) {
  return input == standard_stream ? "standard input" : input;
}

} // namespace

std::string output_path(std::string_view input, std::string_view dir) {
  std::string_view name = input.substr(input.find_last_of('/') + 1);
  if (input == standard_stream)
    name = "stdin";
  const auto dot = name.find_last_of('.');
  if (dot != std::string_view::npos && dot > 0)
    name = name.substr(0, dot);
  std::string path(dir);
  if (!path.empty() && !path.ends_with('/'))
    path.push_back('/');
  return path.append(name).append(".csv");
}

std::string_view status_name(record_status s) {
  static const char *const names[] = {"ok",
                                      "unreadable",
                                      "not-analysable",
                                      "band-refused",
                                      "bad-options",
                                      "output-failed",
                                      "out-of-memory",
                                      "worker-failed",
                                      "output-closed",
                                      "skipped",
                                      "interrupted"};
  const auto i = static_cast<std::size_t>(s);
  return i < std::size(names) ? names[i] : "interrupted";
}

void write_spectrum(const spectrum_view &s, const record_facts &facts,
                    const planned_record &record) {
  if (!record.input.empty() && record.input != standard_stream) {
    struct stat st {};
    if (::stat(record.input.c_str(), &st) == 0) {
      const records::file_identity input{st.st_dev, st.st_ino, true};
      try {
        refuse_replacing(input, record.output, {}, "spectrum");
        refuse_replacing(input, record.sidecar, {}, "sidecar");
      } catch (const output_refused &e) {
        throw options_error(record.input + ": " + e.message);
      }
    }
  }
  write_outputs(s, record, {}, facts);
}

record_status status_named(std::string_view name) {
  for (int s = 0; s <= static_cast<int>(record_status::interrupted); ++s)
    if (status_name(static_cast<record_status>(s)) == name)
      return static_cast<record_status>(s);
  return record_status::interrupted;
}

record_outcome process_record(const planned_record &r, const run_options &options, workspace &ws,
                              const std::string &directory, unsigned threads) {
  record_outcome o;
  o.input = r.input;
  const auto failed = [&o](record_status s, std::string message) {
    o.status = s;
    o.message = std::move(message);
    o.output.clear();
    o.flat_row.clear();
  };
  try {
    run_record(r, options, ws, directory, threads, o);
  } catch (const record_error &e) {
    failed(status_of(e), e.one_line());
  } catch (const band_error &e) {
    failed(record_status::band_refused, e.what());
  } catch (const centres_error &e) {
    failed(record_status::band_refused, e.what());
  } catch (const std::invalid_argument &e) { // options the analysis refuses
    failed(record_status::bad_options, e.what());
  } catch (const output_refused &e) {
    failed(record_status::output_failed, e.message);
  } catch (const std::system_error &e) {
    const bool closed = e.code().value() == EPIPE && r.output == standard_stream;
    failed(closed ? record_status::output_closed : record_status::output_failed, e.what());
  } catch (const std::bad_alloc &) {
    failed(record_status::out_of_memory, "out of memory");
  }
  if (!options.flatfile.empty() && o.flat_row.empty())
    o.flat_row = flatfile_row(options, o);
  return o;
}

std::string summary_header(const run_options &options) {
  return std::string("input,output,status,nt,dt,nf,df_hz,fmax_hz,band_min_hz,band_max_hz,message,"
                     "warnings") +
         (options.analysis.band_clamp ? ",band_hz" : "") +
         (options.analysis.hv ? ",f0_hz,a0" : "") + "\n";
}

std::string summary_row(const run_options &options, const record_outcome &o) {
  const std::optional<frequency_grid> &g = o.grid;
  const auto real = [](std::optional<float> v) {
    return v ? core::free_digits(*v) : std::string();
  };
  const auto grid = [&](float frequency_grid::*value) {
    return real(g ? std::optional<float>((*g).*value) : std::nullopt);
  };
  const std::string fields[] = {core::csv_field(o.input),
                                core::csv_field(o.output),
                                o.ok()                               ? "ok"
                                : o.status == record_status::skipped ? "skipped"
                                                                     : "failed",
                                o.nt ? std::to_string(*o.nt) : std::string(),
                                real(o.dt),
                                g ? std::to_string(g->nf) : std::string(),
                                grid(&frequency_grid::df),
                                grid(&frequency_grid::highest),
                                grid(&frequency_grid::band_min),
                                grid(&frequency_grid::band_max),
                                core::csv_field(o.message),
                                core::csv_field(o.warning)};
  std::string row;
  for (const std::string &f : fields)
    row.append(&f == &fields[0] ? "" : ",").append(f);
  if (options.analysis.band_clamp)
    row.append(",").append(real(o.band));
  if (options.analysis.hv)
    row.append(",")
        .append(o.peak ? core::shortest_digits(static_cast<float>(o.peak->f0)) : "")
        .append(",")
        .append(o.peak ? core::shortest_digits(o.peak->a0) : "");
  row.push_back('\n');
  return row;
}

std::string summary_text(const run_options &options, run_outcomes outcomes) {
  std::string text = summary_header(options);
  for (const std::optional<record_outcome> &o : outcomes)
    if (o)
      text += summary_row(options, *o);
  return text;
}

std::string failure_line(const record_outcome &o) {
  return shown(o.input) + ": " + o.message;
}

std::string warning_line(const record_outcome &o) {
  return shown(o.input) + ": warning: " + o.warning;
}

std::string progress_line(std::size_t done, std::size_t total, std::size_t failed, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const auto left =
      rate > 0 && total > done ? static_cast<long>(static_cast<double>(total - done) / rate) : 0;
  char line[160];
  std::snprintf(line, sizeof line, "%zu/%zu done, %zu failed, %.0f records/s, %ld:%02ld left", done,
                total, failed, rate, left / 60, left % 60);
  return line;
}

std::string closing_line(const run_plan &plan, run_outcomes outcomes, double seconds,
                         bool interrupted) {
  std::size_t written = 0, skipped = 0, failed = 0;
  for (const std::optional<record_outcome> &o : outcomes)
    if (o && o->ok())
      ++written;
    else if (o && o->status == record_status::skipped)
      ++skipped;
    else if (o)
      ++failed;
  char time[64];
  std::snprintf(time, sizeof time, " in %.1f s", seconds);
  std::string line = std::string(interrupted ? "interrupted: " : "") + std::to_string(written) +
                     " of " + std::to_string(outcomes.size()) + " records " +
                     (plan.dry_run ? std::string("read") : "written to " + plan.destination) + time;
  if (skipped > 0)
    line += ", " + std::to_string(skipped) + " already there";
  if (failed > 0)
    line += ", " + std::to_string(failed) + " failed";
  return line;
}

end_result write_end_file(output_file &file, std::string_view what, const std::string &name,
                          std::string_view text) {
  const std::string who = std::string(what) + ": ";
  try {
    file.ignore_interrupts();
    file.write(text);
    file.commit();
  } catch (const std::system_error &e) {
    if (e.code().value() == EPIPE && file.written_through() && name == standard_stream)
      return {end_written::reader_gone, {}};
    return {end_written::failed, who + e.what()};
  } catch (const interrupted &) { // its reader took nothing for a second after a signal
    return {end_written::given_up,
            who + name + ": given up after the interrupt: nothing could be written"};
  }
  return {};
}

int exit_status(run_outcomes outcomes, bool interrupted, bool failed_otherwise) {
  if (interrupted)
    return 1;
  for (const std::optional<record_outcome> &o : outcomes)
    if (!o || !o->done_well())
      return 2;
  return failed_otherwise ? 2 : 0;
}

} // namespace wavespec
