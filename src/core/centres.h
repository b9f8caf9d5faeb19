// The Konno-Ohmachi centres of an analysis, one at a time, so that memory
// does not grow with their number (but for centres given one by one).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "wavespec/analysis.hpp"

namespace wavespec::core {

class centre_list {
public:
  // The centres a run asks for: those given or its spread (none else).
  explicit centre_list(const analysis_options &o);
  // The centres of an analysis of a record on `grid`: those asked for, or
  // 100 per decade from df to the Nyquist frequency; with
  // o.centres_within_record only those the grid reaches (centres_reached).
  centre_list(const analysis_options &o, const frequency_grid &grid);

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] double operator[](std::size_t i) const;
  [[nodiscard]] bool empty() const { return size_ == 0; }

private:
  // fmin * 10^(i * step / divisor): the spread's and the per-decade
  // formulas, in the order of operations that makes their bits.
  struct formula {
    double fmin, step, divisor;
  };
  std::vector<double> given_;
  std::optional<formula> formula_;
  std::size_t first_ = 0, size_ = 0; // formula indices first_ .. first_ + size_
};

} // namespace wavespec::core
