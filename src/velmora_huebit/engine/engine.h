// What the source files of velmora_huebit._engine share. Everything here is
// plain C++ that runs without the interpreter lock; module.cpp is the only
// file that speaks to Python.
#pragma once

#include "lab.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace engine {

inline constexpr int kMaxColors = 256;

// An 8-bit image of three channels, in blue-green-red order unless rgb is
// set, with any strides (in bytes; negative ones too).
struct ImageView {
  const uint8_t* data;
  ptrdiff_t height, width;
  ptrdiff_t row_stride, column_stride, channel_stride;
  bool rgb;
};

// An 8-bit plane of the image's height and width: a pixel counts where its
// value is above 128.
struct MaskView {
  const uint8_t* data;
  ptrdiff_t row_stride, column_stride;
};

// The distinct colours of an image, ascending by 0xRRGGBB, with their pixel
// counts (colours.cpp).
struct DistinctColours {
  std::vector<uint32_t> rgb;
  std::vector<uint32_t> count;
};
DistinctColours count_colours(const ImageView& image, const MaskView* mask);
// ... of the pixels sampled with a step (see each_sampled).
DistinctColours count_sampled_colours(const ImageView& image, const MaskView* mask, ptrdiff_t step);

// Calls take(rgb) for every counted pixel, row by row. Rows of packed
// blue-green-red pixels without a mask, the usual case, take a loop of their
// own that the compiler can keep tight.
template <class Take>
void each_pixel(const ImageView& image, const MaskView* mask, Take take) {
  // channel offsets of red, green and blue
  const ptrdiff_t red = (image.rgb ? 0 : 2) * image.channel_stride;
  const ptrdiff_t green = image.channel_stride;
  const ptrdiff_t blue = (image.rgb ? 2 : 0) * image.channel_stride;
  const bool packed = !mask && !image.rgb && image.column_stride == 3 && image.channel_stride == 1;
  for (ptrdiff_t y = 0; y < image.height; ++y) {
    const uint8_t* row = image.data + y * image.row_stride;
    if (packed) {
      for (const uint8_t* p = row; p != row + 3 * image.width; p += 3)
        take(uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | uint32_t{p[0]});
      continue;
    }
    const uint8_t* wanted = mask ? mask->data + y * mask->row_stride : nullptr;
    for (ptrdiff_t x = 0; x < image.width; ++x) {
      if (wanted && wanted[x * mask->column_stride] <= 128) continue;
      const uint8_t* p = row + x * image.column_stride;
      take(uint32_t{p[red]} << 16 | uint32_t{p[green]} << 8 | uint32_t{p[blue]});
    }
  }
}

// Calls take(rgb) for the pixels sampled with this step: every step-th of
// each row (all of them with step 1), from an offset that changes from row
// to row by a fixed scramble of the row's number, so that stripes and checks
// of any period are sampled across their phases.
template <class Take>
void each_sampled(const ImageView& image, const MaskView* mask, ptrdiff_t step, Take take) {
  if (step <= 1) return each_pixel(image, mask, take);
  const ptrdiff_t red = (image.rgb ? 0 : 2) * image.channel_stride;
  const ptrdiff_t green = image.channel_stride;
  const ptrdiff_t blue = (image.rgb ? 2 : 0) * image.channel_stride;
  for (ptrdiff_t y = 0; y < image.height; ++y) {
    const uint8_t* row = image.data + y * image.row_stride;
    const uint8_t* wanted = mask ? mask->data + y * mask->row_stride : nullptr;
    const uint64_t scramble = static_cast<uint64_t>(y) * 0x9e3779b97f4a7c15ULL;
    for (ptrdiff_t x = static_cast<ptrdiff_t>((scramble >> 32) % static_cast<uint64_t>(step));
         x < image.width; x += step) {
      if (wanted && wanted[x * mask->column_stride] <= 128) continue;
      const uint8_t* p = row + x * image.column_stride;
      take(uint32_t{p[red]} << 16 | uint32_t{p[green]} << 8 | uint32_t{p[blue]});
    }
  }
}

inline Rgb unpack(uint32_t rgb) {
  return {static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8),
          static_cast<uint8_t>(rgb)};
}

// Weighted points in CIE L*a*b* for k-means (kmeans.cpp).
struct Point {
  float L, a, b;
};

struct Points {
  std::vector<Point> at;
  std::vector<double> weight;
  size_t size() const { return at.size(); }
};

// Weighted k-means of the points into k clusters (1 <= k < number of
// points, k <= kMaxColors): each point's cluster in `label`.
void cluster(const Points& points, int k, std::vector<uint8_t>& label);
// Lloyd's iterations from given centres to convergence; centres are
// replaced by the final ones, and each point's cluster is left in `label`.
void refine(const Points& points, std::vector<Lab>& centres, std::vector<uint8_t>& label);

// One colour of a palette.
struct Swatch {
  Rgb colour;
  uint64_t pixels;
};

// The palette of an image: at most k colours (fewer when the image has
// fewer distinct colours), largest share first (palette.cpp).
std::vector<Swatch> find_palette(const ImageView& image, const MaskView* mask, int k);

// The pixels of an image nearest each colour of a palette, in L*a*b*: all
// of them, or with step > 1 every step-th of each row (shares.cpp).
std::vector<uint64_t> count_nearest(const ImageView& image, const MaskView* mask,
                                    const std::vector<Rgb>& palette, ptrdiff_t step);

// Each target's pixels within three CIEDE2000 tolerances (rising), of the
// pixels sampled with a step, and the colour among them nearest the target
// (delta_e.cpp).
struct Within {
  uint64_t counts[3];
  Rgb nearest;
  double delta_e;
};
std::vector<Within> count_within(const ImageView& image, const MaskView* mask,
                                 const std::vector<Rgb>& targets, const double (&tolerances)[3],
                                 ptrdiff_t step, uint64_t& total);

}  // namespace engine
