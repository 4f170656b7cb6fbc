// Brand colours against a photo's pixels, in CIEDE2000.
//
// For each target: how many of the (sampled) pixels lie within each of three
// tolerances, and the photo's colour nearest the target with its difference.
// The pixels' distinct colours are counted first, so each colour is
// converted and measured once, whatever its number of pixels.
//
// L*a*b* here is the CIE's with the sRGB standard's matrix and the D65 white
// (as colour.space, the Python layers' conversion, and the independent
// tools a designer would check with), not OpenCV's constants that the
// palette's clustering keeps. CIEDE2000 is Sharma, Wu and Dalal's (2005)
// statement of CIE 142-2001, with kL = kC = kH = 1.
//
// Most colours of a photo are far from a target, and two cheap lower bounds
// of CIEDE2000 pass them over unmeasured when they lie beyond both the
// widest tolerance and the nearest difference found so far. Squared,
// CIEDE2000 is l^2 + c^2 + h^2 + R_T c h (l, c, h the lightness, chroma and
// hue terms). |R_T| <= 2 sin 60 deg, so c^2 + h^2 + R_T c h >= (1 - sin 60 deg)
// (c^2 + h^2); c^2 + h^2 >= (da'^2 + db^2) / S_C^2 >= (da^2 + db^2) / S_C^2,
// with S_H <= S_C (T < 2) and a' = (1 + G) a, G <= 1/2, so S_C <= 1 + 0.045
// * 1.5 * the mean chroma. The first bound is the lightness term alone,
// the second adds the chroma and hue terms so bounded.
#include "engine.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace engine {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;
constexpr double kPow25To7 = 6103515625.0;  // 25^7
// cosines and sines of 30, 6 and 63 degrees
constexpr double kCos30 = 0.86602540378443865, kSin30 = 0.5;
constexpr double kCos6 = 0.99452189536827334, kSin6 = 0.10452846326765347;
constexpr double kCos63 = 0.45399049973954679, kSin63 = 0.89100652418836787;
constexpr double kLeastCrossed = 1.0 - kCos30;  // 1 - sin 60 deg

// sRGB (IEC 61966-2-1) to XYZ over the D65 white, and the CIE's knee
constexpr double kStandard[3][3] = {
    {0.4124564 / 0.95047, 0.3575761 / 0.95047, 0.1804375 / 0.95047},
    {0.2126729, 0.7151522, 0.0721750},
    {0.0193339 / 1.08883, 0.1191920 / 1.08883, 0.9503041 / 1.08883}};
constexpr double kEpsilon = 216.0 / 24389.0, kKappa = 24389.0 / 27.0;

double cie_f(double t) { return t > kEpsilon ? cube_root(t) : (kKappa * t + 16.0) / 116.0; }

Lab standard_lab(Rgb c) {
  const double r = kLinear[c.r], g = kLinear[c.g], b = kLinear[c.b];
  const double fx = cie_f(kStandard[0][0] * r + kStandard[0][1] * g + kStandard[0][2] * b);
  const double fy = cie_f(kStandard[1][0] * r + kStandard[1][1] * g + kStandard[1][2] * b);
  const double fz = cie_f(kStandard[2][0] * r + kStandard[2][1] * g + kStandard[2][2] * b);
  return {116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz)};
}

double seventh(double x) {
  const double x2 = x * x;
  return x2 * x2 * x2 * x;
}

// S_L of two lightnesses: the lightness term is |dL| / S_L
double lightness_weight(double L1, double L2) {
  const double m = (L1 + L2) / 2.0 - 50.0;
  return 1.0 + 0.015 * m * m / std::sqrt(20.0 + m * m);
}

double hue_degrees(double b, double a) {
  if (a == 0.0 && b == 0.0) return 0.0;
  const double h = std::atan2(b, a) / kDegree;
  return h < 0.0 ? h + 360.0 : h;
}

double norm(double x, double y) { return std::sqrt(x * x + y * y); }

// chroma1, chroma2: the colours' chroma sqrt(a^2 + b^2)
double ciede2000(const Lab& p, double chroma1, const Lab& q, double chroma2) {
  const double chroma_mean7 = seventh((chroma1 + chroma2) / 2.0);
  const double g = 0.5 * (1.0 - std::sqrt(chroma_mean7 / (chroma_mean7 + kPow25To7)));
  const double a1 = (1.0 + g) * p.a, a2 = (1.0 + g) * q.a;
  const double c1 = norm(a1, p.b), c2 = norm(a2, q.b);
  const double h1 = hue_degrees(p.b, a1), h2 = hue_degrees(q.b, a2);
  const bool achromatic = c1 * c2 == 0.0;

  double dh = h2 - h1;
  if (achromatic)
    dh = 0.0;
  else if (dh > 180.0)
    dh -= 360.0;
  else if (dh < -180.0)
    dh += 360.0;
  const double dL = q.L - p.L, dC = c2 - c1;
  const double dH = 2.0 * std::sqrt(c1 * c2) * std::sin(dh / 2.0 * kDegree);

  const double c_mean = (c1 + c2) / 2.0;
  const double h_sum = h1 + h2;
  double h_mean;
  if (achromatic)
    h_mean = h_sum;
  else if (std::fabs(h1 - h2) <= 180.0)
    h_mean = h_sum / 2.0;
  else
    h_mean = h_sum < 360.0 ? (h_sum + 360.0) / 2.0 : (h_sum - 360.0) / 2.0;

  // 1 - 0.17 cos(h - 30) + 0.24 cos(2h) + 0.32 cos(3h + 6) - 0.20 cos(4h - 63), the
  // multiples of h from its cosine and sine
  const double cos1 = std::cos(h_mean * kDegree), sin1 = std::sin(h_mean * kDegree);
  const double cos2 = 2.0 * cos1 * cos1 - 1.0, sin2 = 2.0 * sin1 * cos1;
  const double cos3 = cos2 * cos1 - sin2 * sin1, sin3 = sin2 * cos1 + cos2 * sin1;
  const double cos4 = 2.0 * cos2 * cos2 - 1.0, sin4 = 2.0 * sin2 * cos2;
  const double t = 1.0 - 0.17 * (cos1 * kCos30 + sin1 * kSin30) + 0.24 * cos2 +
                   0.32 * (cos3 * kCos6 - sin3 * kSin6) - 0.20 * (cos4 * kCos63 + sin4 * kSin63);
  const double turn = (h_mean - 275.0) / 25.0;
  const double d_theta = 30.0 * std::exp(-turn * turn);
  const double c_mean7 = seventh(c_mean);
  const double r_c = 2.0 * std::sqrt(c_mean7 / (c_mean7 + kPow25To7));
  const double s_l = lightness_weight(p.L, q.L);
  const double s_c = 1.0 + 0.045 * c_mean;
  const double s_h = 1.0 + 0.015 * c_mean * t;
  const double r_t = -std::sin(2.0 * d_theta * kDegree) * r_c;
  const double l = dL / s_l, c = dC / s_c, h = dH / s_h;
  const double sum = l * l + c * c + h * h + r_t * c * h;
  return std::sqrt(sum > 0.0 ? sum : 0.0);
}

}  // namespace

std::vector<Within> count_within(const ImageView& image, const MaskView* mask,
                                 const std::vector<Rgb>& targets, const double (&tolerances)[3],
                                 ptrdiff_t step, uint64_t& total) {
  const DistinctColours colours = count_sampled_colours(image, mask, step);
  std::vector<Lab> labs(colours.rgb.size());
  std::vector<double> chromas(labs.size());
  total = 0;
  for (size_t i = 0; i < labs.size(); ++i) {
    labs[i] = standard_lab(unpack(colours.rgb[i]));
    chromas[i] = norm(labs[i].a, labs[i].b);
    total += colours.count[i];
  }
  // rounding: the bound and the difference are computed apart
  constexpr double kSlack = 1e-9;
  const double reach = tolerances[2] + kSlack;
  std::vector<Within> found(targets.size());
  for (size_t t = 0; t < targets.size(); ++t) {
    const Lab target = standard_lab(targets[t]);
    const double chroma = norm(target.a, target.b);
    Within& w = found[t];
    w = {{0, 0, 0}, {0, 0, 0}, std::numeric_limits<double>::infinity()};
    size_t nearest = 0;
    for (size_t i = 0; i < labs.size(); ++i) {
      const Lab& colour = labs[i];
      const double least = std::max(reach, w.delta_e + kSlack);
      const double l = std::fabs(colour.L - target.L) / lightness_weight(target.L, colour.L);
      if (l > least) continue;
      const double da = colour.a - target.a, db = colour.b - target.b;
      const double s_c = 1.0 + 0.0675 * (chroma + chromas[i]) / 2.0;
      const double bound = l * l + kLeastCrossed * (da * da + db * db) / (s_c * s_c);
      if (bound * (1.0 - kSlack) > least * least) continue;
      const double d = ciede2000(target, chroma, colour, chromas[i]);
      // the first of equal differences: the lower colour
      if (d < w.delta_e) w.delta_e = d, nearest = i;
      for (int k = 0; k < 3; ++k)
        if (d <= tolerances[k]) w.counts[k] += colours.count[i];
    }
    if (!labs.empty()) w.nearest = unpack(colours.rgb[nearest]);
  }
  return found;
}

}  // namespace engine
