#include "driver/command_line.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <getopt.h>

#include "records/usage.h"

namespace wavespec::driver {
namespace {

const char *const short_options = ":m:b:o:d:j:qhV";
constexpr int summary_option = 1000, konno_option = 1001, frequencies_option = 1002,
              eas_option = 1003, metadata_option = 1004;

const option long_options[] = {{"operation", required_argument, nullptr, 'm'},
                               {"band", required_argument, nullptr, 'b'},
                               {"output", required_argument, nullptr, 'o'},
                               {"output-dir", required_argument, nullptr, 'd'},
                               {"jobs", required_argument, nullptr, 'j'},
                               {"summary", required_argument, nullptr, summary_option},
                               {"quiet", no_argument, nullptr, 'q'},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, 'V'},
                               {"konno-ohmachi", required_argument, nullptr, konno_option},
                               {"frequencies", required_argument, nullptr, frequencies_option},
                               {"eas", no_argument, nullptr, eas_option},
                               {"metadata", no_argument, nullptr, metadata_option},
                               {nullptr, 0, nullptr, 0}};

// The operation by the dialogue's number or by name.
operation parse_operation(std::string_view text) {
  static const char *const names[] = {"none", "integrate", "double-integrate", "differentiate"};
  for (int i = 0; i < 4; ++i)
    if (text == names[i] || text == std::to_string(i))
      return static_cast<operation>(i);
  throw usage_error("invalid operation '" + std::string(text) +
                    "' (0 none, 1 integrate, 2 double-integrate, 3 differentiate)");
}

// A bandwidth in Hz, read as the dialogue reads a decimal: the nearest
// double, then the nearest float.
float parse_band(std::string_view text) {
  double v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(v) || v < 0)
    throw usage_error("invalid band '" + std::string(text) + "': a bandwidth in Hz, 0 or more");
  return static_cast<float>(v);
}

double parse_coefficient(std::string_view text) {
  double v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(v) || v <= 0)
    throw usage_error("invalid Konno-Ohmachi coefficient '" + std::string(text) +
                      "': a number above 0, such as 40");
  return v;
}

// FMIN:FMAX:N, N frequencies spaced evenly in log10 from FMIN to FMAX.
std::vector<double> parse_frequencies(std::string_view text) {
  const auto first = text.find(':'), second = text.find(':', first + 1);
  double fmin = 0, fmax = 0;
  long long n = 0;
  const auto take = [&](std::string_view part, auto &v) {
    const auto r = std::from_chars(part.data(), part.data() + part.size(), v);
    return r.ec == std::errc() && r.ptr == part.data() + part.size();
  };
  if (second != std::string_view::npos && take(text.substr(0, first), fmin) &&
      take(text.substr(first + 1, second - first - 1), fmax) && take(text.substr(second + 1), n))
    try {
      return log_spaced_frequencies(fmin, fmax, n);
    } catch (const std::invalid_argument &) {
    }
  throw usage_error("invalid frequencies '" + std::string(text) +
                    "': FMIN:FMAX:N with 0 < FMIN < FMAX and N of 2 or more");
}

unsigned parse_jobs(std::string_view text) {
  unsigned v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v == 0 || v > 4096)
    throw usage_error("invalid jobs '" + std::string(text) + "': a whole number from 1 to 4096");
  return v;
}

void check_outputs(const command_options &o) {
  if (o.analysis.konno_ohmachi > 0 && o.analysis.band != 0.0f)
    throw usage_error("--konno-ohmachi and a Parzen --band do not go together");
  if (!o.analysis.centres.empty() && o.analysis.konno_ohmachi == 0.0)
    throw usage_error("--frequencies sets the centres of --konno-ohmachi, which is missing");
  if (o.inputs.empty())
    throw usage_error("no input files");
  if (!o.output.empty() && !o.output_dir.empty())
    throw usage_error("-o and -d do not go together: -o names the output of one input");
  if (!o.output.empty() && o.inputs.size() > 1)
    throw usage_error("-o names one output, but there are " + std::to_string(o.inputs.size()) +
                      " inputs: use -d DIR");
  if (o.output_dir.empty() && o.inputs.size() > 1)
    throw usage_error(std::to_string(o.inputs.size()) + " inputs need -d DIR for their outputs");
}

} // namespace

command parse_command_line(int argc, char **argv, command_options &o) {
  opterr = 0;
  optind = 1;
  for (;;) {
    int index = 0;
    const int c = getopt_long(argc, argv, short_options, long_options, &index);
    if (c == -1)
      break;
    switch (c) {
    case 'm':
      o.analysis.op = parse_operation(optarg);
      break;
    case 'b':
      o.analysis.band = parse_band(optarg);
      break;
    case 'o':
      o.output = optarg;
      break;
    case 'd':
      o.output_dir = optarg;
      break;
    case 'j':
      o.jobs = parse_jobs(optarg);
      break;
    case summary_option:
      o.summary = optarg;
      break;
    case 'q':
      o.quiet = true;
      break;
    case konno_option:
      o.analysis.konno_ohmachi = parse_coefficient(optarg);
      break;
    case frequencies_option:
      o.analysis.centres = parse_frequencies(optarg);
      break;
    case eas_option:
      o.analysis.eas = true;
      break;
    case metadata_option:
      o.metadata = true;
      break;
    case 'h':
      return command::help;
    case 'V':
      return command::version;
    case ':':
      throw usage_error(records::refused_option(argv, optind, optopt, long_options, true));
    default:
      throw usage_error(records::refused_option(argv, optind, optopt, long_options, false));
    }
  }
  o.inputs.assign(argv + optind, argv + argc);
  check_outputs(o);
  return command::analyse;
}

std::string help_text() {
  return R"(Usage: wavespec [OPTION]... FILE...
       wavespec                  (no arguments: the dialogue on the console)
Fourier spectra of three-component waveform records: each FILE (time, X, Y, Z
after a header line; "-" is standard input) is transformed, optionally
integrated or differentiated, its amplitude spectra smoothed with a Parzen
window, and written as the spectrum CSV file the dialogue writes.

  -m, --operation=OP     0 or none (default), 1 or integrate, 2 or
                           double-integrate, 3 or differentiate
  -b, --band=HZ          Parzen bandwidth in Hz; 0 (default) for no smoothing
  -o, --output=FILE      the spectrum of the single FILE ("-": standard output,
                           the default for one input)
  -d, --output-dir=DIR   each spectrum to DIR/STEM.csv (STEM: the input's name
                           without its last extension); DIR is created
  -j, --jobs=N           records analysed at once (default: one per processor)
      --summary=FILE     a CSV with one row per input: input, output, status,
                           nt, dt, nf, df_hz, fmax_hz, band_min_hz,
                           band_max_hz, message
      --konno-ohmachi=B  Konno-Ohmachi smoothing with coefficient B (20 to 40
                           usual, 188.5 for the EAS of ground-motion models)
                           at log-spaced centre frequencies, instead of Parzen's
      --frequencies=FMIN:FMAX:N
                         N centres from FMIN to FMAX Hz, even in log10
                           (default: 100 per decade from df to the Nyquist
                           frequency)
      --eas              add the effective amplitude spectrum of X and Y,
                           sqrt((X^2 + Y^2) / 2), smoothed like them
      --metadata         beside each spectrum file (not standard output) a JSON
                           sidecar: the record, its header, components and
                           units, the grid, the operation and the smoothing
  -q, --quiet            no progress and no closing line
  -h, --help             this help
  -V, --version          the version

Each spectrum file is written whole or not at all. A record that cannot be read
or analysed is reported ("wavespec: FILE: ...") and the others go on.
Exit status: 0 when every spectrum was written, 2 when any record failed or the
command line is wrong, 1 when interrupted.

Example:
  wavespec -j 8 -m 2 -b 0.5 -d spectra/ records/*.txt --summary spectra/summary.csv
)";
}

} // namespace wavespec::driver
