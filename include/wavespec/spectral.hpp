// wavespec's spectral kernels on spans the caller owns: the radix-2
// transform, spectrum preparation, integration or differentiation, amplitudes
// and Parzen-window smoothing. The analysis (wavespec/analysis.hpp) is built
// from these; each gives the same bits wherever it runs.
//
//   wavespec::transform_plan plan(8192);              // factors for 8192 points
//   std::vector<wavespec::complex32> fx(8192);
//   auto grid = wavespec::prepare(samples, dt, fx, plan); // spectrum * dt
//   wavespec::apply_operation(wavespec::operation::integrate, grid, fx);
//   std::vector<float> amp(grid.nom), power(grid.nom);
//   wavespec::amplitudes(std::span(fx).first(grid.nom), amp);
//   wavespec::smooth(amp, power, grid.df, wavespec::make_window(0.5f, grid.df));
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace wavespec {

// A single-precision complex value, real part first.
struct complex32 {
  float re = 0.0f;
  float im = 0.0f;
  friend bool operator==(const complex32 &, const complex32 &) = default;
};

// The program's constants, as 32-bit reals of the decimals shown (neither is
// the float nearest the true value): pi = 3.141593 and 2 pi = 6.283185.
inline constexpr float pi = 3.141593f;
inline constexpr float two_pi = 6.283185f;

// The frequency grid of a transform of nf points at interval dt. Every value
// is a 32-bit real rounded once from its double-precision formula.
struct frequency_grid {
  std::int32_t nf = 0;   // transform length, a power of two from 4 up
  float dur = 0.0f;      // nf * dt, the duration of the transformed series (s)
  float df = 0.0f;       // 1 / dur, the frequency step (Hz)
  float dom = 0.0f;      // df * 2 pi, the angular-frequency step (rad/s)
  std::int32_t nom = 0;  // nf / 2 + 1 one-sided points, 0 Hz to the Nyquist frequency
  float eom = 0.0f;      // nom * dom
  float highest = 0.0f;  // eom / 2 pi, reported as the highest frequency (nom * df)
  float band_min = 0.0f; // the narrowest bandwidth shown to the user, df * 3.70861
  float band_max = 0.0f; // the widest bandwidth shown to the user, df * 92.71525
};

// The grid of an nf-point transform at interval dt (nf a power of two >= 4).
[[nodiscard]] frequency_grid make_grid(std::int32_t nf, float dt);

// The most samples a record may hold: the largest transform is 2^16 points.
inline constexpr std::int32_t max_samples = 65536;

// The smallest power of two, at least 4, not below nt: the transform length
// of a record of nt samples (0 for nt above max_samples).
[[nodiscard]] std::int32_t transform_length(std::int64_t nt);

// The radix-2 decimation-in-time transform, in place and not normalised:
//   a[q] <- sum over p of a[p] * exp(sign * 2 pi i p q / n),  q = 0 .. n-1,
// with the program's pi in the angles. The plan holds the twiddle factors of
// one length and sign, each cos and sin taken in double and rounded once to
// float; plans are read-only once built and may be shared between threads.
class transform_plan {
public:
  // n a power of two (1 up); sign -1 (forward) or +1. Throws
  // std::invalid_argument otherwise.
  explicit transform_plan(int n, int sign = -1);
  // Transforms a (exactly size() values) in place.
  void operator()(std::span<complex32> a) const;
  [[nodiscard]] int size() const { return n_; }
  [[nodiscard]] int sign() const { return sign_; }
  // The factors of the stage that combines sub-transforms of kmax points,
  // k = 0 .. kmax-1 side by side; factor k is exp(i sign pi k / kmax).
  [[nodiscard]] const complex32 *stage(int kmax) const { return by_stage_.data() + (kmax - 1); }

private:
  int n_;
  int sign_;
  std::vector<complex32> by_stage_; // stage kmax at kmax - 1 .. 2 kmax - 2
};

// Fills fx with (samples[i], 0) and zeros after them, transforms it forward
// with `plan` (of fx.size() points, sign -1) and multiplies every value by
// (dt, 0); returns the grid. Throws std::invalid_argument when the sizes do
// not fit (fx.size() a power of two >= 4, at least samples.size()).
frequency_grid prepare(std::span<const float> samples, float dt, std::span<complex32> fx,
                       const transform_plan &plan);

// What is done to the one-sided spectra (the numbers are the dialogue's).
enum class operation : std::int32_t {
  none = 0,
  integrate = 1,        // divide by (0, omega)
  double_integrate = 2, // divide by (-omega^2, 0)
  differentiate = 3     // multiply by (0, omega)
};

// The operation of the dialogue's answer 1, 2 or 3; any other value is none.
[[nodiscard]] operation operation_for(std::int32_t nit);

// Applies `op` to fx[0 .. nom-1] (at least nom values), omega = i * dom at
// index i. Integration leaves the 0 Hz value as it is; differentiation makes
// it zero.
void apply_operation(operation op, const frequency_grid &grid, std::span<complex32> fx);

// |(a, b)|: with m the larger and s the smaller of |a| and |b|, m when s + m
// equals m (so (0, 0) gives 0), else m * sqrt(1 + (s/m)^2); formed in double
// and rounded once. NaN in either part gives NaN.
[[nodiscard]] float amplitude(complex32 z);
// amplitude() of every z[i] into out[i] (out at least as long), the same bits.
void amplitudes(std::span<const complex32> z, std::span<float> out);

enum class window_verdict {
  accepted,
  no_smoothing, // band = 0
  too_narrow,   // udf > 0.5, or a negative band
  too_wide      // 2 / udf >= 101
};

inline constexpr int max_window_points = 101;

// The one-sided Parzen window for a bandwidth in Hz: w[0] is the centre
// weight, w[l-1] the weight at a distance of l - 1 points on either side,
// l = 1 .. lmax.
struct parzen_window {
  window_verdict verdict = window_verdict::no_smoothing;
  float udf = 0.0f; // (1.854305 / band) * df
  int lmax = 0;     // 5 .. 101 for an accepted band
  std::array<float, max_window_points> w{};
};

// Tests the bandwidth `band` (Hz; 0 for none) for the frequency step df and
// builds the window, or says why it is refused.
[[nodiscard]] parzen_window make_window(float band, float df);

// The limits shown to the user: df * 3.70861 and df * 92.71525. A band a
// little above the second (up to about df * 93.64) is still accepted.
[[nodiscard]] float narrowest_band(float df);
[[nodiscard]] float widest_band(float df);

// Smooths the amplitude spectrum in place (through power and back; with no
// smoothing only through power and back); `power` (at least as long)
// receives the smoothed power spectrum. Throws std::invalid_argument for a
// refused window.
void smooth(std::span<float> amplitude_spectrum, std::span<float> power, float df,
            const parzen_window &window);

// Konno-Ohmachi smoothing at centre frequencies fc > 0:
//   S(fc) = sum_k w_k A_k / sum_k w_k,  x_k = b log10(f_k / fc),
//   w_k = (sin(x_k) / x_k)^4  (1 where x_k = 0),
// over every point k (the window is never cut), in double, each result
// rounded once to float. `f` holds the frequencies f_k > 0 of the points;
// `series` the amplitude series A_k (each as long as f); `smoothed` receives
// series.size() rows of centres.size() values. The sums are formed by angle
// addition on sin and cos of b log10 f_k, computed once, within 1e-9 of the
// direct double sums; the bits depend neither on the machine nor on
// `threads`, which share the centres. Throws std::invalid_argument for sizes
// that do not fit, b not positive or above max_konno_ohmachi_coefficient.
// The same as konno_ohmachi_plan(f, series, b, threads).smooth(centres,
// smoothed, threads).
void konno_ohmachi(std::span<const double> f, std::span<const std::span<const float>> series,
                   double b, std::span<const double> centres, std::span<float> smoothed,
                   unsigned threads = 1);

// The largest Konno-Ohmachi coefficient b taken. The phases b log10 f are
// rounded to their last bit, an error that grows with b and that the angle
// addition passes on to every weight, most where sin x is small. Up to this
// b the sums stay within 1e-9 of the direct double sums (2e-10 at most,
// measured on points from 1e-6 Hz to 1e6 Hz and centres on, near and between
// them); from about 3e4 they do not. Far above, a centre between points
// finds every weight underflowing to 0.
inline constexpr double max_konno_ohmachi_coefficient = 1e4;

namespace spectral {
class konno_ohmachi_points;
}

// Konno-Ohmachi smoothing of fixed points at centres given afterwards, as
// many at a time as the caller likes: the sines, cosines and amplitudes of
// the points are prepared once, and each smooth() call sums a chunk of
// centres, so that rows can be written as they come with memory that does
// not grow with the number of centres.
//
//   wavespec::konno_ohmachi_plan plan(f, series, 40.0, threads);
//   for (std::size_t i = 0; i < centres.size(); i += 4096) { // an even chunk
//     const auto chunk = std::span(centres).subspan(i, std::min<std::size_t>(4096,
//                                                   centres.size() - i));
//     if (!plan.smooth(chunk, rows, threads, [] { return interrupted(); }))
//       break;
//     write(rows);
//   }
//
// Centres go in pairs (0 and 1, 2 and 3, ... of a call; the last of an odd
// count alone) that share a division, and a result's last bits depend on
// its partner. Chunks of an even size, but for the last, therefore give
// exactly the bits of one call over all the centres (and of konno_ohmachi);
// a chunk of an odd size before the last moves the pairs of those after it,
// whose results stay within the same 1e-9. A plan is read-only once built:
// several threads may call smooth() at once.
class konno_ohmachi_plan {
public:
  // The frequencies f_k > 0, the series (each as long as f; copied) and b,
  // as for konno_ohmachi; `threads` share the preparation. Throws
  // std::invalid_argument for sizes that do not fit, no points, b not
  // positive or above max_konno_ohmachi_coefficient.
  konno_ohmachi_plan(std::span<const double> f, std::span<const std::span<const float>> series,
                     double b, unsigned threads = 1);

  // Smooths every series at `centres` (each > 0) into `out`: series() rows
  // of centres.size() values (out at least that long). `threads` share the
  // centres without changing a bit. `stop`, when given, is called by every
  // summing thread, possibly at once, before each block of 256 points it
  // sums for up to 256 centres (on a 65536-sample record some 20
  // microseconds apart with AVX-512, 0.4 ms with neither AVX2 nor AVX-512);
  // once it returns true every thread ends at its next block and smooth()
  // returns false, `out` holding some results and not others. When it
  // throws, the threads end as well and the exception reaches the caller.
  // Returns true when every result is written. Throws std::invalid_argument
  // for a centre not positive, `out` too short, or a centre at which the
  // weights cannot be summed (their sum zero), never giving NaN for one.
  bool smooth(std::span<const double> centres, std::span<float> out, unsigned threads = 1,
              const std::function<bool()> &stop = {}) const;

  // The number of series: the rows of each smooth() call.
  [[nodiscard]] std::size_t series() const;

private:
  std::shared_ptr<const spectral::konno_ohmachi_points> points_;
};

// n frequencies spaced evenly in log10 from fmin to fmax inclusive:
// fmin * 10^(i log10(fmax / fmin) / (n - 1)). Throws std::invalid_argument
// unless 0 < fmin < fmax and n >= 2.
[[nodiscard]] std::vector<double> log_spaced_frequencies(double fmin, double fmax, std::int64_t n);

// 100 per decade from fmin up to fmax: fmin * 10^(i / 100), i = 0 ..
// floor(100 log10(fmax / fmin)).
[[nodiscard]] std::vector<double> per_decade_frequencies(double fmin, double fmax);
// The same from the grid's df to its Nyquist frequency (nom - 1) df.
[[nodiscard]] std::vector<double> per_decade_frequencies(const frequency_grid &grid);

// The effective amplitude of two horizontal amplitudes: sqrt((x^2 + y^2) / 2)
// formed in double and rounded once.
[[nodiscard]] float effective_amplitude(float x, float y);

} // namespace wavespec
