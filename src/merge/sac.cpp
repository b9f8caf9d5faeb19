// SAC binary files, one component each: a header of 70 floats, 40 integers
// and 192 characters (632 bytes), then NPTS 32-bit float samples. The byte
// order is the one in which the header version (integer 7, word 76) reads 6
// (or 7: a footer of doubles follows the samples, and is not needed here).
// Undefined header values are -12345.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {
namespace {

constexpr std::size_t header_bytes = 632;
constexpr std::int32_t undefined = -12345;

// Header words 0-69 are floats, 70-109 integers; characters from byte 440.
enum word : std::size_t {
  delta = 0,
  begin = 5,
  nzyear = 70,
  nzjday,
  nzhour,
  nzmin,
  nzsec,
  nzmsec,
  nvhdr,
  npts = 79,
  iftype = 85,
  idep = 86,
  leven = 105,
};
constexpr std::size_t kstnm = 440, khole = 464, knetwk = 608, kcmpnm = 600;

class sac_header {
public:
  sac_header(std::string_view bytes, bool swap) : bytes_(bytes), swap_(swap) {}

  std::uint32_t raw(std::size_t w) const {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes_.data() + 4 * w, 4);
    return swap_ ? __builtin_bswap32(v) : v;
  }
  std::int32_t integer(std::size_t w) const { return std::bit_cast<std::int32_t>(raw(w)); }
  float real(std::size_t w) const { return std::bit_cast<float>(raw(w)); }
  // A character field, trimmed; empty when undefined.
  std::string text(std::size_t offset, std::size_t size) const {
    std::string_view t = trimmed(bytes_.substr(offset, size));
    t = t.substr(0, t.find('\0'));
    return t == "-12345" ? std::string() : std::string(t);
  }

private:
  std::string_view bytes_;
  bool swap_;
};

bool version_in(std::string_view bytes, bool swap) {
  const std::int32_t v = sac_header(bytes, swap).integer(nvhdr);
  return v == 6 || v == 7;
}

// Whether the file's bytes need swapping; the file is SAC when either order fits.
bool swapped(std::string_view bytes) {
  return !version_in(bytes, false);
}

// The float interval as the decimal that writes it shortest (0.01, not
// 0.009999999776), so that it compares with other formats' intervals.
double shortest(float v) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, v).ptr;
  double d = 0;
  std::from_chars(text, end, d);
  return d;
}

const char *unit_of(std::int32_t code) {
  switch (code) {
  case 6:
    return "nm";
  case 7:
    return "nm/s";
  case 8:
    return "nm/s^2";
  default:
    return "?";
  }
}

double start_of(const component_file &file, const sac_header &h) {
  if (h.integer(nzyear) == undefined)
    return std::numeric_limits<double>::quiet_NaN();
  const std::int32_t ms = h.integer(nzmsec) == undefined ? 0 : h.integer(nzmsec);
  const float b = h.real(begin);
  const double offset = b == static_cast<float>(undefined) ? 0.0 : static_cast<double>(b);
  const double t = epoch_seconds(h.integer(nzyear), h.integer(nzjday), h.integer(nzhour),
                                 h.integer(nzmin), h.integer(nzsec) + ms / 1000.0);
  if (std::isnan(t) || !std::isfinite(offset))
    fail(file, "the reference time in the header is not a date");
  return t + offset;
}

} // namespace

bool is_sac(const component_file &file) {
  const std::string_view b = file.bytes;
  return b.size() >= header_bytes && (version_in(b, false) || version_in(b, true));
}

std::vector<series> read_sac(const component_file &file, const read_request &) {
  const std::string_view bytes = file.bytes;
  if (!is_sac(file))
    fail(file, "not a SAC file (no header version 6 or 7 in either byte order)");
  const bool swap = swapped(bytes);
  const sac_header h(bytes, swap);
  if (h.integer(iftype) != 1 && h.integer(iftype) != undefined)
    fail(file, "not a time series (IFTYPE " + std::to_string(h.integer(iftype)) + ")");
  if (h.integer(leven) == 0)
    fail(file, "not evenly sampled (LEVEN false)");
  const std::int32_t n = h.integer(npts);
  if (n < 2 || static_cast<std::uint64_t>(n) > max_announced_samples)
    fail(file, "NPTS " + std::to_string(n) + " is not from 2 to " +
                   std::to_string(max_announced_samples));
  const std::size_t have = (bytes.size() - header_bytes) / 4;
  if (have < static_cast<std::size_t>(n))
    fail(file, std::to_string(have) + " samples where the header promises " + std::to_string(n));
  series s;
  s.source = file.path;
  s.station = h.text(kstnm, 8);
  s.site = h.text(knetwk, 8) + "." + s.station;
  s.component = h.text(kcmpnm, 8);
  s.record = s.site + "." + h.text(khole, 8) + "." + s.component.substr(0, 2);
  s.units = unit_of(h.integer(idep));
  s.dt = shortest(h.real(delta));
  s.start = start_of(file, h);
  s.values.reserve(static_cast<std::size_t>(n));
  const sac_header samples(bytes.substr(header_bytes), swap);
  for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
    const auto v = static_cast<double>(samples.real(i));
    if (!std::isfinite(v))
      fail(file, "sample " + std::to_string(i + 1) + " is not a finite number");
    s.values.push_back(v);
  }
  return {s};
}

} // namespace wavespec::merge
