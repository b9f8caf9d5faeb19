// The strong-motion formats wavespec-merge reads, one table entry each: its
// name, how its files are recognised, what its reader gives and in what
// unit. Adding a format is one entry here plus one reader function.
#pragma once

#include <limits>
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

// Where a component points, as far as its file says.
enum class orientation { unknown, horizontal, vertical };

// One component as read: its samples in the unit named, at interval dt.
struct series {
  std::string source;    // the file it came from
  std::string station;   // station code
  std::string component; // orientation or channel, e.g. "360", "HNE", "N28W", "N-S"
  std::string units;     // unit of `values` after any conversion, e.g. "gal", "g"
  std::string note;      // a conversion made, e.g. "mm/s^2 / 10"
  std::string site;      // what names the recording site, the same for its components
  double start = std::numeric_limits<double>::quiet_NaN(); // s since 1970 (NaN: not given)
  double dt = 0.0;
  std::vector<double> values;

  orientation axis = orientation::unknown;
  std::string processing;   // "corrected", "uncorrected" or empty (not said)
  std::string sensor;       // "borehole", "surface" or empty (not said)
  bool remove_mean = false; // the file's samples carry a recorder offset (K-NET)
  std::string record;       // names the record in grouping: station, start, ...
  std::string variant;      // what tells apart records of one station and start
  std::string file_id;      // the file's device and inode, the same under any name
  std::size_t channel = 0;  // which of its file's channels (from 0)
  std::string warning;      // something the user should hear, not a failure
};

// The largest magnitude of a sample written: what a 32-bit float holds, as
// wavespec reads the samples back.
inline constexpr double largest_sample = static_cast<double>(std::numeric_limits<float>::max());

enum class quantity { acceleration, velocity, displacement };

// A component file as the readers see it: its name and its lines (line
// terminators and a carriage return before them dropped), or its bytes for
// a binary format.
struct component_file {
  std::string path;
  std::vector<std::string> lines;
  bool ends_with_line_end = true; // false: the last line has no terminator
  std::string bytes;              // the whole file, for the binary formats
};

// What a reader needs beyond the file.
struct read_request {
  quantity wanted = quantity::acceleration;
  double dt = 0.0;          // for formats that do not state it (generic)
  double scale = 1.0;       // samples times this are in `unit` (or the file's own unit)
  std::string unit;         // empty: the file's own, if any; else converted to it
  std::string input_unit{}; // the samples' unit whatever the file says (empty: as it says)
  bool keep_offset = false; // K-NET: keep the recorder offset
};

// Where a component named so points: channel codes ending in Z, "Up",
// "U-D", "Vert" are vertical; ones ending in N, E, 1, 2, azimuths in degrees
// and "N28W"-like directions horizontal.
[[nodiscard]] orientation orientation_of(std::string_view component);

struct format_entry {
  const char *name;                           // as given to --format
  const char *title;                          // as shown to the user
  const char *units;                          // the unit of the samples it gives
  bool all_quantities;                        // also velocity and displacement series
  bool binary;                                // read as bytes, not lines
  bool (*detect)(const component_file &file); // from its first lines; null: never detected
  std::vector<series> (*read)(const component_file &file, const read_request &request);
};

// Every format, in the order they are tried when detecting.
[[nodiscard]] std::span<const format_entry> formats();
// The entry of --format NAME; throws merge_error listing the names.
[[nodiscard]] const format_entry &format_named(std::string_view name);
// The format whose detection recognises the file, or none.
[[nodiscard]] const format_entry *detect_format(const component_file &file);
// The components of a file in the given format (one per channel of the
// file), in the unit asked for. Throws merge_error naming the file and what
// is wrong.
[[nodiscard]] std::vector<series> read_components(const format_entry &format,
                                                  const component_file &file,
                                                  const read_request &request);

// A component file: its bytes for a binary format (the one named, or one
// recognised from the first head_bytes when none is named), else its lines.
// A file of more than max_file_bytes, or a line longer than max_line_bytes,
// is refused. Throws merge_error.
inline constexpr std::size_t max_file_bytes = std::size_t{256} << 20;
inline constexpr std::size_t max_line_bytes = std::size_t{1} << 20;
inline constexpr std::size_t head_bytes = 4096;
[[nodiscard]] component_file read_component_file(const std::string &path,
                                                 const format_entry *named = nullptr);
// The same from bytes already read.
[[nodiscard]] component_file component_from_bytes(std::string path, std::string bytes,
                                                  const format_entry *named = nullptr);

} // namespace wavespec::merge
