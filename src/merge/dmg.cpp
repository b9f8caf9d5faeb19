// CSMIP/DMG V1 and V2, as the California strong-motion centre hands them
// out: the channels of a station one after the other, each ending with a
// line "/&  ----  End of data for channel N  ----". A channel is text lines
// (station number, start or trigger time, "Chan 1: 90 Deg"), an integer and
// a real header, then each series behind a line such as
//   13200 Accelerogram points at 200 pts/sec in units of g .  Format: (8f9.6)
//   3251 POINTS OF ACCEL DATA EQUALLY SPACED AT  .020 SEC.  (UNITS: CM/SEC/SEC)
//   15050 points of accel data equally spaced at  .020 sec, in cm/sec2. (8f10.6)
// V1 holds the uncorrected acceleration; V2 the corrected acceleration,
// velocity and displacement. Fields without a format are 8 a line, 10 wide.
#include <algorithm>
#include <cmath>

#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {
namespace {

// Which series a line announces: 0 acceleration, 1 velocity, 2
// displacement, -1 none. It begins with the count, says "points" or "pts"
// and names one quantity (a text line naming all three is no data line).
int announced(std::string_view line) {
  text_scan scan(line);
  if (!scan.whole_number() || (find_word(line, "points") == std::string_view::npos &&
                               find_word(line, "pts") == std::string_view::npos))
    return -1;
  int which = -1, named = 0;
  const char *const words[] = {"accel", "veloc", "displ"};
  for (int k = 0; k < 3; ++k)
    if (find_word(line, words[k]) != std::string_view::npos)
      which = k, ++named;
  return named == 1 ? which : -1;
}

// The number just before `word` ("200 pts/sec"), or none.
std::optional<double> number_before(std::string_view line, std::string_view word) {
  const auto at = find_word(line, word);
  if (at == std::string_view::npos)
    return std::nullopt;
  std::string_view before = trimmed(line.substr(0, at));
  return parse_real(before.substr(before.find_last_of(" \t") + 1));
}

// The interval the line states: "spaced at .020 sec", "intervals of .020
// sec", "at 200 pts/sec", "200 Samples/sec".
std::optional<double> interval(std::string_view line) {
  for (std::string_view key : {"spaced at", "intervals of"})
    if (const auto at = find_word(line, key); at != std::string_view::npos) {
      text_scan scan(line.substr(at + key.size()));
      return scan.real_number();
    }
  for (std::string_view key : {"pts/sec", "samples/sec"})
    if (const auto rate = number_before(line, key); rate && *rate > 0)
      return 1.0 / *rate;
  return std::nullopt;
}

// "(UNITS: CM/SEC/SEC)", "in units of g .", "in cm/sec2.": the unit text.
std::string unit_text(std::string_view line) {
  std::string_view rest;
  if (const auto at = find_word(line, "units:"); at != std::string_view::npos)
    rest = line.substr(at + 6);
  else if (const auto of = find_word(line, "units of"); of != std::string_view::npos)
    rest = line.substr(of + 8);
  else if (const auto in = line.rfind(" in "); in != std::string_view::npos)
    rest = line.substr(in + 4);
  rest = rest.substr(
      0, std::min({rest.find(')'), rest.find('('), rest.find(','), find_word(rest, "format")}));
  return std::string(trimmed(rest));
}

// "CHAN  1:  90 DEG     FROM" or "Chan  2: UP": "90", "UP".
std::string channel_text(std::string_view line) {
  const auto chan = find_word(line, "chan ");
  const auto colon = line.find(':', chan);
  std::string_view text = trimmed(line.substr(colon + 1));
  if (const auto deg = find_word(text, "deg"); deg != std::string_view::npos)
    return std::string(trimmed(text.substr(0, deg)));
  return first_word(text);
}

struct channel_block {
  std::size_t first, end; // lines [first, end)
};

std::vector<channel_block> blocks(const component_file &file) {
  std::vector<channel_block> out;
  std::size_t first = 0;
  for (std::size_t i = 0; i <= file.lines.size(); ++i) {
    const bool closes = i == file.lines.size() || file.lines[i].starts_with("/&");
    if (!closes)
      continue;
    std::size_t from = first;
    while (from < i && trimmed(file.lines[from]).empty())
      ++from;
    if (from < i)
      out.push_back({from, i});
    first = i + 1;
  }
  return out;
}

// What the text lines of a channel say: station, start, orientation.
void read_text(const component_file &file, const channel_block &b, series &s) {
  s.processing = starts_with_word(file.lines[b.first], "corrected") ? "corrected" : "uncorrected";
  for (std::size_t i = b.first; i < b.end && announced(file.lines[i]) < 0; ++i) {
    const std::string &l = file.lines[i];
    for (std::string_view key : {"station no.", "station id."})
      if (const auto at = find_word(l, key); at != std::string::npos && s.station.empty())
        s.station = first_word(std::string_view(l).substr(at + key.size()));
    for (std::string_view key : {"start time:", "trigger time:"})
      if (const auto at = find_word(l, key); at != std::string::npos && std::isnan(s.start))
        s.start = date_time_seconds(std::string_view(l).substr(at + key.size()));
    if (const auto at = find_word(l, "chan ");
        at != std::string::npos && s.component.empty() && l.find(':', at) != std::string::npos)
      s.component = channel_text(l);
    if (const auto dt = interval(l); dt && !(s.dt > 0))
      s.dt = *dt;
  }
  s.site = s.station;
  s.variant = s.processing;
}

// The series `wanted` of the channel; false when the channel has none.
bool read_series(const component_file &file, const channel_block &b, int wanted, series &s) {
  for (std::size_t i = b.first; i < b.end; ++i) {
    const std::string &l = file.lines[i];
    if (announced(l) != wanted)
      continue;
    text_scan scan(l);
    const std::size_t count =
        header_count(file, i, "sample count", scan.whole_number(), max_announced_samples);
    std::size_t per_line = 8, width = 10;
    (void)fortran_fields(l, per_line, width);
    if (const auto dt = interval(l))
      s.dt = *dt;
    if (!(s.dt > 0))
      malformed_header(file, i, "no sampling interval");
    s.units = unit_text(l);
    if (s.units.empty())
      s.units = "?";
    fixed_fields(file, i + 1, count, per_line, width, s.values);
    return true;
  }
  return false;
}

} // namespace

bool is_dmg(const component_file &file) {
  if (file.lines.empty() || !(starts_with_word(file.lines[0], "corrected accelerogram") ||
                              starts_with_word(file.lines[0], "uncorrected accelerogram")))
    return false;
  for (std::size_t i = 0; i < std::min<std::size_t>(file.lines.size(), 30); ++i)
    if (find_word(file.lines[i], "station no.") != std::string::npos ||
        find_word(file.lines[i], "station id.") != std::string::npos)
      return true;
  return false;
}

std::vector<series> read_dmg(const component_file &file, const read_request &request) {
  const int wanted = static_cast<int>(request.wanted);
  std::vector<series> out;
  for (const channel_block &b : blocks(file)) {
    series s;
    s.source = file.path;
    read_text(file, b, s);
    if (!read_series(file, b, wanted, s))
      fail(file, std::string("no ") +
                     (wanted == 0   ? "acceleration"
                      : wanted == 1 ? "velocity"
                                    : "displacement") +
                     " series for the channel from line " + std::to_string(b.first + 1));
    out.push_back(std::move(s));
  }
  if (out.empty())
    fail(file, "no channel");
  return out;
}

} // namespace wavespec::merge
