// The analysis core against the dialogue, and against itself across runs,
// workspaces and threads.
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/numbers.h"
#include "driver/run_helper.h"
#include "wavespec/wavespec.hpp"

namespace wavespec::testing {
namespace {

const char *const records[] = {"sf1295.txt", "wtmc_v2a.txt", "nc_mli.txt", "np_2825.txt",
                               "wtmc_v1a.txt"};

std::string data_path(const std::string &name) {
  return std::string(WAVESPEC_DATA) + "/" + name;
}

std::string csv_of(const spectrum_view &s) {
  std::ostringstream out;
  write_csv(s, out);
  return out.str();
}

// The dialogue's spectrum file for these answers.
std::string dialogue_csv(const std::string &record, int op, const std::string &band) {
  sandbox box;
  box.write("w.txt", read_file(data_path(record)));
  const run_result got = box.run("w.txt\n" + std::to_string(op) + "\n" + band + "\nout.csv\n");
  EXPECT_EQ(got.status, 0) << got.err;
  return box.read("out.csv");
}

TEST(CoreAnalysis, CsvEqualsTheDialoguesOnTheBundledRecords) {
  workspace ws; // one workspace through records of every size
  for (const char *record : records) {
    const waveform w = read_waveform(data_path(record));
    const frequency_grid g = grid_of(w);
    const float band = g.band_min * 3.0f; // a window of about 33 points
    for (int op = 0; op <= 3; ++op) {
      SCOPED_TRACE(std::string(record) + " operation " + std::to_string(op));
      const spectrum plain = analyse(w, {static_cast<operation>(op), 0.0f}, ws);
      EXPECT_EQ(csv_of(plain), dialogue_csv(record, op, "0"));
      const spectrum smoothed = analyse(w, {static_cast<operation>(op), band}, ws);
      EXPECT_EQ(csv_of(smoothed), dialogue_csv(record, op, core::free_digits(band)));
    }
  }
}

TEST(CoreAnalysis, TheSameBytesTwiceAcrossWorkspacesAndThreads) {
  const waveform big = read_waveform(data_path("np_2825.txt"));
  const waveform small = read_waveform(data_path("sf1295.txt"));
  const analysis_options options{operation::double_integrate, 0.5f};
  const std::string want = csv_of(analyse(small, options));
  workspace ws;
  EXPECT_EQ(csv_of(analyse(small, options, ws)), want);
  (void)analyse(big, {operation::differentiate, 0.2f}, ws); // another length between
  EXPECT_EQ(csv_of(analyse(small, options, ws)), want);
  std::string on_thread[2];
  std::thread threads[2];
  for (int t = 0; t < 2; ++t)
    threads[t] = std::thread([&, t] {
      workspace own;
      for (int i = 0; i < 3; ++i)
        on_thread[t] = csv_of(i % 2 ? analyse(big, {operation::integrate, 0.2f}, own)
                                    : analyse(small, options, own));
    });
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(on_thread[0], want);
  EXPECT_EQ(on_thread[1], want);
}

TEST(CoreAnalysis, ResultsIntoTheCallersBuffers) {
  const waveform w = read_waveform(data_path("wtmc_v2a.txt"));
  const spectrum whole = analyse(w, {operation::integrate, 0.3f});
  std::vector<float> original(3 * 4097), smoothed(3 * 4097);
  workspace ws;
  const spectrum_view v = analyse_into(w, {operation::integrate, 0.3f}, ws, original, smoothed);
  EXPECT_EQ(csv_of(v), csv_of(whole));
  EXPECT_EQ(v.original_values.data(), original.data());
  std::vector<float> short_span(100);
  EXPECT_THROW((void)analyse_into(w, {}, ws, short_span, smoothed), std::invalid_argument);
}

TEST(CoreAnalysis, RefusedBandNamesTheLimitsInTheDialoguesDigits) {
  const waveform w = read_waveform(data_path("sf1295.txt"));
  try {
    (void)analyse(w, {operation::none, 5.0f});
    FAIL() << "no band_error";
  } catch (const band_error &e) {
    EXPECT_STREQ(e.what(), "band 5 Hz is outside 0.0905422345 .. 2.26355577 Hz for this record");
    EXPECT_EQ(e.band_min(), 0.0905422345f);
  }
  EXPECT_THROW((void)analyse(w, {operation::none, 0.01f}), band_error);
  // A negative band is no bandwidth at all: refused as the command line refuses it.
  EXPECT_THROW((void)analyse(w, {operation::none, -1.0f}), options_error);
  // Just above the limit shown, the widest window is still accepted, as in
  // the dialogue.
  EXPECT_NO_THROW((void)analyse(w, {operation::none, 2.28f}));
}

TEST(CoreAnalysis, ArraysFromAnywhereGiveTheFilesSpectrum) {
  const waveform file = read_waveform(data_path("sf1295.txt"));
  const std::vector<float> x = file.x, y = file.y, z = file.z;
  const waveform_view arrays{x, y, z, 0.005f};
  EXPECT_EQ(csv_of(analyse(arrays, {operation::integrate, 0.5f})),
            csv_of(analyse(file, {operation::integrate, 0.5f})));
  const std::vector<float> shorter(x.begin(), x.end() - 1);
  EXPECT_THROW((void)analyse(waveform_view{x, shorter, z, 0.005f}), record_error);
}

} // namespace
} // namespace wavespec::testing
