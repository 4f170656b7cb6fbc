// Shrinking by area averaging (see area.h).
#include "area.h"

#include <algorithm>
#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace area {
namespace {

// The old samples under each new one along an axis, with their weights, in
// OpenCV's order (computeResizeAreaTab): the one partly covered on the
// left, those wholly covered, the one partly covered on the right. Every
// new sample gets `taps` of them; those past its own weigh 0, which adds
// nothing (the sums are never negative, so never -0 either).
struct Axis {
  int taps = 0;
  std::vector<ptrdiff_t> source;  // [new * taps + tap]
  std::vector<float> weight;

  Axis(ptrdiff_t from, ptrdiff_t to) {
    // the scale as OpenCV has it: 1 / (new / old), in double
    const double scale = 1.0 / (static_cast<double>(to) / static_cast<double>(from));
    std::vector<std::vector<std::pair<ptrdiff_t, float>>> under(static_cast<size_t>(to));
    for (ptrdiff_t d = 0; d < to; ++d) {
      const double start = static_cast<double>(d) * scale, end = start + scale;
      const double cell = std::min(scale, static_cast<double>(from) - start);
      ptrdiff_t first = static_cast<ptrdiff_t>(std::ceil(start));
      ptrdiff_t last = std::min(static_cast<ptrdiff_t>(std::floor(end)), from - 1);
      first = std::min(first, last);
      auto& found = under[static_cast<size_t>(d)];
      if (static_cast<double>(first) - start > 1e-3)
        found.emplace_back(first - 1,
                           static_cast<float>((static_cast<double>(first) - start) / cell));
      for (ptrdiff_t s = first; s < last; ++s)
        found.emplace_back(s, static_cast<float>(1.0 / cell));
      if (end - static_cast<double>(last) > 1e-3)
        found.emplace_back(
            last, static_cast<float>(
                      std::min(std::min(end - static_cast<double>(last), 1.0), cell) / cell));
      taps = std::max(taps, static_cast<int>(found.size()));
    }
    source.resize(under.size() * static_cast<size_t>(taps));
    weight.resize(source.size());
    for (size_t d = 0; d < under.size(); ++d)
      for (size_t t = 0; t < static_cast<size_t>(taps); ++t) {
        const bool own = t < under[d].size();
        source[d * taps + t] = own ? under[d][t].first : under[d].back().first;
        weight[d * taps + t] = own ? under[d][t].second : 0.0f;
      }
  }
};

// Old rows summed across into new columns; the last two kept, since the
// rows under one new row and the next overlap by one.
class Across {
 public:
  Across(const View& source, const Axis& axis, ptrdiff_t width)
      : source_(source),
        axis_(axis),
        width_(width),
        size_(static_cast<size_t>(width * source.channels)),
        line_(static_cast<size_t>(source.width * source.channels) +
              4),  // a vector read past the end
        rows_(2 * (size_ + 4)) {}

  const float* row(ptrdiff_t y) {
    for (int i = 0; i < 2; ++i)
      if (held_[i] == y) return rows_.data() + i * (size_ + 4);
    const int slot = held_[0] < held_[1] ? 0 : 1;  // the older one goes
    held_[slot] = y;
    float* out = rows_.data() + slot * (size_ + 4);  // room for a whole vector past the last pixel
    const ptrdiff_t c = source_.channels;
    const uint8_t* in = source_.data + y * source_.row_stride;
    if (source_.column_stride == c &&
        source_.channel_stride == 1) {  // packed: a run that vectorises
      for (ptrdiff_t i = 0; i < source_.width * c; ++i) line_[static_cast<size_t>(i)] = in[i];
    } else {
      for (ptrdiff_t x = 0; x < source_.width; ++x)
        for (ptrdiff_t k = 0; k < c; ++k)
          line_[static_cast<size_t>(x * c + k)] =
              in[x * source_.column_stride + k * source_.channel_stride];
    }
    const int taps = axis_.taps;
    const ptrdiff_t* from = axis_.source.data();
    const float* weight = axis_.weight.data();
    ptrdiff_t d = 0;
#if defined(__SSE2__)
    // the channels side by side, each lane its own sum in its own order; four
    // pixels at a time, so that their sums do not wait on one another. The
    // lanes past a pixel's channels are the next pixel's, written over (the
    // row has room for a vector past its end).
    const float* line = line_.data();
    for (; d + 4 <= width_; d += 4) {
      const ptrdiff_t* f = from + d * taps;
      const float* w = weight + d * taps;
      __m128 s0 = _mm_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
      for (int t = 0; t < taps; ++t) {
        s0 = _mm_add_ps(s0, _mm_mul_ps(_mm_loadu_ps(line + f[t] * c), _mm_set1_ps(w[t])));
        s1 = _mm_add_ps(s1,
                        _mm_mul_ps(_mm_loadu_ps(line + f[taps + t] * c), _mm_set1_ps(w[taps + t])));
        s2 = _mm_add_ps(
            s2, _mm_mul_ps(_mm_loadu_ps(line + f[2 * taps + t] * c), _mm_set1_ps(w[2 * taps + t])));
        s3 = _mm_add_ps(
            s3, _mm_mul_ps(_mm_loadu_ps(line + f[3 * taps + t] * c), _mm_set1_ps(w[3 * taps + t])));
      }
      _mm_storeu_ps(out + d * c, s0);
      _mm_storeu_ps(out + (d + 1) * c, s1);
      _mm_storeu_ps(out + (d + 2) * c, s2);
      _mm_storeu_ps(out + (d + 3) * c, s3);
    }
    for (; d < width_; ++d) {
      __m128 sum = _mm_setzero_ps();
      for (int t = 0; t < taps; ++t)
        sum = _mm_add_ps(sum, _mm_mul_ps(_mm_loadu_ps(line + from[d * taps + t] * c),
                                         _mm_set1_ps(weight[d * taps + t])));
      _mm_storeu_ps(out + d * c, sum);
    }
#else
    for (; d < width_; ++d)
      for (ptrdiff_t k = 0; k < c; ++k) {
        float sum = 0;
        for (int t = 0; t < taps; ++t)
          sum = sum + line_[static_cast<size_t>(from[d * taps + t] * c + k)] * weight[d * taps + t];
        out[d * c + k] = sum;
      }
#endif
    return out;
  }

 private:
  const View& source_;
  const Axis& axis_;
  ptrdiff_t width_;
  size_t size_;
  std::vector<float> line_, rows_;
  ptrdiff_t held_[2] = {-2, -1};
};

// A float rounded to the nearest 8-bit value, halves to even, as OpenCV's
// saturate_cast<uchar> does.
void to_bytes(const float* sums, size_t n, uint8_t* out) {
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i a = _mm_cvtps_epi32(_mm_loadu_ps(sums + i));
    const __m128i b = _mm_cvtps_epi32(_mm_loadu_ps(sums + i + 4));
    const __m128i c = _mm_cvtps_epi32(_mm_loadu_ps(sums + i + 8));
    const __m128i d = _mm_cvtps_epi32(_mm_loadu_ps(sums + i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
  }
  for (; i < n; ++i)
    out[i] = static_cast<uint8_t>(std::clamp(_mm_cvtss_si32(_mm_set_ss(sums[i])), 0, 255));
#else
  for (; i < n; ++i)
    out[i] = static_cast<uint8_t>(std::clamp(static_cast<long>(std::lrint(sums[i])), 0L, 255L));
#endif
}

}  // namespace

void shrink(const View& source, const View& out) {
  const Axis across(source.width, out.width), down(source.height, out.height);
  Across rows(source, across, out.width);
  const size_t n = static_cast<size_t>(out.width * out.channels);
  std::vector<float> sum(n);
  for (ptrdiff_t y = 0; y < out.height; ++y) {
    // down: the rows' sums weighted in order, the first one alone (as OpenCV
    // starts each new row)
    const ptrdiff_t* from = down.source.data() + y * down.taps;
    const float* weight = down.weight.data() + y * down.taps;
    const float* first = rows.row(from[0]);
    for (size_t i = 0; i < n; ++i) sum[i] = weight[0] * first[i];
    for (int t = 1; t < down.taps && weight[t] != 0.0f; ++t) {
      const float* next = rows.row(from[t]);
      for (size_t i = 0; i < n; ++i) sum[i] = sum[i] + weight[t] * next[i];
    }
    to_bytes(sum.data(), n, out.data + y * out.row_stride);
  }
}

}  // namespace area
