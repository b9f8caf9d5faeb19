// The strong-motion formats wavespec-merge reads, one table entry each: its
// name, how its files are recognised, what its reader gives and in what
// unit. Adding a format is one entry here plus one reader function.
#pragma once

#include <span>
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

enum class quantity { acceleration, velocity, displacement };

// A component file as the readers see it: its name and its lines (line
// terminators and a carriage return before them dropped).
struct text_file {
  std::string path;
  std::vector<std::string> lines;
};

// What a reader needs beyond the file.
struct read_request {
  quantity wanted = quantity::acceleration;
  double dt = 0.0; // for formats that do not state it (generic)
};

struct format_entry {
  const char *name;                      // as given to --format
  const char *title;                     // as shown to the user
  const char *units;                     // the unit of the samples it gives
  bool all_quantities;                   // also velocity and displacement series
  bool (*detect)(const text_file &file); // from its first lines; null: never detected
  std::vector<series> (*read)(const text_file &file, const read_request &request);
};

// Every format, in the order they are tried when detecting.
[[nodiscard]] std::span<const format_entry> formats();
// The entry of --format NAME; throws merge_error listing the names.
[[nodiscard]] const format_entry &format_named(std::string_view name);
// The format whose detection recognises the file, or none.
[[nodiscard]] const format_entry *detect_format(const text_file &file);
// The components of a file in the given format (three for GeoNet, one for
// the others). Throws merge_error naming the file and what is wrong.
[[nodiscard]] std::vector<series> read_components(const format_entry &format, const text_file &file,
                                                  const read_request &request);

// The lines of a component file; a file of more than max_file_bytes, or a
// line longer than max_line_bytes, is refused. Throws merge_error.
inline constexpr std::size_t max_file_bytes = std::size_t{256} << 20;
inline constexpr std::size_t max_line_bytes = std::size_t{1} << 20;
[[nodiscard]] text_file read_text_file(const std::string &path);

} // namespace wavespec::merge
