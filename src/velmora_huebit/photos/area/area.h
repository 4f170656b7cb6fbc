// Shrinking an 8-bit image by area averaging, pixel for pixel as OpenCV's
// cv::resize with INTER_AREA does it where the new size is no whole
// fraction of the old (its general path, resizeArea_), in a third of the
// time.
//
// Each new pixel is the mean of the old pixels under it, the ones it only
// partly covers weighted by how much: across each row first, then down.
// OpenCV works the weights out in double precision, rounds them to float
// and sums in float, product by product in the order of the old pixels;
// done in the same order, the same float operations give the same bits.
// What makes this faster is only where the work goes: each old row is summed
// across once (OpenCV sums a row that lies under two new rows twice), a new
// pixel's channels are summed side by side in one vector, and the sums
// stay in registers instead of going through memory at each step.
//
// Pure C++ with no Python: the caller releases the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace area {

// An 8-bit image of 1 to 4 channels, with any strides (in bytes).
struct View {
  uint8_t* data;
  ptrdiff_t height, width, channels;
  ptrdiff_t row_stride, column_stride, channel_stride;
};

// source shrunk into out (height x width x channels, rows packed, no larger
// than source either way and of as many channels), as
// cv::resize(source, out, out's size, 0, 0, INTER_AREA) does it on its
// general path. Throws std::bad_alloc.
void shrink(const View& source, const View& out);

}  // namespace area
