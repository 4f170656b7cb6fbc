// The matching kernel's chain of conversions, its arithmetic eight values
// at a time, from the steps of lab8_steps.h. This file alone is compiled for AVX2, and is
// only called where the machine has it (has_avx2). It holds nothing
// but its own code and intrinsics: an inline function of a library header
// compiled here could stand in for the baseline copy elsewhere.
#include "lab8_steps.h"

#include <immintrin.h>

namespace huebit::lab8 {
namespace {

using Ints8 = int32_t __attribute__((vector_size(32)));

struct Avx2 {
  using V = Ints8;
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
        Ints8(_mm256_cvttps_epi32(_mm256_div_ps(product, _mm256_set1_ps(841.0f)))) -
        kLinearXzOffset;
    const Ints8 cubed = ((f * f) >> kBaseShift) * f >> kBaseShift;
    return f <= 3390 ? linear : cubed;
  }
};

inline Ints8 load8(const void* p) {
  return Ints8(_mm256_loadu_si256(static_cast<const __m256i*>(p)));
}
inline void store8(void* p, Ints8 v) { _mm256_storeu_si256(static_cast<__m256i*>(p), __m256i(v)); }

// The chain stage by stage over chunks of values, the arithmetic eight
// values at a time and the table reads one entry at a time in between: a
// gather of eight entries costs more than eight plain reads (about twice as
// much on Zen 3), and the short loops let the processor overlap the reads
// of many values.
constexpr size_t kChunk = 256;
using Stage = int32_t[3][kChunk];

// out[c][i] = table[index[c][i]]. (The empty asm keeps the compiler from
// turning the loop back into gathers.)
inline void read3(const int32_t* table, const Stage& index, Stage& out, size_t m) {
  for (size_t i = 0; i < m; ++i) {
    out[0][i] = table[index[0][i]];
    out[1][i] = table[index[1][i]];
    out[2][i] = table[index[2][i]];
    asm("");
  }
}

// lab[i], the L*a*b* key of the sRGB values given as gamma[] of their bytes
// (their cbrt[] indices are made in `index`).
inline void lab_keys(const Tables& t, const Stage& linear, Stage& index, Stage& f, uint32_t* lab,
                     size_t m) {
  for (size_t i = 0; i < m; i += 8) {
    Ints8 rows[3];
    cbrt_index<Avx2>(t, load8(&linear[0][i]), load8(&linear[1][i]), load8(&linear[2][i]), rows);
    for (int c = 0; c < 3; ++c) store8(&index[c][i], rows[c]);
  }
  read3(t.cbrt, index, f, m);
  for (size_t i = 0; i < m; i += 8) {
    const Ints8 fs[3] = {load8(&f[0][i]), load8(&f[1][i]), load8(&f[2][i])};
    Ints8 values[3];
    lab_of_f<Avx2>(fs, values);
    store8(lab + i, values[0] << 16 | values[1] << 8 | values[2]);
  }
}

template <Chain chain>
void loop(const uint32_t* keys, size_t n, uint32_t* rgb, uint32_t* lab, uint32_t* counts) {
  const Tables& t = tables();
  alignas(32) Stage a, b, c;
  alignas(32) int32_t y_and_fy[kChunk];
  alignas(32) uint32_t feature_lab[kChunk];
  constexpr bool lab_features = chain == Chain::LabFromBgr || chain == Chain::LabRows;
  for (size_t start = 0; start < n; start += kChunk) {
    const size_t m = n - start < kChunk ? n - start : kChunk;
    const uint32_t* key = keys + start;
    // The feature values as keys (l << 16 | a << 8 | b where they are
    // L*a*b*), and the rows whose feature values are all zero dropped.
    const uint32_t* feature = key;
    if (chain == Chain::LabFromBgr) {
      for (size_t i = 0; i < m; ++i) {  // blue-green-red: r is the last
        a[0][i] = t.gamma[key[i] & 255];
        a[1][i] = t.gamma[key[i] >> 8 & 255];
        a[2][i] = t.gamma[key[i] >> 16];
        asm("");
      }
      lab_keys(t, a, b, c, feature_lab, m);
      feature = feature_lab;
      if (counts)
        for (size_t i = 0; i < m; i += 8)
          store8(counts + start + i, load8(counts + start + i) & ~Ints8(load8(feature + i) == 0));
    } else if (chain == Chain::RgbFromBgr && counts) {
      for (size_t i = 0; i < m; i += 8)
        store8(counts + start + i, load8(counts + start + i) & ~Ints8(load8(key + i) == 0));
    }
    // RGB, as keys and as gamma[] of each byte (in a).
    if (lab_features) {
      for (size_t i = 0; i < m; ++i) {
        y_and_fy[i] = t.y_and_fy[feature[i] >> 16];
        asm("");
      }
      for (size_t i = 0; i < m; i += 8) {
        Ints8 rows[3];
        const Ints8 k = load8(feature + i);
        byte_and_gamma_index<Avx2>(t, load8(&y_and_fy[i]), (k >> 8) & 255, k & 255, rows);
        for (int ch = 0; ch < 3; ++ch) store8(&b[ch][i], rows[ch]);
      }
      read3(t.byte_and_gamma, b, c, m);
      for (size_t i = 0; i < m; i += 8) {
        Ints8 bytes[3];
        for (int ch = 0; ch < 3; ++ch) {
          const Ints8 both = load8(&c[ch][i]);
          bytes[ch] = both & 255;
          store8(&a[ch][i], both >> 8);
        }
        store8(rgb + start + i, bytes[0] << 16 | bytes[1] << 8 | bytes[2]);
      }
    } else {
      // RGB features: the key's own bytes, reversed from blue-green-red
      const int r = chain == Chain::RgbFromBgr ? 0 : 16, b_shift = 16 - r;
      for (size_t i = 0; i < m; ++i) {
        a[0][i] = t.gamma[key[i] >> r & 255];
        a[1][i] = t.gamma[key[i] >> 8 & 255];
        a[2][i] = t.gamma[key[i] >> b_shift & 255];
        asm("");
      }
      for (size_t i = 0; i < m; i += 8) {
        const Ints8 k = load8(key + i);
        store8(rgb + start + i,
               chain == Chain::RgbFromBgr ? (k & 255) << 16 | (k & 0xff00) | k >> 16 : k);
      }
    }
    // and back to L*a*b*
    lab_keys(t, a, b, c, lab + start, m);
  }
}

}  // namespace

void chain_avx2(Chain chain, const uint32_t* keys, size_t n, uint32_t* rgb, uint32_t* lab,
                uint32_t* counts) {
  switch (chain) {
    case Chain::LabFromBgr:
      return loop<Chain::LabFromBgr>(keys, n, rgb, lab, counts);
    case Chain::RgbFromBgr:
      return loop<Chain::RgbFromBgr>(keys, n, rgb, lab, counts);
    case Chain::LabRows:
      return loop<Chain::LabRows>(keys, n, rgb, lab, counts);
    case Chain::RgbRows:
      return loop<Chain::RgbRows>(keys, n, rgb, lab, counts);
  }
}

}  // namespace huebit::lab8
