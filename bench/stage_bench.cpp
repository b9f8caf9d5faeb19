// Micro-benchmarks of each stage on the largest case: 65536 samples, three
// 65536-point transforms, three smoothings of 32769 points with lmax 101, and
// 32769 spectrum rows formatted and written.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "driver/stages.h"
#include "records/record_io.h"
#include "spectral/prepare.h"
#include "spectral/swin.h"
#include "spectral/wvfast.h"

namespace {

using namespace wavespec;

// A deterministic record of n samples at dt = 0.005, written as the bundled
// records are ("%.7g" values).
std::string waveform_text(int n) {
  std::mt19937 rng(2026);
  std::normal_distribution<double> g(0.0, 30.0);
  std::string s = "time(s) X(gal) Y(gal) Z(gal)\n";
  char line[96];
  for (int i = 0; i < n; ++i) {
    std::snprintf(line, sizeof line, "%.3f,%.7g,%.7g,%.7g\n", i * 0.005, g(rng), g(rng), g(rng));
    s += line;
  }
  return s;
}

void BM_ReadWaveform(benchmark::State &state) {
  const std::string text = waveform_text(65536);
  auto st = std::make_unique<driver::analysis_state>();
  for (auto _ : state) {
    records::record_streams io("", nullptr);
    io.open_memory_file(records::waveform_file, "bench.txt", text);
    driver::read_waveform_records(io, *st);
    benchmark::DoNotOptimize(st->nt);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ThreeTransforms(benchmark::State &state) {
  auto st = std::make_unique<driver::analysis_state>();
  std::mt19937 rng(7);
  std::normal_distribution<float> g(0.0f, 30.0f);
  for (int i = 0; i < 65536; ++i)
    st->xr1[i] = g(rng), st->xr2[i] = g(rng), st->xr3[i] = g(rng);
  for (auto _ : state) {
    const spectral::twiddle_table table(65536, -1);
    spectral::prepare_spectrum(65536, 0.005f, 65536, st->xr1, st->fx1, table);
    spectral::prepare_spectrum(65536, 0.005f, 65536, st->xr2, st->fx2, table);
    spectral::prepare_spectrum(65536, 0.005f, 65536, st->xr3, st->fx3, table);
    benchmark::DoNotOptimize(st->fx3[1]);
  }
}

void BM_ThreeSmoothings(benchmark::State &state) {
  auto st = std::make_unique<driver::analysis_state>();
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> u(0.0f, 10.0f);
  for (int i = 0; i < 32769; ++i)
    st->sf1[i] = u(rng), st->sf2[i] = u(rng), st->sf3[i] = u(rng);
  const float df = 1.0f / (65536 * 0.005f);
  const spectral::parzen_window w = spectral::make_window(df * 93.6f, df); // lmax 101
  for (auto _ : state) {
    spectral::smooth(32769, st->sf1, st->sg, 100, df, w);
    spectral::smooth(32769, st->sf2, st->sg, 100, df, w);
    spectral::smooth(32769, st->sf3, st->sg, 100, df, w);
    benchmark::DoNotOptimize(st->sf3[100]);
  }
  state.counters["lmax"] = w.lmax;
}

void BM_WriteSpectrumRows(benchmark::State &state) {
  auto st = std::make_unique<driver::analysis_state>();
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(0.0f, 100.0f);
  for (int i = 0; i < 32769; ++i) {
    st->fx1[i] = {u(rng), u(rng)}, st->fx2[i] = {u(rng), u(rng)}, st->fx3[i] = {u(rng), u(rng)};
    st->sf1[i] = u(rng), st->sf2[i] = u(rng), st->sf3[i] = u(rng);
  }
  st->nom = 32769;
  st->df = 1.0f / (65536 * 0.005f);
  const std::string name = "/tmp/wavespec-bench-rows.csv";
  const std::string answer = name + "\n";
  for (auto _ : state) {
    std::string console;
    records::record_streams io(answer, &console);
    driver::run_output_stage(io, *st);
  }
  std::remove(name.c_str());
}

} // namespace

BENCHMARK(BM_ReadWaveform)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreeTransforms)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreeSmoothings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteSpectrumRows)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
