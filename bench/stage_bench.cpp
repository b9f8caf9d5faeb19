// Micro-benchmarks of each stage on the largest case: 65536 samples, three
// 65536-point transforms, three smoothings of 32769 points with lmax 101, and
// 32769 spectrum rows formatted; then the whole analysis of one record in a
// reused workspace.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/loading.h"
#include "core/pipeline.h"
#include "spectral/swin.h"
#include "wavespec/wavespec.hpp"

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
  workspace ws;
  for (auto _ : state) {
    records::stream_state u(records::waveform_file, true);
    records::open_memory_stream(u, "bench.txt", text);
    benchmark::DoNotOptimize(core::load_records(u, ws).count);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ThreeTransforms(benchmark::State &state) {
  std::mt19937 rng(7);
  std::normal_distribution<float> g(0.0f, 30.0f);
  std::vector<float> x(65536);
  for (float &v : x)
    v = g(rng);
  std::vector<complex32> fx(65536);
  for (auto _ : state) {
    const transform_plan plan(65536);
    for (int c = 0; c < 3; ++c)
      benchmark::DoNotOptimize(prepare(x, 0.005f, fx, plan));
  }
}

void BM_ThreeSmoothings(benchmark::State &state) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> u(0.0f, 10.0f);
  std::vector<float> f(3 * 32769), power(32769);
  for (float &v : f)
    v = u(rng);
  std::vector<double> padded(spectral::padded_length(32769));
  std::vector<float> sums(padded.size());
  const float df = 1.0f / (65536 * 0.005f);
  const parzen_window w = make_window(df * 93.6f, df); // lmax 101
  for (auto _ : state)
    for (int c = 0; c < 3; ++c)
      spectral::smooth_spectrum(std::span(f).subspan(static_cast<std::size_t>(c) * 32769, 32769),
                                power, df, w, {padded, sums});
  state.counters["lmax"] = w.lmax;
}

class null_sink final : public byte_sink {
public:
  void write(std::string_view bytes) override { benchmark::DoNotOptimize(bytes.data()); }
};

void BM_FormatSpectrumRows(benchmark::State &state) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(0.0f, 100.0f);
  spectrum s;
  s.grid = make_grid(65536, 0.005f);
  s.original_values.resize(3 * 32769);
  s.smoothed_values.resize(3 * 32769);
  for (float &v : s.original_values)
    v = u(rng);
  for (float &v : s.smoothed_values)
    v = u(rng);
  null_sink sink;
  for (auto _ : state)
    write_csv(s, sink);
}

void BM_WholeAnalysisInWorkspace(benchmark::State &state) {
  const std::string text = waveform_text(static_cast<int>(state.range(0)));
  workspace ws;
  null_sink sink;
  for (auto _ : state) {
    records::stream_state u(records::waveform_file, true);
    records::open_memory_stream(u, "bench.txt", text);
    const core::loaded_record r = core::load_records(u, ws);
    const frequency_grid g = grid_of(r.samples);
    write_csv(core::run_analysis(r.samples, operation::double_integrate,
                                 make_window(g.df * 93.6f, g.df), 0.0f, ws),
              sink);
  }
}

} // namespace

BENCHMARK(BM_ReadWaveform)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreeTransforms)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreeSmoothings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormatSpectrumRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeAnalysisInWorkspace)->Arg(8192)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
