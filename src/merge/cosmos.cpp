// COSMOS V1/V2: one or more channels one after the other, each: text lines
// (their number on the channel's first line), the integer and the real header
// (each announced with its count and its lines), comments, then for each
// quantity a line such as
//   20 acceleration pts, approx 0 secs, units=cm/sec2(04),Format=(1E15.6)
//   13400 acceleration pts, approx 67 secs, units=g. (02)Format=(8f9.6)
// and its data in fixed fields. dt is real header value 34. Words and
// Fortran format letters are read in any case.
#include <cctype>

#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {
namespace {

constexpr std::size_t dt_index = 33; // real header value 34

// "100 Real-header values follow on 20 lines": the count and the lines.
std::pair<std::size_t, std::size_t> header_block(const component_file &file, std::size_t at) {
  text_scan scan(header_line(file, at));
  const auto count = scan.whole_number();
  const std::string_view kind = scan.blanks().until_any(" \t");
  const auto word = [&scan](std::string_view w) {
    return starts_with_word(scan.blanks().rest(), w) && scan.take(scan.rest().substr(0, w.size()));
  };
  if (!count || find_word(kind, "-header") == std::string_view::npos || !word("values") ||
      !word("follow") || !word("on"))
    malformed_header(file, at, "no header block announced");
  const auto lines = scan.whole_number();
  if (!word("lines"))
    malformed_header(file, at, "no header block announced");
  return {header_count(file, at, "value count", count, 10'000),
          header_count(file, at, "line count", lines, 10'000)};
}

struct data_block {
  std::size_t count = 0;
  std::string quantity; // "acceleration", "velocity" or "displacement", lower case
  std::string units;
  std::size_t per_line = 0, width = 0;
};

// "N QUANTITY pts, ..., units=UNIT(..),Format=(PER_LINE E WIDTH.d)", or none.
std::optional<data_block> data_line(const component_file &file, std::size_t at) {
  const std::string &line = file.lines[at];
  text_scan scan(line);
  data_block d;
  const auto count = scan.whole_number();
  for (const char c : scan.blanks().until_any(" \t"))
    d.quantity.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (!count || !starts_with_word(scan.blanks().rest(), "pts"))
    return std::nullopt;
  const auto units = find_word(line, "units=");
  const auto format = find_word(line, "format=");
  if (units == std::string::npos || format == std::string::npos)
    return std::nullopt;
  text_scan unit_text(std::string_view(line).substr(units + 6));
  d.units = std::string(trimmed(unit_text.until_any(",(")));
  if (!fortran_fields(std::string_view(line).substr(format + 7), d.per_line, d.width))
    malformed_header(file, at, "no data format");
  d.count = header_count(file, at, "sample count", count, max_announced_samples);
  return d;
}

const char *quantity_name(quantity q) {
  return q == quantity::acceleration ? "acceleration"
         : q == quantity::velocity   ? "velocity"
                                     : "displacement";
}

// "Sta Cha:  1: 340 deg (Rcrdr Chan  1)" or "Sta Chan   ?:360 Deg": "340",
// "360", "Up".
std::string channel_text(std::string_view line) {
  line = line.substr(0, line.find('('));
  const auto colon = line.rfind(':');
  std::string_view text = trimmed(colon == std::string_view::npos ? "" : line.substr(colon + 1));
  if (const auto deg = find_word(text, "deg"); deg != std::string_view::npos)
    text = trimmed(text.substr(0, deg));
  return std::string(text);
}

// The station, the channel and dt from the text lines and the headers of
// the channel starting at `first`; returns the line after the real header.
std::size_t read_headers(const component_file &file, std::size_t first, series &s) {
  text_scan head(header_line(file, first));
  const auto text_lines = head.after("with") ? head.whole_number() : std::nullopt;
  if (!starts_with_word(head.blanks().rest(), "text lines"))
    malformed_header(file, first, "no text line count");
  std::size_t at = first + header_count(file, first, "text line count", text_lines, 10'000);
  const std::string &kind = file.lines[first];
  s.processing = starts_with_word(kind, "corrected") ? "corrected" : "uncorrected";
  // "Code:CI-J2236": network and station; the station tells the site.
  s.station = first_word(after_key(header_line(file, first + 4), "Code:"));
  s.site = s.station.substr(s.station.find_last_of('-') + 1);
  s.record = s.site;
  s.variant = s.processing;
  const std::string &start_line = header_line(file, first + 7);
  const auto start = find_word(start_line, "start time:");
  s.start = start == std::string::npos ? s.start : date_time_seconds(start_line.substr(start + 11));
  s.component = channel_text(header_line(file, first + 8));
  const auto [integers, integer_lines] = header_block(file, at);
  (void)integers;
  at += 1 + integer_lines;
  const auto [reals_count, real_lines] = header_block(file, at);
  std::vector<double> reals;
  free_fields(file, at + 1, reals_count, reals);
  if (reals.size() <= dt_index || !(reals[dt_index] > 0))
    malformed_header(file, at, "no sampling interval (real header value 34)");
  s.dt = reals[dt_index];
  return at + 1 + real_lines;
}

bool starts_channel(const std::string &line) {
  return line.find("(Format v") != std::string::npos &&
         find_word(line, "text lines") != std::string::npos;
}

// The wanted series of the channel from line `first`; returns the line
// where the next channel may begin.
std::size_t read_channel(const component_file &file, std::size_t first, quantity wanted,
                         series &s) {
  s.source = file.path;
  const char *name = quantity_name(wanted);
  for (std::size_t at = read_headers(file, first, s); at < file.lines.size(); ++at) {
    if (starts_channel(file.lines[at]))
      break;
    const auto d = data_line(file, at);
    if (!d || d->quantity != name)
      continue;
    s.units = d->units;
    return fixed_fields(file, at + 1, d->count, d->per_line, d->width, s.values);
  }
  fail(file, std::string("no ") + name + " series for the channel from line " +
                 std::to_string(first + 1));
}

} // namespace

bool is_cosmos(const component_file &file) {
  return !file.lines.empty() && starts_channel(file.lines[0]);
}

std::vector<series> read_cosmos(const component_file &file, const read_request &request) {
  std::vector<series> out;
  for (std::size_t at = 0; at < file.lines.size();) {
    if (!starts_channel(file.lines[at])) {
      ++at;
      continue;
    }
    series s;
    at = read_channel(file, at, request.wanted, s);
    out.push_back(std::move(s));
  }
  if (out.empty())
    fail(file, "no COSMOS channel");
  return out;
}

} // namespace wavespec::merge
