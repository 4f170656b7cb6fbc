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

// The OpenCV releases (cv2.__version__) whose conversions were compared with
// convert_lab8 for every one of the 2^24 values.
inline constexpr const char* kLab8ComparedReleases[] = {"4.11.0", "4.12.0", "4.13.0",
                                                        "4.14.0", "5.0.0",  "5.1.0"};

}  // namespace huebit
