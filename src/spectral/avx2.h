// Whether the AVX2 paths are built, and whether the processor can run them.
// They are built for x86-64 with GCC or clang, which compile single functions
// for AVX2; every such path has a plain one beside it, with the same results.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define WAVESPEC_X86_AVX2 1
#include <immintrin.h>
#else
#define WAVESPEC_X86_AVX2 0
#endif

// Before a function whose plain loops the compiler may also build for AVX2,
// the copy chosen when the program starts (GCC; the operations stay the same,
// never fused).
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define WAVESPEC_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define WAVESPEC_AVX2_CLONES
#endif

namespace wavespec::spectral {

#if WAVESPEC_X86_AVX2
// True when the processor running the program has AVX2 (asked once).
inline bool has_avx2() {
  static const bool answer = __builtin_cpu_supports("avx2");
  return answer;
}
#endif

} // namespace wavespec::spectral
