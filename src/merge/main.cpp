// wavespec-merge: one waveform file from the component files of a
// strong-motion record. Exit status 0 on success, 2 on any error.
#include <cstdio>
#include <string>
#include <vector>

#include "merge/formats.h"
#include "merge/output.h"
#include "wavespec/spectral.hpp"

namespace {

using namespace wavespec::merge;

constexpr const char *usage =
    "usage: wavespec-merge [--format F] [--quantity acc|vel|dis] [--demean] [--trim] [--dt DT] X Y "
    "Z -o OUT\n"
    "       wavespec-merge [options] FILE -o OUT    (GeoNet V1A/V2A: three components in one "
    "file)\n"
    "formats: cosmos, smc, geonet, at2, knet, generic (one value per line, needs --dt)\n";

struct arguments {
  std::vector<std::string> inputs;
  std::string out;
  std::string format;
  quantity q = quantity::acceleration;
  merge_options options;
  double dt = 0.0;
};

arguments parse(int argc, char **argv) {
  arguments a;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc)
        throw merge_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "-o")
      a.out = value();
    else if (arg == "--format")
      a.format = value();
    else if (arg == "--demean")
      a.options.demean = true;
    else if (arg == "--trim")
      a.options.trim = true;
    else if (arg == "--dt") {
      const std::string v = value();
      try {
        a.dt = std::stod(v);
      } catch (...) {
        throw merge_error("--dt: not a number: " + v);
      }
    } else if (arg == "--quantity") {
      const std::string v = value();
      if (v == "acc")
        a.q = quantity::acceleration;
      else if (v == "vel")
        a.q = quantity::velocity;
      else if (v == "dis")
        a.q = quantity::displacement;
      else
        throw merge_error("--quantity: acc, vel or dis, not " + v);
    } else if (arg.size() > 1 && arg[0] == '-')
      throw merge_error("unknown option " + arg);
    else
      a.inputs.push_back(arg);
  }
  if (a.out.empty())
    throw merge_error("no output file (-o OUT)");
  if (a.inputs.size() != 1 && a.inputs.size() != 3)
    throw merge_error("give three component files, or one GeoNet file");
  return a;
}

int run(int argc, char **argv) {
  const arguments a = parse(argc, argv);
  std::vector<series> xyz;
  for (const std::string &path : a.inputs) {
    const text_file file = read_text_file(path);
    const format_entry *f = a.format.empty() ? detect_format(file) : &format_named(a.format);
    if (f == nullptr)
      throw merge_error(path + ": unknown format; name it with --format");
    for (series &s : read_components(*f, file, {a.q, a.dt}))
      xyz.push_back(std::move(s));
  }
  if (xyz.size() != 3)
    throw merge_error("these files give " + std::to_string(xyz.size()) + " components, not 3");
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
    return run(argc, argv);
  } catch (const merge_error &e) {
    std::fprintf(stderr, "wavespec-merge: %s\n%s", e.what(), usage);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "wavespec-merge: %s\n", e.what());
  }
  return 2;
}
