// The pixels nearest each colour of a palette, counted on an image larger
// than the one the palette was found on.
//
// A shrunk photo blends fine detail (type, threads, grass) into colours of
// its own, so the pixel counts of clusters found on it drift from the
// photo's; the palette's colours hold (they are what the eye sees) while its
// shares are best counted on a larger decode. Each pixel goes to its nearest
// palette colour in L*a*b* (the earlier on a tie), as the clusters were
// formed.
//
// Converting every pixel would cost more than finding the palette, so the
// colour cube is cut into 2^15 cells of 8 x 8 x 8 colours: a cell whose
// eight corner colours share their nearest palette colour gives it to all
// its pixels (the cells are small against the distances between palette
// colours, so the rest of the cell lies between the corners), and only the
// pixels of cells on a border between two palette colours are converted one
// by one, through a small cache of recent colours.
//
// A large image is sampled (see each_sampled).
#include "engine.h"

#include <array>
#include <memory>

namespace engine {
namespace {

class Nearest {
 public:
  explicit Nearest(const std::vector<Rgb>& palette) {
    for (const Rgb& c : palette) centres_.push_back(to_lab(c));
    cell_.fill(kUnknown);
    corner_.fill(kUnknown);
    cached_.fill(kEmpty);
  }

  int of(uint32_t rgb) {
    const uint32_t cell = (rgb >> 19 & 31) << 10 | (rgb >> 11 & 31) << 5 | (rgb >> 3 & 31);
    int16_t& known = cell_[cell];
    if (known == kUnknown) known = classify(cell);
    if (known != kBorder) return known;
    const uint32_t slot = (rgb ^ rgb >> 13) & (kCache - 1);
    if (cached_[slot] != rgb) {
      cached_[slot] = rgb;
      label_[slot] = static_cast<uint8_t>(exact(unpack(rgb)));
    }
    return label_[slot];
  }

 private:
  static constexpr int16_t kUnknown = -2, kBorder = -1;
  static constexpr uint32_t kEmpty = 0xffffffff;  // no 24-bit colour
  static constexpr size_t kCache = size_t{1} << 16;

  int exact(Rgb c) const {
    const Lab p = to_lab(c);
    int best = 0;
    double nearest = 0;
    for (size_t j = 0; j < centres_.size(); ++j) {
      const double dL = p.L - centres_[j].L, da = p.a - centres_[j].a, db = p.b - centres_[j].b;
      const double d = dL * dL + da * da + db * db;
      if (j == 0 || d < nearest) best = static_cast<int>(j), nearest = d;
    }
    return best;
  }

  // a corner: each channel at the low (8i) or high (8i + 7) end of a cell
  int corner(uint32_t r, uint32_t g, uint32_t b) {
    int16_t& known = corner_[r << 12 | g << 6 | b];
    if (known == kUnknown)
      known = static_cast<int16_t>(exact({static_cast<uint8_t>(r / 2 * 8 + r % 2 * 7),
                                          static_cast<uint8_t>(g / 2 * 8 + g % 2 * 7),
                                          static_cast<uint8_t>(b / 2 * 8 + b % 2 * 7)}));
    return known;
  }

  int16_t classify(uint32_t cell) {
    const uint32_t r = (cell >> 10) * 2, g = (cell >> 5 & 31) * 2, b = (cell & 31) * 2;
    const int first = corner(r, g, b);
    for (uint32_t i = 1; i < 8; ++i)
      if (corner(r + (i >> 2), g + (i >> 1 & 1), b + (i & 1)) != first) return kBorder;
    return static_cast<int16_t>(first);
  }

  std::vector<Lab> centres_;
  std::array<int16_t, size_t{1} << 15> cell_;
  std::array<int16_t, size_t{1} << 18> corner_;
  std::array<uint32_t, kCache> cached_;
  std::array<uint8_t, kCache> label_{};
};

}  // namespace

std::vector<uint64_t> count_nearest(const ImageView& image, const MaskView* mask,
                                    const std::vector<Rgb>& palette, ptrdiff_t step) {
  std::vector<uint64_t> counts(palette.size(), 0);
  if (palette.empty()) return counts;
  auto nearest = std::make_unique<Nearest>(palette);  // some 900 kB: not on the stack
  each_sampled(image, mask, step, [&](uint32_t rgb) { ++counts[nearest->of(rgb)]; });
  return counts;
}

}  // namespace engine
