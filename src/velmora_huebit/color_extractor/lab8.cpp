// OpenCV's 8-bit conversions between sRGB and L*a*b*, integer for integer.
//
// The matching kernel converts every distinct value of an image three
// times (blue-green-red to L*a*b*, back to RGB, to L*a*b* again). Calling
// cv2.cvtColor for that costs more than all the kernel's own work on a
// small image, so these functions stand in for the call: OpenCV computes
// its 8-bit L*a*b* conversions in fixed point from lookup tables, and the
// same tables and the same integer steps give the same bytes.
//
// - The tables are built here in doubles. OpenCV builds its cube-root
//   table in single precision, which puts two of its 3,072 entries one
//   step away from ours; those two are set as OpenCV has them.
// - The tests compare all 2^24 values of each conversion with cv2.cvtColor
//   (through velmora_huebit._lab8), and lab8.h lists the OpenCV releases
//   compared so. The kernel decides where it may stand in for the call.
//
// This file is compiled with -ffp-contract=off: the tables must round as
// the doubles are written, with no product and sum fused.
#include "lab8.h"

#include <algorithm>
#include <cmath>

namespace huebit {
namespace {

// sRGB primaries to XYZ and back, and the D65 white point, as OpenCV has them.
constexpr double kToXyz[3][3] = {{0.412453, 0.357580, 0.180423},
                                 {0.212671, 0.715160, 0.072169},
                                 {0.019334, 0.119193, 0.950227}};
constexpr double kFromXyz[3][3] = {{3.240479, -1.53715, -0.498535},
                                   {-0.969256, 1.875991, 0.041556},
                                   {0.055648, -0.204043, 1.057311}};
constexpr double kWhite[3] = {0.950456, 1.0, 1.088754};

// Forward: linear light in 1/8 steps of the 8-bit scale, then XYZ in 1/4096,
// then the cube root in 1/32768.
constexpr int kLabShift = 12, kGammaShift = 3, kLabShift2 = kLabShift + kGammaShift;
constexpr int kCbrtSize = 256 * 3 / 2 * (1 << kGammaShift);
// Backward: Y and f(Y) in 1/16384, linear light in 1/4096 before the gamma.
constexpr int kBaseShift = 14, kBase = 1 << kBaseShift;
constexpr int kInvGammaSize = 1 << 12;
constexpr int kInvShift = kLabShift + kBaseShift - 12;
constexpr int kMinAb = -8145, kAbSize = kBase * 9 / 4;

constexpr int descale(int64_t x, int n) { return int((x + (int64_t{1} << (n - 1))) >> n); }
uint8_t saturate(int v) { return uint8_t(std::clamp(v, 0, 255)); }
int round_half_even(double x) { return int(std::nearbyint(x)); }

struct Tables {
  uint16_t gamma[256];
  uint16_t cbrt[kCbrtSize];
  int to_xyz[3][3];
  int products[9 * 256];  // [row][channel][value]: gamma[value] * to_xyz[row][channel]
  uint16_t y_of_l[256], fy_of_l[256];
  int xz_of_f[kAbSize];
  uint16_t inv_gamma[kInvGammaSize];
  int64_t from_xyz[3][3];

  Tables() {
    for (int i = 0; i < 256; ++i) {
      const float x = float(i) / 255.0f;
      const double linear = x <= 0.04045f ? double(x / 12.92f) : std::pow((double(x) + 0.055) / 1.055, 2.4);
      gamma[i] = uint16_t(round_half_even(255.0 * (1 << kGammaShift) * linear));
    }
    for (int i = 0; i < kCbrtSize; ++i) {
      const double x = i / (255.0 * (1 << kGammaShift));
      const double f = x < 0.008856 ? x * 7.787 + 16.0 / 116.0 : std::cbrt(x);
      cbrt[i] = uint16_t(round_half_even((1 << kLabShift2) * f));
    }
    --cbrt[49];
    ++cbrt[628];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) {
        to_xyz[r][c] = round_half_even((1 << kLabShift) * kToXyz[r][c] / kWhite[r]);
        from_xyz[r][c] = round_half_even((1 << kLabShift) * kFromXyz[r][c] * kWhite[c]);
      }
    for (int row = 0; row < 3; ++row)
      for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) products[(row * 3 + c) * 256 + v] = gamma[v] * to_xyz[row][c];
    for (int i = 0; i < 256; ++i) {
      if (i <= 20) {
        y_of_l[i] = uint16_t(round_half_even(double(i * kBase * 20 * 9) / (17 * 29 * 29 * 29)));
        fy_of_l[i] = uint16_t(round_half_even(kBase * (16.0 / 116.0 + double(i * 5) / (3 * 17 * 29))));
      } else {
        const double fy = double(i * 100 * kBase) / (255 * 116) + double(16 * kBase) / 116;
        fy_of_l[i] = uint16_t(round_half_even(fy));
        y_of_l[i] = uint16_t(round_half_even(fy * fy * fy / (double(kBase) * kBase)));
      }
    }
    for (int i = kMinAb; i < kMinAb + kAbSize; ++i) {
      const int64_t v = i;
      xz_of_f[i - kMinAb] = v <= 3390 ? int(v * 108 / 841 - kBase * 16 / 116 * 108 / 841)
                                      : int(v * v / kBase * v / kBase);
    }
    for (int i = 0; i < kInvGammaSize; ++i) {
      const double x = double(i) / kInvGammaSize;
      const double v = x <= 0.0031308 ? x * 12.92 : 1.055 * std::pow(x, 1.0 / 2.4) - 0.055;
      inv_gamma[i] = uint16_t(round_half_even(255.0 * v));
    }
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// f(X), f(Y), f(Z) of an sRGB value on the 1/32768 scale: each channel's
// linear light times its XYZ coefficient read from one table.
inline void rgb_to_lab(const Tables& t, int r, int g, int b, uint8_t* lab) {
  const int* p = t.products;
  const int fx = t.cbrt[descale(p[r] + p[256 + g] + p[512 + b], kLabShift)];
  const int fy = t.cbrt[descale(p[768 + r] + p[1024 + g] + p[1280 + b], kLabShift)];
  const int fz = t.cbrt[descale(p[1536 + r] + p[1792 + g] + p[2048 + b], kLabShift)];
  constexpr int l_scale = (116 * 255 + 50) / 100;
  constexpr int l_shift = -((16 * 255 * (1 << kLabShift2) + 50) / 100);
  constexpr int mid = 128 * (1 << kLabShift2);
  lab[0] = saturate(descale(l_scale * fy + l_shift, kLabShift2));
  lab[1] = saturate(descale(500 * (fx - fy) + mid, kLabShift2));
  lab[2] = saturate(descale(200 * (fy - fz) + mid, kLabShift2));
}

inline void lab_to_rgb(const Tables& t, int l, int a_byte, int b_byte, uint8_t* rgb) {
  const int y = t.y_of_l[l], fy = t.fy_of_l[l];
  // a / 500 and b / 200 on the 1/16384 scale, as OpenCV approximates them
  const int a = ((5 * a_byte * 53687 + (1 << 7)) >> 13) - 128 * kBase / 500;
  const int b = ((b_byte * 41943 + (1 << 4)) >> 9) - 128 * kBase / 200 + 1;
  const int64_t x = t.xz_of_f[fy + a - kMinAb], z = t.xz_of_f[fy - b - kMinAb];
  for (int row = 0; row < 3; ++row) {
    const int64_t sum = t.from_xyz[row][0] * x + t.from_xyz[row][1] * y + t.from_xyz[row][2] * z;
    rgb[row] = uint8_t(t.inv_gamma[std::clamp(descale(sum, kInvShift), 0, kInvGammaSize - 1)]);
  }
}

}  // namespace

void convert_lab8(Lab8 code, const uint8_t* in, uint8_t* out, size_t n) {
  const Tables& t = tables();
  // One loop per code; each value is read whole before its result is
  // written, so `out` may be `in`.
  switch (code) {
    case Lab8::BgrToLab:
      for (size_t i = 0; i < 3 * n; i += 3) rgb_to_lab(t, in[i + 2], in[i + 1], in[i], out + i);
      break;
    case Lab8::RgbToLab:
      for (size_t i = 0; i < 3 * n; i += 3) rgb_to_lab(t, in[i], in[i + 1], in[i + 2], out + i);
      break;
    case Lab8::LabToRgb:
      for (size_t i = 0; i < 3 * n; i += 3) lab_to_rgb(t, in[i], in[i + 1], in[i + 2], out + i);
      break;
  }
}

}  // namespace huebit
