// COSMOS V1/V2: text lines (their number on line 1), the integer and the real
// header (each announced with its count and its lines), comments, then for
// each quantity a line such as
//   20 acceleration pts, approx 0 secs, units=cm/sec2(04),Format=(1E15.6)
// and its data in fixed fields. dt is real header value 34.
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
  if (!count || !kind.ends_with("-header") || !scan.take("values") || !scan.take("follow") ||
      !scan.take("on"))
    malformed_header(file, at, "no header block announced");
  const auto lines = scan.whole_number();
  if (!scan.take("lines"))
    malformed_header(file, at, "no header block announced");
  return {header_count(file, at, "value count", count, 10'000),
          header_count(file, at, "line count", lines, 10'000)};
}

struct data_block {
  std::size_t count = 0;
  std::string quantity; // "acceleration", "velocity" or "displacement"
  std::string units;
  std::size_t per_line = 0, width = 0;
};

// "N QUANTITY pts, ..., units=UNIT(..),Format=(PER_LINE E WIDTH.d)", or none.
std::optional<data_block> data_line(const component_file &file, std::size_t at) {
  text_scan scan(file.lines[at]);
  data_block d;
  const auto count = scan.whole_number();
  d.quantity = std::string(scan.blanks().until_any(" \t"));
  if (!count || !scan.take("pts") || !scan.after("units="))
    return std::nullopt;
  d.units = std::string(trimmed(scan.until_any(",(")));
  if (!scan.after("Format=") || !scan.take("("))
    return std::nullopt;
  const auto per_line = scan.whole_number();
  if (!scan.take("E") && !scan.take("F") && !scan.take("G"))
    return std::nullopt;
  const auto width = scan.whole_number();
  d.count = header_count(file, at, "sample count", count, max_announced_samples);
  d.per_line = header_count(file, at, "values per line", per_line, 1000);
  d.width = header_count(file, at, "field width", width, 1000);
  if (d.per_line == 0 || d.width == 0)
    malformed_header(file, at, "no data format");
  return d;
}

const char *quantity_name(quantity q) {
  return q == quantity::acceleration ? "acceleration"
         : q == quantity::velocity   ? "velocity"
                                     : "displacement";
}

// The station, the channel and dt from the text lines and the headers;
// returns the line after the real header.
std::size_t read_headers(const component_file &file, series &s) {
  text_scan first(header_line(file, 0));
  const auto text_lines = first.after("with") ? first.whole_number() : std::nullopt;
  if (!first.take("text") || !first.take("lines"))
    malformed_header(file, 0, "no text line count");
  std::size_t at = header_count(file, 0, "text line count", text_lines, 10'000);
  s.station = first_word(after_key(header_line(file, 4), "Code:"));
  s.site = s.station;
  s.start = date_time_seconds(after_key(header_line(file, 7), "start time:"));
  const std::string chan = after_key(header_line(file, 8), ":");
  s.component = std::string(trimmed(chan.substr(0, std::min(chan.find("Deg"), chan.find('(')))));
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

} // namespace

bool is_cosmos(const component_file &file) {
  return !file.lines.empty() && file.lines[0].find("(Format v") != std::string::npos &&
         file.lines[0].find("text lines") != std::string::npos;
}

std::vector<series> read_cosmos(const component_file &file, const read_request &request) {
  series s;
  s.source = file.path;
  const char *wanted = quantity_name(request.wanted);
  for (std::size_t at = read_headers(file, s); at < file.lines.size(); ++at) {
    const auto d = data_line(file, at);
    if (!d || d->quantity != wanted)
      continue;
    s.units = d->units.starts_with("cm/sec2") || d->units.starts_with("cm/s2") ? "gal" : d->units;
    fixed_fields(file, at + 1, d->count, d->per_line, d->width, s.values);
    return {s};
  }
  fail(file, std::string("no ") + wanted + " series in the file");
}

} // namespace wavespec::merge
