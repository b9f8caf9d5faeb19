// The Konno-Ohmachi sums inside the library: the points of a plan, the sums
// before their rounding to float, and the choice of vector width, for the
// plan and the tests.
#pragma once

#include <functional>
#include <memory>
#include <span>

#include "wavespec/spectral.hpp"

namespace wavespec::spectral {

// Which code sums: the widest the processor runs up to the one named (plain,
// one double at a time; AVX2, four; AVX-512, eight). All give the same bits.
enum class sum_path { plain, avx2, avx512, best = avx512 };

// The path that sums when `path` is asked for on this processor.
[[nodiscard]] sum_path path_taken(sum_path path);

// The points of konno_ohmachi_plan: frequencies, amplitudes and b as the
// plan takes them, but any finite b > 0 (a b whose sums cannot be formed
// makes smooth() throw). Read-only once built.
class konno_ohmachi_points {
public:
  konno_ohmachi_points(std::span<const double> f, std::span<const std::span<const float>> series,
                       double b, unsigned threads);
  ~konno_ohmachi_points();
  konno_ohmachi_points(const konno_ohmachi_points &) = delete;
  konno_ohmachi_points &operator=(const konno_ohmachi_points &) = delete;

  [[nodiscard]] std::size_t series() const { return series_; }

  // As konno_ohmachi_plan::smooth, by `path`, into doubles or rounded once
  // to float.
  bool smooth(std::span<const double> centres, std::span<double> out, unsigned threads,
              const std::function<bool()> &stop, sum_path path = sum_path::best) const;
  bool smooth(std::span<const double> centres, std::span<float> out, unsigned threads,
              const std::function<bool()> &stop, sum_path path = sum_path::best) const;

  struct table;

private:
  std::unique_ptr<table> table_;
  double b_;
  std::size_t series_;
};

// As wavespec::konno_ohmachi into doubles, for any finite b > 0.
void konno_ohmachi_sums(std::span<const double> f, std::span<const std::span<const float>> series,
                        double b, std::span<const double> centres, std::span<double> sums,
                        unsigned threads, sum_path path = sum_path::best);

} // namespace wavespec::spectral
