// The matching kernel's measuring loop eight values at a time with AVX2
// (measure_avx2.cpp), called only where has_avx2() (lab8.h). Plain C++: no
// interpreter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace huebit {

// Values [i, end) (end - i a multiple of eight) against a target's L*a*b*
// bytes, eight at a time: adds to below[band] the counts of the values at
// squared distance s under 225, 900 and 2500, and returns the start of the
// first eight that hold a value with s <= best (its bands added), or end.
size_t measure_avx2(const uint32_t* lab, const uint32_t* counts, size_t i, size_t end,
                    const int target[3], int32_t best, uint32_t below[3]);

}  // namespace huebit
