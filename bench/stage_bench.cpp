// Micro-benchmarks of each stage on the largest case: 65536 samples, three
// 65536-point transforms, three smoothings of 32769 points with lmax 101, and
// 32769 spectrum rows formatted; then the whole analysis of one record in a
// reused workspace. Beside each stage, its floor: the same work done the
// conventional way, without the exactness rules (read(2) and write(2)
// through one buffer, fast_float, FFTW, a plain float convolution,
// std::to_chars).
#include <algorithm>
#include <benchmark/benchmark.h>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fast_float/fast_float.h>
#include <fcntl.h>
#include <fftw3.h>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <time.h>
#include <unistd.h>
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

// The record's text in a file of the temporary directory, for the stages that
// read and write files.
const std::string &record_file() {
  static const std::string path = [] {
    const char *dir = std::getenv("TMPDIR");
    std::string p = std::string(dir != nullptr ? dir : "/tmp") + "/wavespec_stage_bench.txt";
    const std::string text = waveform_text(65536);
    std::FILE *f = std::fopen(p.c_str(), "wb");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
        std::fclose(f) != 0)
      std::abort();
    return p;
  }();
  return path;
}

void BM_ReadWaveformFile(benchmark::State &state) {
  workspace ws;
  for (auto _ : state) {
    records::stream_state u(records::waveform_file, true);
    records::open_stream(u, record_file(), records::open_rule::read_only);
    benchmark::DoNotOptimize(core::load_records(u, ws).count);
  }
}

// The bundled record of 65536 samples (data/wtmc_v1a.txt), read by
// read_real_rows from memory after its header: the reading alone, without
// the checks and the columns of the analysis.
const std::string &bundled_record() {
  static const std::string text = [] {
    const auto path =
        std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / "wtmc_v1a.txt";
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
      std::abort();
    std::string bytes(1 << 22, '\0');
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    return bytes;
  }();
  return text;
}

// Rows into four columns of 65536; any further rows share a spare one.
class bench_rows final : public records::row_store {
public:
  void aim(std::int64_t r, float **row) override {
    const auto at = static_cast<std::size_t>(r);
    for (std::size_t j = 0; j < 4; ++j)
      row[j] = at < 65536 ? &columns_[j][at] : &spare_[j];
  }

private:
  std::vector<std::vector<float>> columns_ = std::vector(4, std::vector<float>(65536));
  float spare_[4] = {};
};

// One read of the bundled record after its header, with reading notes or
// without (as the dialogue and the analysis read).
void read_bundled_rows(records::row_store &rows, records::reading_notes *notes) {
  const std::string &text = bundled_record();
  records::stream_state u(records::waveform_file, true);
  records::open_memory_stream(u, "wtmc_v1a.txt", text);
  std::string header;
  (void)records::read_line_text(u, header, 80);
  benchmark::DoNotOptimize(records::read_real_rows(u, 4, rows, notes));
  if (notes != nullptr && !notes->clean())
    std::abort();
}

void BM_ReadRows(benchmark::State &state, bool noting) {
  bench_rows rows;
  records::reading_notes notes;
  for (auto _ : state)
    read_bundled_rows(rows, noting ? &notes : nullptr);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bundled_record().size()));
}

double thread_cpu_ms() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// What the notes cost, in pairs: each iteration reads the record without
// notes and with them, in turns first, each timed by the thread's CPU clock.
// Pairs read back to back see the same machine, so their ratio holds while
// its speed drifts. Counters: the medians of each read and of the ratios.
void BM_ReadRowsNotesPaired(benchmark::State &state) {
  bench_rows rows;
  records::reading_notes notes;
  std::vector<double> plain, noted, ratio;
  for (auto _ : state) {
    const bool notes_first = ratio.size() % 2 == 1;
    double ms[2] = {};
    for (int k = 0; k < 2; ++k) {
      const bool noting = (k == 0) == notes_first;
      const double start = thread_cpu_ms();
      read_bundled_rows(rows, noting ? &notes : nullptr);
      ms[noting ? 1 : 0] = thread_cpu_ms() - start;
    }
    plain.push_back(ms[0]);
    noted.push_back(ms[1]);
    ratio.push_back(ms[1] / ms[0]);
  }
  state.counters["plain_ms"] = median(plain);
  state.counters["notes_ms"] = median(noted);
  state.counters["notes_ratio"] = median(ratio);
}

void BM_Floor_ReadFile(benchmark::State &state) {
  std::vector<char> block(1 << 16);
  for (auto _ : state) {
    const int fd = ::open(record_file().c_str(), O_RDONLY);
    while (::read(fd, block.data(), block.size()) > 0)
      benchmark::DoNotOptimize(block.data());
    ::close(fd);
  }
}

void BM_Floor_ParseFastFloat(benchmark::State &state) {
  const std::string text = waveform_text(65536);
  std::vector<float> xyz(3 * 65536);
  for (auto _ : state) {
    const char *p = text.data() + text.find('\n') + 1, *end = text.data() + text.size();
    for (std::size_t i = 0; p < end; ++i) {
      double v = 0;
      auto r = fast_float::from_chars(p, end, v); // the time, not kept
      for (int c = 0; c < 3; ++c) {
        r = fast_float::from_chars(r.ptr + 1, end, xyz[3 * i + static_cast<std::size_t>(c)]);
      }
      p = r.ptr + 1;
    }
    benchmark::DoNotOptimize(xyz.data());
  }
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

void BM_Floor_ThreeTransformsFFTW(benchmark::State &state) {
  std::mt19937 rng(7);
  std::normal_distribution<float> g(0.0f, 30.0f);
  float *in = fftwf_alloc_real(65536);
  fftwf_complex *out = fftwf_alloc_complex(32769);
  const fftwf_plan plan = fftwf_plan_dft_r2c_1d(65536, in, out, FFTW_ESTIMATE);
  for (int i = 0; i < 65536; ++i)
    in[i] = g(rng);
  for (auto _ : state)
    for (int c = 0; c < 3; ++c) {
      fftwf_execute(plan);
      benchmark::DoNotOptimize(out);
    }
  fftwf_destroy_plan(plan);
  fftwf_free(in);
  fftwf_free(out);
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

// A window of 201 taps (lmax 101) over a power spectrum padded with its
// mirror image, in float.
void BM_Floor_ThreeConvolutions(benchmark::State &state) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> u(0.0f, 10.0f);
  std::vector<float> padded(32769 + 200), out(32769), w(201);
  for (float &v : padded)
    v = u(rng);
  for (float &v : w)
    v = u(rng);
  for (auto _ : state)
    for (int c = 0; c < 3; ++c) {
      for (std::size_t i = 0; i < out.size(); ++i) {
        float s = 0;
        for (std::size_t k = 0; k < w.size(); ++k)
          s += w[k] * padded[i + k];
        out[i] = s;
      }
      benchmark::DoNotOptimize(out.data());
    }
}

class null_sink final : public byte_sink {
public:
  void write(std::string_view bytes) override { benchmark::DoNotOptimize(bytes.data()); }
};

spectrum random_spectrum();

void BM_FormatSpectrumRows(benchmark::State &state) {
  const spectrum s = random_spectrum();
  null_sink sink;
  for (auto _ : state)
    write_csv(s, sink);
}

// The rows as std::to_chars writes them: the frequency with 4 decimals,
// six values with 6 digits after the point, into one reused buffer.
void BM_Floor_FormatRowsToChars(benchmark::State &state) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(0.0f, 100.0f);
  std::vector<float> values(6 * 32769);
  for (float &v : values)
    v = u(rng);
  std::string text;
  text.reserve(32769 * 100);
  char field[32];
  for (auto _ : state) {
    text.clear();
    for (std::size_t i = 0; i < 32769; ++i) {
      auto r = std::to_chars(field, field + sizeof field, static_cast<float>(i) * 0.0030517578f,
                             std::chars_format::fixed, 4);
      text.append(field, r.ptr);
      for (std::size_t c = 0; c < 6; ++c) {
        r = std::to_chars(field, field + sizeof field, values[6 * i + c],
                          std::chars_format::scientific, 6);
        text.push_back(',');
        text.append(field, r.ptr);
      }
      text.push_back('\n');
    }
    benchmark::DoNotOptimize(text.data());
  }
}

spectrum random_spectrum() {
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
  return s;
}

// The spectrum file written: formatting and writing together, replacing the
// file of the run before.
void BM_WriteSpectrumFile(benchmark::State &state) {
  const spectrum s = random_spectrum();
  const std::string path = record_file() + ".csv";
  for (auto _ : state)
    write_csv(s, std::filesystem::path(path));
}

// Writing the same number of bytes over the file of the run before.
void BM_Floor_WriteFile(benchmark::State &state) {
  std::string bytes;
  write_csv(random_spectrum(), std::filesystem::path(record_file() + ".csv"));
  std::FILE *f = std::fopen((record_file() + ".csv").c_str(), "rb");
  bytes.resize(1 << 22);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
  std::fclose(f);
  const std::string path = record_file() + ".floor";
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    for (std::size_t done = 0; done < bytes.size(); done += 1 << 16)
      if (::write(fd, bytes.data() + done, std::min<std::size_t>(1 << 16, bytes.size() - done)) < 0)
        std::abort();
    ::close(fd);
  }
}

// Konno-Ohmachi smoothing (b = 40) of the four series of a 65536-sample
// record, X, Y, Z and EAS at 32768 points: at state.range(0) centres (452:
// the 100 per decade from df to the Nyquist frequency; more: log-spaced
// over the same band) on state.range(1) threads, in one call or through a
// plan 4096 centres at a time.
struct konno_ohmachi_case {
  std::vector<double> f, centres;
  std::vector<std::vector<float>> series;
  std::vector<std::span<const float>> spans;
  std::vector<float> out;
  explicit konno_ohmachi_case(std::size_t count) {
    const double df = 1.0 / (65536 * 0.005);
    for (int k = 1; k <= 32768; ++k)
      f.push_back(k * df);
    centres = count == 452 ? per_decade_frequencies(df, 32768 * df)
                           : log_spaced_frequencies(df, 32768 * df, static_cast<int>(count));
    std::mt19937 rng(10);
    std::uniform_real_distribution<float> u(0.0f, 100.0f);
    series.assign(4, std::vector<float>(f.size()));
    for (auto &s : series)
      for (float &v : s)
        v = u(rng);
    spans.assign(series.begin(), series.end());
    out.resize(4 * centres.size());
  }
};

void BM_KonnoOhmachi(benchmark::State &state) {
  konno_ohmachi_case c(static_cast<std::size_t>(state.range(0)));
  const auto threads = static_cast<unsigned>(state.range(1));
  for (auto _ : state)
    konno_ohmachi(c.f, c.spans, 40.0, c.centres, c.out, threads);
  state.counters["centres"] = static_cast<double>(c.centres.size());
}

void BM_KonnoOhmachiPlanChunks(benchmark::State &state) {
  konno_ohmachi_case c(static_cast<std::size_t>(state.range(0)));
  const auto threads = static_cast<unsigned>(state.range(1));
  std::vector<float> rows(4 * 4096);
  for (auto _ : state) {
    const konno_ohmachi_plan plan(c.f, c.spans, 40.0, threads);
    for (std::size_t i = 0; i < c.centres.size(); i += 4096) {
      const std::size_t n = std::min<std::size_t>(4096, c.centres.size() - i);
      plan.smooth(std::span(c.centres).subspan(i, n), rows, threads);
      benchmark::DoNotOptimize(rows.data());
    }
  }
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

BENCHMARK(BM_ReadWaveformFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor_ReadFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadWaveform)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRows, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRows, with_notes, true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadRowsNotesPaired)->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor_ParseFastFloat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreeTransforms)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor_ThreeTransformsFFTW)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreeSmoothings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor_ThreeConvolutions)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormatSpectrumRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor_FormatRowsToChars)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteSpectrumFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor_WriteFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KonnoOhmachi)
    ->Args({452, 1})
    ->Args({452, 2})
    ->Args({100000, 2})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KonnoOhmachiPlanChunks)->Args({100000, 2})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeAnalysisInWorkspace)->Arg(8192)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
