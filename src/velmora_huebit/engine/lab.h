// CIE L*a*b* (D65) of 8-bit sRGB colours and back, in floating point.
//
// The constants are OpenCV's (its sRGB matrix, white point and the 0.008856
// knee), so that distances here are the ones OpenCV's floating-point
// conversion gives, which is how the benchmarks measure palettes. Only
// +, -, *, / and comparisons are used, all correctly rounded in IEEE
// arithmetic: with the sRGB curve as constants (srgb_tables.h) and the cube
// root by Halley's iteration, every machine and C library gives the same bits.
#pragma once

#include "srgb_tables.h"

#include <cstdint>
#include <cstring>

namespace engine {

struct Lab {
  double L, a, b;
};

struct Rgb {
  uint8_t r, g, b;
};

inline constexpr double kWhiteX = 0.950456, kWhiteZ = 1.088754;
inline constexpr double kKnee = 0.008856;  // below it, f(t) is a straight line
inline constexpr double kSlope = 7.787, kOffset = 16.0 / 116.0;
inline constexpr double kToXyz[3][3] = {
    {0.412453, 0.357580, 0.180423}, {0.212671, 0.715160, 0.072169}, {0.019334, 0.119193, 0.950227}};
// The inverse of kToXyz, computed exactly in rationals and rounded.
inline constexpr double kToRgb[3][3] = {
    {3.2404813432005266, -1.5371515162713185, -0.49853632616888793},
    {-0.9692549499965684, 1.8759900014898907, 0.04155592655829283},
    {0.05564663913517716, -0.20404133836651125, 1.0573110696453445}};

// The cube root of t for t in [kKnee, 2]: a first guess from the exponent
// bits (within 4 %), then two steps of Halley's iteration (cubic: 4e-2,
// 1e-5, 1e-16).
inline double cube_root(double t) {
  uint64_t bits;
  std::memcpy(&bits, &t, sizeof bits);
  bits = bits / 3 + 0x2a9f7893782da1ceULL;
  double y;
  std::memcpy(&y, &bits, sizeof y);
  for (int step = 0; step < 2; ++step) {
    const double y3 = y * y * y;
    y = y * (y3 + 2.0 * t) / (2.0 * y3 + t);
  }
  return y;
}

inline double lab_f(double t) { return t > kKnee ? cube_root(t) : kSlope * t + kOffset; }

inline Lab to_lab(Rgb c) {
  const double r = kLinear[c.r], g = kLinear[c.g], b = kLinear[c.b];
  const double x = (kToXyz[0][0] * r + kToXyz[0][1] * g + kToXyz[0][2] * b) / kWhiteX;
  const double y = kToXyz[1][0] * r + kToXyz[1][1] * g + kToXyz[1][2] * b;
  const double z = (kToXyz[2][0] * r + kToXyz[2][1] * g + kToXyz[2][2] * b) / kWhiteZ;
  const double fx = lab_f(x), fy = lab_f(y), fz = lab_f(z);
  const double L = y > kKnee ? 116.0 * fy - 16.0 : 903.3 * y;
  return {L, 500.0 * (fx - fy), 200.0 * (fy - fz)};
}

inline double lab_f_inverse(double f) { return f > 0.206893 ? f * f * f : (f - kOffset) / kSlope; }

// The 8-bit value whose sRGB encoding lies nearest to linear light v,
// halves rounded up; values outside [0, 1] are clipped.
inline uint8_t encode(double v) {
  int lo = 0, hi = 255;  // the answer is the number of steps at or below v
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (kRoundUp[mid] <= v)
      lo = mid + 1;
    else
      hi = mid;
  }
  return static_cast<uint8_t>(lo);
}

inline Rgb to_rgb(const Lab& c) {
  const double fy = (c.L + 16.0) / 116.0;
  const double y = c.L > 903.3 * kKnee ? fy * fy * fy : c.L / 903.3;
  const double x = kWhiteX * lab_f_inverse(fy + c.a / 500.0);
  const double z = kWhiteZ * lab_f_inverse(fy - c.b / 200.0);
  const double r = kToRgb[0][0] * x + kToRgb[0][1] * y + kToRgb[0][2] * z;
  const double g = kToRgb[1][0] * x + kToRgb[1][1] * y + kToRgb[1][2] * z;
  const double b = kToRgb[2][0] * x + kToRgb[2][1] * y + kToRgb[2][2] * z;
  return {encode(r), encode(g), encode(b)};
}

}  // namespace engine
