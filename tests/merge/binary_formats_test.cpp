// miniSEED and SAC files made here (the SAC header by hand, miniSEED by
// libmseed's own packing), read back, cut short and mixed.
#include <bit>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <libmseed.h>

#include "merge/merge_helpers.h"
#include "merge/output.h"

namespace wavespec::merge {
namespace {

// A SAC file: DELTA, NPTS, the reference time 2020-01-01 00:00:10.5, IDEP,
// KSTNM and KCMPNM, the samples; in either byte order.
std::string sac_file(const std::vector<float> &samples, float delta, const char *station,
                     const char *component, bool big_endian, std::int32_t idep = 5) {
  std::vector<std::uint32_t> words(158, std::bit_cast<std::uint32_t>(-12345.0f));
  for (std::size_t w = 70; w < 110; ++w)
    words[w] = static_cast<std::uint32_t>(-12345);
  const auto integer = [&](std::size_t w, std::int32_t v) {
    words[w] = static_cast<std::uint32_t>(v);
  };
  words[0] = std::bit_cast<std::uint32_t>(delta);
  words[5] = std::bit_cast<std::uint32_t>(0.0f);
  integer(70, 2020), integer(71, 1), integer(72, 0), integer(73, 0), integer(74, 10);
  integer(75, 500), integer(76, 6), integer(79, static_cast<std::int32_t>(samples.size()));
  integer(86, idep);
  for (const float v : samples)
    words.push_back(std::bit_cast<std::uint32_t>(v));
  std::string chars(192, ' ');
  std::memcpy(chars.data(), station, std::strlen(station));
  std::memcpy(chars.data() + 160, component, std::strlen(component));
  std::string bytes;
  const auto put = [&](std::uint32_t w) {
    if (big_endian)
      w = __builtin_bswap32(w);
    bytes.append(reinterpret_cast<const char *>(&w), 4);
  };
  for (std::size_t w = 0; w < 110; ++w)
    put(words[w]);
  bytes += chars;
  for (std::size_t w = 158; w < words.size(); ++w)
    put(words[w]);
  return bytes;
}

void add_record(char *record, int length, void *to) {
  static_cast<std::string *>(to)->append(record, static_cast<std::size_t>(length));
}

// Records of one channel, Steim-2 integer counts, 512 bytes each.
std::string mseed_channel(const char *channel, std::vector<std::int32_t> counts, double start,
                          std::int8_t encoding = DE_STEIM2) {
  MSRecord *msr = msr_init(nullptr);
  std::strcpy(msr->network, "XX");
  std::strcpy(msr->station, "TEST");
  std::strcpy(msr->channel, channel);
  msr->dataquality = 'D';
  msr->starttime = static_cast<hptime_t>(std::llround(start * HPTMODULUS));
  msr->samprate = 100.0;
  msr->reclen = 512;
  msr->encoding = encoding;
  msr->byteorder = 1;
  msr->datasamples = counts.data();
  msr->numsamples = static_cast<int64_t>(counts.size());
  msr->sampletype = 'i';
  std::string out;
  int64_t packed = 0;
  EXPECT_GT(msr_pack(msr, add_record, &out, &packed, 1, 0), 0);
  msr->datasamples = nullptr; // ours
  msr_free(&msr);
  return out;
}

std::vector<std::int32_t> ramp(int n, int from) {
  std::vector<std::int32_t> v(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i)
    v[static_cast<std::size_t>(i)] = from + i * (i % 3 == 0 ? 7 : -5);
  return v;
}

std::vector<series> read_bytes(const std::string &bytes, read_request request = {}) {
  const component_file file = component_from_bytes("made", bytes);
  const format_entry *f = detect_format(file);
  if (f == nullptr)
    throw merge_error("not recognised");
  return read_components(*f, file, request);
}

std::string refusal(const std::string &bytes, read_request request = {}) {
  try {
    (void)read_bytes(bytes, request);
  } catch (const merge_error &e) {
    return e.what();
  }
  return "read";
}

constexpr double t0 = 1577836810.5; // 2020-01-01T00:00:10.5

TEST(MergeSac, BothByteOrdersRoundTrip) {
  const std::vector<float> samples = {0.5f, -1.25f, 3e-7f, 1e30f, -0.0f};
  for (const bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    const auto s = read_bytes(sac_file(samples, 0.01f, "STA1", "HNE", big));
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].values, std::vector<double>(samples.begin(), samples.end()));
    EXPECT_EQ(s[0].dt, 0.01); // the float's shortest decimal
    EXPECT_EQ(s[0].station, "STA1");
    EXPECT_EQ(s[0].component, "HNE");
    EXPECT_EQ(s[0].units, "?");
    EXPECT_EQ(s[0].start, t0);
  }
  EXPECT_EQ(read_bytes(sac_file(samples, 0.01f, "S", "Z", false, 8))[0].units, "nm/s^2");
  const auto gal = read_bytes(sac_file(samples, 0.01f, "S", "Z", false), {{}, 0, 0.5, "gal"});
  EXPECT_EQ(gal[0].units, "gal");
  EXPECT_EQ(gal[0].values[1], -0.625);
  EXPECT_EQ(gal[0].note, "samples times 0.5");

  const std::string whole = sac_file(samples, 0.01f, "S", "Z", true);
  EXPECT_EQ(refusal(whole.substr(0, whole.size() - 1)),
            "made: 4 samples where the header promises 5");
  std::string nan = whole;
  std::memcpy(nan.data() + 632 + 4, "\x7f\xc0\x00\x00", 4);
  EXPECT_EQ(refusal(nan), "made: sample 2 is not a finite number");
  std::string uneven = whole;
  std::memcpy(uneven.data() + 4 * 105, "\0\0\0\0", 4);
  EXPECT_EQ(refusal(uneven), "made: not evenly sampled (LEVEN false)");
}

TEST(MergeSac, ThreeFilesMergeEndToEnd) {
  const scratch dir;
  const std::vector<float> n = {1, 2, 3, 4}, e = {5, 6, 7, 8}, z = {-1, -2, -3, -4};
  const std::string x = dir.file("n.sac", sac_file(n, 0.005f, "STA1", "HNN", false)),
                    y = dir.file("e.sac", sac_file(e, 0.005f, "STA1", "HNE", true)),
                    up = dir.file("z.sac", sac_file(z, 0.005f, "STA1", "HNZ", false));
  const std::string out = dir.file("out.txt", "");
  const result unknown = merge_cmd(x + " " + y + " " + up + " -o " + out);
  ASSERT_EQ(unknown.status, 0) << unknown.err;
  EXPECT_EQ(body(out), "0.000,1,5,-1\n0.005,2,6,-2\n0.010,3,7,-3\n0.015,4,8,-4\n");
  const result scaled = merge_cmd("--unit gal --scale 2 " + x + " " + y + " " + up + " -o " + out);
  ASSERT_EQ(scaled.status, 0) << scaled.err;
  std::ifstream f(out);
  std::string header;
  std::getline(f, header);
  EXPECT_EQ(header.substr(0, header.find(" from ")),
            "time(s) X=STA1.HNN(gal) Y=STA1.HNE(gal) Z=STA1.HNZ(gal) [samples times 2]");
  EXPECT_EQ(merge_cmd("--scale 2 " + x + " " + y + " " + up + " -o " + out).status, 2);
}

TEST(MergeMiniSeed, ThreeChannelsOfOneFileGoNorthEastUp) {
  const auto n = ramp(1500, 10), e = ramp(1500, -40), z = ramp(1500, 3);
  const std::string file =
      mseed_channel("HNZ", z, t0) + mseed_channel("HN1", n, t0) + mseed_channel("HN2", e, t0);
  EXPECT_EQ(refusal(file),
            "made: the samples are integer counts: give their unit with --unit (and --scale)");
  const auto got = read_bytes(file, {{}, 0, 0.001, "gal"});
  ASSERT_EQ(got.size(), 3u);
  const std::vector<std::int32_t> *expected[] = {&n, &e, &z};
  for (std::size_t c = 0; c < 3; ++c) {
    ASSERT_EQ(got[c].values.size(), 1500u);
    for (std::size_t i = 0; i < 1500; ++i)
      ASSERT_EQ(got[c].values[i], (*expected[c])[i] * 0.001) << c << " " << i;
    EXPECT_EQ(got[c].units, "gal");
    EXPECT_EQ(got[c].site, "XX.TEST.");
    EXPECT_EQ(got[c].start, t0);
    EXPECT_EQ(got[c].dt, 0.01);
  }
  EXPECT_EQ(got[0].component, "HN1");
  EXPECT_EQ(got[2].component, "HNZ");
  EXPECT_EQ(got[0].note, "counts times 0.001");

  // End to end: the merged file holds the counts times the scale.
  const scratch dir;
  const std::string in = dir.file("three.mseed", file), out = dir.file("out.txt", "");
  const result r = merge_cmd("--unit gal --scale 0.001 " + in + " -o " + out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(body(out).substr(0, body(out).find('\n')), "0.00,0.01,-0.04,0.003");
}

TEST(MergeMiniSeed, GapsOverlapsCutsAndStrayChannelsAreRefused) {
  const read_request gal{{}, 0, 1.0, "gal"};
  const auto first = ramp(1000, 0), second = ramp(1000, 5);
  const std::string gap = mseed_channel("HNZ", first, t0) + mseed_channel("HNZ", second, t0 + 11);
  EXPECT_EQ(refusal(gap, gal), "made: XX.TEST..HNZ has a gap between 2020-01-01T00:00:20.490000 "
                               "and 2020-01-01T00:00:21.500000");
  const std::string overlap =
      mseed_channel("HNZ", first, t0) + mseed_channel("HNZ", second, t0 + 5);
  EXPECT_NE(refusal(overlap, gal).find("has an overlap"), std::string::npos);
  const std::string joined =
      mseed_channel("HNZ", first, t0) + mseed_channel("HNZ", second, t0 + 10);
  EXPECT_EQ(read_bytes(joined, gal)[0].values.size(), 2000u); // contiguous: one trace
  EXPECT_EQ(refusal(joined.substr(0, joined.size() - 100), gal),
            "made: the record at byte " + std::to_string(joined.size() - 512) + " is cut short");
  const std::string two = mseed_channel("HNZ", first, t0) + mseed_channel("HNE", first, t0);
  EXPECT_NE(refusal(two, gal).find("holds the channels XX.TEST..HNE, XX.TEST..HNZ"),
            std::string::npos);
  // A header that promises more samples than its record holds.
  std::string plain = mseed_channel("HNZ", first, t0, DE_INT32);
  EXPECT_EQ(read_bytes(plain, gal)[0].values.size(), 1000u);
  plain[30] = '\x7f';
  EXPECT_EQ(refusal(plain, gal), "made: the record at byte 0 promises more samples than it holds");
  const std::string records = mseed_channel("HNZ", first, t0);
  const std::string stray =
      "made: the record at byte " + std::to_string(records.size()) + " is not miniSEED";
  EXPECT_EQ(refusal(records + std::string(512, 'x'), gal).substr(0, stray.size()), stray);
}

} // namespace
} // namespace wavespec::merge
