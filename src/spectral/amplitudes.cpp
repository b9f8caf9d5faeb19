#include <cstddef>
#include <stdexcept>

#include "spectral/avx2.h"
#include "spectral/complex_abs.h"

namespace wavespec {
namespace {

#if WAVESPEC_X86_AVX2
// complex_abs of four values per step, lane by lane the scalar operations:
// the larger and smaller part chosen by the same comparison (false for NaN),
// m * sqrt(1 + (s/m)^2) in double, and m itself where s + m equals m.
// Returns how many values were done, a multiple of four.
__attribute__((target("avx2"))) std::size_t complex_abs_avx2(const complex32 *z, float *out,
                                                             std::size_t n) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d one = _mm256_set1_pd(1.0);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    // re0 im0 re1 im1 | re2 im2 re3 im3 -> re0 re1 re2 re3, im0 im1 im2 im3
    const __m256 pairs = _mm256_loadu_ps(reinterpret_cast<const float *>(z + i));
    const __m256 sorted =
        _mm256_permutevar8x32_ps(pairs, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
    const __m256d a = _mm256_andnot_pd(sign, _mm256_cvtps_pd(_mm256_castps256_ps128(sorted)));
    const __m256d b = _mm256_andnot_pd(sign, _mm256_cvtps_pd(_mm256_extractf128_ps(sorted, 1)));
    const __m256d a_larger = _mm256_cmp_pd(a, b, _CMP_GE_OQ);
    const __m256d m = _mm256_blendv_pd(b, a, a_larger);
    const __m256d s = _mm256_blendv_pd(a, b, a_larger);
    const __m256d q = _mm256_div_pd(s, m);
    const __m256d r = _mm256_mul_pd(m, _mm256_sqrt_pd(_mm256_add_pd(one, _mm256_mul_pd(q, q))));
    const __m256d negligible = _mm256_cmp_pd(_mm256_add_pd(s, m), m, _CMP_EQ_OQ);
    _mm_storeu_ps(out + i, _mm256_cvtpd_ps(_mm256_blendv_pd(r, m, negligible)));
  }
  return i;
}
#endif

} // namespace

float amplitude(complex32 z) {
  return spectral::complex_abs(z);
}

void amplitudes(std::span<const complex32> z, std::span<float> out) {
  if (out.size() < z.size())
    throw std::invalid_argument("wavespec::amplitudes: out is shorter than z");
  std::size_t done = 0;
#if WAVESPEC_X86_AVX2
  if (spectral::has_avx2())
    done = complex_abs_avx2(z.data(), out.data(), z.size());
#endif
  for (std::size_t i = done; i < z.size(); ++i)
    out[i] = spectral::complex_abs(z[i]);
}

} // namespace wavespec
