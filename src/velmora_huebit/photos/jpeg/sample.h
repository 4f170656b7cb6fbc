// A JPEG read from its DCT coefficients: the photo at 1/8 (or 1/4) of its size, and
// some of its pixels at full size, for one pass of the entropy decoder.
//
// A palette is found on the photo shrunk to a few hundred pixels, which a
// decoder gives cheaply at 1/8 scale. Its shares are better counted on the
// photo's own pixels: a reduced decode blends fine detail (type, threads,
// foliage) into colours of its own. Decoding the photo twice, or at full
// size, costs several times the reduced decode; but the entropy decoding
// that both need is most of the reduced decode's cost. So the coefficients
// are read once (libjpeg's jpeg_read_coefficients), each 8x8 block's mean
// makes a pixel of the small image, and one pixel of each cell of a lattice
// over the photo is transformed back from its block's coefficients alone.
//
// Pure C++ with no Python: the caller releases the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace jpeg {

// An 8-bit blue-green-red image, row after row.
struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
};

struct Sampled {
  int width = 0, height = 0;  // the photo's, as stored (before any EXIF turn)
  Image small;                // ceil(height / scale) x ceil(width / scale)
  Image picked;               // pixels at full size, one from each cell of a lattice over the photo
};

// The photo in data, sampled: small at 1 / scale (8 or 4); false when it is not one this reads
// (another colour space than YCbCr or grey, sampling factors a block cannot map), when the decoder
// reports any damage or oddity (a warning too: the caller's own decoder then reads it, and says
// what is wrong), or when its coefficients would take more than max_bytes. About `pixels` pixels
// are picked. Throws std::bad_alloc when memory runs out.
bool sample(const uint8_t* data, size_t size, int scale, size_t max_bytes, size_t pixels,
            Sampled& out);

}  // namespace jpeg
