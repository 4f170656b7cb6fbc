// The palette of an image, from its distinct colours.
//
// Equal pixels always fall into the same cluster, so k-means over the pixels
// is k-means over the distinct colours weighted by their pixel counts: the
// same result from far fewer points (a 256-pixel photo has some ten
// thousand, a 24-megapixel one a few million). A colour's share is the
// pixel count of its cluster; its colour is the cluster's mean in L*a*b*
// turned back into sRGB, or the cluster's own colour when it holds one.
//
// With many distinct colours, the starts are tried on a summary first: the
// colours grouped by their top six bits per channel (at most 2^18 groups),
// each group at its mean with its pixel count. The best clustering of the
// summary then starts Lloyd's iterations on all the distinct colours.
#include "engine.h"

#include <algorithm>
#include <numeric>
#include <cstdlib>

namespace engine {
namespace {

constexpr size_t kSummaryFrom = size_t{1} << 16;

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

// The colours grouped by their top bits per channel.
Points summary(const DistinctColours& colours, const Points& points, int bits) {
  const size_t kGroups = size_t{1} << (3 * bits);
  const int drop = 8 - bits;
  const uint32_t top = (1u << bits) - 1;
  struct Group {
    double w = 0, L = 0, a = 0, b = 0;
  };
  std::vector<Group> groups(kGroups);
  for (size_t i = 0; i < points.size(); ++i) {
    const uint32_t c = colours.rgb[i];
    Group& g = groups[(c >> (16 + drop) & top) << (2 * bits) | (c >> (8 + drop) & top) << bits | (c >> drop & top)];
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
    for (size_t i = 0; i < distinct; ++i) swatches.push_back({unpack(colours.rgb[i]), colours.count[i]});
    order(swatches);
    return swatches;
  }
  const Points points = to_points(colours);
  std::vector<uint8_t> label(distinct);
  const char* env_bits = getenv("ENGINE_BITS");
  const char* env_from = getenv("ENGINE_FROM");
  const int bits = env_bits ? atoi(env_bits) : 5;
  const size_t from = env_from ? atol(env_from) : 0;
  const Points few = bits && distinct >= from ? summary(colours, points, bits) : Points{};
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
    const Rgb colour = members[j] == 1 ? unpack(only[j]) : to_rgb(centres[j]);
    // two clusters whose means round to the same colour are one colour
    auto same = std::find_if(swatches.begin(), swatches.end(),
                             [&](const Swatch& s) { return pack(s.colour) == pack(colour); });
    if (same != swatches.end())
      same->pixels += pixels[j];
    else
      swatches.push_back({colour, pixels[j]});
  }
  order(swatches);
  return swatches;
}

}  // namespace engine
