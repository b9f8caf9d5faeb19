#include "core/centres.h"

#include <algorithm>
#include <cmath>

#include "core/pipeline.h"

namespace wavespec::core {

centre_list::centre_list(const analysis_options &o) {
  if (!o.centres.empty()) {
    given_ = o.centres;
    size_ = given_.size();
  } else if (o.spread.n >= 2) {
    formula_ = formula{o.spread.fmin, std::log10(o.spread.fmax / o.spread.fmin),
                       static_cast<double>(o.spread.n - 1)};
    size_ = static_cast<std::size_t>(o.spread.n);
  }
}

centre_list::centre_list(const analysis_options &o, const frequency_grid &grid) : centre_list(o) {
  if (size_ == 0 && given_.empty() && !formula_) { // 100 per decade over the grid
    const auto df = static_cast<double>(grid.df);
    const double fmax = static_cast<double>(grid.nom - 1) * df;
    formula_ = formula{df, 1.0, 100.0};
    // A grid whose df is not a finite positive number (an interval so small
    // or so large that 1 / (nf dt) leaves the floats) spans no decades:
    // it has no centres, and check_centres refuses it.
    const double decades = std::log10(fmax / df);
    size_ = std::isfinite(decades) && decades >= 0.0
                ? static_cast<std::size_t>(std::floor(100.0 * decades)) + 1
                : 0;
    return;
  }
  if (!o.centres_within_record)
    return;
  if (!given_.empty()) {
    std::erase_if(given_, [&](double fc) { return !centres_reached(fc, grid); });
    size_ = given_.size();
    return;
  }
  // A spread rises: the centres the grid reaches are one run of it, found by
  // halving (a spread may hold millions).
  // The first index from lo on whose centre does not lie `where`.
  const auto first_not = [this, &grid](std::size_t lo, std::size_t hi, centre_reach where) {
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (reach_of((*this)[mid], grid) == where)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo;
  };
  const std::size_t low = first_not(0, size_, centre_reach::below);
  const std::size_t end = first_not(low, size_, centre_reach::within);
  first_ = low;
  size_ = end - low;
}

double centre_list::operator[](std::size_t i) const {
  if (!formula_)
    return given_[i];
  const formula &f = *formula_;
  return f.fmin * std::pow(10.0, static_cast<double>(first_ + i) * f.step / f.divisor);
}

} // namespace wavespec::core
