// OpenCV's 8-bit conversions between sRGB and L*a*b*, integer for integer.
//
// The matching kernel converts every distinct value of an image three
// times (blue-green-red to L*a*b*, back to RGB, to L*a*b* again). Calling
// cv2.cvtColor for that costs more than all the kernel's own work on a
// small image, so these functions stand in for the call: OpenCV computes
// its 8-bit L*a*b* conversions in fixed point from lookup tables, and the
// same tables and the same integer steps (lab8_steps.h) give the same bytes.
//
// - The tables are built here in doubles. OpenCV builds its cube-root
//   table in single precision, which puts two of its 3,072 entries one
//   step away from ours; those two are set as OpenCV has them.
// - The tests compare all 2^24 values of each conversion with cv2.cvtColor
//   (through velmora_huebit._lab8), and lab8.h lists the OpenCV releases
//   compared so. The kernel decides where it may stand in for the call.
// - Where the machine has AVX2 the kernel's chain does its arithmetic eight
//   values at a time (lab8_avx2.cpp), from the same steps; elsewhere the kernel calls
//   OpenCV, whose own vector code is faster than these steps one at a time.
//
// This file is compiled with -ffp-contract=off: the tables must round as
// the doubles are written, with no product and sum fused.
#include "lab8.h"

#include "lab8_steps.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace huebit {
namespace lab8 {
namespace {

// sRGB primaries to XYZ and back, and the D65 white point, as OpenCV has them.
constexpr double kToXyz[3][3] = {
    {0.412453, 0.357580, 0.180423}, {0.212671, 0.715160, 0.072169}, {0.019334, 0.119193, 0.950227}};
constexpr double kFromXyz[3][3] = {{3.240479, -1.53715, -0.498535},
                                   {-0.969256, 1.875991, 0.041556},
                                   {0.055648, -0.204043, 1.057311}};
constexpr double kWhite[3] = {0.950456, 1.0, 1.088754};

int round_half_even(double x) { return int(std::nearbyint(x)); }

Tables build() {
  Tables t;
  for (int i = 0; i < 256; ++i) {
    const float x = float(i) / 255.0f;
    const double linear =
        x <= 0.04045f ? double(x / 12.92f) : std::pow((double(x) + 0.055) / 1.055, 2.4);
    t.gamma[i] = round_half_even(255.0 * (1 << kGammaShift) * linear);
  }
  for (int i = 0; i < kCbrtSize; ++i) {
    const double x = i / (255.0 * (1 << kGammaShift));
    const double f = x < 0.008856 ? x * 7.787 + 16.0 / 116.0 : std::cbrt(x);
    t.cbrt[i] = round_half_even((1 << kLabShift2) * f);
  }
  --t.cbrt[49];
  ++t.cbrt[628];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      t.to_xyz[r][c] = round_half_even((1 << kLabShift) * kToXyz[r][c] / kWhite[r]);
      t.from_xyz[r][c] = round_half_even((1 << kLabShift) * kFromXyz[r][c] * kWhite[c]);
    }
  for (int i = 0; i < 256; ++i) {
    int y, fy;
    if (i <= 20) {
      y = round_half_even(double(i * kBase * 20 * 9) / (17 * 29 * 29 * 29));
      fy = round_half_even(kBase * (16.0 / 116.0 + double(i * 5) / (3 * 17 * 29)));
    } else {
      const double f = double(i * 100 * kBase) / (255 * 116) + double(16 * kBase) / 116;
      fy = round_half_even(f);
      y = round_half_even(f * f * f / (double(kBase) * kBase));
    }
    t.y_and_fy[i] = y | fy << 16;
  }
  for (int i = 0; i < kInvGammaSize; ++i) {
    const double x = double(i) / kInvGammaSize;
    const double v = x <= 0.0031308 ? x * 12.92 : 1.055 * std::pow(x, 1.0 / 2.4) - 0.055;
    const int byte = round_half_even(255.0 * v);
    t.byte_and_gamma[i] = byte | t.gamma[byte] << 8;
  }
  return t;
}

// One value at a time.
struct Scalar {
  using V = int;
  static int gather(const int32_t* table, int i) { return table[i]; }
  static int clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }
  static int xz_of_f(int f) { return lab8::xz_of_f(f); }
};

}  // namespace

const Tables& tables() {
  static const Tables t = build();
  return t;
}

}  // namespace lab8

void convert_lab8(Lab8 code, const uint8_t* in, uint8_t* out, size_t n) {
  using namespace lab8;
  const Tables& t = tables();
  // Each value is read whole before its result is written, so `out` may be `in`.
  for (size_t i = 0; i < 3 * n; i += 3) {
    const int c0 = in[i], c1 = in[i + 1], c2 = in[i + 2];
    int result[3] = {0, 0, 0};
    switch (code) {
      case Lab8::BgrToLab:
        rgb_to_lab<Scalar>(t, c2, c1, c0, result);
        break;
      case Lab8::RgbToLab:
        rgb_to_lab<Scalar>(t, c0, c1, c2, result);
        break;
      case Lab8::LabToRgb: {
        int linear[3];
        lab_to_rgb<Scalar>(t, c0, c1, c2, result, linear);
        break;
      }
    }
    for (int c = 0; c < 3; ++c) out[i + c] = uint8_t(result[c]);
  }
}

bool portable_forced() {
  const char* value = std::getenv(kPortableVariable);
  return value && *value && std::strcmp(value, "0") != 0;
}

#if defined(__x86_64__)
// AVX2 asked of the processor and of the system (which must save the YMM
// registers), with cpuid itself: the wheels' runtime, linked in statically,
// answers no to __builtin_cpu_supports on every machine.
static bool cpu_has_avx2() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
  unsigned saved, high;
  __asm__("xgetbv" : "=a"(saved), "=d"(high) : "c"(0));
  if ((saved & 6) != 6) return false;  // XMM and YMM state
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
}
#endif

bool has_avx2() {
#if defined(__x86_64__)
  static const bool avx2 = !portable_forced() && cpu_has_avx2();
  return avx2;
#else
  return false;
#endif
}

void chain_lab8(lab8::Chain chain, const uint32_t* keys, size_t n, uint32_t* rgb, uint32_t* lab,
                uint32_t* counts) {
  using namespace lab8;
  const Tables& t = tables();
  size_t i = 0;
#if defined(__x86_64__)
  if (has_avx2()) {
    i = n - n % 8;
    chain_avx2(chain, keys, i, rgb, lab, counts);
  }
#endif
  for (; i < n; ++i) {
    int key = 0, values[3] = {0, 0, 0}, blank = 0;
    chain_step<Scalar>(t, chain, int(keys[i]), key, values, blank);
    rgb[i] = uint32_t(key);
    lab[i] = uint32_t(values[0] << 16 | values[1] << 8 | values[2]);
    if (blank && counts) counts[i] = 0;
  }
}

}  // namespace huebit
