// A workspace's memory: one region of address space, advised for huge pages,
// in which each analysis lays out its buffers for its transform length.
// Pages are touched only as buffers are used, so what a record costs follows
// its size; a workspace reused from record to record faults its pages once,
// and a first run takes a few huge-page faults instead of one per 4 KiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "spectral/swin.h"
#include "wavespec/analysis.hpp"

namespace wavespec {

// Offsets of the buffers of an analysis of nf points (the largest, 65536,
// takes about 3.2 MB):
//   samples  : X, Y, Z columns of max_samples floats each (records read
//              into the workspace)
//   twiddles : the transform's factors for nf points (kept while nf stays)
//   series   : one component's complex series, nf values
//   results  : the original, then the smoothed amplitudes, 3 * nom each
//   power, padded, sums : the smoothing's buffers
struct buffer_layout {
  explicit buffer_layout(std::int32_t nf);
  std::size_t samples = 0, twiddles, series, results, power, padded, sums, end;
};

struct workspace::buffers {
  buffers();
  ~buffers();
  buffers(const buffers &) = delete;
  buffers &operator=(const buffers &) = delete;

  // Column c (0 X, 1 Y, 2 Z) of records read into the workspace.
  [[nodiscard]] float *column(int c);
  // The factors for nf points, computed when nf changes.
  [[nodiscard]] const complex32 *twiddles(std::int32_t nf);
  [[nodiscard]] std::span<complex32> series(std::int32_t nf);
  // 3 * nom original then 3 * nom smoothed amplitudes.
  [[nodiscard]] std::span<float> results(std::int32_t nf);
  [[nodiscard]] std::span<float> power(std::int32_t nf);
  [[nodiscard]] spectral::smoothing_buffers smoothing(std::int32_t nf);

private:
  template <typename T> T *at(std::size_t offset) { return reinterpret_cast<T *>(base_ + offset); }

  std::byte *base_ = nullptr;
  std::size_t mapped_ = 0; // bytes mapped from base_ - slack_
  std::size_t slack_ = 0;  // bytes skipped to align base_
  std::int32_t twiddles_for_ = 0;
};

} // namespace wavespec
