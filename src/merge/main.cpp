// wavespec-merge: one waveform file from the component files of a
// strong-motion record, or one per record from a whole download folder.
// Exit status 0 on success, 2 on any error, 1 when interrupted.
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "merge/formats.h"
#include "merge/group.h"
#include "merge/output.h"
#include "records/interrupt.h"
#include "records/usage.h"
#include "wavespec/spectral.hpp"
#include "wavespec/version.hpp"

namespace {

using namespace wavespec::merge;

// A command line that asks for what cannot be done.
class usage_error : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct arguments {
  std::vector<std::string> inputs;
  std::string out;
  std::string outdir, summary;
  std::string format;
  quantity q = quantity::acceleration;
  merge_options options;
  double dt = 0.0;
  double scale = 1.0;
  std::string unit, input_unit;
  bool keep_offset = false;
  bool help = false, version = false;

  [[nodiscard]] read_request request() const {
    return {q, dt, scale, unit, input_unit, keep_offset};
  }
};

std::string help_text() {
  std::string formats;
  for (const format_entry &f : wavespec::merge::formats())
    formats += "  " + std::string(f.name) + std::string(10 - std::string(f.name).size(), ' ') +
               f.title + ": " + f.units + "\n";
  return "Usage: wavespec-merge [OPTION]... X Y Z -o OUT\n"
         "       wavespec-merge [OPTION]... FILE... -o OUT   (files of several channels)\n"
         "       wavespec-merge [OPTION]... -d OUTDIR FILE...\n"
         "One waveform file (time, X, Y, Z) for wavespec from the component files of a\n"
         "strong-motion record: three files of one component in the order X, Y, Z, or\n"
         "files of several channels (one a component, horizontal before vertical). With\n"
         "-d, the files of many records, grouped by what they say (station, location,\n"
         "band, start), one OUTDIR/NAME.txt per record.\n\n"
         "  -o, --output=OUT       the waveform file, written whole or not at all; - for\n"
         "                           standard output\n"
         "  -d, --output-dir=DIR   group the files into records, write DIR/NAME.txt each\n"
         "      --summary=FILE     with -d: a CSV of every group (record, files, output,\n"
         "                           status, message); - for standard output\n"
         "      --format=F         the input format, when it cannot be told from the files\n"
         "      --quantity=Q       acc (default), vel or dis: the series of a COSMOS V2,\n"
         "                           CSMIP/DMG V2 or GeoNet V2A file\n"
         "      --demean           remove each component's mean\n"
         "      --keep-offset      K-NET/KiK-net: keep the recorder offset (its mean is\n"
         "                           removed by default)\n"
         "      --trim             cut the components to the shortest\n"
         "      --dt=DT            the sampling interval of one value per line (s)\n"
         "      --unit=U           convert to U when the file names its unit (gal, g,\n"
         "                           m/s^2, nm/s^2, cm/s, ...); else name the unit; needed\n"
         "                           for counts\n"
         "      --input-unit=U     the samples are in U, whatever the file says\n"
         "      --scale=F          samples times F are in the unit of --unit\n"
         "      --force            merge components of different sites, start times,\n"
         "                           sensors or processing, or one channel twice\n"
         "  --                     the names that follow are files, even if they begin with -\n"
         "  -h, --help             this help\n"
         "  -V, --version          the version\n\n"
         "Formats (found from the content unless --format names one):\n" +
         formats +
         "\nExit status: 0 when every file was written, 2 on any error or refused group,\n"
         "1 when interrupted (-d: what was finished is kept and listed).\n\n"
         "Examples:\n"
         "  wavespec-merge --trim 0111a.smc 0111c.smc 0111b.smc -o sf1295.txt\n"
         "  wavespec-merge -d records --summary records.csv --unit gal downloads/*\n";
}

const option long_options[] = {
    {"output", required_argument, nullptr, 'o'},   {"format", required_argument, nullptr, 'f'},
    {"quantity", required_argument, nullptr, 'Q'}, {"demean", no_argument, nullptr, 'M'},
    {"trim", no_argument, nullptr, 'T'},           {"dt", required_argument, nullptr, 't'},
    {"unit", required_argument, nullptr, 'U'},     {"scale", required_argument, nullptr, 'S'},
    {"force", no_argument, nullptr, 'F'},          {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},        {"output-dir", required_argument, nullptr, 'd'},
    {"summary", required_argument, nullptr, 's'},  {"input-unit", required_argument, nullptr, 'I'},
    {"keep-offset", no_argument, nullptr, 'K'},    {nullptr, 0, nullptr, 0}};

quantity parse_quantity(const std::string &v) {
  if (v == "acc")
    return quantity::acceleration;
  if (v == "vel")
    return quantity::velocity;
  if (v == "dis")
    return quantity::displacement;
  throw usage_error("--quantity: acc, vel or dis, not '" + v + "'");
}

// A finite number, the whole of `v`.
double parse_number(const char *option, const std::string &v) {
  double x = 0;
  const auto [end, error] = std::from_chars(v.data(), v.data() + v.size(), x);
  if (error != std::errc() || end != v.data() + v.size() || !std::isfinite(x))
    throw usage_error(std::string(option) + ": not a finite number: '" + v + "'");
  return x;
}

void take_option(int c, arguments &a, char **argv) {
  switch (c) {
  case 'o':
    a.out = optarg;
    break;
  case 'f':
    a.format = optarg;
    break;
  case 'Q':
    a.q = parse_quantity(optarg);
    break;
  case 'M':
    a.options.demean = true;
    break;
  case 'T':
    a.options.trim = true;
    break;
  case 't':
    a.dt = parse_number("--dt", optarg);
    break;
  case 'S':
    a.scale = parse_number("--scale", optarg);
    break;
  case 'U':
    a.unit = optarg;
    break;
  case 'F':
    a.options.force = true;
    break;
  case 'd':
    a.outdir = optarg;
    break;
  case 's':
    a.summary = optarg;
    break;
  case 'I':
    a.input_unit = optarg;
    break;
  case 'K':
    a.keep_offset = true;
    break;
  case 'h':
    a.help = true;
    break;
  case 'V':
    a.version = true;
    break;
  default:
    throw usage_error(
        wavespec::records::refused_option(argv, optind, optopt, long_options, c == ':'));
  }
}

arguments parse(int argc, char **argv) {
  arguments a;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":o:d:hV", long_options, nullptr)) != -1;)
    take_option(c, a, argv);
  if (a.help || a.version)
    return a;
  a.inputs.assign(argv + optind, argv + argc);
  if (!a.format.empty()) {
    try {
      (void)format_named(a.format);
    } catch (const merge_error &e) {
      throw usage_error(e.what());
    }
  }
  if (a.out.empty() && a.outdir.empty())
    throw usage_error("no output file (-o OUT) or folder (-d OUTDIR)");
  if (!a.out.empty() && !a.outdir.empty())
    throw usage_error("-o names one record's file, -d a folder of records: give one");
  if (!a.summary.empty() && a.outdir.empty())
    throw usage_error("--summary lists the records of -d OUTDIR");
  if (a.scale != 1.0 && a.unit.empty())
    throw usage_error("--scale needs --unit, the unit the scaled samples are in");
  if (!(a.scale != 0.0))
    throw usage_error("--scale: 0 would make every sample 0");
  if (a.inputs.empty() || (a.outdir.empty() && a.inputs.size() > 3))
    throw usage_error(a.outdir.empty() ? "give three component files, or files whose channels "
                                         "make three (-d groups more)"
                                       : "no input files");
  return a;
}

// An output that is one of the inputs under any name would replace it.
void refuse_output_over_input(const arguments &a) {
  struct stat out {};
  if (a.out == "-" || ::stat(a.out.c_str(), &out) != 0 || !S_ISREG(out.st_mode))
    return;
  for (const std::string &path : a.inputs) {
    struct stat in {};
    if (::stat(path.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
      throw merge_error(a.out + ": is the input file " + path + "; name another output");
  }
}

int run(const arguments &a) {
  if (!a.outdir.empty())
    return convert_folder(a.inputs, {a.outdir, a.summary, a.format, a.request(), a.options});
  // A signal ends every wait (a FIFO's open, a stalled pipe) and leaves no
  // scratch file; a reader of standard output that goes away still ends the
  // run quietly, as a filter's.
  wavespec::records::install_interrupt_handlers();
  std::signal(SIGPIPE, SIG_DFL);
  refuse_output_over_input(a);
  std::vector<series> parts;
  bool one_each = true;
  for (const std::string &path : a.inputs) {
    std::vector<series> got = read_file(path, a.format, a.request());
    one_each = one_each && got.size() == 1;
    for (series &s : got) {
      if (!s.warning.empty())
        std::fprintf(stderr, "wavespec-merge: %s\n", s.warning.c_str());
      parts.push_back(std::move(s));
    }
  }
  std::vector<series> xyz = order_components(std::move(parts), one_each && a.inputs.size() == 3);
  const std::size_t n = check_components(xyz, a.options);
  if (n > static_cast<std::size_t>(wavespec::max_samples))
    std::fprintf(stderr,
                 "wavespec-merge: warning: %zu samples; wavespec analyses at most %d and will "
                 "refuse this record: keep the first %d with  head -n %d %s > short.txt\n",
                 n, wavespec::max_samples, wavespec::max_samples, wavespec::max_samples + 1,
                 a.out.c_str());
  write_waveform(a.out, std::move(xyz), n, a.options);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  try {
    const arguments a = parse(argc, argv);
    if (a.help) {
      std::fputs(help_text().c_str(), stdout);
      return 0;
    }
    if (a.version) {
      std::printf("wavespec-merge %s\n", wavespec::version);
      return 0;
    }
    try {
      return run(a);
    } catch (const wavespec::interrupted &) {
      std::fprintf(stderr, "wavespec-merge: interrupted: %s not written\n",
                   a.out == "-" ? "standard output" : a.out.c_str());
      return 1;
    }
  } catch (const usage_error &e) {
    std::fprintf(stderr, "wavespec-merge: %s\nTry 'wavespec-merge --help' for more information.\n",
                 e.what());
  } catch (const merge_error &e) {
    std::fprintf(stderr, "wavespec-merge: %s\n", e.what());
  } catch (const std::exception &e) {
    std::fprintf(stderr, "wavespec-merge: %s\n", e.what());
  }
  return 2;
}
