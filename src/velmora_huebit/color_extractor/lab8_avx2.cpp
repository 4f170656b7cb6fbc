// The matching kernel's chain of conversions eight values at a time, from
// the steps of lab8_steps.h. This file alone is compiled for AVX2, and is
// only called where the machine has it (chain_lab8_fast). It holds nothing
// but its own code and intrinsics: an inline function of a library header
// compiled here could stand in for the baseline copy elsewhere.
#include "lab8_steps.h"

#include <immintrin.h>

namespace huebit::lab8 {
namespace {

using Ints8 = int32_t __attribute__((vector_size(32)));

struct Avx2 {
  using V = Ints8;
  static Ints8 gather(const int32_t* table, Ints8 i) {
    return Ints8(_mm256_i32gather_epi32(table, __m256i(i), 4));
  }
  static Ints8 clamp(Ints8 v, int lo, int hi) {
    return Ints8(_mm256_min_epi32(_mm256_max_epi32(__m256i(v), _mm256_set1_epi32(lo)),
                                  _mm256_set1_epi32(hi)));
  }
  // lab8::xz_of_f eight at a time; the quotient by 841 in floats, which
  // hold the products exactly and round the quotient far less than the
  // 1/841 it would need to cross an integer.
  static Ints8 xz_of_f(Ints8 f) {
    const __m256 product = _mm256_cvtepi32_ps(__m256i(f * 108));
    const Ints8 linear =
        Ints8(_mm256_cvttps_epi32(_mm256_div_ps(product, _mm256_set1_ps(841.0f)))) - kLinearXzOffset;
    const Ints8 cubed = ((f * f) >> kBaseShift) * f >> kBaseShift;
    return f <= 3390 ? linear : cubed;
  }
};

inline Ints8 load8(const void* p) { return Ints8(_mm256_loadu_si256(static_cast<const __m256i*>(p))); }
inline void store8(void* p, Ints8 v) { _mm256_storeu_si256(static_cast<__m256i*>(p), __m256i(v)); }

// The chain stage by stage over chunks of values: each stage's loop is
// short, so the processor overlaps the table reads of many values.
constexpr size_t kChunk = 256;

template <Chain chain>
void loop(const uint32_t* keys, size_t n, uint32_t* rgb, uint32_t* lab, uint32_t* counts) {
  const Tables& t = tables();
  alignas(32) int32_t stage[3][kChunk], linear[3][kChunk];
  for (size_t start = 0; start < n; start += kChunk) {
    const size_t m = n - start < kChunk ? n - start : kChunk;
    const uint32_t* key = keys + start;
    for (size_t i = 0; i < m; i += 8) {
      const Ints8 k = load8(key + i);
      const Ints8 c0 = k >> 16, c1 = (k >> 8) & 255, c2 = k & 255;
      Ints8 feature[3] = {c0, c1, c2};
      if (chain == Chain::LabFromBgr) {
        rgb_to_lab<Avx2>(t, c2, c1, c0, feature);
        if (counts) {
          const Ints8 blank = (feature[0] | feature[1] | feature[2]) == 0;
          store8(counts + start + i, load8(counts + start + i) & ~blank);
        }
      } else if (chain == Chain::RgbFromBgr) {
        feature[0] = c2, feature[2] = c0;
        if (counts) store8(counts + start + i, load8(counts + start + i) & ~Ints8(k == 0));
      }
      for (int c = 0; c < 3; ++c) store8(&stage[c][i], feature[c]);
    }
    for (size_t i = 0; i < m; i += 8) {
      Ints8 rgb8[3], linear8[3];
      if (chain == Chain::LabFromBgr || chain == Chain::LabRows) {
        lab_to_rgb<Avx2>(t, load8(&stage[0][i]), load8(&stage[1][i]), load8(&stage[2][i]), rgb8, linear8);
      } else {
        for (int c = 0; c < 3; ++c) {
          rgb8[c] = load8(&stage[c][i]);
          linear8[c] = Avx2::gather(t.gamma, rgb8[c]);
        }
      }
      store8(rgb + start + i, rgb8[0] << 16 | rgb8[1] << 8 | rgb8[2]);
      for (int c = 0; c < 3; ++c) store8(&linear[c][i], linear8[c]);
    }
    for (size_t i = 0; i < m; i += 8) {
      Ints8 values[3];
      linear_to_lab<Avx2>(t, load8(&linear[0][i]), load8(&linear[1][i]), load8(&linear[2][i]), values);
      store8(lab + start + i, values[0] << 16 | values[1] << 8 | values[2]);
    }
  }
}

}  // namespace

void chain_avx2(Chain chain, const uint32_t* keys, size_t n, uint32_t* rgb, uint32_t* lab,
                uint32_t* counts) {
  switch (chain) {
    case Chain::LabFromBgr: return loop<Chain::LabFromBgr>(keys, n, rgb, lab, counts);
    case Chain::RgbFromBgr: return loop<Chain::RgbFromBgr>(keys, n, rgb, lab, counts);
    case Chain::LabRows: return loop<Chain::LabRows>(keys, n, rgb, lab, counts);
    case Chain::RgbRows: return loop<Chain::RgbRows>(keys, n, rgb, lab, counts);
  }
}

}  // namespace huebit::lab8
