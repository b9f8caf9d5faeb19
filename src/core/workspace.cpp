#include "core/workspace.h"

#include <new>
#include <sys/mman.h>

#include "spectral/transform.h"

namespace wavespec {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t cache_line = 64;

std::size_t aligned(std::size_t offset) {
  return (offset + cache_line - 1) / cache_line * cache_line;
}

std::size_t nom_of(std::int32_t nf) {
  return static_cast<std::size_t>(nf / 2 + 1);
}

} // namespace

buffer_layout::buffer_layout(std::int32_t nf) {
  const auto n = static_cast<std::size_t>(nf);
  const std::size_t nom = nom_of(nf);
  twiddles = aligned(samples + 3 * sizeof(float) * max_samples);
  series = aligned(twiddles + sizeof(complex32) * spectral::twiddle_count(nf));
  results = aligned(series + sizeof(complex32) * n);
  power = aligned(results + 6 * sizeof(float) * nom);
  padded = aligned(power + sizeof(float) * nom);
  sums = aligned(padded + sizeof(double) * spectral::padded_length(nom));
  end = aligned(sums + sizeof(float) * spectral::padded_length(nom));
}

workspace::buffers::buffers() {
  // Room for the largest layout, aligned to a huge page so that the system
  // can back it with huge pages; only the pages used are ever touched.
  const std::size_t size = (buffer_layout(max_samples).end + huge_page - 1) / huge_page * huge_page;
  mapped_ = size + huge_page;
  void *p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED)
    throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  slack_ = static_cast<std::size_t>((huge_page - start % huge_page) % huge_page);
  base_ = static_cast<std::byte *>(p) + slack_;
  (void)::madvise(base_, size, MADV_HUGEPAGE); // a hint: without it, ordinary pages
}

workspace::buffers::~buffers() {
  ::munmap(base_ - slack_, mapped_);
}

float *workspace::buffers::column(int c) {
  return at<float>(static_cast<std::size_t>(c) * sizeof(float) * max_samples);
}

const complex32 *workspace::buffers::twiddles(std::int32_t nf) {
  auto *table = at<complex32>(buffer_layout(nf).twiddles);
  if (twiddles_for_ != nf) {
    spectral::fill_twiddles(nf, -1, table);
    twiddles_for_ = nf;
  }
  return table;
}

std::span<complex32> workspace::buffers::series(std::int32_t nf) {
  return {at<complex32>(buffer_layout(nf).series), static_cast<std::size_t>(nf)};
}

std::span<float> workspace::buffers::results(std::int32_t nf) {
  return {at<float>(buffer_layout(nf).results), 6 * nom_of(nf)};
}

std::span<float> workspace::buffers::power(std::int32_t nf) {
  return {at<float>(buffer_layout(nf).power), nom_of(nf)};
}

spectral::smoothing_buffers workspace::buffers::smoothing(std::int32_t nf) {
  const buffer_layout l(nf);
  const std::size_t n = spectral::padded_length(nom_of(nf));
  return {{at<double>(l.padded), n}, {at<float>(l.sums), n}};
}

workspace::workspace() : b_(std::make_unique<buffers>()) {}
workspace::~workspace() = default;
workspace::workspace(workspace &&) noexcept = default;
workspace &workspace::operator=(workspace &&) noexcept = default;

} // namespace wavespec
