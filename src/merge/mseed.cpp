// miniSEED (SEED 2 data records) through libmseed: the records of one or
// more channels of a station. Each channel's records must join into one
// trace, without gap or overlap. The channels of one file go X, Y, Z by
// their orientation code, the channel name's last letter: N or 1, then E or
// 2, then Z.
#include <algorithm>
#include <climits>
#include <cmath>
#include <libmseed.h>
#include <map>

#include "merge/readers.h"
#include "merge/reading.h"

namespace wavespec::merge {
namespace {

void say_nothing(char *) {}

// A record as libmseed parses it, freed when done.
struct parsed_record {
  MSRecord *record = nullptr;
  parsed_record() = default;
  parsed_record(const parsed_record &) = delete;
  parsed_record &operator=(const parsed_record &) = delete;
  ~parsed_record() { msr_free(&record); }
};

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
std::string id_of(const MSTrace &t, int parts = 4) {
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

void join_records(const component_file &file, trace_group &traces) {
  // libmseed takes the records as writable; its own messages are not shown,
  // the failure below says what went wrong.
  static const bool quiet = (ms_loginit(say_nothing, nullptr, say_nothing, nullptr), true);
  (void)quiet;
  std::string bytes = file.bytes;
  for (std::size_t offset = 0; offset < bytes.size();) {
    parsed_record header, r;
    const int left = static_cast<int>(std::min<std::size_t>(bytes.size() - offset, INT_MAX));
    const int status = msr_parse(bytes.data() + offset, left, &header.record, 0, 0, 0);
    const std::string at = std::string("the record at byte ").append(std::to_string(offset));
    if (status > 0)
      fail(file, at + " is cut short");
    if (status < 0 || header.record == nullptr || header.record->reclen <= 0)
      fail(file, at + " is not miniSEED: " + ms_errorstr(status));
    check_data_section(file, at, *header.record);
    if (msr_parse(bytes.data() + offset, left, &r.record, 0, 1, 0) != 0 || r.record == nullptr)
      fail(file, at + " has samples that cannot be decoded");
    if (r.record->sampletype != 'i' && r.record->sampletype != 'f' && r.record->sampletype != 'd')
      fail(file, at + " holds no samples (text or no data)");
    if (!(r.record->samprate > 0))
      fail(file, at + " has no sample rate");
    if (mst_addmsrtogroup(traces.group, r.record, 0, -1.0, -1.0) == nullptr)
      fail(file, at + " cannot be added to its channel");
    offset += static_cast<std::size_t>(r.record->reclen);
  }
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

series series_of(const component_file &file, const MSTrace &t, const read_request &request) {
  series s;
  s.source = file.path;
  s.station = t.station;
  s.site = id_of(t, 3);
  s.component = t.channel;
  s.units.push_back('?'); // unknown
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
  apply_unit(file, request, t.sampletype == 'i', s);
  return s;
}

} // namespace

bool is_mseed(const component_file &file) {
  const auto n = static_cast<int>(std::min<std::size_t>(file.bytes.size(), head_bytes));
  return n >= 48 && ms_detect(file.bytes.data(), n) > 0;
}

std::vector<series> read_mseed(const component_file &file, const read_request &request) {
  trace_group traces;
  join_records(file, traces);
  refuse_breaks(file, *traces.group);
  std::vector<series> out;
  std::string names;
  for (const MSTrace *t = traces.group->traces; t != nullptr; t = t->next) {
    out.push_back(series_of(file, *t, request));
    names.append(names.empty() ? "" : ", ").append(id_of(*t));
  }
  if (out.empty())
    fail(file, "no miniSEED records");
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
