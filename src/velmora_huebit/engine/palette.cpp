// The palette of an image, from its distinct colours.
//
// Equal pixels always fall into the same cluster, so k-means over the pixels
// is k-means over the distinct colours weighted by their pixel counts: the
// same result from far fewer points (a 256-pixel photo has some ten
// thousand, a 24-megapixel one a few million). A colour's share is the
// pixel count of its cluster; its colour is the cluster's mean in L*a*b*
// turned back into sRGB, or the cluster's own colour when it holds one.
//
// The starts are tried on a summary first: the colours grouped by their top
// five bits per channel (at most 2^15 groups, a few thousand in a photo),
// each group at its mean with its pixel count. The best clustering of the
// summary then starts Lloyd's iterations on all the distinct colours, which
// settle in a few. (On the benchmark photos this keeps the fidelity of
// trying the starts on all the colours, at a quarter of the time.)
#include "engine.h"

#include <algorithm>

namespace engine {
namespace {

struct Group {
  double w = 0, L = 0, a = 0, b = 0;
};

Points to_points(const DistinctColours& colours) {
  Points points;
  points.at.resize(colours.rgb.size());
  points.weight.resize(colours.rgb.size());
  for (size_t i = 0; i < colours.rgb.size(); ++i) {
    const Lab c = to_lab(unpack(colours.rgb[i]));
    points.at[i] = {static_cast<float>(c.L), static_cast<float>(c.a), static_cast<float>(c.b)};
    points.weight[i] = colours.count[i];
  }
  return points;
}

// The colours grouped by their top five bits per channel.
Points summary(const DistinctColours& colours, const Points& points) {
  std::vector<Group> groups(size_t{1} << 15);
  for (size_t i = 0; i < points.size(); ++i) {
    const uint32_t c = colours.rgb[i];
    Group& g = groups[(c >> 19 & 31) << 10 | (c >> 11 & 31) << 5 | (c >> 3 & 31)];
    const double w = points.weight[i];
    const Point& p = points.at[i];
    g.w += w, g.L += w * p.L, g.a += w * p.a, g.b += w * p.b;
  }
  Points found;
  for (const Group& g : groups) {
    if (g.w <= 0) continue;
    found.at.push_back({static_cast<float>(g.L / g.w), static_cast<float>(g.a / g.w),
                        static_cast<float>(g.b / g.w)});
    found.weight.push_back(g.w);
  }
  return found;
}

std::vector<Lab> means(const Points& points, const std::vector<uint8_t>& label, int k) {
  std::vector<double> w(k), L(k), a(k), b(k);
  for (size_t i = 0; i < points.size(); ++i) {
    const int j = label[i];
    const Point& p = points.at[i];
    const double weight = points.weight[i];
    w[j] += weight, L[j] += weight * p.L, a[j] += weight * p.a, b[j] += weight * p.b;
  }
  std::vector<Lab> centres(k);
  for (int j = 0; j < k; ++j)
    if (w[j] > 0) centres[j] = {L[j] / w[j], a[j] / w[j], b[j] / w[j]};
  return centres;
}

uint32_t pack(Rgb c) { return uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b; }

// Largest share first; equal shares by colour, so that the order is fixed.
void order(std::vector<Swatch>& swatches) {
  std::sort(swatches.begin(), swatches.end(), [](const Swatch& x, const Swatch& y) {
    return x.pixels != y.pixels ? x.pixels > y.pixels : pack(x.colour) < pack(y.colour);
  });
}

}  // namespace

std::vector<Swatch> find_palette(const ImageView& image, const MaskView* mask, int k) {
  const DistinctColours colours = count_colours(image, mask);
  const size_t distinct = colours.rgb.size();
  std::vector<Swatch> swatches;
  if (distinct <= static_cast<size_t>(k)) {
    for (size_t i = 0; i < distinct; ++i)
      swatches.push_back({unpack(colours.rgb[i]), colours.count[i]});
    order(swatches);
    return swatches;
  }
  const Points points = to_points(colours);
  std::vector<uint8_t> label(distinct);
  const Points few = summary(colours, points);
  if (few.size() > static_cast<size_t>(k)) {
    std::vector<uint8_t> few_label(few.size());
    cluster(few, k, few_label);
    std::vector<Lab> centres = means(few, few_label, k);
    refine(points, centres, label);
  } else {
    cluster(points, k, label);
  }

  // one swatch per cluster: its pixels, and its mean or its only colour
  std::vector<uint64_t> pixels(k, 0), members(k, 0);
  std::vector<uint32_t> only(k, 0);
  for (size_t i = 0; i < distinct; ++i) {
    pixels[label[i]] += colours.count[i];
    ++members[label[i]];
    only[label[i]] = colours.rgb[i];
  }
  const std::vector<Lab> centres = means(points, label, k);
  for (int j = 0; j < k; ++j) {
    if (!pixels[j]) continue;
    swatches.push_back({members[j] == 1 ? unpack(only[j]) : to_rgb(centres[j]), pixels[j]});
  }
  order(swatches);
  return swatches;
}

}  // namespace engine
