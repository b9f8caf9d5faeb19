// The table of options, the parser of a command line over it, the checks of
// the options together, and the help that the table describes.
#include <algorithm>
#include <string>
#include <vector>

#include "wavespec/options.hpp"

namespace wavespec {
namespace {

// Which programs take an option.
constexpr unsigned both = 3;
constexpr unsigned wavespec_only = 1u << static_cast<unsigned>(front_end::command_line);
constexpr unsigned batch_only = 1u << static_cast<unsigned>(front_end::dask_batch);

bool takes(unsigned programs, front_end program) {
  return (programs & (1u << static_cast<unsigned>(program))) != 0;
}

struct option_spec {
  char short_name;        // 0: none
  std::string_view name;  // the long name
  std::string_view value; // the value's name in the help; empty: a flag
  unsigned programs;      // which take it
  std::string_view help;  // the help's lines after the first column
  void (*apply)(run_options &, std::string_view);
  command ends = command::run; // help and version end the parse
};

const option_spec options_table[] = {
    {'m', "operation", "OP", both,
     "0 or none (default), 1 or integrate, 2 or\n"
     "double-integrate, 3 or differentiate",
     [](run_options &o, std::string_view v) { o.analysis.op = parse_operation(v); }},
    {'b', "band", "HZ", both, "Parzen bandwidth in Hz; 0 (default) for no smoothing",
     [](run_options &o, std::string_view v) { o.analysis.band = parse_band(v); }},
    {'o', "output", "FILE", wavespec_only,
     "the spectrum of the single FILE (\"-\": standard output,\n"
     "the default for one input)",
     [](run_options &o, std::string_view v) { o.output = v; }},
    {'o', "output", "FILE", batch_only, "the spectrum of the single FILE",
     [](run_options &o, std::string_view v) { o.output = v; }},
    {'d', "output-dir", "DIR", both,
     "each spectrum to DIR/STEM.csv (STEM: the input's name\n"
     "without its last extension); DIR is created",
     [](run_options &o, std::string_view v) { o.output_dir = v; }},
    {'j', "jobs", "N", wavespec_only, "records analysed at once (default: one per processor)",
     [](run_options &o, std::string_view v) { o.jobs = parse_jobs(v); }},
    {'j', "jobs", "N", batch_only,
     "worker processes of the local cluster (default: one\n"
     "per processor)",
     [](run_options &o, std::string_view v) { o.jobs = parse_jobs(v); }},
    {0, "workers", "N", batch_only, "the same as --jobs",
     [](run_options &o, std::string_view v) { o.jobs = parse_jobs(v); }},
    {0, "scheduler", "ADDRESS", batch_only,
     "a running Dask scheduler (tcp://HOST:PORT) instead of\n"
     "a local cluster",
     [](run_options &o, std::string_view v) { o.scheduler = v; }},
    {0, "flatfile", "FILE", both,
     "one CSV row per record: its facts and its Konno-Ohmachi\n"
     "values at the --frequencies centres (empty outside\n"
     "its usable band); -d is then optional",
     [](run_options &o, std::string_view v) { o.flatfile = v; }},
    {0, "summary", "FILE", both,
     "a CSV with one row per input: input, output, status,\n"
     "nt, dt, nf, df_hz, fmax_hz, band_min_hz, band_max_hz,\n"
     "message, warnings (then band_hz with --band-clamp,\n"
     "f0_hz, a0 with --hv)",
     [](run_options &o, std::string_view v) { o.summary = v; }},
    {0, "konno-ohmachi", "B", both,
     "Konno-Ohmachi smoothing with coefficient B (20 to 40\n"
     "usual, 188.5 for the EAS of ground-motion models)\n"
     "at log-spaced centre frequencies, instead of Parzen's",
     [](run_options &o, std::string_view v) { o.analysis.konno_ohmachi = parse_konno_ohmachi(v); }},
    {0, "frequencies", "FMIN:FMAX:N", both,
     "N centres from FMIN to FMAX Hz, even in log10\n"
     "(default: 100 per decade from df to the Nyquist\n"
     "frequency)",
     [](run_options &o, std::string_view v) { o.analysis.spread = parse_frequencies(v); }},
    {0, "eas", "", both,
     "add the effective amplitude spectrum of X and Y,\n"
     "sqrt((X^2 + Y^2) / 2), smoothed like them",
     [](run_options &o, std::string_view) { o.analysis.eas = true; }},
    {0, "metadata", "", both,
     "beside each spectrum file (not standard output) a JSON\n"
     "sidecar: the record, its header, components and\n"
     "units, the grid, the operation and the smoothing",
     [](run_options &o, std::string_view) { o.metadata = true; }},
    {0, "hv", "", both,
     "add the horizontal-to-vertical ratio of the smoothed\n"
     "spectra (an H/V column; f0 and A0 in the summary)",
     [](run_options &o, std::string_view) { o.analysis.hv = true; }},
    {0, "horizontal", "MEAN", both,
     "the horizontal combination for --hv: quadratic-mean\n"
     "(the EAS, the default) or geometric-mean, of each\n"
     "point's amplitudes before smoothing",
     [](run_options &o, std::string_view v) { o.analysis.horizontal = parse_horizontal(v); }},
    {0, "band-clamp", "", both,
     "a band outside a record's limits becomes the nearest\n"
     "limit for that record (the summary and the sidecar\n"
     "say which band was used)",
     [](run_options &o, std::string_view) { o.analysis.band_clamp = true; }},
    {0, "strict", "", both,
     "a record whose reading shows a damaged line (a count\n"
     "of values unlike the file's other lines, numbers run\n"
     "together, a file ending inside a record) fails\n"
     "instead of being warned about",
     [](run_options &o, std::string_view) { o.strict = true; }},
    {0, "dry-run", "", both,
     "read every record and write the summary (to standard\n"
     "output unless --summary names a file) without\n"
     "analysing or writing spectra",
     [](run_options &o, std::string_view) { o.dry_run = true; }},
    {0, "resume", "", both,
     "pass over inputs whose spectrum (and sidecar) are\n"
     "already there; the summary lists them as skipped",
     [](run_options &o, std::string_view) { o.resume = true; }},
    {'q', "quiet", "", both, "no progress and no closing line",
     [](run_options &o, std::string_view) { o.quiet = true; }},
    {'h', "help", "", both, "this help", nullptr, command::help},
    {'V', "version", "", both, "the version", nullptr, command::version},
};

const char *const command_line_usage =
    R"(Usage: wavespec [OPTION]... FILE...
       wavespec                  (no arguments: the dialogue on the console)
Fourier spectra of three-component waveform records: each FILE (time, X, Y, Z
after a header line; "-" is standard input) is transformed, optionally
integrated or differentiated, its amplitude spectra smoothed with a Parzen
window, and written as the spectrum CSV file the dialogue writes.

)";

const char *const command_line_epilogue = R"(
Each spectrum file is written whole or not at all. A record that cannot be read
or analysed is reported ("wavespec: FILE: ...") and the others go on.
Exit status: 0 when every spectrum was written, 2 when any record failed or the
command line is wrong, 1 when interrupted.

Example:
  wavespec -j 8 -m 2 -b 0.5 -d spectra/ --summary summary.csv records/*.txt
)";

const char *const batch_usage =
    R"(Usage: python3 -m wavespec.batch [OPTION]... -d DIR FILE...
       python3 -m wavespec.batch [OPTION]... --flatfile FILE FILE...
Many records on a Dask cluster, with the files, summary, messages and exit
status of wavespec -d DIR: each FILE's spectrum goes to DIR/STEM.csv, byte for
byte the file wavespec writes. Without --scheduler a local cluster of worker
processes runs on this machine; with it, the cluster it names, whose workers
must import wavespec, read the inputs and write DIR (relative names are taken
from the folder the batch starts in).

)";

const char *const batch_epilogue = R"(
Each spectrum file is written whole or not at all. A record that cannot be read
or analysed is reported ("wavespec: FILE: ...") and the others go on.
SIGINT, SIGTERM or SIGHUP stop the batch: records not begun are not begun, those
being analysed finish, then the summary lists exactly the spectra written.
Exit status: 0 when every spectrum was written, 2 when any record failed, the
command line is wrong or the cluster failed, 1 when interrupted.

Example:
  python3 -m wavespec.batch -m 2 -b 0.5 -d spectra/ records/*.txt
)";

// An empty value is never taken for an absent one.
void refuse_empty(std::string_view value, std::string_view written) {
  if (value.empty())
    throw options_error("option " + std::string(written) + " needs a value, not an empty one");
}

class argument_parser {
public:
  argument_parser(std::span<const std::string> args, front_end program, run_options &o)
      : args_(args), program_(program), o_(o) {}
  command parse();

private:
  command long_option(std::string_view arg);
  command short_options(std::string_view arg);
  const option_spec &find_long(std::string_view name) const;
  const option_spec *find_short(char c) const;
  std::string_view next_value(std::string_view written);
  command take(const option_spec &spec, std::string_view value);

  std::span<const std::string> args_;
  front_end program_;
  run_options &o_;
  std::size_t at_ = 0;
};

command argument_parser::parse() {
  bool options_ended = false;
  for (; at_ < args_.size(); ++at_) {
    const std::string_view arg = args_[at_];
    command c = command::run;
    if (options_ended || arg == "-" || !arg.starts_with('-'))
      o_.inputs.emplace_back(arg);
    else if (arg == "--")
      options_ended = true;
    else if (arg.starts_with("--"))
      c = long_option(arg);
    else
      c = short_options(arg);
    if (c != command::run)
      return c;
  }
  check_run_options(o_, program_);
  return command::run;
}

// "--name", "--name=value" or "--name value"; the name by any unique
// beginning, an exact name first.
command argument_parser::long_option(std::string_view arg) {
  const auto equals = arg.find('=');
  const std::string_view name =
      arg.substr(2, equals == std::string_view::npos ? arg.npos : equals - 2);
  const option_spec &spec = find_long(name);
  const std::string written = "--" + std::string(spec.name);
  if (spec.value.empty()) {
    if (equals != std::string_view::npos)
      throw options_error("option " + written + " takes no value");
    return take(spec, {});
  }
  const std::string_view value =
      equals != std::string_view::npos ? arg.substr(equals + 1) : next_value(written);
  refuse_empty(value, written);
  return take(spec, value);
}

// "-q", "-qm2", "-b 0.5", "-b0.5": a value takes the rest of the word or
// the next one.
command argument_parser::short_options(std::string_view arg) {
  for (std::size_t i = 1; i < arg.size(); ++i) {
    const option_spec *spec = find_short(arg[i]);
    if (spec == nullptr)
      throw options_error("unrecognized option " + std::string{'-', arg[i]});
    if (spec->value.empty()) {
      if (const command c = take(*spec, {}); c != command::run)
        return c;
      continue;
    }
    const std::string written{'-', arg[i]};
    const std::string_view value = i + 1 < arg.size() ? arg.substr(i + 1) : next_value(written);
    refuse_empty(value, written);
    return take(*spec, value);
  }
  return command::run;
}

const option_spec &argument_parser::find_long(std::string_view name) const {
  std::vector<const option_spec *> matches;
  for (const option_spec &spec : options_table) {
    if (!takes(spec.programs, program_) || !spec.name.starts_with(name))
      continue;
    if (spec.name == name)
      return spec;
    matches.push_back(&spec);
  }
  const std::string written = "--" + std::string(name);
  if (matches.empty() || name.empty())
    throw options_error("unrecognized option " + written);
  if (matches.size() > 1) {
    std::string names;
    for (const option_spec *m : matches)
      names += (names.empty() ? "--" : ", --") + std::string(m->name);
    throw options_error("option " + written + " is ambiguous (" + names + ")");
  }
  return *matches.front();
}

const option_spec *argument_parser::find_short(char c) const {
  for (const option_spec &spec : options_table)
    if (spec.short_name == c && takes(spec.programs, program_))
      return &spec;
  return nullptr;
}

std::string_view argument_parser::next_value(std::string_view written) {
  if (at_ + 1 >= args_.size())
    throw options_error("option " + std::string(written) + " needs a value");
  return args_[++at_];
}

command argument_parser::take(const option_spec &spec, std::string_view value) {
  if (spec.apply == nullptr)
    return spec.ends;
  spec.apply(o_, value);
  return command::run;
}

// The first column of an option's help: "  -m, --operation=OP".
std::string option_column(const option_spec &spec) {
  std::string column = "      --";
  if (spec.short_name != 0)
    column[2] = '-', column[3] = spec.short_name, column[4] = ',';
  column.append(spec.name);
  if (!spec.value.empty())
    column.append("=").append(spec.value);
  return column;
}

// The help's lines of an option: its column, then its text from column 25,
// continued from column 27 (a long column stands on a line of its own).
std::string option_help(const option_spec &spec) {
  constexpr std::size_t text_at = 25;
  std::string out = option_column(spec);
  std::size_t column = out.size();
  if (column + 2 > text_at) {
    out += '\n';
    column = 0;
  }
  std::string_view text = spec.help;
  for (bool first = true; !text.empty(); first = false) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    out.append((first ? text_at : text_at + 2) - column, ' ').append(text.substr(0, end)) += '\n';
    column = 0;
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return out;
}

} // namespace

void check_run_options(const run_options &o, front_end program) {
  check_analysis_options(o.analysis);
  if (o.inputs.empty())
    throw options_error("no input files");
  if (!o.flatfile.empty() &&
      (o.analysis.konno_ohmachi == 0.0 || (o.analysis.centres.empty() && o.analysis.spread.n == 0)))
    throw options_error("--flatfile needs --konno-ohmachi B and --frequencies FMIN:FMAX:N: one "
                        "set of centres for every record");
  if (!o.flatfile.empty() && o.dry_run)
    throw options_error("--dry-run writes no flatfile: --flatfile does not go with it");
  const bool batch = program == front_end::dask_batch;
  if (batch && std::find(o.inputs.begin(), o.inputs.end(), "-") != o.inputs.end())
    throw options_error("a cluster cannot read standard input: name the files");
  if (batch && o.jobs != 0 && !o.scheduler.empty())
    throw options_error("--jobs sets the workers of a local cluster, not of --scheduler");
  if (o.dry_run || (!o.flatfile.empty() && o.output.empty() && o.output_dir.empty()))
    return; // nothing but the summary, or the flatfile alone, is written
  if (!o.output.empty() && !o.output_dir.empty())
    throw options_error("-o and -d do not go together: -o names the output of one input");
  if (!o.output.empty() && o.inputs.size() > 1)
    throw options_error("-o names one output, but there are " + std::to_string(o.inputs.size()) +
                        " inputs: use -d DIR");
  if (o.output_dir.empty() && o.inputs.size() > 1)
    throw options_error(std::to_string(o.inputs.size()) + " inputs need -d DIR for their outputs");
  if (batch && o.output_dir.empty() && (o.output.empty() || o.output == "-"))
    throw options_error("a cluster writes files: name them with -d DIR (or -o FILE for one input)");
}

std::string help_text(front_end program) {
  std::string text = program == front_end::command_line ? command_line_usage : batch_usage;
  for (const option_spec &spec : options_table)
    if (takes(spec.programs, program))
      text += option_help(spec);
  return text + (program == front_end::command_line ? command_line_epilogue : batch_epilogue);
}

std::string_view program_name(front_end program) {
  return program == front_end::command_line ? "wavespec" : "python3 -m wavespec.batch";
}

std::string help_pointer(front_end program) {
  return "Try '" + std::string(program_name(program)) + " --help' for more information.";
}

command parse_arguments(std::span<const std::string> args, front_end program, run_options &o) {
  return argument_parser(args, program, o).parse();
}

} // namespace wavespec
