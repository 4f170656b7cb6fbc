// Weighted k-means on points in CIE L*a*b*.
//
// Starts: Wu's greedy orthogonal bipartition (Wu 1991) on a 32^3 grid of the
// points' moments, which Celebi (2011) found among the best starts for
// colour quantisation, and a few greedy k-means++ starts drawn from a fixed
// seed. Each start runs to convergence and the one with the smallest sum of
// weighted squared distances is kept.
//
// Lloyd's iterations skip most distance computations with Hamerly's bounds
// (2010): per point an upper bound on the distance to its own centre and a
// lower bound on the distance to any other. A point is looked at only when
// the bounds allow a nearer centre. The bounds are widened by a billionth,
// so that rounding never lets a point skip wrongly.
//
// Everything runs on one thread, in point order, and uses only correctly
// rounded operations (the engine is compiled without contraction into fused
// multiply-adds), so the same points give the same clusters on every machine.
#include "engine.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace engine {
namespace {

// Iterations stop when no point changes its cluster, or when no centre
// moves by more than kSettled (in delta E), or after kMaxIterations.
// A twentieth of a delta E is far below one step of the 8-bit colours
// reported; the fidelity benchmark showed no gain from going further.
constexpr double kSettled = 0.05;
constexpr int kMaxIterations = 300;
constexpr int kPlusPlusStarts = 2;
constexpr uint64_t kSeed = 42;

inline double distance_squared(const Point& p, const Lab& c) {
  const double dL = p.L - c.L, da = p.a - c.a, db = p.b - c.b;
  return dL * dL + da * da + db * db;
}

inline double distance_squared(const Lab& p, const Lab& c) {
  const double dL = p.L - c.L, da = p.a - c.a, db = p.b - c.b;
  return dL * dL + da * da + db * db;
}

// splitmix64: a fixed sequence on every machine.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  double uniform() {  // in [0, 1)
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
  }

 private:
  uint64_t state_;
};

// ---- Wu's start ---------------------------------------------------------------

constexpr int kGrid = 32, kSide = kGrid + 1;

struct Moments {
  double w = 0, L = 0, a = 0, b = 0, squares = 0;
  Moments& operator+=(const Moments& o) {
    w += o.w, L += o.L, a += o.a, b += o.b, squares += o.squares;
    return *this;
  }
  Moments& operator-=(const Moments& o) {
    w -= o.w, L -= o.L, a -= o.a, b -= o.b, squares -= o.squares;
    return *this;
  }
  double spread() const { return w > 0 ? (L * L + a * a + b * b) / w : 0.0; }
};

struct Box {
  int lo[3], hi[3];  // cells lo+1 .. hi on each axis (cumulative-table indices)
};

class WuGrid {
 public:
  explicit WuGrid(const Points& points) : cells_(kSide * kSide * kSide) {
    float lo[3] = {points.at[0].L, points.at[0].a, points.at[0].b};
    float hi[3] = {lo[0], lo[1], lo[2]};
    for (const Point& p : points.at) {
      const float v[3] = {p.L, p.a, p.b};
      for (int d = 0; d < 3; ++d) lo[d] = std::min(lo[d], v[d]), hi[d] = std::max(hi[d], v[d]);
    }
    double scale[3];
    for (int d = 0; d < 3; ++d) scale[d] = hi[d] > lo[d] ? kGrid / (double(hi[d]) - lo[d]) : 0.0;
    for (size_t i = 0; i < points.size(); ++i) {
      const Point& p = points.at[i];
      const float v[3] = {p.L, p.a, p.b};
      int q[3];
      for (int d = 0; d < 3; ++d)
        q[d] = 1 + std::min(kGrid - 1, static_cast<int>((double(v[d]) - lo[d]) * scale[d]));
      const double w = points.weight[i];
      Moments& m = at(q[0], q[1], q[2]);
      m.w += w;
      m.L += w * p.L, m.a += w * p.a, m.b += w * p.b;
      m.squares += w * (double(p.L) * p.L + double(p.a) * p.a + double(p.b) * p.b);
    }
    // cumulative over the three axes
    for (int x = 1; x < kSide; ++x)
      for (int y = 1; y < kSide; ++y)
        for (int z = 1; z < kSide; ++z) at(x, y, z) += at(x, y, z - 1);
    for (int x = 1; x < kSide; ++x)
      for (int y = 1; y < kSide; ++y)
        for (int z = 1; z < kSide; ++z) at(x, y, z) += at(x, y - 1, z);
    for (int x = 1; x < kSide; ++x)
      for (int y = 1; y < kSide; ++y)
        for (int z = 1; z < kSide; ++z) at(x, y, z) += at(x - 1, y, z);
  }

  Moments sum(const Box& b) const {
    Moments m = at(b.hi[0], b.hi[1], b.hi[2]);
    m -= at(b.hi[0], b.hi[1], b.lo[2]);
    m -= at(b.hi[0], b.lo[1], b.hi[2]);
    m += at(b.hi[0], b.lo[1], b.lo[2]);
    m -= at(b.lo[0], b.hi[1], b.hi[2]);
    m += at(b.lo[0], b.hi[1], b.lo[2]);
    m += at(b.lo[0], b.lo[1], b.hi[2]);
    m -= at(b.lo[0], b.lo[1], b.lo[2]);
    return m;
  }

  double variance(const Box& b) const {
    const Moments m = sum(b);
    return m.w > 0 ? m.squares - m.spread() : 0.0;
  }

  // Splits box into two along the axis and place that separate its moments
  // best; false when no split leaves weight on both sides.
  bool split(Box& box, Box& other) const {
    const Moments whole = sum(box);
    double best = -1;
    int best_axis = -1, best_cut = 0;
    for (int d = 0; d < 3; ++d) {
      for (int cut = box.lo[d] + 1; cut < box.hi[d]; ++cut) {
        Box low = box;
        low.hi[d] = cut;
        Moments half = sum(low);
        if (half.w <= 0 || half.w >= whole.w) continue;
        Moments rest = whole;
        rest -= half;
        const double gain = half.spread() + rest.spread();
        if (gain > best) best = gain, best_axis = d, best_cut = cut;
      }
    }
    if (best_axis < 0) return false;
    other = box;
    box.hi[best_axis] = best_cut;
    other.lo[best_axis] = best_cut;
    return true;
  }

 private:
  Moments& at(int x, int y, int z) { return cells_[(x * kSide + y) * kSide + z]; }
  const Moments& at(int x, int y, int z) const { return cells_[(x * kSide + y) * kSide + z]; }
  std::vector<Moments> cells_;
};

std::vector<Lab> wu_start(const Points& points, int k) {
  const WuGrid grid(points);
  std::vector<Box> boxes{{{0, 0, 0}, {kGrid, kGrid, kGrid}}};
  std::vector<double> variance{grid.variance(boxes[0])};
  while (static_cast<int>(boxes.size()) < k) {
    // the box of the largest variance that can still be split
    size_t pick = 0;
    for (size_t i = 1; i < boxes.size(); ++i)
      if (variance[i] > variance[pick]) pick = i;
    if (variance[pick] <= 0) break;
    Box other;
    if (!grid.split(boxes[pick], other)) {
      variance[pick] = 0;
      continue;
    }
    boxes.push_back(other);
    variance[pick] = grid.variance(boxes[pick]);
    variance.push_back(grid.variance(other));
  }
  std::vector<Lab> centres;
  for (const Box& b : boxes) {
    const Moments m = grid.sum(b);
    if (m.w > 0) centres.push_back({m.L / m.w, m.a / m.w, m.b / m.w});
  }
  return centres;
}

// ---- k-means++ ---------------------------------------------------------------

// Adds centres up to k, each drawn with probability in proportion to weight
// times squared distance to the nearest centre so far; of a few draws, the
// one that lowers the total most (greedy k-means++, as scikit-learn does).
void plus_plus(const Points& points, std::vector<Lab>& centres, int k, Random& random) {
  if (static_cast<int>(centres.size()) >= k) return;
  const size_t n = points.size();
  std::vector<double> nearest(n, std::numeric_limits<double>::infinity());
  std::vector<double> trial(n), best_trial(n);
  auto lab = [&](size_t i) { return Lab{points.at[i].L, points.at[i].a, points.at[i].b}; };
  auto draw = [&](const std::vector<double>& mass, double total) {
    const double target = random.uniform() * total;
    double running = 0;
    for (size_t i = 0; i < n; ++i) {
      running += mass[i];
      if (running > target && mass[i] > 0) return i;
    }
    for (size_t i = n; i-- > 0;)  // rounding at the very end: the last point with mass
      if (mass[i] > 0) return i;
    return size_t{0};
  };
  for (const Lab& c : centres)
    for (size_t i = 0; i < n; ++i)
      nearest[i] = std::min(nearest[i], distance_squared(points.at[i], c));
  if (centres.empty()) {
    double total = 0;
    for (double w : points.weight) total += w;
    centres.push_back(lab(draw(points.weight, total)));
    for (size_t i = 0; i < n; ++i) nearest[i] = distance_squared(points.at[i], centres[0]);
  }
  const int draws = 1 + std::bit_width(static_cast<unsigned>(k));  // 2 + log2(k), in integers
  std::vector<double> mass(n);
  while (static_cast<int>(centres.size()) < k) {
    double total = 0;
    for (size_t i = 0; i < n; ++i) total += mass[i] = points.weight[i] * nearest[i];
    if (!(total > 0)) break;  // every point sits on a centre
    double best_total = std::numeric_limits<double>::infinity();
    size_t best = 0;
    for (int t = 0; t < draws; ++t) {
      const size_t candidate = draw(mass, total);
      double sum = 0;
      for (size_t i = 0; i < n; ++i) {
        trial[i] = std::min(nearest[i], distance_squared(points.at[i], lab(candidate)));
        sum += points.weight[i] * trial[i];
      }
      if (sum < best_total) best_total = sum, best = candidate, best_trial.swap(trial);
    }
    centres.push_back(lab(best));
    nearest.swap(best_trial);
  }
}

// ---- Lloyd's iterations with Hamerly's bounds ----------------------------------

struct Sums {
  double w = 0, L = 0, a = 0, b = 0;
  void add(const Point& p, double weight) {
    w += weight, L += weight * p.L, a += weight * p.a, b += weight * p.b;
  }
  void remove(const Point& p, double weight) {
    w -= weight, L -= weight * p.L, a -= weight * p.a, b -= weight * p.b;
  }
};

// Bounds are kept relative to how far the centres have moved so far: a
// point's upper bound is `upper + travelled[own]`, its lower bound `lower -
// furthest`, where travelled[j] sums the moves of centre j and furthest the
// largest move of each iteration. A point whose bounds settle it is then
// only read, never written.
class Lloyd {
 public:
  Lloyd(const Points& points, std::vector<uint8_t>& label)
      : points_(points), label_(label), upper_(points.size()), lower_(points.size()) {}

  // Runs from the given centres to convergence; returns the sum of weighted
  // squared distances to the final centres, which replace the given ones.
  double run(std::vector<Lab>& centres) {
    const size_t k = centres.size();
    sums_.assign(k, Sums{});
    travelled_.assign(k, 0.0);
    furthest_ = 0;
    assign_all(centres);
    std::vector<Lab> moved(k);
    std::vector<double> half_gap(k);
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
      // new centres; a cluster left empty takes the point furthest from its own
      for (size_t j = 0; j < k; ++j) {
        const Sums& s = sums_[j];
        moved[j] = s.w > 0 ? Lab{s.L / s.w, s.a / s.w, s.b / s.w} : centres[j];
      }
      if (reseed_empty(moved)) {
        centres = moved;
        assign_all(centres);
        continue;
      }
      double largest = 0;
      for (size_t j = 0; j < k; ++j) {
        const double shift = std::sqrt(distance_squared(centres[j], moved[j]));
        travelled_[j] += shift;
        largest = std::max(largest, shift);
      }
      furthest_ += largest;
      centres = moved;
      if (largest <= kSettled) break;
      for (size_t j = 0; j < k; ++j) {
        double gap = std::numeric_limits<double>::infinity();
        for (size_t o = 0; o < k; ++o)
          if (o != j) gap = std::min(gap, distance_squared(centres[j], centres[o]));
        half_gap[j] = 0.5 * std::sqrt(gap);
      }
      size_t changed = 0;
      for (size_t i = 0; i < points_.size(); ++i) {
        const uint8_t own = label_[i];
        const double bound = std::max(half_gap[own], lower_[i] - furthest_);
        if (upper_[i] + travelled_[own] <= bound) continue;
        const double upper = std::sqrt(distance_squared(points_.at[i], centres[own]));
        upper_[i] = upper - travelled_[own];
        if (upper <= bound) continue;
        const uint8_t now = nearest(i, centres);
        if (now != own) {
          sums_[own].remove(points_.at[i], points_.weight[i]);
          sums_[now].add(points_.at[i], points_.weight[i]);
          label_[i] = now;
          ++changed;
        }
      }
      if (!changed) break;
    }
    // the final centres and their total, summed afresh in point order
    sums_.assign(k, Sums{});
    for (size_t i = 0; i < points_.size(); ++i)
      sums_[label_[i]].add(points_.at[i], points_.weight[i]);
    for (size_t j = 0; j < k; ++j) {
      const Sums& s = sums_[j];
      if (s.w > 0) centres[j] = {s.L / s.w, s.a / s.w, s.b / s.w};
    }
    double total = 0;
    for (size_t i = 0; i < points_.size(); ++i)
      total += points_.weight[i] * distance_squared(points_.at[i], centres[label_[i]]);
    return total;
  }

 private:
  // The nearest centre of point i (the first of equals); sets its bounds.
  uint8_t nearest(size_t i, const std::vector<Lab>& centres) {
    double first = std::numeric_limits<double>::infinity(), second = first;
    size_t best = 0;
    for (size_t j = 0; j < centres.size(); ++j) {
      const double d = distance_squared(points_.at[i], centres[j]);
      if (d < first)
        second = first, first = d, best = j;
      else if (d < second)
        second = d;
    }
    // widened a little, so that rounding in the sums never lets a point skip wrongly
    upper_[i] = std::sqrt(first) * (1 + 1e-9) - travelled_[best];
    lower_[i] = std::sqrt(second) * (1 - 1e-9) + furthest_;
    return static_cast<uint8_t>(best);
  }

  void assign_all(const std::vector<Lab>& centres) {
    for (Sums& s : sums_) s = Sums{};
    for (size_t i = 0; i < points_.size(); ++i) {
      label_[i] = nearest(i, centres);
      sums_[label_[i]].add(points_.at[i], points_.weight[i]);
    }
  }

  // Moves each centre without points onto the point furthest from its own
  // centre; true when one was moved.
  bool reseed_empty(std::vector<Lab>& centres) {
    std::vector<size_t> taken;
    for (size_t j = 0; j < centres.size(); ++j) {
      if (sums_[j].w > 0) continue;
      double furthest = -1;
      size_t pick = 0;
      for (size_t i = 0; i < points_.size(); ++i) {
        const double d = distance_squared(points_.at[i], centres[label_[i]]);
        if (d > furthest && std::find(taken.begin(), taken.end(), i) == taken.end())
          furthest = d, pick = i;
      }
      taken.push_back(pick);
      const Point& p = points_.at[pick];
      centres[j] = {p.L, p.a, p.b};
    }
    return !taken.empty();
  }

  const Points& points_;
  std::vector<uint8_t>& label_;
  std::vector<double> upper_, lower_;  // relative to travelled_ and furthest_
  std::vector<Sums> sums_;
  std::vector<double> travelled_;
  double furthest_ = 0;
};

}  // namespace

void cluster(const Points& points, int k, std::vector<uint8_t>& label) {
  std::vector<uint8_t> trial(points.size());
  double best = std::numeric_limits<double>::infinity();
  Lloyd lloyd(points, trial);
  Random random(kSeed);
  for (int start = 0; start <= kPlusPlusStarts; ++start) {
    std::vector<Lab> centres;
    if (start == 0) centres = wu_start(points, k);
    plus_plus(points, centres, k, random);  // Wu may find fewer boxes than k
    const double total = lloyd.run(centres);
    if (total < best) {
      best = total;
      label = trial;
    }
  }
}

void refine(const Points& points, std::vector<Lab>& centres, std::vector<uint8_t>& label) {
  label.resize(points.size());
  Lloyd(points, label).run(centres);
}

}  // namespace engine
