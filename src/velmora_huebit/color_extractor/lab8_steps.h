// The steps of OpenCV's 8-bit sRGB <-> L*a*b* conversions, written once for
// one value at a time and for eight at a time (lab8.cpp, lab8_avx2.cpp).
//
// `Ops` supplies the value type V (an int, or eight in a vector) and the
// things that differ between them: reading a table at V, clamping V and
// xz_of_f. Everything else is integer arithmetic that reads the same either
// way. The vector loop reads the tables itself between the steps that make
// their indices (cbrt_index, byte_and_gamma_index) and those that use their
// entries (lab_of_f).
#pragma once

#include "lab8.h"

#include <cstddef>
#include <cstdint>

namespace huebit::lab8 {

// Forward: linear light in 1/8 steps of the 8-bit scale, then XYZ in 1/4096,
// then the cube root in 1/32768.
constexpr int kLabShift = 12, kGammaShift = 3, kLabShift2 = kLabShift + kGammaShift;
constexpr int kCbrtSize = 256 * 3 / 2 * (1 << kGammaShift);
// Backward: Y and f(Y) in 1/16384, linear light in 1/4096 before the gamma.
constexpr int kBaseShift = 14, kBase = 1 << kBaseShift;
constexpr int kInvGammaSize = 1 << 12;
constexpr int kInvShift = kLabShift + kBaseShift - 12;

// X/Xn or Z/Zn on the 1/16384 scale from its f() there, as OpenCV has it:
// linear below f = 3390 (its 16 / 116 offset and the quotient truncated as
// integers truncate), cubed above. For f from -8145 to 28718, which is all
// the steps make: every product stays within 32 bits.
constexpr int32_t kLinearXzOffset = kBase * 16 / 116 * 108 / 841;
inline int32_t xz_of_f(int32_t f) {
  return f <= 3390 ? f * 108 / 841 - kLinearXzOffset : ((f * f) >> kBaseShift) * f >> kBaseShift;
}

struct Tables {
  int32_t gamma[256];
  int32_t cbrt[kCbrtSize];
  int32_t to_xyz[3][3];
  int32_t y_and_fy[256];  // y | f(y) << 16 of each L byte
  // The sRGB byte of each linear value on the 1/4096 scale, and that byte's
  // gamma[] above it (<< 8): the chain goes back to L*a*b* from there.
  int32_t byte_and_gamma[kInvGammaSize];
  // The sums of the backward matrix stay far inside 32 bits (the tests
  // convert every value both ways).
  int32_t from_xyz[3][3];
};

const Tables& tables();

template <class Ops, class V>
inline V descale(V x, int n) {
  return (x + (1 << (n - 1))) >> n;
}

// The cbrt[] entries that the L*a*b* bytes of sRGB values given as gamma[]
// of their bytes are made from: one per row of the forward matrix.
template <class Ops, class V = typename Ops::V>
inline void cbrt_index(const Tables& t, V lr, V lg, V lb, V index[3]) {
  for (int row = 0; row < 3; ++row) {
    const int32_t* m = t.to_xyz[row];
    index[row] = descale<Ops>(lr * m[0] + lg * m[1] + lb * m[2], kLabShift);
  }
}

// L*a*b* bytes from those three cbrt[] entries.
template <class Ops, class V = typename Ops::V>
inline void lab_of_f(const V f[3], V lab[3]) {
  constexpr int l_scale = (116 * 255 + 50) / 100;
  constexpr int l_shift = -((16 * 255 * (1 << kLabShift2) + 50) / 100);
  constexpr int mid = 128 * (1 << kLabShift2);
  lab[0] = Ops::clamp(descale<Ops>(f[1] * l_scale + l_shift, kLabShift2), 0, 255);
  lab[1] = Ops::clamp(descale<Ops>((f[0] - f[1]) * 500 + mid, kLabShift2), 0, 255);
  lab[2] = Ops::clamp(descale<Ops>((f[1] - f[2]) * 200 + mid, kLabShift2), 0, 255);
}

// L*a*b* bytes of sRGB values given as gamma[] of their bytes.
template <class Ops, class V = typename Ops::V>
inline void linear_to_lab(const Tables& t, V lr, V lg, V lb, V lab[3]) {
  V f[3];
  cbrt_index<Ops>(t, lr, lg, lb, f);
  for (int row = 0; row < 3; ++row) f[row] = Ops::gather(t.cbrt, f[row]);
  lab_of_f<Ops>(f, lab);
}

// L*a*b* bytes of the sRGB bytes r, g, b.
template <class Ops, class V = typename Ops::V>
inline void rgb_to_lab(const Tables& t, V r, V g, V b, V lab[3]) {
  linear_to_lab<Ops>(t, Ops::gather(t.gamma, r), Ops::gather(t.gamma, g), Ops::gather(t.gamma, b),
                     lab);
}

// The byte_and_gamma[] entries of the sRGB bytes of L*a*b* bytes, from
// y_and_fy[] of the L byte and the a and b bytes: one per row of the
// backward matrix. a / 500 and b / 200 on the 1/16384 scale as OpenCV
// approximates them.
template <class Ops, class V = typename Ops::V>
inline void byte_and_gamma_index(const Tables& t, V y_and_fy, V a_byte, V b_byte, V index[3]) {
  const V y = y_and_fy & 0xffff, fy = y_and_fy >> 16;
  const V a = ((a_byte * (5 * 53687) + (1 << 7)) >> 13) - 128 * kBase / 500;
  const V b = ((b_byte * 41943 + (1 << 4)) >> 9) - (128 * kBase / 200 - 1);
  const V x = Ops::xz_of_f(fy + a), z = Ops::xz_of_f(fy - b);
  for (int row = 0; row < 3; ++row) {
    const int32_t* m = t.from_xyz[row];
    const V sum = descale<Ops>(x * m[0] + y * m[1] + z * m[2], kInvShift);
    index[row] = Ops::clamp(sum, 0, kInvGammaSize - 1);
  }
}

// sRGB bytes of the L*a*b* bytes l, a, b, and gamma[] of each.
template <class Ops, class V = typename Ops::V>
inline void lab_to_rgb(const Tables& t, V l, V a_byte, V b_byte, V rgb[3], V linear[3]) {
  V index[3];
  byte_and_gamma_index<Ops>(t, Ops::gather(t.y_and_fy, l), a_byte, b_byte, index);
  for (int row = 0; row < 3; ++row) {
    const V both = Ops::gather(t.byte_and_gamma, index[row]);
    rgb[row] = both & 255;
    linear[row] = both >> 8;
  }
}

// The RGB key (r << 16 | g << 8 | b) and L*a*b* bytes of `key`; `blank` is
// nonzero where the feature value is all zero.
template <class Ops, class V = typename Ops::V>
inline void chain_step(const Tables& t, Chain chain, V key, V& rgb_key, V lab[3], V& blank) {
  const V c0 = key >> 16, c1 = (key >> 8) & 255, c2 = key & 255;
  V rgb[3] = {c0, c1, c2}, linear[3];
  if (chain == Chain::LabFromBgr || chain == Chain::LabRows) {
    V feature[3] = {c0, c1, c2};
    if (chain == Chain::LabFromBgr) {
      rgb_to_lab<Ops>(t, c2, c1, c0, feature);
      blank = (feature[0] | feature[1] | feature[2]) == 0;
    } else {
      blank = key & 0;
    }
    lab_to_rgb<Ops>(t, feature[0], feature[1], feature[2], rgb, linear);
  } else {
    if (chain == Chain::RgbFromBgr) {
      blank = key == 0;
      rgb[0] = c2, rgb[2] = c0;
    } else {
      blank = key & 0;
    }
    for (int c = 0; c < 3; ++c) linear[c] = Ops::gather(t.gamma, rgb[c]);
  }
  rgb_key = rgb[0] << 16 | rgb[1] << 8 | rgb[2];
  linear_to_lab<Ops>(t, linear[0], linear[1], linear[2], lab);
}

// The vector loop: the first n - n % 8 keys, on a machine with AVX2.
void chain_avx2(Chain chain, const uint32_t* keys, size_t n, uint32_t* rgb, uint32_t* lab,
                uint32_t* counts);

}  // namespace huebit::lab8
