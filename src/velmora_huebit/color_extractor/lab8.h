// OpenCV's 8-bit conversions between sRGB and L*a*b*, computed as OpenCV
// computes them (lab8.cpp). Plain C++: no interpreter, no NumPy.
#pragma once

#include <cstddef>
#include <cstdint>

namespace huebit {

enum class Lab8 { BgrToLab, RgbToLab, LabToRgb };

// n values of three bytes each from `in` to `out` (which may be `in`), as
// cv2.cvtColor converts them with COLOR_BGR2LAB, COLOR_RGB2LAB or
// COLOR_LAB2RGB.
void convert_lab8(Lab8 code, const uint8_t* in, uint8_t* out, size_t n);

namespace lab8 {

// What the matching kernel makes of each distinct value, as the method's
// chain of conversions would: from a key (c0 << 16 | c1 << 8 | c2) to the
// RGB value the distance step is given and that value's L*a*b* bytes.
enum class Chain {
  LabFromBgr,  // the image's blue-green-red, L*a*b* features
  RgbFromBgr,  // the image's blue-green-red, RGB features
  LabRows,     // L*a*b* feature values
  RgbRows,     // RGB feature values
};

}  // namespace lab8

// Where the machine has AVX2, which the vector loops of the chain and of
// the kernel's measuring need (lab8_avx2.cpp, measure_avx2.cpp); elsewhere
// the chain is slower than OpenCV's own code. Decided once per process, at
// the first call (the modules make it when imported): set to anything but
// "" or "0", the environment variable kPortableVariable makes it false, so
// that a machine with AVX2 runs the portable loops and, as a machine without
// it does, OpenCV's conversions (tests run both ways).
inline constexpr const char* kPortableVariable = "VELMORA_HUEBIT_PORTABLE";
bool has_avx2();

// The chain of n keys: rgb[i] the RGB key (r << 16 | g << 8 | b), lab[i] the
// L*a*b* key (l << 16 | a << 8 | b), and counts[i] (when given) set to zero
// where the feature value is all zero, as the pixel step drops such rows.
void chain_lab8(lab8::Chain chain, const uint32_t* keys, size_t n, uint32_t* rgb, uint32_t* lab,
                uint32_t* counts);

// The OpenCV releases (cv2.__version__) whose conversions were compared with
// convert_lab8 for every one of the 2^24 values.
inline constexpr const char* kLab8ComparedReleases[] = {"4.11.0", "4.12.0", "4.13.0",
                                                        "4.14.0", "5.0.0",  "5.1.0"};

}  // namespace huebit
