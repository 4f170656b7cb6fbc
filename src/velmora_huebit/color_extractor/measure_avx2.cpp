// The measuring loop of measure.h. This file alone is compiled for AVX2,
// and holds nothing but its own code and intrinsics: an inline function of
// a library header compiled here could stand in for the baseline copy
// elsewhere.
//
// The squared distance of two L*a*b* byte triples is a sum of squares of
// 8-bit differences, under 2^18: exact in 32-bit integers, as it is in the
// floats and doubles of the baseline loop and the distance step.
#include "measure.h"

#include <immintrin.h>

namespace huebit {

size_t measure_avx2(const uint32_t* lab, const uint32_t* counts, size_t i, size_t end,
                    const int target[3], int32_t best, uint32_t below[3]) {
  const __m256i t0 = _mm256_set1_epi32(target[0]), t1 = _mm256_set1_epi32(target[1]),
                t2 = _mm256_set1_epi32(target[2]), byte = _mm256_set1_epi32(255);
  const __m256i band0 = _mm256_set1_epi32(15 * 15), band1 = _mm256_set1_epi32(30 * 30),
                band2 = _mm256_set1_epi32(50 * 50), farther = _mm256_set1_epi32(best);
  __m256i sum0 = _mm256_setzero_si256(), sum1 = sum0, sum2 = sum0;
  for (; i < end; i += 8) {
    const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lab + i));
    const __m256i e0 = _mm256_sub_epi32(_mm256_srli_epi32(k, 16), t0),
                  e1 = _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(k, 8), byte), t1),
                  e2 = _mm256_sub_epi32(_mm256_and_si256(k, byte), t2);
    const __m256i s =
        _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(e0, e0), _mm256_mullo_epi32(e1, e1)),
                         _mm256_mullo_epi32(e2, e2));
    const __m256i count = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(counts + i));
    sum0 = _mm256_add_epi32(sum0, _mm256_and_si256(count, _mm256_cmpgt_epi32(band0, s)));
    sum1 = _mm256_add_epi32(sum1, _mm256_and_si256(count, _mm256_cmpgt_epi32(band1, s)));
    sum2 = _mm256_add_epi32(sum2, _mm256_and_si256(count, _mm256_cmpgt_epi32(band2, s)));
    if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(s, farther)) != -1) break;
  }
  alignas(32) uint32_t lanes[3][8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[0]), sum0);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[1]), sum1);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[2]), sum2);
  for (int band = 0; band < 3; ++band)
    for (int lane = 0; lane < 8; ++lane) below[band] += lanes[band][lane];
  return i;
}

}  // namespace huebit
