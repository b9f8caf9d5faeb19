#include "driver/state_storage.h"

#include <new>
#include <sys/mman.h>

namespace wavespec::driver {
namespace {
constexpr std::size_t huge_page = std::size_t{2} << 20;
}

void state_release::operator()(analysis_state *st) const noexcept {
  if (st == nullptr)
    return;
  if (mapped == 0) {
    delete st;
    return;
  }
  st->~analysis_state();
  ::munmap(st, mapped);
}

state_ptr make_analysis_state() {
  const std::size_t size = (sizeof(analysis_state) + huge_page - 1) / huge_page * huge_page;
  void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED)
    return state_ptr(new analysis_state(), state_release{});
  (void)::madvise(p, size, MADV_HUGEPAGE); // a hint: without it, ordinary pages
  // The pages come zeroed; writing 4 MB of zeros over them again would cost
  // more than the rest of the start-up. The arrays are left as the pages
  // hold them, and the two elements that may be read unwritten are set.
  auto *st = new (p) analysis_state;
  st->time[0] = st->time[1] = 0.0f;
  return state_ptr(st, state_release{size});
}

} // namespace wavespec::driver
