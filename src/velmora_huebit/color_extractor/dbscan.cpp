// DBSCAN for 8-bit pixels without neighbour lists.
//
// _cluster_colors_dbscan clusters the pixels with scikit-learn's
//     DBSCAN(eps=0.5, min_samples=m).fit_predict(StandardScaler().fit_transform(pixels))
// which keeps the neighbour list of every pixel: gigabytes at 256 x 256, far
// more on a camera photo. For an N x 3 array of 8-bit values this engine
// gives the same labels, cluster means and sizes from tables whose size does
// not grow with the photo.
//
// Why the result is the library's, bit for bit:
// - Equal pixels have equal neighbourhoods, so the engine works on the
//   distinct colours, each with its pixel count, numbered in the order of
//   their first pixel. A colour is core when the counts of the colours
//   within eps, its own included, reach min_samples.
// - The scaled values are the library's own floats: the library's scaler is
//   fitted on the pixels, and (v - mean_) / scale_ in doubles is what its
//   transform does to each element.
// - Two colours are neighbours when ((d0*d0 + d1*d1) + d2*d2) <= 0.25, d
//   being the differences of their scaled values: the test of the library's
//   k-d tree, eps squared being exactly 0.25. The squares come from one
//   table per channel, indexed by the two levels. (The tree also takes or
//   drops whole nodes on bounds computed with pow(), which can disagree
//   with that test only for distances within a few units in the last place
//   of eps; no photo has shown one.)
// - The library grows clusters from core points in row order: clusters are
//   numbered by the first pixel of their core colours, and a border colour
//   joins the lowest-numbered cluster with a core colour within eps, the
//   first one grown that reaches it.
// - Means are integer sums of 8-bit values divided by the pixel count:
//   every partial sum is an integer below 2^53, so NumPy's float64 mean is
//   the same double.
//
// How it stays fast. A scaled value grows with the level, so moving a colour
// away from a query along any channel never brings it nearer. Hence the
// colours within eps of a query form, for each pair of levels (a, b) of two
// channels, one contiguous run of levels of the third channel c, a "row",
// and the runs only shrink as a or b move outward. Channel c is the one
// with the widest spread, so that a neighbourhood spans the fewest rows.
// - Counting: colour counts summed along c give a row's count in O(1). The
//   same sums over groups of 2^L x 2^L rows give bounds: a group's row
//   nearest the query has the longest run, which holds every row's run, and
//   the row furthest away the shortest. Groups decide most colours at once;
//   otherwise the group with the widest gap between its bounds is split
//   into quarters, down to single rows, until the bounds fall on one side
//   of min_samples.
// - Linking: a grid of cells narrow enough that all colours of a cell are
//   within eps of each other (the exact test on each axis's widest span).
//   A cell whose pixels reach min_samples holds only core colours. The core
//   colours of a cell form one group; two groups join when any pair across
//   them is within eps, tried only for cells whose boxes come within eps,
//   with early exit (the grid method of Wang, Gu and Shun, SIGMOD 2020).
//   Border colours look for core colours in the same cells.
//
// The engine works on a private copy of the pixels without the interpreter
// lock, on the calling thread (callers parallelise over photos). Its large
// tables are allocated zeroed, so pages that no colour touches cost no
// memory.
#include "numpy_api.h"
#include "huebit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace huebit {
namespace {

constexpr double kEpsSquared = 0.25;  // eps = 0.5
constexpr int kLevels = 6;            // row groups of up to 32 x 32 rows

// A zeroed array from calloc: pages that are never written stay unmapped.
template <class T>
class Zeroed {
 public:
  explicit Zeroed(size_t n) : p_(static_cast<T*>(std::calloc(n ? n : 1, sizeof(T)))) {
    if (!p_) throw std::bad_alloc();
  }
  Zeroed(const Zeroed&) = delete;
  Zeroed& operator=(const Zeroed&) = delete;
  ~Zeroed() { std::free(p_); }
  T& operator[](size_t i) { return p_[i]; }
  const T& operator[](size_t i) const { return p_[i]; }

 private:
  T* p_;
};

struct Box {
  uint8_t lo[3], hi[3];
};

constexpr Box kEmptyBox = {{255, 255, 255}, {0, 0, 0}};

void extend(Box& box, const int v[3]) {
  for (int p = 0; p < 3; ++p) {
    box.lo[p] = std::min(box.lo[p], uint8_t(v[p]));
    box.hi[p] = std::max(box.hi[p], uint8_t(v[p]));
  }
}

class Engine {
 public:
  struct Input {
    const uint8_t* pixels;  // n rows of three levels, C order
    size_t n;
    double mean[3], scale[3];
    uint64_t min_samples;
  };

  explicit Engine(const Input& in) : in_(in) {}

  // Writes the label of every pixel to labels[0..n).
  void run(npy_intp* labels);

  int clusters() const { return n_clusters_; }
  // Sum of input channel `ch` over the pixels of cluster k, and their count.
  uint64_t sum(int k, int ch) const { return sums_[3 * size_t(k) + ch]; }
  uint64_t size(int k) const { return sizes_[k]; }

 private:
  void choose_axes();
  void build_squares();
  void find_colours(npy_intp* colour_of_pixel);
  void build_pyramid();
  void build_cells();
  void find_core();
  void link_core_cells();
  void number_clusters();
  void label_colours();
  void write_labels(npy_intp* labels);

  // Levels of a colour in the engine's axis order: axis p is input channel
  // axis_[p], and axis 2 is the row channel c.
  uint32_t key_of(const uint8_t* px) const {
    return uint32_t{px[axis_[0]]} << 16 | uint32_t{px[axis_[1]]} << 8 | px[axis_[2]];
  }
  static int level(uint32_t key, int p) { return (key >> (16 - 8 * p)) & 0xff; }
  static void levels(uint32_t key, int v[3]) {
    for (int p = 0; p < 3; ++p) v[p] = level(key, p);
  }

  // The library's squared distance from the three squared differences,
  // added in input channel order. Addition commutes exactly, so only the
  // place of the row channel matters.
  double rdist(double sa, double sb, double sc) const {
    return row_last_ ? (sa + sb) + sc : (sa + sc) + sb;
  }
  // Squared differences between level q and every level along axis p.
  const double* sq(int p, int q) const { return &sq_[p][256 * size_t(q)]; }
  bool near(const int x[3], uint32_t y) const {
    return rdist(sq(0, x[0])[level(y, 0)], sq(1, x[1])[level(y, 1)], sq(2, x[2])[level(y, 2)]) <=
           kEpsSquared;
  }
  double min_rdist(const int x[3], const Box& b) const;
  double max_rdist(const int x[3], const Box& b) const;
  double min_rdist(const Box& x, const Box& y) const;

  // Narrows [lo, hi], a run holding the run around level qc of the row with
  // squared differences sa, sb, to that run; false when the row holds
  // nothing within eps.
  bool shrink(double sa, double sb, const double* sc, int qc, int& lo, int& hi) const {
    if (!(rdist(sa, sb, 0.0) <= kEpsSquared)) return false;
    auto within = [&](int w) { return rdist(sa, sb, sc[w]) <= kEpsSquared; };
    // The last level within eps from qc toward `out`, which lies beyond it:
    // usually just inside `out`, else found by bisection.
    auto last_within = [&](int in, int out) {
      const int step = out > in ? 1 : -1;
      out -= step;
      if (out == in || within(out)) return out;
      while (out - in != step) {
        const int mid = in + (out - in) / 2;
        (within(mid) ? in : out) = mid;
      }
      return in;
    };
    if (hi > qc && !within(hi)) hi = last_within(qc, hi);
    if (lo < qc && !within(lo)) lo = last_within(qc, lo);
    return true;
  }

  // Pixels of the colours with levels lo..hi along c in a group of rows.
  uint64_t group_count(int L, int ja, int jb, int lo, int hi) const {
    const uint32_t* p = &pyramid_[L][(size_t(ja) * (256 >> L) + jb) * 256];
    return p[hi] - (lo ? p[lo - 1] : 0);
  }
  struct Group {
    uint64_t most, least;  // bounds on its pixels within eps of the query
    uint8_t level, ja, jb;
    uint8_t lo, hi;  // run of its row nearest the query
  };
  bool is_core(uint32_t key, std::vector<Group>& open) const;

  uint32_t find(uint32_t x) {
    while (parent_[x] != x) x = parent_[x] = parent_[parent_[x]];
    return x;
  }
  uint32_t cell_index(int ca, int cb, int cc) const {
    return (uint32_t(ca) * cells_along_[1] + cb) * cells_along_[2] + cc;
  }
  // The cells within reach of the levels lo[p]..hi[p] of each axis.
  template <class F>
  void for_cells_near(const int lo[3], const int hi[3], F&& f) const;

  const Input in_;
  int axis_[3] = {0, 1, 2};
  bool row_last_ = true;
  std::vector<double> sq_[3];
  // Per axis and level: the lowest and highest level within eps along that
  // axis alone.
  uint8_t reach_lo_[3][256], reach_hi_[3][256];

  // Distinct colours in order of their first pixel.
  std::vector<uint32_t> keys_;
  std::vector<uint32_t> counts_;
  // Counts summed along c per group of 2^L x 2^L rows; level 0 holds single
  // rows and is indexed by key.
  std::unique_ptr<Zeroed<uint32_t>> pyramid_storage_[kLevels];
  const uint32_t* pyramid_[kLevels] = {};
  int top_level_ = 0;

  // Cells: width per axis, cell of each colour, pixels per cell.
  int width_[3] = {1, 1, 1};
  int cells_along_[3] = {256, 256, 256};
  std::unique_ptr<Zeroed<uint32_t>> cell_at_;  // cell index -> cell + 1
  std::vector<uint32_t> cell_of_;
  std::vector<uint64_t> cell_count_;

  std::vector<uint8_t> core_;
  // Core colours grouped by cell, the box around them, and their groups.
  std::vector<uint32_t> core_start_, core_members_;
  std::vector<Box> core_box_;
  std::vector<uint32_t> parent_;
  std::vector<int> cluster_of_cell_;
  std::vector<npy_intp> label_;  // per colour

  int n_clusters_ = 0;
  std::vector<uint64_t> sums_, sizes_;
};

void Engine::choose_axes() {
  int c = 0;
  for (int ch = 1; ch < 3; ++ch)
    if (in_.scale[ch] > in_.scale[c]) c = ch;
  int p = 0;
  for (int ch = 0; ch < 3; ++ch)
    if (ch != c) axis_[p++] = ch;
  axis_[2] = c;
  row_last_ = c == 2;
}

void Engine::build_squares() {
  for (int p = 0; p < 3; ++p) {
    const int ch = axis_[p];
    double scaled[256];
    for (int v = 0; v < 256; ++v) scaled[v] = (double(v) - in_.mean[ch]) / in_.scale[ch];
    sq_[p].resize(256 * 256);
    for (int q = 0; q < 256; ++q)
      for (int w = 0; w < 256; ++w) {
        const double d = scaled[q] - scaled[w];
        sq_[p][256 * q + w] = d * d;
      }
    // Along one axis alone the squared distance is that axis's square.
    for (int q = 0; q < 256; ++q) {
      int lo = q, hi = q;
      while (lo > 0 && sq(p, q)[lo - 1] <= kEpsSquared) --lo;
      while (hi < 255 && sq(p, q)[hi + 1] <= kEpsSquared) ++hi;
      reach_lo_[p][q] = uint8_t(lo);
      reach_hi_[p][q] = uint8_t(hi);
    }
  }
}

void Engine::find_colours(npy_intp* colour_of_pixel) {
  // key -> colour + 1; the table becomes the pyramid's level 0 later
  pyramid_storage_[0] = std::make_unique<Zeroed<uint32_t>>(size_t{1} << 24);
  Zeroed<uint32_t>& index = *pyramid_storage_[0];
  const uint8_t* px = in_.pixels;
  for (size_t i = 0; i < in_.n; ++i, px += 3) {
    uint32_t& slot = index[key_of(px)];
    if (!slot) {
      keys_.push_back(key_of(px));
      counts_.push_back(0);
      slot = uint32_t(keys_.size());
    }
    ++counts_[slot - 1];
    colour_of_pixel[i] = slot - 1;
  }
}

void Engine::build_pyramid() {
  // Top groups half to once the radius wide took the fewest steps on
  // photos: few groups, whose bounds still decide most colours.
  const double radius = 0.5 * std::min(in_.scale[axis_[0]], in_.scale[axis_[1]]);
  while (top_level_ + 1 < kLevels && (2 << top_level_) <= radius) ++top_level_;
  for (const uint32_t key : keys_) (*pyramid_storage_[0])[key] = 0;  // was the colour index
  for (int L = 0; L <= top_level_; ++L) {
    const size_t groups = 256 >> L;
    if (L > 0) pyramid_storage_[L] = std::make_unique<Zeroed<uint32_t>>(groups * groups * 256);
    Zeroed<uint32_t>& table = *pyramid_storage_[L];
    std::vector<uint8_t> used(groups * groups);
    for (size_t i = 0; i < keys_.size(); ++i) {
      const uint32_t k = keys_[i];
      const size_t group = size_t(level(k, 0) >> L) * groups + (level(k, 1) >> L);
      table[group * 256 + level(k, 2)] += counts_[i];
      used[group] = 1;
    }
    for (size_t group = 0; group < used.size(); ++group) {
      if (!used[group]) continue;
      uint32_t* p = &table[group * 256];
      for (int c = 1; c < 256; ++c) p[c] += p[c - 1];
    }
    pyramid_[L] = &table[0];
  }
}

void Engine::build_cells() {
  // Start from eps / sqrt(3) in scaled units, then narrow the axis that
  // adds most until the exact test holds across every cell's widest span.
  for (int p = 0; p < 3; ++p)
    width_[p] = std::max(1, int(std::floor(in_.scale[axis_[p]] * 0.5 / std::sqrt(3.0))));
  for (;;) {
    double widest[3];
    for (int p = 0; p < 3; ++p) {
      widest[p] = 0;
      for (int lo = 0; lo < 256; lo += width_[p])
        widest[p] = std::max(widest[p], sq(p, lo)[std::min(255, lo + width_[p] - 1)]);
    }
    if (rdist(widest[0], widest[1], widest[2]) <= kEpsSquared) break;
    --width_[std::max_element(widest, widest + 3) - widest];  // width 1 spans nothing
  }
  for (int p = 0; p < 3; ++p) cells_along_[p] = 255 / width_[p] + 1;

  cell_at_ = std::make_unique<Zeroed<uint32_t>>(size_t(cells_along_[0]) * cells_along_[1] *
                                                cells_along_[2]);
  Zeroed<uint32_t>& cell_at = *cell_at_;
  cell_of_.resize(keys_.size());
  for (size_t i = 0; i < keys_.size(); ++i) {
    const uint32_t k = keys_[i];
    uint32_t& slot = cell_at[cell_index(level(k, 0) / width_[0], level(k, 1) / width_[1],
                                        level(k, 2) / width_[2])];
    if (!slot) {
      cell_count_.push_back(0);
      slot = uint32_t(cell_count_.size());
    }
    cell_of_[i] = slot - 1;
    cell_count_[slot - 1] += counts_[i];
  }
}

// Whether the colours within eps of `key` hold min_samples pixels. The top
// groups are visited outward from the query; while the bounds straddle
// min_samples, the open group with the widest gap is split.
bool Engine::is_core(uint32_t key, std::vector<Group>& open) const {
  const int qa = level(key, 0), qb = level(key, 1), qc = level(key, 2);
  const double *sa = sq(0, qa), *sb = sq(1, qb), *sc = sq(2, qc);
  const uint64_t need = in_.min_samples;
  // Squared differences to the nearest and the furthest level of group j.
  auto nearest = [](const double* s, int q, int L, int j) {
    return s[std::clamp(q, j << L, (j << L) + (1 << L) - 1)];
  };
  auto furthest = [](const double* s, int L, int j) {
    return std::max(s[j << L], s[(j << L) + (1 << L) - 1]);
  };
  auto narrower = [](const Group& x, const Group& y) {
    return x.most - x.least < y.most - y.least;
  };
  uint64_t lower = 0, upper = 0;
  open.clear();
  // Group (L, ja, jb), whose nearest row has the run [lo, hi].
  auto add = [&](int L, int ja, int jb, int lo, int hi) {
    const uint64_t most = group_count(L, ja, jb, lo, hi);
    uint64_t least = most;
    if (L > 0 && most > 0) {
      int in_lo = lo, in_hi = hi;
      least = shrink(furthest(sa, L, ja), furthest(sb, L, jb), sc, qc, in_lo, in_hi)
                  ? group_count(L, ja, jb, in_lo, in_hi)
                  : 0;
      if (most > least) {
        open.push_back(
            {most, least, uint8_t(L), uint8_t(ja), uint8_t(jb), uint8_t(lo), uint8_t(hi)});
        std::push_heap(open.begin(), open.end(), narrower);
      }
    }
    lower += least;
    upper += most;
  };

  // Each run starts from the run of a row nearer the query, which holds it.
  const int top = top_level_, groups = 256 >> top;
  const int ja0 = qa >> top, jb0 = qb >> top;
  for (int step_a : {1, -1}) {
    int lo_a = reach_lo_[2][qc], hi_a = reach_hi_[2][qc];
    for (int ja = step_a > 0 ? ja0 : ja0 - 1; ja >= 0 && ja < groups; ja += step_a) {
      const double near_a = nearest(sa, qa, top, ja);
      if (!shrink(near_a, 0.0, sc, qc, lo_a, hi_a)) break;
      for (int step_b : {1, -1}) {
        int lo = lo_a, hi = hi_a;
        for (int jb = step_b > 0 ? jb0 : jb0 - 1; jb >= 0 && jb < groups; jb += step_b) {
          if (!shrink(near_a, nearest(sb, qb, top, jb), sc, qc, lo, hi)) break;
          add(top, ja, jb, lo, hi);
          if (lower >= need) return true;
        }
      }
    }
  }
  while (lower < need && upper >= need && !open.empty()) {
    std::pop_heap(open.begin(), open.end(), narrower);
    const Group g = open.back();
    open.pop_back();
    lower -= g.least;
    upper -= g.most;
    const int L = g.level - 1;
    for (int ja = 2 * g.ja; ja < 2 * g.ja + 2; ++ja)
      for (int jb = 2 * g.jb; jb < 2 * g.jb + 2; ++jb) {
        // A quarter's nearest row is no nearer than the group's.
        int lo = g.lo, hi = g.hi;
        if (shrink(nearest(sa, qa, L, ja), nearest(sb, qb, L, jb), sc, qc, lo, hi))
          add(L, ja, jb, lo, hi);
      }
  }
  // With every group split down to rows the bounds meet.
  return lower >= need;
}

void Engine::find_core() {
  const size_t n = keys_.size();
  core_.assign(n, 0);
  // Colours in key order, so that consecutive queries share rows in cache.
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(),
            [&](uint32_t x, uint32_t y) { return keys_[x] < keys_[y]; });
  std::vector<Group> open;
  for (const uint32_t i : order) {
    // Every colour of a cell is within eps of the whole cell.
    core_[i] = cell_count_[cell_of_[i]] >= in_.min_samples || is_core(keys_[i], open);
  }
}

double Engine::min_rdist(const int x[3], const Box& b) const {
  double s[3];
  for (int p = 0; p < 3; ++p)
    s[p] = x[p] < b.lo[p] ? sq(p, x[p])[b.lo[p]] : x[p] > b.hi[p] ? sq(p, x[p])[b.hi[p]] : 0.0;
  return rdist(s[0], s[1], s[2]);
}

double Engine::max_rdist(const int x[3], const Box& b) const {
  double s[3];
  for (int p = 0; p < 3; ++p) s[p] = std::max(sq(p, x[p])[b.lo[p]], sq(p, x[p])[b.hi[p]]);
  return rdist(s[0], s[1], s[2]);
}

double Engine::min_rdist(const Box& x, const Box& y) const {
  double s[3];
  for (int p = 0; p < 3; ++p)
    s[p] = x.hi[p] < y.lo[p]   ? sq(p, x.hi[p])[y.lo[p]]
           : y.hi[p] < x.lo[p] ? sq(p, y.hi[p])[x.lo[p]]
                               : 0.0;
  return rdist(s[0], s[1], s[2]);
}

template <class F>
void Engine::for_cells_near(const int lo[3], const int hi[3], F&& f) const {
  // Levels lo..hi reach down to reach_lo_[lo] and up to reach_hi_[hi]: a
  // higher level reaches no lower.
  int from[3], to[3];
  for (int p = 0; p < 3; ++p) {
    from[p] = reach_lo_[p][lo[p]] / width_[p];
    to[p] = reach_hi_[p][hi[p]] / width_[p];
  }
  const Zeroed<uint32_t>& cell_at = *cell_at_;
  for (int ca = from[0]; ca <= to[0]; ++ca)
    for (int cb = from[1]; cb <= to[1]; ++cb)
      for (int cc = from[2]; cc <= to[2]; ++cc)
        if (const uint32_t slot = cell_at[cell_index(ca, cb, cc)]) f(slot - 1);
}

void Engine::link_core_cells() {
  const size_t n_cells = cell_count_.size();
  core_start_.assign(n_cells + 1, 0);
  for (size_t i = 0; i < keys_.size(); ++i)
    if (core_[i]) ++core_start_[cell_of_[i] + 1];
  std::partial_sum(core_start_.begin(), core_start_.end(), core_start_.begin());
  core_members_.resize(core_start_.back());
  core_box_.assign(n_cells, kEmptyBox);
  std::vector<uint32_t> fill(core_start_.begin(), core_start_.end() - 1);
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (!core_[i]) continue;
    core_members_[fill[cell_of_[i]]++] = uint32_t(i);
    int v[3];
    levels(keys_[i], v);
    extend(core_box_[cell_of_[i]], v);
  }
  auto has_core = [&](uint32_t cell) { return core_start_[cell + 1] > core_start_[cell]; };

  parent_.resize(n_cells);
  std::iota(parent_.begin(), parent_.end(), 0u);
  std::vector<uint32_t> near_y;
  std::vector<std::array<int, 3>> near_x;
  for (uint32_t x = 0; x < n_cells; ++x) {
    if (!has_core(x)) continue;
    const Box& bx = core_box_[x];
    const int lo[3] = {bx.lo[0], bx.lo[1], bx.lo[2]}, hi[3] = {bx.hi[0], bx.hi[1], bx.hi[2]};
    for_cells_near(lo, hi, [&](uint32_t y) {
      if (y <= x || !has_core(y) || find(x) == find(y)) return;
      const Box& by = core_box_[y];
      if (!(min_rdist(bx, by) <= kEpsSquared)) return;
      // Only colours within eps of the other cell's box can link.
      near_x.clear();
      Box box_x = kEmptyBox;
      for (uint32_t k = core_start_[x]; k < core_start_[x + 1]; ++k) {
        std::array<int, 3> v;
        levels(keys_[core_members_[k]], v.data());
        if (!(min_rdist(v.data(), by) <= kEpsSquared)) continue;
        near_x.push_back(v);
        extend(box_x, v.data());
      }
      if (near_x.empty()) return;
      near_y.clear();
      for (uint32_t k = core_start_[y]; k < core_start_[y + 1]; ++k) {
        const uint32_t key = keys_[core_members_[k]];
        int v[3];
        levels(key, v);
        if (min_rdist(v, box_x) <= kEpsSquared) near_y.push_back(key);
      }
      for (const std::array<int, 3>& vx : near_x)
        for (uint32_t ky : near_y)
          if (near(vx.data(), ky)) {
            parent_[find(x)] = find(y);
            return;
          }
    });
  }
}

void Engine::number_clusters() {
  // Colours are numbered by their first pixel, so a cluster's number
  // follows the lowest colour number among its core colours.
  const size_t n_cells = cell_count_.size();
  std::vector<uint32_t> first(n_cells, UINT32_MAX);
  for (uint32_t cell = 0; cell < n_cells; ++cell)
    for (uint32_t k = core_start_[cell]; k < core_start_[cell + 1]; ++k) {
      uint32_t& f = first[find(cell)];
      f = std::min(f, core_members_[k]);
    }
  std::vector<uint32_t> roots;
  for (uint32_t cell = 0; cell < n_cells; ++cell)
    if (first[cell] != UINT32_MAX) roots.push_back(cell);
  std::sort(roots.begin(), roots.end(),
            [&](uint32_t x, uint32_t y) { return first[x] < first[y]; });
  std::vector<int> number(n_cells, -1);
  for (size_t k = 0; k < roots.size(); ++k) number[roots[k]] = int(k);
  n_clusters_ = int(roots.size());
  cluster_of_cell_.assign(n_cells, -1);
  for (uint32_t cell = 0; cell < n_cells; ++cell)
    if (core_start_[cell + 1] > core_start_[cell]) cluster_of_cell_[cell] = number[find(cell)];
}

void Engine::label_colours() {
  label_.assign(keys_.size(), -1);
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (core_[i]) {
      label_[i] = cluster_of_cell_[cell_of_[i]];
      continue;
    }
    if (n_clusters_ == 0) continue;
    // A border colour: the lowest-numbered cluster with a core colour
    // within eps.
    int v[3];
    levels(keys_[i], v);
    int best = n_clusters_;
    for_cells_near(v, v, [&](uint32_t cell) {
      const int cluster = cluster_of_cell_[cell];
      if (cluster < 0 || cluster >= best) return;
      const Box& box = core_box_[cell];
      if (!(min_rdist(v, box) <= kEpsSquared)) return;
      bool hit = max_rdist(v, box) <= kEpsSquared;
      for (uint32_t k = core_start_[cell]; !hit && k < core_start_[cell + 1]; ++k)
        hit = near(v, keys_[core_members_[k]]);
      if (hit) best = cluster;
    });
    if (best < n_clusters_) label_[i] = best;
  }
}

void Engine::write_labels(npy_intp* labels) {
  for (size_t i = 0; i < in_.n; ++i) labels[i] = label_[labels[i]];
  sums_.assign(3 * size_t(n_clusters_), 0);
  sizes_.assign(n_clusters_, 0);
  for (size_t i = 0; i < keys_.size(); ++i) {
    const npy_intp k = label_[i];
    if (k < 0) continue;
    sizes_[k] += counts_[i];
    for (int p = 0; p < 3; ++p)
      sums_[3 * k + axis_[p]] += uint64_t(counts_[i]) * uint64_t(level(keys_[i], p));
  }
}

void Engine::run(npy_intp* labels) {
  choose_axes();
  build_squares();
  find_colours(labels);  // each pixel's colour, until its label replaces it
  build_pyramid();
  build_cells();
  find_core();
  for (auto& table : pyramid_storage_) table.reset();
  link_core_cells();
  number_clusters();
  label_colours();
  write_labels(labels);
}

// ---- the method's side: when the engine may stand in for the library ----

const Name np{"np"}, DBSCAN{"DBSCAN"}, StandardScaler{"StandardScaler"}, fit{"fit"}, mean_{"mean_"},
    scale_{"scale_"};

// The three float64 values of a fitted scaler's attribute.
bool three_doubles(PyObject* value, double out[3]) {
  if (!value || !PyArray_CheckExact(value)) return false;
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(value);
  if (PyArray_TYPE(a) != NPY_DOUBLE || PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != 3) return false;
  for (int i = 0; i < 3; ++i) out[i] = *static_cast<const double*>(PyArray_GETPTR1(a, i));
  return true;
}

template <class T>
T* data_of(const Ref& array) {
  return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

}  // namespace

bool is_library_object(const Name& name, const char* module, const char* attribute) {
  Ref value = Ref::borrow(PyDict_GetItemWithError(state.dict, name.get()));
  Ref defining = Ref::borrow(PyDict_GetItemString(PyImport_GetModuleDict(), module));
  if (!value || !defining) {
    PyErr_Clear();
    return false;
  }
  if (!attribute) return value.is(defining.get());
  Ref original = Ref::steal(PyObject_GetAttrString(defining.get(), attribute));
  if (!original) PyErr_Clear();
  return original && value.is(original.get());
}

std::optional<Ref> cluster_colors_dbscan_native(Extractor* self, PyObject* pixels) {
  // Only where the outcome cannot differ: a plain N x 3 array of 8-bit
  // values, and the globals still NumPy and the library's own classes.
  if (!PyArray_CheckExact(pixels)) return std::nullopt;
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(pixels);
  if (PyArray_NDIM(array) != 2 || PyArray_DIM(array, 1) != 3 || PyArray_TYPE(array) != NPY_UBYTE)
    return std::nullopt;
  const npy_intp n = PyArray_DIM(array, 0);
  // Without rows the library's scaler raises its own error; colour counts
  // are 32-bit.
  if (n < 1 || uint64_t(n) > UINT32_MAX) return std::nullopt;
  if (!is_library_object(np, "numpy", nullptr) ||
      !is_library_object(DBSCAN, "sklearn.cluster._dbscan", "DBSCAN") ||
      !is_library_object(StandardScaler, "sklearn.preprocessing._data", "StandardScaler"))
    return std::nullopt;

  // A copy of our own: the engine reads it without the interpreter lock.
  Ref rows = Ref::steal(PyArray_NewCopy(array, NPY_CORDER));
  Ref scaler = call(global(StandardScaler));
  if (!call_method(scaler, fit, {rows})) return Ref();
  Engine::Input input{};
  if (!three_doubles(attr(scaler, mean_).get(), input.mean) ||
      !three_doubles(attr(scaler, scale_).get(), input.scale)) {
    if (PyErr_Occurred()) return Ref();
    return std::nullopt;
  }
  input.pixels = data_of<const uint8_t>(rows);
  input.n = size_t(n);
  input.min_samples = uint64_t(std::max<npy_intp>(50, n / 100));

  npy_intp length = n;
  Ref labels = Ref::steal(PyArray_SimpleNew(1, &length, NPY_INTP));
  if (!labels) return Ref();
  Engine engine(input);
  const char* failure = nullptr;
  Py_BEGIN_ALLOW_THREADS try {
    engine.run(data_of<npy_intp>(labels));
  } catch (const std::bad_alloc&) {
    failure = "";
  } catch (const std::exception& e) {
    failure = e.what();
  }
  Py_END_ALLOW_THREADS if (failure) {
    if (*failure)
      PyErr_SetString(PyExc_RuntimeError, failure);
    else
      PyErr_NoMemory();
    return Ref();
  }

  // One mean per cluster in label order; np.array([]) without clusters.
  const int k = engine.clusters();
  npy_intp shape[2] = {k, 3};
  Ref colors = Ref::steal(PyArray_SimpleNew(k ? 2 : 1, shape, NPY_DOUBLE));
  if (!colors) return Ref();
  double* means = data_of<double>(colors);
  for (int c = 0; c < k; ++c)
    for (int ch = 0; ch < 3; ++ch)
      means[3 * c + ch] = double(engine.sum(c, ch)) / double(engine.size(c));
  if (k > self->n_colors) {
    Ref cluster_sizes = Ref::steal(PyList_New(k));
    if (!cluster_sizes) return Ref();
    for (int c = 0; c < k; ++c) {
      PyObject* size = PyLong_FromUnsignedLongLong(engine.size(c));
      if (!size) return Ref();
      PyList_SET_ITEM(cluster_sizes.get(), c, size);
    }
    colors = keep_largest_clusters(self, colors, cluster_sizes);
  }
  return tuple({colors, labels});
}

}  // namespace huebit
