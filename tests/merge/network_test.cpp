// Files as data centres hand them out, read sample for sample against an
// independent reading (libmseed's own for miniSEED, the printed values for
// text), and the same files damaged: a Steim constant changed, records
// reordered, a record emptied, headers cut.
#include <cstring>
#include <gtest/gtest.h>
#include <libmseed.h>
#include <sstream>

#include "merge/group.h"
#include "merge/merge_helpers.h"
#include "merge/output.h"

namespace wavespec::merge {
namespace {

read_request counts_in(const char *unit) {
  read_request r;
  r.unit = unit;
  return r;
}

std::vector<series> read_made(const std::string &name, const std::string &bytes,
                              const read_request &r = {}) {
  const component_file file = component_from_bytes(name, bytes);
  const format_entry *f = detect_format(file);
  if (f == nullptr)
    throw merge_error(name + ": unknown format");
  return read_components(*f, file, r);
}

std::string refusal(const std::string &bytes, const read_request &r = {}) {
  try {
    (void)read_made("made", bytes, r);
  } catch (const merge_error &e) {
    return e.what();
  }
  return "read";
}

// Every channel's samples as libmseed's own reader gives them.
std::map<std::string, std::vector<double>> libmseed_samples(const std::string &path) {
  MSTraceGroup *group = nullptr;
  EXPECT_EQ(ms_readtraces(&group, path.c_str(), 0, -1.0, -1.0, 0, 1, 1, 0), MS_NOERROR);
  std::map<std::string, std::vector<double>> out;
  for (MSTrace *t = group->traces; t != nullptr; t = t->next) {
    auto &v = out[t->channel];
    for (int64_t i = 0; i < t->numsamples; ++i)
      v.push_back(static_cast<const int32_t *>(t->datasamples)[i]);
  }
  mst_freegroup(&group);
  return out;
}

TEST(MergeNetwork, MiniSeedSamplesAreLibmseedsOwn) {
  for (const char *name :
       {"UU.HRU.01.ENN.mseed", "UU.HRU.01.ENE.mseed", "UU.HRU.01.ENZ.mseed",
        "testdata-3channel-signal.mseed2", "testdata-no-blockette1000-steim1.mseed2"}) {
    SCOPED_TRACE(name);
    const auto expected = libmseed_samples(net + name);
    const auto got = read_made(name, slurp(net + name), counts_in("counts"));
    ASSERT_EQ(got.size(), expected.size());
    for (const series &s : got) {
      ASSERT_EQ(s.values, expected.at(s.component));
      EXPECT_EQ(s.units, "counts");
    }
  }
  const auto three =
      read_made("3", slurp(net + "testdata-3channel-signal.mseed2"), counts_in("counts"));
  EXPECT_EQ(three[0].component + three[1].component + three[2].component, "LH1LH2LHZ");
  EXPECT_EQ(three[0].record, "IU.COLA.00.LH");
}

// The bytes of a file's records, each `length` long.
std::vector<std::string> records_of(const std::string &bytes, std::size_t length) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < bytes.size(); at += length)
    out.push_back(bytes.substr(at, length));
  return out;
}

std::string joined(const std::vector<std::string> &records) {
  std::string out;
  for (const std::string &r : records)
    out += r;
  return out;
}

TEST(MergeNetwork, DamagedMiniSeedRecordsAreRefusedNamingTheirOffset) {
  const std::string enn = slurp(net + "UU.HRU.01.ENN.mseed");
  const auto refusal = [](const std::string &bytes) {
    return wavespec::merge::refusal(bytes, counts_in("counts"));
  };
  std::string xn = enn; // the reverse-integration constant of record 3
  const std::size_t frame = 3 * 512 + 64;
  std::memcpy(xn.data() + frame + 8, "\x00\x00\x30\x39", 4);
  EXPECT_EQ(refusal(xn), "made: the record at byte 1536 is refused: fails its Steim 2 integrity "
                         "check: the last sample decodes to 8226 where the record's "
                         "reverse-integration constant says 12345");
  std::string blockettes = enn; // the first blockette's offset lost
  blockettes[46] = blockettes[47] = '\0';
  const std::string said = refusal(blockettes);
  EXPECT_EQ(said.rfind("made: the record at byte 0 is refused: its header announces 1 "
                       "blockettes where 0 are found",
                       0),
            0u)
      << said;
  EXPECT_NE(said.find("integrity check"), std::string::npos);
  // Cut inside a record and inside a header.
  EXPECT_EQ(refusal(enn.substr(0, 1000)), "made: the record at byte 512 is cut short");
  EXPECT_EQ(refusal(enn.substr(0, 512 + 30)),
            "made: the record at byte 512 is not miniSEED: No SEED data detected");
}

TEST(MergeNetwork, RecordsOutOfOrderAndEmptyRecordsJoinTheSeries) {
  const std::string enn = slurp(net + "UU.HRU.01.ENN.mseed");
  const auto read_made = [](const char *name, const std::string &bytes) {
    return wavespec::merge::read_made(name, bytes, counts_in("counts"));
  };
  const auto expected = read_made("in order", enn)[0].values;
  auto records = records_of(enn, 512);
  std::swap(records[1], records[2]);
  std::swap(records[5], records[9]);
  EXPECT_EQ(read_made("reordered", joined(records))[0].values, expected);
  auto with_empty = records_of(enn, 512);
  std::string empty = with_empty[4];
  empty[30] = empty[31] = '\0'; // no samples
  with_empty.insert(with_empty.begin() + 5, empty);
  EXPECT_EQ(read_made("emptied", joined(with_empty))[0].values, expected);
}

TEST(MergeNetwork, OtherSeedFormsAreRefusedByName) {
  std::string v3(64, '\0');
  v3[0] = 'M', v3[1] = 'S', v3[2] = 3;
  EXPECT_EQ(refusal(v3).rfind("made: miniSEED 3 is not read; ", 0), 0u) << refusal(v3);
  std::string volume = "000001V 010009402.3121992,001,00:00:00.0000~1992,002~";
  volume.resize(4096, ' ');
  EXPECT_EQ(refusal(volume).rfind("made: a full SEED volume", 0), 0u);
}

// The values of the fixed fields after line `from` (from 1), as printed.
std::vector<double> printed(const std::string &path, std::size_t from, std::size_t count,
                            std::size_t width) {
  std::ifstream f(path);
  std::string line;
  std::vector<double> out;
  for (std::size_t n = 1; std::getline(f, line) && out.size() < count; ++n)
    if (n > from)
      for (std::size_t at = 0; at + width <= line.size() + 1 && out.size() < count; at += width)
        if (line.size() >= at + width)
          out.push_back(std::stod(line.substr(at, width)));
  return out;
}

TEST(MergeNetwork, EveryChannelOfCosmosAndDmgFiles) {
  const std::string cosmos = net + "Cosmos12TimeSeriesTest2.v1";
  const auto two = read_made("c", slurp(cosmos));
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].component, "340");
  EXPECT_EQ(two[1].component, "90");
  EXPECT_EQ(two[0].values, printed(cosmos, 46, 7000, 10));
  EXPECT_EQ(two[1].values, printed(cosmos, 968, 7000, 10));
  EXPECT_EQ(two[0].units, "gal");
  // Lower-case Fortran formats and a unit written "g.".
  std::string lower = slurp(cosmos);
  for (std::size_t at = 0;
       (at = lower.find("cm/sec2(04),Format=(8F10.5)", at)) != std::string::npos;)
    lower.replace(at, 27, "g. (02)Format=(8f10.5)");
  const auto g = read_made("lower", lower);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[1].units, "g");
  EXPECT_EQ(g[1].values, two[1].values);

  const std::string dmg = net + "CE36456.V2";
  const auto v2 = read_made("dmg", slurp(dmg));
  ASSERT_EQ(v2.size(), 3u);
  EXPECT_EQ(v2[0].component + "," + v2[1].component + "," + v2[2].component, "90,UP,0");
  EXPECT_EQ(v2[0].values, printed(dmg, 46, 3251, 10));
  EXPECT_EQ(v2[1].values, printed(dmg, 1316, 3250, 10));
  EXPECT_EQ(v2[2].values, printed(dmg, 2586, 3250, 10));
  EXPECT_EQ(v2[2].units, "gal");
  EXPECT_EQ(v2[0].dt, 0.02);
  EXPECT_EQ(v2[0].processing, "corrected");
  read_request vel;
  vel.wanted = quantity::velocity;
  const auto v = read_made("dmg", slurp(dmg), vel);
  EXPECT_EQ(v[1].values, printed(dmg, 1724, 3250, 10));
  EXPECT_EQ(v[1].units, "cm/s");
  // One file is a whole record: horizontal, horizontal, vertical.
  const auto xyz = order_components(v2, false);
  EXPECT_EQ(xyz[0].component + "," + xyz[1].component + "," + xyz[2].component, "90,0,UP");
}

// A DMG V1 channel in the layout CSMIP hands out (13 text lines, 100
// integers, 50 reals, then the samples in g).
std::string dmg_v1_channel(int chan, const char *direction, const std::vector<const char *> &rows) {
  std::ostringstream f;
  f << "Uncorrected Accelerogram Data             Processed: 02/13/12, CGS  146be002\r\n"
    << "Record of Mon Feb 13, 2012 13:06:45.0 PST             (Avol1 v9.2,12/11 CSMIP)\r\n"
    << "CSMIP Preliminary Processing            (Origin:  To be determined)\r\n"
    << "89146-L2500-12044.02                 Start time:  2/13/12, 21:06:45.0 UTC (GPS)\r\n"
    << "Station No. 89146   40.941N, 123.633W      Etna  s/n 2500  (3 Chns of  3 at Sta)\r\n"
    << "Willow Creek                              CGS\r\n"
    << "Chan  " << chan << ": " << direction << "\r\n";
  for (int i = 0; i < 6; ++i)
    f << "text\r\n";
  for (int i = 0; i < 7; ++i)
    f << std::string(i < 6 ? 80 : 20, ' ').replace(0, 5, "    0") << "\r\n";
  for (int i = 0; i < 7; ++i)
    f << "  .0108814  .6700000 66.000000  .0037019      .000 629.00000  .0791795 30.590000\r\n";
  f << "    16 Accelerogram points at 200 pts/sec in units of g .      Format: (8f9.6)\r\n";
  for (const char *row : rows)
    f << row << "\r\n";
  f << "/&  ----------  End of data for channel  " << chan << "  ----------\r\n";
  return f.str();
}

TEST(MergeNetwork, DmgV1ChannelsAndTheirRefusals) {
  const std::vector<const char *> rows = {
      "  .000010  .000010 -.000007 -.000002  .000009  .000007 -.000002 -.000002",
      " -.000007 -.000008 -.000002 -.000010  .000007  .000014  .000002  .000001"};
  const std::string v1 = dmg_v1_channel(1, "360 Deg", rows) + dmg_v1_channel(2, "Up", rows) +
                         dmg_v1_channel(3, "90 Deg", rows);
  const auto got = read_made("v1", v1);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].component, "Up");
  EXPECT_EQ(got[0].dt, 0.005);
  EXPECT_EQ(got[0].units, "g");
  EXPECT_EQ(got[2].values.back(), 0.000001);
  EXPECT_EQ(got[0].processing, "uncorrected");
  EXPECT_EQ(record_name(got[0]), "89146_20120213T210645_uncorrected");
  read_request vel;
  vel.wanted = quantity::velocity;
  EXPECT_EQ(refusal(v1, vel), "made: no velocity series for the channel from line 1");
  std::string cut = v1.substr(0, v1.find("/&") - 10);
  EXPECT_NE(refusal(cut).find("is cut short"), std::string::npos) << refusal(cut);
}

} // namespace
} // namespace wavespec::merge
