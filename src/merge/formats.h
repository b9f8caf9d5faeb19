// Readers for the strong-motion formats wavespec-merge turns into one
// waveform file: COSMOS V1/V2, USGS SMC, GeoNet V1A/V2A, PEER NGA AT2,
// K-NET/KiK-net ASCII, and one value per line.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace wavespec::merge {

// A failure the user must hear about; wavespec-merge exits with status 2.
class merge_error : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One component as read: its samples in the unit named, at interval dt.
struct series {
  std::string source;    // the file it came from
  std::string station;   // station code
  std::string component; // orientation or channel, e.g. "360", "HNE", "N28W", "N-S"
  std::string units;     // unit of `values` after any conversion, e.g. "gal", "g"
  std::string note;      // a conversion made, e.g. "mm/s^2 / 10"
  double dt = 0.0;
  std::vector<double> values;
};

enum class file_format { cosmos, smc, geonet, at2, knet, generic };
enum class quantity { acceleration, velocity, displacement };

// The format of a file from its first lines, or none.
[[nodiscard]] std::optional<file_format> detect_format(const std::vector<std::string> &lines);
// "cosmos", "smc", "geonet", "at2", "knet", "generic"; throws merge_error otherwise.
[[nodiscard]] file_format format_from_name(std::string_view name);
[[nodiscard]] const char *format_name(file_format f);

// The components of one file (three for GeoNet, one for the others).
// `generic_dt` serves the generic format only. Throws merge_error.
[[nodiscard]] std::vector<series> read_components(file_format f, const std::string &path,
                                                  const std::vector<std::string> &lines, quantity q,
                                                  double generic_dt);

// The lines of a text file (CR before LF dropped); throws merge_error.
[[nodiscard]] std::vector<std::string> read_lines(const std::string &path);

} // namespace wavespec::merge
