#include <cmath>
#include <new>
#include <system_error>
#include <unistd.h>

#include "core/loading.h"
#include "core/numbers.h"
#include "core/pipeline.h"
#include "records/output_file.h"
#include "wavespec/batch.hpp"
#include "wavespec/csv.hpp"
#include "wavespec/metadata.hpp"

namespace wavespec {
namespace {

// `name` in `directory` (when given and the name is relative).
std::string in_directory(const std::string &name, const std::string &directory) {
  if (directory.empty() || name.starts_with('/') || name == standard_stream)
    return name;
  std::string path = directory;
  if (!path.ends_with('/'))
    path.push_back('/');
  return path.append(name);
}

// Reads the record into the workspace, by the library's rules; its failures
// name it as given.
core::loaded_record load(const std::string &input, const std::string &directory, workspace &ws) {
  return core::with_public_errors([&] {
    records::stream_state u(records::waveform_file, true);
    if (input == standard_stream) {
      records::open_memory_stream(u, "standard input", {});
      u.in.attach(0);
    } else {
      records::open_stream(u, in_directory(input, directory), records::open_rule::read_only, input);
    }
    core::loaded_record loaded = core::load_records(u, ws);
    records::close_stream(u);
    return loaded;
  });
}

class file_sink final : public byte_sink {
public:
  explicit file_sink(records::output_file &out) : out_(out) {}
  void write(std::string_view bytes) override { out_.write(bytes); }

private:
  records::output_file &out_;
};

// The spectrum file, and its sidecar when asked for (not beside standard
// output); each whole or not at all, failures named as given.
void write_output(const spectrum_view &s, const std::string &output, const std::string &directory,
                  const record_facts *metadata) {
  std::string name = output == standard_stream ? "standard output" : output;
  try {
    std::optional<records::output_file> file;
    if (output == standard_stream)
      file.emplace(STDOUT_FILENO, "standard output");
    else
      file.emplace(in_directory(output, directory));
    file_sink sink(*file);
    write_csv(s, sink);
    file->commit();
    if (metadata == nullptr || output == standard_stream)
      return;
    name = metadata_path(output);
    records::output_file sidecar(in_directory(name, directory));
    sidecar.write(spectrum_metadata(*metadata, s));
    sidecar.commit();
  } catch (const std::system_error &e) {
    throw std::system_error(e.code(), name);
  }
}

// The record's course; fills `o` as it goes, throws what went wrong.
void run_record(const std::string &input, const std::string &output,
                const analysis_options &options, workspace &ws, const std::string &directory,
                unsigned threads, bool metadata, record_outcome &o) {
  core::check_options(options);
  const core::loaded_record record = load(input, directory, ws);
  o.nt = record.count;
  o.dt = record.samples.dt;
  core::check_loaded(record.count, record.samples);
  o.grid = grid_of(record.samples);
  const parzen_window window = make_window(options.band, o.grid->df);
  if (core::refused(window))
    throw band_error(options.band, o.grid->band_min, o.grid->band_max);
  const spectrum_view v = core::run_analysis(record.samples, options.op, window, options.band, ws);
  const record_facts facts{input, record.header, record.count, record.samples.dt};
  const record_facts *sidecar = metadata ? &facts : nullptr;
  if (options.eas || options.konno_ohmachi > 0.0) { // values of their own
    spectrum s{v.grid,
               options,
               {v.original_values.begin(), v.original_values.end()},
               {v.smoothed_values.begin(), v.smoothed_values.end()}};
    core::add_eas_and_konno_ohmachi(s, ws, threads);
    write_output(s, output, directory, sidecar);
  } else {
    write_output(v, output, directory, sidecar);
  }
  o.ok = true;
}

// A field of the summary CSV, quoted when it holds a comma, a quote or a
// line end (quotes doubled inside).
std::string field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos)
    return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    quoted.push_back(c);
    if (c == '"')
      quoted.push_back('"');
  }
  return quoted + "\"";
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

record_outcome process_record(const std::string &input, const std::string &output,
                              const analysis_options &options, workspace &ws,
                              const std::string &directory, unsigned threads, bool metadata) {
  record_outcome o;
  o.input = input;
  o.output = output;
  try {
    run_record(input, output, options, ws, directory, threads, metadata, o);
  } catch (const records::interrupted &signal) {
    throw interrupted(signal.signal);
  } catch (const record_error &e) {
    o.message =
        e.line() > 0 ? "line " + std::to_string(e.line()) + ": " + e.one_line() : e.one_line();
  } catch (const std::invalid_argument &e) { // a band or Konno-Ohmachi options refused
    o.message = e.what();
  } catch (const std::system_error &e) {
    o.message = e.what();
  } catch (const std::bad_alloc &) {
    o.message = "out of memory";
  }
  return o;
}

std::string summary_header() {
  return "input,output,status,nt,dt,nf,df_hz,fmax_hz,band_min_hz,band_max_hz,message\n";
}

std::string summary_row(const record_outcome &o) {
  const std::optional<frequency_grid> &g = o.grid;
  const auto real = [](std::optional<float> v) {
    return v ? core::free_digits(*v) : std::string();
  };
  const auto grid = [&](float frequency_grid::*value) {
    return real(g ? std::optional<float>((*g).*value) : std::nullopt);
  };
  const std::string fields[] = {field(o.input),
                                field(o.output),
                                o.ok ? "ok" : "failed",
                                o.nt ? std::to_string(*o.nt) : std::string(),
                                real(o.dt),
                                g ? std::to_string(g->nf) : std::string(),
                                grid(&frequency_grid::df),
                                grid(&frequency_grid::highest),
                                grid(&frequency_grid::band_min),
                                grid(&frequency_grid::band_max),
                                field(o.message)};
  std::string row;
  for (const std::string &f : fields)
    row.append(row.empty() && &f == &fields[0] ? "" : ",").append(f);
  row.push_back('\n');
  return row;
}

} // namespace wavespec
