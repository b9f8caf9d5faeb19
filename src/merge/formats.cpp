#include "merge/formats.h"

#include "merge/readers.h"
#include "merge/reading.h"

namespace wavespec::merge {
namespace {

// Detection goes down the table; a format without a detection is only ever
// named with --format.
constexpr format_entry table[] = {
    {"cosmos", "COSMOS V1/V2", "as the file names them (cm/sec2 is gal)", true, false, is_cosmos,
     read_cosmos},
    {"smc", "USGS SMC", "gal", false, false, is_smc, read_smc},
    {"geonet", "GeoNet V1A/V2A", "gal (mm/s^2 / 10); cm/s and cm for velocity and displacement",
     true, false, is_geonet, read_geonet},
    {"at2", "PEER NGA AT2", "g, or as line 3 names them", false, false, is_at2, read_at2},
    {"knet", "K-NET/KiK-net ASCII", "gal (counts times the scale factor)", false, false, is_knet,
     read_knet},
    {"mseed", "miniSEED (libmseed)", "counts or floats: --unit (and --scale) names them", false,
     true, is_mseed, read_mseed},
    {"sac", "SAC binary, either byte order", "nm, nm/s or nm/s^2 by IDEP, else --unit", false, true,
     is_sac, read_sac},
    {"generic", "one value per line (needs --dt)", "unknown (?)", false, false, nullptr,
     read_generic},
};

std::string names() {
  std::string s;
  for (const format_entry &f : table)
    s += (s.empty() ? "" : ", ") + std::string(f.name);
  return s;
}

} // namespace

std::span<const format_entry> formats() {
  return table;
}

const format_entry &format_named(std::string_view name) {
  for (const format_entry &f : table)
    if (name == f.name)
      return f;
  throw merge_error("unknown format '" + std::string(name) + "' (" + names() + ")");
}

const format_entry *detect_format(const component_file &file) {
  for (const format_entry &f : table)
    if (f.detect != nullptr && f.detect(file))
      return &f;
  return nullptr;
}

std::vector<series> read_components(const format_entry &format, const component_file &file,
                                    const read_request &request) {
  if (request.wanted != quantity::acceleration && !format.all_quantities)
    fail(file, std::string("a ") + format.title + " file holds acceleration only");
  return format.read(file, request);
}

} // namespace wavespec::merge
