// miniSEED (SEED 2 data records) through libmseed: the records of one or
// more channels of a station. Each channel's records, put in time order,
// must join into one trace without gap or overlap; records without samples
// are passed over. The channels of one file go X, Y, Z by their orientation
// code, the channel name's last letter: N or 1, then E or 2, then Z.
//
// libmseed tells of a record it doubts (a failed Steim integrity check,
// blockettes that do not add up, samples it could not decode) only through
// its log; what it says while a record is read is caught and refuses it.
#include <algorithm>
#include <climits>
#include <cmath>
#include <libmseed.h>
#include <memory>
#include <utility>

#include "merge/readers.h"
#include "merge/reading.h"
#include "merge/text_scan.h"

namespace wavespec::merge {
namespace {

// libmseed's log takes no context: its messages go to the listener of the
// calling thread, if one listens.
thread_local std::string *heard = nullptr;

void hear(char *message) {
  if (heard != nullptr)
    heard->append(message).push_back('\n');
}

// Catches what libmseed logs while it lives.
class listener {
public:
  listener() {
    static const bool routed = (ms_loginit(hear, "", hear, ""), true);
    (void)routed;
    heard = &said_;
  }
  listener(const listener &) = delete;
  listener &operator=(const listener &) = delete;
  ~listener() { heard = nullptr; }
  std::string take() { return std::exchange(said_, {}); }

private:
  std::string said_;
};

// One message of libmseed in this program's words.
std::string in_our_words(std::string_view m) {
  if (const auto colon = m.find(": "); colon != std::string_view::npos && colon < 40 &&
                                       m.substr(0, colon).find(' ') == std::string_view::npos)
    m.remove_prefix(colon + 2); // the record's source name
  if (m.starts_with("Warning: "))
    m.remove_prefix(9);
  text_scan scan(m);
  if (scan.after("integrity check for Steim")) {
    const std::string_view level = scan.until_any(" ");
    text_scan values(m);
    const auto last = values.after("Last sample=") ? values.until_any(",") : "?";
    const auto xn = values.after("Xn=") ? trimmed(values.rest()) : "?";
    return std::string("fails its Steim ")
        .append(level)
        .append(" integrity check: the last sample decodes to ")
        .append(last)
        .append(" where the record's reverse-integration constant says ")
        .append(xn);
  }
  if (text_scan count(m); count.after("Number of blockettes in fixed header (")) {
    const auto announced = count.until_any(")");
    const auto found = count.after("number parsed (") ? count.until_any(")") : "?";
    return std::string("its header announces ")
        .append(announced)
        .append(" blockettes where ")
        .append(found)
        .append(" are found");
  }
  if (text_scan decoded(m); decoded.after("only decoded ")) {
    const auto got = decoded.until_any(" ");
    const auto of = decoded.after("samples of ") ? decoded.until_any(" ") : "?";
    return std::string("only ").append(got).append(" of its ").append(of).append(" samples decode");
  }
  return "libmseed says: " + std::string(trimmed(m));
}

std::string in_our_words_all(const std::string &said) {
  std::string out;
  for (std::size_t at = 0; at < said.size();) {
    const auto end = std::min(said.find('\n', at), said.size());
    const std::string_view line = trimmed(std::string_view(said).substr(at, end - at));
    const std::string words = line.empty() ? std::string() : in_our_words(line);
    if (!words.empty() && out.find(words) == std::string::npos)
      out.append(out.empty() ? "" : "; ").append(words);
    at = end + 1;
  }
  return out;
}

struct record_deleter {
  void operator()(MSRecord *r) const { msr_free(&r); }
};
using record_ptr = std::unique_ptr<MSRecord, record_deleter>;

// Records joined into traces, freed when done.
struct trace_group {
  MSTraceGroup *group = mst_initgroup(nullptr);
  trace_group() = default;
  trace_group(const trace_group &) = delete;
  trace_group &operator=(const trace_group &) = delete;
  ~trace_group() { mst_freegroup(&group); }
};

std::string time_text(hptime_t t) {
  char text[64] = {};
  return ms_hptime2isotimestr(t, text, 1) != nullptr ? text : "?";
}

// "NET.STA.LOC.CHA" (the first `parts` of them).
template <class T> std::string id_of(const T &t, int parts = 4) {
  const char *codes[] = {t.network, t.station, t.location, t.channel};
  std::string id = codes[0];
  for (int i = 1; i < parts; ++i)
    id.append(".").append(codes[i]);
  return id;
}

// 0, 1, 2 for X, Y, Z; -1 for an orientation this does not place.
int axis_of(const char *channel) {
  const std::string_view c = channel;
  switch (c.empty() ? ' ' : c.back()) {
  case 'N':
  case '1':
    return 0;
  case 'E':
  case '2':
    return 1;
  case 'Z':
    return 2;
  default:
    return -1;
  }
}

// The bytes a sample takes in an uncompressed encoding; 0 for Steim frames,
// whose decoders keep to the record; -1 for encodings not read here.
int sample_bytes(int encoding) {
  switch (encoding) {
  case DE_INT16:
    return 2;
  case DE_INT32:
  case DE_FLOAT32:
    return 4;
  case DE_FLOAT64:
    return 8;
  case DE_STEIM1:
  case DE_STEIM2:
    return 0;
  default:
    return -1;
  }
}

// A record's header promises no more samples than its data section holds:
// libmseed decodes uncompressed samples by the count alone.
void check_data_section(const component_file &file, const std::string &at, const MSRecord &r) {
  const int size = sample_bytes(r.encoding);
  if (size < 0)
    fail(file, at + " has an encoding not read here (" + std::to_string(r.encoding) +
                   "; integers, floats, Steim 1 and 2 are)");
  const long offset = r.fsdh != nullptr ? r.fsdh->data_offset : 0;
  if (offset < 48 || offset >= r.reclen ||
      r.samplecnt * size > static_cast<int64_t>(r.reclen - offset) || r.samplecnt < 0)
    fail(file, at + " promises more samples than it holds");
}

// The length of a record without blockette 1000 that ends the file (libmseed
// finds the others' from the next header): the length of the records before
// it, or the rest of the file when that is a power of two.
int fallback_length(int left, int previous) {
  if (previous > 0 && previous <= left)
    return previous;
  const bool power = left >= 128 && left <= (1 << 20) && (left & (left - 1)) == 0;
  return power ? left : 0;
}

// The record at `offset` with its samples; null for a record without any.
record_ptr parse_record(const component_file &file, std::string &bytes, std::size_t offset,
                        int &previous) {
  listener libmseed;
  MSRecord *raw = nullptr;
  const int left = static_cast<int>(std::min<std::size_t>(bytes.size() - offset, INT_MAX));
  const std::string at = std::string("the record at byte ").append(std::to_string(offset));
  int status = msr_parse(bytes.data() + offset, left, &raw, 0, 0, 0);
  int reclen = 0;
  if (status > 0 && ms_detect(bytes.data() + offset, left) == 0 &&
      (reclen = fallback_length(left, previous)) > 0) {
    msr_free(&raw);
    status = msr_parse(bytes.data() + offset, left, &raw, reclen, 0, 0);
  }
  record_ptr header(raw);
  if (status > 0)
    fail(file, at + " is cut short");
  if (status < 0 || header == nullptr || header->reclen <= 0)
    fail(file, at + " is not miniSEED: " + ms_errorstr(status));
  previous = header->reclen;
  if (header->samplecnt == 0)
    return nullptr;
  check_data_section(file, at, *header);
  raw = nullptr;
  status = msr_parse(bytes.data() + offset, left, &raw, header->reclen, 1, 0);
  record_ptr r(raw);
  if (const std::string said = libmseed.take(); !said.empty())
    fail(file, at + " is refused: " + in_our_words_all(said));
  if (status != 0 || r == nullptr)
    fail(file, at + " has samples that cannot be decoded");
  if (r->sampletype != 'i' && r->sampletype != 'f' && r->sampletype != 'd')
    fail(file, at + " holds no samples (text or no data)");
  if (!(r->samprate > 0))
    fail(file, at + " has no sample rate");
  return r;
}

// The records of every channel, joined in time order.
void join_records(const component_file &file, trace_group &traces) {
  std::string bytes = file.bytes; // libmseed takes the records as writable
  std::vector<record_ptr> records;
  int previous = 0;
  for (std::size_t offset = 0; offset < bytes.size();) {
    record_ptr r = parse_record(file, bytes, offset, previous);
    offset += static_cast<std::size_t>(previous);
    if (r != nullptr)
      records.push_back(std::move(r));
  }
  std::stable_sort(records.begin(), records.end(), [](const record_ptr &a, const record_ptr &b) {
    const int order = id_of(*a).compare(id_of(*b));
    return order != 0 ? order < 0 : a->starttime < b->starttime;
  });
  for (const record_ptr &r : records)
    if (mst_addmsrtogroup(traces.group, r.get(), 0, -1.0, -1.0) == nullptr)
      fail(file, "the record of " + id_of(*r) + " at " + time_text(r->starttime) +
                     " cannot be added to its channel");
  mst_groupsort(traces.group, 0);
}

// One trace per channel: a second one of the same channel is a gap or an
// overlap (or a change of sample rate), named with its times.
void refuse_breaks(const component_file &file, const MSTraceGroup &group) {
  for (const MSTrace *t = group.traces; t != nullptr && t->next != nullptr; t = t->next) {
    const MSTrace &next = *t->next;
    if (id_of(*t) != id_of(next))
      continue;
    const std::string what = next.samprate != t->samprate  ? "changes its sample rate"
                             : next.starttime > t->endtime ? "has a gap"
                                                           : "has an overlap";
    std::string text = id_of(*t);
    text.append(" ").append(what).append(" between ").append(time_text(t->endtime));
    fail(file, text.append(" and ").append(time_text(next.starttime)));
  }
}

series series_of(const component_file &file, const MSTrace &t) {
  series s;
  s.source = file.path;
  s.station = t.station;
  s.site = id_of(t, 3);
  s.component = t.channel;
  s.record = s.site + "." + std::string(t.channel).substr(0, 2);
  s.units = t.sampletype == 'i' ? "counts" : "?";
  s.dt = 1.0 / t.samprate;
  s.start = static_cast<double>(t.starttime) / HPTMODULUS;
  const auto n = static_cast<std::size_t>(std::max<int64_t>(t.numsamples, 0));
  s.values.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double v = t.sampletype == 'i' ? static_cast<const int32_t *>(t.datasamples)[i]
                     : t.sampletype == 'f'
                         ? static_cast<double>(static_cast<const float *>(t.datasamples)[i])
                         : static_cast<const double *>(t.datasamples)[i];
    if (!std::isfinite(v))
      fail(file,
           id_of(t).append(": sample ").append(std::to_string(i + 1)).append(" is not finite"));
    s.values[i] = v;
  }
  return s;
}

bool digits(std::string_view b, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i)
    if (!((b[i] >= '0' && b[i] <= '9') || b[i] == ' '))
      return false;
  return true;
}

// miniSEED 3 ("MS" and version 3) and SEED volumes (a volume control header
// first: sequence number, 'V', blockette 5, 8 or 10) are recognised, to be
// refused by name.
bool is_mseed3(std::string_view b) {
  return b.size() >= 40 && b[0] == 'M' && b[1] == 'S' && b[2] == 3;
}

bool is_seed_volume(std::string_view b) {
  return b.size() >= 48 && digits(b, 0, 6) && b[6] == 'V' &&
         (b.substr(8, 3) == "005" || b.substr(8, 3) == "008" || b.substr(8, 3) == "010");
}

} // namespace

bool is_mseed(const component_file &file) {
  const std::string_view b = file.bytes;
  const auto n = static_cast<int>(std::min<std::size_t>(b.size(), head_bytes));
  return is_mseed3(b) || is_seed_volume(b) || (n >= 48 && ms_detect(b.data(), n) >= 0);
}

std::vector<series> read_mseed(const component_file &file, const read_request &) {
  if (is_mseed3(file.bytes))
    fail(file, "miniSEED 3 is not read; convert it to miniSEED 2 first (libmseed 2, which "
               "reads the records here, knows version 2 only)");
  if (is_seed_volume(file.bytes))
    fail(file, "a full SEED volume (control headers before the data records) is not read; "
               "extract its data records as miniSEED first");
  trace_group traces;
  join_records(file, traces);
  refuse_breaks(file, *traces.group);
  std::vector<series> out;
  std::string names;
  for (const MSTrace *t = traces.group->traces; t != nullptr; t = t->next) {
    out.push_back(series_of(file, *t));
    names.append(names.empty() ? "" : ", ").append(id_of(*t));
  }
  if (out.empty())
    fail(file, "no miniSEED records with samples");
  if (out.size() == 1)
    return out;
  std::vector<series> xyz(3);
  std::vector<bool> placed(3, false);
  for (series &s : out) {
    const int axis = axis_of(s.component.c_str());
    if (out.size() != 3 || axis < 0 || placed[static_cast<std::size_t>(axis)])
      fail(file, "holds the channels " + names +
                     "; a file gives one channel, or three oriented N (or 1), E (or 2) and Z");
    placed[static_cast<std::size_t>(axis)] = true;
    xyz[static_cast<std::size_t>(axis)] = std::move(s);
  }
  return xyz;
}

} // namespace wavespec::merge
