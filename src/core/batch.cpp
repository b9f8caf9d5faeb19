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

namespace wavespec {
namespace {

// Reads the record into the workspace, by the library's rules.
core::loaded_record load(const std::string &input, workspace &ws) {
  return core::with_public_errors([&] {
    records::stream_state u(records::waveform_file, true);
    if (input == standard_stream) {
      records::open_memory_stream(u, "standard input", {});
      u.in.attach(0);
    } else {
      records::open_stream(u, input, records::open_rule::read_only);
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

void write_output(const spectrum_view &s, const std::string &output) {
  std::optional<records::output_file> file;
  if (output == standard_stream)
    file.emplace(STDOUT_FILENO, "standard output");
  else
    file.emplace(output);
  file_sink sink(*file);
  write_csv(s, sink);
  file->commit();
}

// The record's course; fills `o` as it goes, throws what went wrong.
void run_record(const std::string &input, const std::string &output,
                const analysis_options &options, workspace &ws, record_outcome &o) {
  const core::loaded_record record = load(input, ws);
  o.nt = record.count;
  o.dt = record.samples.dt;
  core::check_loaded(record.count, record.samples);
  o.grid = grid_of(record.samples);
  const parzen_window window = make_window(options.band, o.grid->df);
  if (core::refused(window))
    throw band_error(options.band, o.grid->band_min, o.grid->band_max);
  write_output(core::run_analysis(record.samples, options.op, window, options.band, ws), output);
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

template <typename T, typename F> std::string known(const std::optional<T> &v, F &&digits) {
  return v ? digits(*v) : std::string();
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
                              const analysis_options &options, workspace &ws) {
  record_outcome o;
  o.input = input;
  o.output = output;
  try {
    run_record(input, output, options, ws, o);
  } catch (const records::interrupted &signal) {
    throw interrupted(signal.signal);
  } catch (const record_error &e) {
    o.message =
        e.line() > 0 ? "line " + std::to_string(e.line()) + ": " + e.one_line() : e.one_line();
  } catch (const band_error &e) {
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
  const auto integer = [](auto v) { return std::to_string(v); };
  const auto real = [](float v) { return core::free_digits(v); };
  const std::optional<frequency_grid> &g = o.grid;
  std::string row = field(o.input) + "," + field(o.output) + "," + (o.ok ? "ok" : "failed");
  row += "," + known(o.nt, integer) + "," + known(o.dt, real);
  row += "," + (g ? integer(g->nf) : "") + "," + (g ? real(g->df) : "");
  row += "," + (g ? real(g->highest) : "") + "," + (g ? real(g->band_min) : "");
  row += "," + (g ? real(g->band_max) : "") + "," + field(o.message) + "\n";
  return row;
}

} // namespace wavespec
