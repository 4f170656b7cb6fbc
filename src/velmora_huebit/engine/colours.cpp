// The distinct colours of an image, counted exactly.
//
// A small image's pixels are sorted: their 24-bit colours in two passes of a
// radix sort, then counted in runs. A large image's are counted in a table
// with one counter for each of the 2^24 colours: 64 MB of address space,
// allocated zeroed, so that only the pages its colours touch take memory
// (photos use a small part of the colour cube), and a flag per page of
// counters marks where to look when the table is read back. Both give the
// colours in ascending order.
#include "engine.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

namespace engine {
namespace {

constexpr size_t kColours = size_t{1} << 24;
constexpr size_t kPageShift = 10;  // 1024 counters of 4 bytes: one memory page
// Above this many pixels the table is quicker than sorting.
constexpr size_t kTableFrom = size_t{1} << 20;

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

template <class T>
std::unique_ptr<T[], FreeDeleter> zeroed(size_t n) {
  void* p = std::calloc(n, sizeof(T));
  if (!p) throw std::bad_alloc();
  return std::unique_ptr<T[], FreeDeleter>(static_cast<T*>(p));
}

// keys: n colours, the rest of the vector room to spare
DistinctColours by_sorting(std::vector<uint32_t>& keys, size_t n) {
  std::vector<uint32_t> spare(keys.size());
  // least significant 12 bits first, then the most significant 12
  std::vector<uint32_t> start(4097);
  for (int shift : {0, 12}) {
    std::fill(start.begin(), start.end(), 0);
    for (size_t i = 0; i < n; ++i) ++start[((keys[i] >> shift) & 4095) + 1];
    for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
    for (size_t i = 0; i < n; ++i) spare[start[(keys[i] >> shift) & 4095]++] = keys[i];
    keys.swap(spare);
  }
  size_t distinct = n > 0;
  for (size_t i = 1; i < n; ++i) distinct += keys[i] != keys[i - 1];
  DistinctColours found;
  found.rgb.resize(distinct);
  found.count.resize(distinct);
  for (size_t i = 0, d = 0; i < n; ++d) {
    size_t j = i + 1;
    while (j < n && keys[j] == keys[i]) ++j;
    found.rgb[d] = keys[i];
    found.count[d] = static_cast<uint32_t>(j - i);
    i = j;
  }
  return found;
}

DistinctColours by_table(const ImageView& image, const MaskView* mask) {
  auto table = zeroed<uint32_t>(kColours);
  auto touched = zeroed<uint8_t>(kColours >> kPageShift);
  uint32_t* counts = table.get();
  uint8_t* pages = touched.get();
  size_t distinct = 0;
  each_pixel(image, mask, [&](uint32_t rgb) {
    distinct += counts[rgb]++ == 0;
    pages[rgb >> kPageShift] = 1;
  });
  DistinctColours found;
  found.rgb.reserve(distinct);
  found.count.reserve(distinct);
  for (size_t page = 0; page < (kColours >> kPageShift); ++page) {
    if (!pages[page]) continue;
    const size_t end = (page + 1) << kPageShift;
    for (size_t rgb = page << kPageShift; rgb < end; ++rgb) {
      if (counts[rgb]) {
        found.rgb.push_back(static_cast<uint32_t>(rgb));
        found.count.push_back(counts[rgb]);
      }
    }
  }
  return found;
}

}  // namespace

DistinctColours count_colours(const ImageView& image, const MaskView* mask) {
  const size_t pixels = static_cast<size_t>(image.height) * static_cast<size_t>(image.width);
  if (pixels == 0) return {};
  if (pixels >= kTableFrom) return by_table(image, mask);
  std::vector<uint32_t> keys(pixels);
  size_t n = 0;
  each_pixel(image, mask, [&](uint32_t rgb) { keys[n++] = rgb; });
  return by_sorting(keys, n);
}

DistinctColours count_sampled_colours(const ImageView& image, const MaskView* mask,
                                      ptrdiff_t step) {
  if (step <= 1) return count_colours(image, mask);
  std::vector<uint32_t> keys;
  keys.reserve(static_cast<size_t>(image.height) * static_cast<size_t>(image.width / step + 1));
  each_sampled(image, mask, step, [&](uint32_t rgb) { keys.push_back(rgb); });
  const size_t n = keys.size();
  return by_sorting(keys, n);
}

}  // namespace engine
