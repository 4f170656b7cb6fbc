// Pixel matching on distinct values.
//
// find_color_matches measures every pixel against every target: the pixel's
// RGB value (its L*a*b* feature converted back), that RGB value converted to
// L*a*b* again by the distance step, the Euclidean distance to the target's
// L*a*b* value, three band counts and the nearest pixel. Every value in that
// chain depends only on the pixel's three 8-bit values, and a photo holds far
// fewer distinct values than pixels, so this kernel
// - counts the distinct values once, without the interpreter lock: a first
//   pass counts the pixels per value of the first channel, a second files
//   the other two channels of each pixel under it, and each group is then
//   tallied in a table of 2^16 counts that stays in the cache (both passes
//   walk four stretches of rows side by side, see for_each_key_in_lanes);
// - converts each distinct value once, as the per-pixel chain converts it:
//   by the kernel's own conversions where they give OpenCV's bytes here
//   (conversions.cpp, lab8.cpp), otherwise by the very OpenCV calls, through
//   the interpreter, on one image row of distinct values (OpenCV converts an
//   8-bit pixel the same wherever it stands in an image, which the tests
//   check);
// - measures each target against the distinct values only and weights the
//   bands by the counts, again without the lock (eight values at a time,
//   in AVX2's integers where the machine has them, measure_avx2.cpp).
// A photo of 64k pixels and more is counted, converted and measured on up to
// four threads (parts.h), no more than OpenCV may use. A 256 x 256 crop of a
// photo holds some 30,000 distinct values: OpenCV takes about half a
// millisecond to convert them three times, the kernel's own conversions
// under a third of that on two threads, and the whole call about as long as
// OpenCV's conversions alone. The buffers of a call stay with its threads
// for the next call (kept.h): fresh memory faults a page at a time.
//
// Why the records are the per-pixel path's, bit for bit:
// - The step's distance is sqrt of a sum of squared differences of 8-bit
//   values taken as doubles: every square and sum is an integer below 2^53,
//   so exact, and only the square root rounds. Here the same integer sum s
//   is made (in floats, which hold it exactly), and sqrt(s) < 15 exactly
//   when s < 225 (likewise 900 and 2500), so the strict bands are tests on s; sqrt is increasing,
//   so the nearest value is the one with the smallest s, and its distance is sqrt(double(s)) as the
//   step computes it.
// - The closest pixel is the first pixel, in pixel order, at the smallest
//   distance. When the distinct values at that distance share one RGB value
//   (as the many values that one L*a*b* value comes from do), that is the
//   answer; otherwise the pixels are read again in order up to the first one
//   whose value is among them.
// - Percentages, the distance and the score are the doubles that the NumPy
//   scalar operations of the per-pixel path (matching.cpp) compute, rounded
//   as NumPy rounds them and handed out as NumPy floats (record_of).
//
// When nothing else intervenes (the steps are the module's own, the image is
// an ordinary 8-bit image and the mask a plain 8-bit one) the kernel also
// stands in for the feature-space and pixel steps: it counts the image's own
// blue-green-red values, converts them to the feature space as the step
// would, and drops those whose feature values are all zero, as the pixel step
// drops such rows. No feature image and no pixel array is made then.
//
// This file is compiled with -ffp-contract=off: no product and sum may be
// fused into one rounding that the library's would not make.
#include "numpy_api.h"
#include "huebit.h"
#include "lab8.h"
#include "kept.h"
#include "measure.h"
#include "parts.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace huebit {
namespace {

const Name np{"np"}, cv2{"cv2"}, cvtColor{"cvtColor"}, getNumThreads{"getNumThreads"},
    COLOR_BGR2LAB{"COLOR_BGR2LAB"}, COLOR_BGR2RGB{"COLOR_BGR2RGB"}, COLOR_LAB2RGB{"COLOR_LAB2RGB"},
    COLOR_RGB2LAB{"COLOR_RGB2LAB"}, COLOR_BGR2GRAY{"COLOR_BGR2GRAY"}, array{"array"},
    items{"items"};
const Name total_percentage_key{"total_percentage"}, close_percentage_key{"close_percentage"},
    very_close_percentage_key{"very_close_percentage"}, closest_pixel_key{"closest_pixel"},
    min_distance_key{"min_distance"}, similarity_score_key{"similarity_score"};

// ---- reading pixels ----

// Rows x cols pixels of three 8-bit values read with strides, and an
// optional selection of the same shape (wanted where its value is above 128).
struct Source {
  const uint8_t* data = nullptr;
  npy_intp rows = 0, cols = 0;
  npy_intp row_step = 0, col_step = 0, channel_step = 0;
  const uint8_t* selection = nullptr;
  npy_intp selection_row_step = 0, selection_col_step = 0;
};

// f(key) for every wanted pixel in pixel order, key = c0 << 16 | c1 << 8 | c2;
// stops early when f returns false.
template <class F>
void for_each_key(const Source& s, F&& f) {
  const npy_intp cs = s.channel_step;
  for (npy_intp r = 0; r < s.rows; ++r) {
    const uint8_t* p = s.data + r * s.row_step;
    const uint8_t* m = s.selection ? s.selection + r * s.selection_row_step : nullptr;
    for (npy_intp c = 0; c < s.cols; ++c, p += s.col_step) {
      if (m) {
        const bool wanted = m[c * s.selection_col_step] > 128;
        if (!wanted) continue;
      }
      if (!f(uint32_t{p[0]} << 16 | uint32_t{p[cs]} << 8 | p[2 * cs])) return;
    }
  }
}

// f(lane, key) for every wanted pixel of rows [first, last), the rows dealt
// out to four lanes that advance side by side: neighbouring pixels of a
// photo mostly fall into the same group below, and one lane alone would
// wait on its own last increment at every pixel. Rows left over go to the
// last lane.
constexpr int kLanes = 4;

template <class F>
void for_each_key_in_lanes(const Source& s, npy_intp first, npy_intp last, F&& f) {
  const npy_intp cs = s.channel_step;
  const npy_intp per_lane = (last - first) / kLanes;
  auto visit = [&](int lane, npy_intp r, npy_intp c) {
    if (s.selection && !(s.selection[r * s.selection_row_step + c * s.selection_col_step] > 128))
      return;
    const uint8_t* p = s.data + r * s.row_step + c * s.col_step;
    f(lane, uint32_t{p[0]} << 16 | uint32_t{p[cs]} << 8 | p[2 * cs]);
  };
  if (!s.selection) {
    // Every pixel wanted: each lane walks its row by pointer, with no
    // multiplications or selection to look at per pixel.
    for (npy_intp i = 0; i < per_lane; ++i) {
      const uint8_t* p[kLanes];
      for (int lane = 0; lane < kLanes; ++lane)
        p[lane] = s.data + (first + lane * per_lane + i) * s.row_step;
      for (npy_intp c = 0; c < s.cols; ++c)
        for (int lane = 0; lane < kLanes; ++lane) {
          const uint8_t* q = p[lane];
          p[lane] += s.col_step;
          f(lane, uint32_t{q[0]} << 16 | uint32_t{q[cs]} << 8 | q[2 * cs]);
        }
    }
  } else {
    for (npy_intp i = 0; i < per_lane; ++i)
      for (npy_intp c = 0; c < s.cols; ++c)
        for (int lane = 0; lane < kLanes; ++lane) visit(lane, first + lane * per_lane + i, c);
  }
  for (npy_intp r = first + kLanes * per_lane; r < last; ++r)
    for (npy_intp c = 0; c < s.cols; ++c) visit(kLanes - 1, r, c);
}

// Images of 64k pixels and more are counted by up to four threads, and no
// more than OpenCV may use (cv2.setNumThreads, which the command line's
// workers set), each on its own rows and then on its own groups; their
// distinct values are converted likewise, a share each. The records come
// out the same however many there are: counts are sums, conversions are
// value by value, and the closest pixel is settled in pixel order.
constexpr uint64_t kPixelsPerPart = uint64_t{1} << 15;
constexpr size_t kValuesPerPart = size_t{1} << 13;
constexpr uint64_t kRoomsAloneBelow = uint64_t{1} << 20;

int parts_for(const Source& s, int threads) {
  const uint64_t pixels = uint64_t(s.rows) * uint64_t(s.cols);
  uint64_t parts = std::min<uint64_t>({pixels / kPixelsPerPart, uint64_t(std::max(threads, 1)), 4});
  parts = std::min<uint64_t>(parts, uint64_t(s.rows) / kLanes);
  return int(std::max<uint64_t>(parts, 1));
}

// The buffers each call makes, kept by its threads for their next call.
enum Slot { kLowSlot, kTallySlot, kLargeTallySlot, kKeysSlot, kCountsSlot, kLabSlot, kRgbSlot };

// Distinct values with their pixel counts, grouped by first channel, each
// group in the order its values are first met.
struct Distinct {
  Kept<uint32_t, kKeysSlot> keys;
  Kept<uint32_t, kCountsSlot> counts;
  explicit Distinct(size_t room) : keys(room), counts(room) {}
  size_t size() const { return keys.size(); }
  void shrink(size_t k) {
    keys.shrink(k);
    counts.shrink(k);
  }
};

// The three steps of counting, each on one part's share. Their tables are
// indexed [lane * 256 + first channel], a part's four lanes after another's.

// Pixels per first channel in each lane of rows [first, last).
void count_rooms(const Source& s, npy_intp first, npy_intp last, uint32_t* room) {
  for_each_key_in_lanes(s, first, last,
                        [room](int lane, uint32_t key) { ++room[lane * 256 + (key >> 16)]; });
}

// The other two channels of each pixel filed in its lane's room. The pixels
// may change meanwhile (another thread may write into the caller's array
// while the lock is released): the filing keeps within the counted room
// whatever it reads.
void file_pixels(const Source& s, npy_intp first, npy_intp last, uint32_t* next,
                 const uint32_t* end, uint16_t* low) {
  for_each_key_in_lanes(s, first, last, [next, end, low](int lane, uint32_t key) {
    const size_t j = size_t(lane) * 256 + (key >> 16);
    const uint32_t at = next[j];
    if (at < end[j]) {
      low[at] = uint16_t(key);
      next[j] = at + 1;
    }
  });
}

// Groups [first, last) of all lanes, each tallied in a table of 2^16 counts,
// then read again in the same order to list each value where first seen
// (its count taken and cleared there, so that the table is all zero again
// at the end) into keys + k and counts + k; returns the new k. No branch
// depends on a count: none would be guessed.
template <class Count>
size_t tally_run(int first, int last, int lanes, const uint32_t* room, const uint32_t* next,
                 const uint32_t* end, const uint16_t* low, Count* tally, uint32_t* keys,
                 uint32_t* counts, size_t k) {
  for (int b = first; b < last; ++b) {
    // (The bounds are read once: a count written may be one of them.)
    for (int lane = 0; lane < lanes; ++lane) {
      const size_t j = size_t(lane) * 256 + b;
      const uint32_t from = end[j] - room[j], to = next[j];
      for (uint32_t i = from; i < to; ++i) ++tally[low[i]];
    }
    for (int lane = 0; lane < lanes; ++lane) {
      const size_t j = size_t(lane) * 256 + b;
      const uint32_t from = end[j] - room[j], to = next[j];
      for (uint32_t i = from; i < to; ++i) {
        const uint16_t v = low[i];
        const uint32_t count = tally[v];
        keys[k] = uint32_t(b) << 16 | v;
        counts[k] = count;
        k += count != 0;
        tally[v] = 0;
      }
    }
  }
  return k;
}

// The groups' values and counts; returns how many. Groups of fewer than
// 2^16 pixels, nearly all of them, are tallied in 16-bit counts: half the
// table to keep in the cache.
size_t tally_groups(int first, int last, int lanes, const uint32_t* room, const uint32_t* next,
                    const uint32_t* end, const uint16_t* low, uint32_t* keys, uint32_t* counts) {
  auto filed = [&](int b) {
    uint64_t n = 0;
    for (int lane = 0; lane < lanes; ++lane) {
      const size_t j = size_t(lane) * 256 + b;
      n += next[j] - (end[j] - room[j]);
    }
    return n;
  };
  Kept<uint16_t, kTallySlot> small(size_t{1} << 16, true);
  Kept<uint32_t, kLargeTallySlot> large(size_t{1} << 16, true);
  size_t k = 0;
  for (int b = first; b < last;) {
    int e = b;
    while (e < last && filed(e) <= UINT16_MAX) ++e;
    if (e > b) {
      k = tally_run(b, e, lanes, room, next, end, low, small.data(), keys, counts, k);
    } else {
      k = tally_run(b, ++e, lanes, room, next, end, low, large.data(), keys, counts, k);
    }
    b = e;
  }
  return k;
}

// Sources hold fewer than 2^32 pixels.
Distinct count_distinct(const Source& s, int threads) {
  const int parts = parts_for(s, threads);
  const int lanes = parts * kLanes;
  auto rows_of = [&](int part) {
    return std::pair{s.rows * part / parts, s.rows * (part + 1) / parts};
  };
  // Each part counts and files its own rows, into the place of its pixels,
  // its groups one after another and each group's lanes likewise.
  std::vector<uint32_t> room(size_t(lanes) * 256, 0), next(size_t(lanes) * 256),
      end(size_t(lanes) * 256);
  Kept<uint16_t, kLowSlot> low(size_t(s.rows) * size_t(s.cols));
  auto make_room = [&](int part) {
    auto [first, last] = rows_of(part);
    const size_t own = size_t(part) * kLanes * 256;
    count_rooms(s, first, last, &room[own]);
    uint32_t at = uint32_t(first * s.cols);
    for (int b = 0; b < 256; ++b)
      for (int lane = 0; lane < kLanes; ++lane) {
        const size_t j = own + size_t(lane) * 256 + b;
        next[j] = at;
        at += room[j];
        end[j] = at;
      }
  };
  // The helpers take some 40 microseconds to wake (match_distinct wakes
  // them before it counts): the caller counts a small image's rooms alone
  // meanwhile, a fifth of the filing's time.
  const bool rooms_alone = parts > 1 && uint64_t(s.rows) * uint64_t(s.cols) < kRoomsAloneBelow;
  if (rooms_alone)
    for (int part = 0; part < parts; ++part) make_room(part);
  in_parts(parts, parts, [&](int part) {
    if (!rooms_alone) make_room(part);
    auto [first, last] = rows_of(part);
    file_pixels(s, first, last, &next[size_t(part) * kLanes * 256],
                &end[size_t(part) * kLanes * 256], low.data());
  });
  std::vector<uint32_t> group_start(257);
  uint32_t total = 0;
  for (int b = 0; b < 256; ++b) {
    group_start[b] = total;
    for (int lane = 0; lane < lanes; ++lane) total += room[lane * 256 + b];
  }
  group_start[256] = total;

  // Each part tallies a run of groups holding about its share of the
  // pixels, into the place of those pixels: they are more than its values.
  std::vector<int> first_group(parts + 1, 256);
  first_group[0] = 0;
  for (int part = 1, b = 0; part < parts; ++part) {
    while (b < 256 && group_start[b] < uint64_t(total) * part / parts) ++b;
    first_group[part] = b;
  }
  Distinct d(total);
  std::vector<size_t> found(parts);
  in_parts(parts, parts, [&](int part) {
    const int first = first_group[part], last = first_group[part + 1];
    const uint32_t at = group_start[first];
    found[part] = tally_groups(first, last, lanes, room.data(), next.data(), end.data(), low.data(),
                               d.keys.data() + at, d.counts.data() + at);
  });
  size_t k = found[0];
  for (int part = 1; part < parts; ++part) {
    const uint32_t at = group_start[first_group[part]];
    std::memmove(d.keys.data() + k, d.keys.data() + at, found[part] * sizeof(uint32_t));
    std::memmove(d.counts.data() + k, d.counts.data() + at, found[part] * sizeof(uint32_t));
    k += found[part];
  }
  d.shrink(k);
  return d;
}

// ---- measuring ----

struct Target {
  int lab[3];
  // results
  uint64_t below[3] = {0, 0, 0};  // pixels with s < 225, 900, 2500
  int64_t best = -1;              // smallest s, -1 before any
  uint32_t closest = 0;           // index of the distinct value of the closest pixel
  std::vector<uint32_t> ties;     // all values at the smallest s, when their RGB differ
};

constexpr int32_t kBands[3] = {15 * 15, 30 * 30, 50 * 50};

// The compiler's vector types, of four lanes: one SSE2 register each on
// baseline x86-64 (GCC does the comparisons of wider ones lane by lane).
using Floats4 = float __attribute__((vector_size(16)));
using Ints4 = int32_t __attribute__((vector_size(16)));
using Counts4 = uint32_t __attribute__((vector_size(16)));

// The chain's end for each distinct value: its L*a*b* bytes and its RGB
// value, each as a key (l << 16 | a << 8 | b, r << 16 | g << 8 | b).
struct Values {
  Kept<uint32_t, kLabSlot> lab;
  Kept<uint32_t, kRgbSlot> rgb;
  explicit Values(size_t k) : lab(k), rgb(k) {}
};

// One target's bands and nearest values over a share of the values.
struct Share {
  uint32_t below[3] = {0, 0, 0};
  float best = 1e9f;  // farther than any two colours
  uint32_t closest = 0;
  std::vector<uint32_t> ties;  // every value at `best`, in order; none when no value is a pixel
  bool mixed = false;          // some tie's RGB differs from the closest's
};

// The bands and the nearest value of one target over values [from, to).
// Values with a zero count are not pixels. Band sums fit 32 bits: they
// count pixels, fewer than 2^32.
void measure(const Target& t, const Distinct& d, const Values& v, size_t from, size_t to,
             Share& share) {
  const size_t k = to;
  const uint32_t* lab = v.lab.data();
  const uint32_t* counts = d.counts.data();
  const float t0 = float(t.lab[0]), t1 = float(t.lab[1]), t2 = float(t.lab[2]);
  const float band0 = kBands[0], band1 = kBands[1], band2 = kBands[2];
  uint32_t below[3] = {0, 0, 0};
  float& best = share.best;
  bool& mixed = share.mixed;
  // Value i at squared distance si, in order: the first at the smallest
  // distance is the closest, and the others there are ties.
  auto nearest = [&](size_t i, float si) {
    if (si > best || !counts[i]) return;
    if (si < best) {
      best = si;
      share.closest = uint32_t(i);
      mixed = false;
      share.ties.assign(1, uint32_t(i));
      return;
    }
    share.ties.push_back(uint32_t(i));
    mixed = mixed || v.rgb[share.closest] != v.rgb[i];
  };
  // Eight values at a time, in two vectors of four that keep two chains of
  // work in flight; the nearest only looked at where one of the eight comes
  // as close as the closest so far, which soon is seldom. The channels as
  // floats: differences of 8-bit values, their squares and the sums of
  // three (below 2^18) are integers that a float holds exactly.
  Counts4 sum0{}, sum1{}, sum2{};
  size_t i = from;
#if defined(__x86_64__)
  if (has_avx2()) {
    // eight at a time in integers, and back here for the eight where one
    // comes as close as the closest so far
    auto squared = [&](size_t at) {
      const int e0 = int(lab[at] >> 16) - t.lab[0], e1 = int(lab[at] >> 8 & 255) - t.lab[1],
                e2 = int(lab[at] & 255) - t.lab[2];
      return float(e0 * e0 + e1 * e1 + e2 * e2);
    };
    const size_t end = from + (to - from) / 8 * 8;
    while ((i = measure_avx2(lab, counts, i, end, t.lab, int32_t(best), below)) < end) {
      for (int lane = 0; lane < 8; ++lane) nearest(i + lane, squared(i + lane));
      i += 8;
    }
  }
#endif
  auto squares = [&](size_t at) {
    Ints4 keys;
    std::memcpy(&keys, lab + at, sizeof keys);
    const Floats4 e0 = __builtin_convertvector(keys >> 16, Floats4) - t0,
                  e1 = __builtin_convertvector((keys >> 8) & 255, Floats4) - t1,
                  e2 = __builtin_convertvector(keys & 255, Floats4) - t2;
    return e0 * e0 + e1 * e1 + e2 * e2;
  };
  auto add_bands = [&](size_t at, Floats4 si) {
    Counts4 count;
    std::memcpy(&count, counts + at, sizeof count);
    sum0 += count & Counts4(si < band0);
    sum1 += count & Counts4(si < band1);
    sum2 += count & Counts4(si < band2);
  };
  for (; i + 8 <= k; i += 8) {
    const Floats4 low = squares(i), high = squares(i + 4);
    add_bands(i, low);
    add_bands(i + 4, high);
    const Ints4 close = (low <= best) | (high <= best);
    if (close[0] | close[1] | close[2] | close[3]) {
      for (int lane = 0; lane < 4; ++lane) nearest(i + lane, low[lane]);
      for (int lane = 0; lane < 4; ++lane) nearest(i + 4 + lane, high[lane]);
    }
  }
  for (int lane = 0; lane < 4; ++lane) {
    below[0] += sum0[lane];
    below[1] += sum1[lane];
    below[2] += sum2[lane];
  }
  for (; i < k; ++i) {
    const float e0 = float(lab[i] >> 16) - t0, e1 = float(lab[i] >> 8 & 255) - t1,
                e2 = float(lab[i] & 255) - t2;
    const float si = e0 * e0 + e1 * e1 + e2 * e2;
    const uint32_t count = counts[i];
    below[0] += si < band0 ? count : 0;
    below[1] += si < band1 ? count : 0;
    below[2] += si < band2 ? count : 0;
    nearest(i, si);
  }
  for (int band = 0; band < 3; ++band) share.below[band] = below[band];
}

// Shares of one target in order of their values: the bands summed, the
// nearest value the first at the smallest distance, and the ties kept where
// their RGB values differ.
void gather_shares(Target& t, std::span<Share> shares, const Values& v) {
  bool mixed = false;
  for (Share& share : shares) {
    for (int band = 0; band < 3; ++band) t.below[band] += share.below[band];
    if (share.ties.empty()) continue;
    const int64_t best = int64_t(share.best);
    if (t.best < 0 || best < t.best) {
      t.best = best;
      t.closest = share.closest;
      t.ties = std::move(share.ties);
      mixed = share.mixed;
    } else if (best == t.best) {
      mixed = mixed || share.mixed || v.rgb[share.closest] != v.rgb[t.closest];
      t.ties.insert(t.ties.end(), share.ties.begin(), share.ties.end());
    }
  }
  if (!mixed) t.ties.clear();
}

// For the targets whose nearest values differ in RGB: the value of the first
// For the targets whose nearest values differ in RGB: the value of the first
// pixel among them, read in pixel order.
void settle_ties(std::vector<Target>& targets, const Distinct& d, const Source& s) {
  std::vector<Target*> open;
  for (Target& t : targets)
    if (!t.ties.empty()) open.push_back(&t);
  if (open.empty()) return;
  // One bit per pair of first two channels that a tied key has: most pixels
  // are passed over on it, and the bits fit the cache where one per key
  // would take 2 MB to clear.
  std::vector<uint64_t> any(size_t{1} << 10, 0);
  for (Target* t : open) {
    std::sort(t->ties.begin(), t->ties.end(),
              [&](uint32_t i, uint32_t j) { return d.keys[i] < d.keys[j]; });
    for (const uint32_t i : t->ties) {
      const uint32_t pair = d.keys[i] >> 8;
      any[pair >> 6] |= uint64_t{1} << (pair & 63);
    }
  }
  for_each_key(s, [&](uint32_t key) {
    const uint32_t pair = key >> 8;
    if (!(any[pair >> 6] >> (pair & 63) & 1)) return true;
    for (size_t j = 0; j < open.size();) {
      Target* t = open[j];
      // each tie list is sorted by key
      auto at = std::lower_bound(t->ties.begin(), t->ties.end(), key,
                                 [&](uint32_t i, uint32_t k) { return d.keys[i] < k; });
      if (at != t->ties.end() && d.keys[*at] == key) {
        t->closest = *at;
        open[j] = open.back();
        open.pop_back();
      } else {
        ++j;
      }
    }
    return !open.empty();
  });
}

// ---- the method's side ----

bool plain_uint8(PyArrayObject* a) {
  return PyArray_TYPE(a) == NPY_UBYTE && PyArray_ISNOTSWAPPED(a);
}

// An ordinary 8-bit image: height x width x 3 with pixels, as the feature
// step converts it.
bool ordinary_image(PyObject* obj) {
  if (!PyArray_Check(obj)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  return plain_uint8(a) && PyArray_NDIM(a) == 3 && PyArray_DIM(a, 2) == 3 &&
         PyArray_DIM(a, 0) >= 1 && PyArray_DIM(a, 1) >= 1 && !repeats_its_data(obj) &&
         uint64_t(PyArray_DIM(a, 0)) * uint64_t(PyArray_DIM(a, 1)) < (uint64_t{1} << 32);
}

// Rows of three 8-bit values as the pixel step returns them.
bool ordinary_rows(PyObject* obj) {
  if (!PyArray_CheckExact(obj)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  return plain_uint8(a) && PyArray_NDIM(a) == 2 && PyArray_DIM(a, 1) == 3 &&
         !repeats_its_data(obj) && uint64_t(PyArray_DIM(a, 0)) < (uint64_t{1} << 32);
}

// A target the kernel can take without running any Python code to read it:
// a tuple or list of three plain ints or floats, or a numeric array of three.
bool plain_target(PyObject* v) {
  if (PyTuple_CheckExact(v) || PyList_CheckExact(v)) {
    if (PySequence_Fast_GET_SIZE(v) != 3) return false;
    PyObject** items_of = PySequence_Fast_ITEMS(v);
    for (int i = 0; i < 3; ++i)
      if (!PyLong_CheckExact(items_of[i]) && !PyFloat_CheckExact(items_of[i]) &&
          !PyBool_Check(items_of[i]))
        return false;
    return true;
  }
  if (!PyArray_CheckExact(v)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(v);
  return PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == 3 &&
         (PyArray_ISINTEGER(a) || PyArray_ISFLOAT(a) || PyArray_ISBOOL(a)) &&
         PyArray_ISNOTSWAPPED(a);
}

bool plain_targets(PyObject* target_colors) {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(target_colors, &pos, &key, &value))
    if (!plain_target(value)) return false;
  return true;
}

template <class T>
T* data_of(PyObject* array) {
  return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

Ref scalar(const void* value, int type) {
  PyArray_Descr* descr = PyArray_DescrFromType(type);
  if (!descr) return {};
  Ref result = Ref::steal(PyArray_Scalar(const_cast<void*>(value), descr, nullptr));
  Py_DECREF(descr);
  return result;
}

// round(value, 2) of a NumPy float, as NumPy rounds it: rint(value * 100)
// / 100 in doubles (not Python's correctly rounded decimal rounding).
Ref rounded_float64(double value) {
  const double rounded = std::nearbyint(value * 100.0) / 100.0;
  return scalar(&rounded, NPY_DOUBLE);
}

// The record match_record makes from NumPy scalars, from the same doubles:
// a share is NumPy's true division of two integers (both exact as doubles)
// times 100, the score (50 - distance) / 50 * 100 where above zero and the
// int 0 otherwise, each rounded as round(x, 2) rounds a NumPy float.
Ref record_of(const uint64_t below[3], uint32_t rgb, int64_t best, uint64_t total) {
  auto share = [&](uint64_t count) {
    return rounded_float64(double(count) / double(total) * 100.0);
  };
  const double min_distance = std::sqrt(double(best));
  const double score = (50.0 - min_distance) / 50.0 * 100.0;
  Ref record = dict();
  if (!set_item(record, total_percentage_key, share(below[2])) ||
      !set_item(record, close_percentage_key, share(below[1])) ||
      !set_item(record, very_close_percentage_key, share(below[0])) ||
      !set_item(record, closest_pixel_key,
                tuple({py_int(rgb >> 16), py_int(rgb >> 8 & 255), py_int(rgb & 255)})) ||
      !set_item(record, min_distance_key, rounded_float64(min_distance)) ||
      !set_item(record, similarity_score_key, score > 0 ? rounded_float64(score) : py_int(0)))
    return {};
  return record;
}

// Runs `work` without the interpreter lock; false with MemoryError set when
// it ran out of memory.
template <class F>
bool without_lock(F&& work) {
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS try { work(); } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS if (out_of_memory) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// Holds the arrays the source reads for as long as it is read.
struct Held {
  Ref pixels, selection;
};

// The source when the kernel may also stand in for the feature-space and
// pixel steps; nothing when those must run.
std::optional<Source> image_source(Extractor* self, PyObject* image, PyObject* mask, Held& held,
                                   bool& failed) {
  failed = false;
  if (!ordinary_image(image)) return std::nullopt;
  for (const FunctionDef* step : {&convert_to_feature_space_def, &extract_pixels_def}) {
    int overridden = step_overridden(self, *step);
    if (overridden) {
      failed = overridden < 0;
      return std::nullopt;
    }
  }
  auto* a = reinterpret_cast<PyArrayObject*>(image);
  Source s;
  s.data = data_of<uint8_t>(image);
  s.rows = PyArray_DIM(a, 0);
  s.cols = PyArray_DIM(a, 1);
  s.row_step = PyArray_STRIDE(a, 0);
  s.col_step = PyArray_STRIDE(a, 1);
  s.channel_step = PyArray_STRIDE(a, 2);
  held.pixels = Ref::borrow(image);
  if (mask == Py_None) return s;

  // A plain 8-bit mask of the image's size, one channel or three.
  if (!PyArray_CheckExact(mask)) return std::nullopt;
  auto* m = reinterpret_cast<PyArrayObject*>(mask);
  const int ndim = PyArray_NDIM(m);
  if (!plain_uint8(m) || (ndim != 2 && !(ndim == 3 && PyArray_DIM(m, 2) == 3)) ||
      PyArray_DIM(m, 0) != s.rows || PyArray_DIM(m, 1) != s.cols)
    return std::nullopt;
  int overridden = step_overridden(self, apply_mask_def);
  if (overridden) {
    failed = overridden < 0;
    return std::nullopt;
  }
  Ref grey = Ref::borrow(mask);
  if (ndim == 3) {
    // The grey value the mask step thresholds, by the same call.
    grey = call(global_attr(cv2, cvtColor), {opencv_array(mask), global_attr(cv2, COLOR_BGR2GRAY)});
    if (!grey) {
      failed = true;
      return std::nullopt;
    }
    if (!PyArray_CheckExact(grey.get()) ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(grey.get())) != 2 ||
        !plain_uint8(reinterpret_cast<PyArrayObject*>(grey.get())))
      return std::nullopt;
  }
  auto* g = reinterpret_cast<PyArrayObject*>(grey.get());
  s.selection = data_of<uint8_t>(grey.get());
  s.selection_row_step = PyArray_STRIDE(g, 0);
  s.selection_col_step = PyArray_STRIDE(g, 1);
  held.selection = std::move(grey);
  return s;
}

Source rows_source(PyObject* pixels) {
  auto* a = reinterpret_cast<PyArrayObject*>(pixels);
  Source s;
  s.data = data_of<uint8_t>(pixels);
  s.rows = PyArray_DIM(a, 0);
  s.cols = 1;
  s.row_step = PyArray_STRIDE(a, 0);
  s.channel_step = PyArray_STRIDE(a, 1);
  return s;
}

// The chain by cv2.cvtColor: the feature step's conversion (`feature_code`,
// when the values are the image's own), rows whose feature values are all
// zero dropped as the pixel step drops them, back to RGB where the features
// are L*a*b*, and the distance step's conversion to L*a*b*.
bool chain_by_opencv(Distinct& d, const Name* feature_code, bool lab_space, Values& out) {
  const size_t k = d.keys.size();
  std::vector<uint8_t> values(3 * k);
  for (size_t i = 0; i < k; ++i) {
    values[3 * i] = uint8_t(d.keys[i] >> 16);
    values[3 * i + 1] = uint8_t(d.keys[i] >> 8);
    values[3 * i + 2] = uint8_t(d.keys[i]);
  }
  std::vector<uint8_t> feature, rgb, lab;
  if (feature_code) {
    if (!convert_values(values, *feature_code, feature)) return false;
    for (size_t i = 0; i < k; ++i)
      if (!feature[3 * i] && !feature[3 * i + 1] && !feature[3 * i + 2]) d.counts[i] = 0;
  } else {
    feature.swap(values);
  }
  if (lab_space) {
    if (!convert_values(feature, COLOR_LAB2RGB, rgb)) return false;
  } else {
    rgb.swap(feature);
  }
  if (!convert_values(rgb, COLOR_RGB2LAB, lab)) return false;
  for (size_t i = 0; i < k; ++i) {
    out.rgb[i] = uint32_t(rgb[3 * i]) << 16 | uint32_t(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2];
    out.lab[i] = uint32_t(lab[3 * i]) << 16 | uint32_t(lab[3 * i + 1]) << 8 | lab[3 * i + 2];
  }
  return true;
}

// The bytes of a target that the check passes and np.uint8 casts as they
// are: a tuple or list of three plain ints, floats or bools from 0 to 255
// (floats truncated, as the cast truncates them); false for any other.
bool plain_bytes(PyObject* target, uint8_t bytes[3]) {
  if (!PyTuple_CheckExact(target) && !PyList_CheckExact(target)) return false;
  if (PySequence_Fast_GET_SIZE(target) != 3) return false;
  PyObject** values = PySequence_Fast_ITEMS(target);
  for (int c = 0; c < 3; ++c) {
    double v;
    if (PyFloat_CheckExact(values[c])) {
      v = PyFloat_AS_DOUBLE(values[c]);
    } else if (PyLong_CheckExact(values[c]) || PyBool_Check(values[c])) {
      int overflow = 0;
      const long n = PyLong_AsLongAndOverflow(values[c], &overflow);
      if (overflow || n < 0 || n > 255) return false;
      v = double(n);
    } else {
      return false;
    }
    if (!(v >= 0.0 && v <= 255.0)) return false;  // NaN too
    bytes[c] = uint8_t(v);
  }
  return true;
}

// A target's L*a*b* bytes as the distance step converts it: np.array of
// it, checked, its bytes as np.uint8 casts them, then RGB2LAB; by the
// kernel's own conversion where `own` and the target is plain numbers (a
// tuple or list of them read without NumPy).
bool target_lab(PyObject* target_rgb, bool own, int lab[3]) {
  uint8_t rgb[3], bytes[3];
  if (own && plain_bytes(target_rgb, rgb)) {
    convert_lab8(Lab8::RgbToLab, rgb, bytes, 1);
    for (int c = 0; c < 3; ++c) lab[c] = bytes[c];
    return true;
  }
  Ref array_of = call(global_attr(np, array), {target_rgb});
  if (!array_of || !check_target_color(array_of.get(), target_rgb)) return false;
  PyObject* target_array = array_of.get();
  auto* a = reinterpret_cast<PyArrayObject*>(target_array);
  if (own && PyArray_CheckExact(target_array) && PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == 3 &&
      (PyArray_ISINTEGER(a) || PyArray_ISFLOAT(a) || PyArray_ISBOOL(a))) {
    Ref cast = Ref::steal(
        PyArray_FROMANY(target_array, NPY_UBYTE, 1, 1, NPY_ARRAY_CARRAY | NPY_ARRAY_FORCECAST));
    if (!cast) return false;
    convert_lab8(Lab8::RgbToLab, data_of<uint8_t>(cast.get()), bytes, 1);
  } else {
    Ref lab_target = convert_color(target_array, COLOR_RGB2LAB);
    if (!lab_target) return false;
    Ref packed = Ref::steal(PyArray_FROMANY(lab_target.get(), NPY_UBYTE, 1, 1, NPY_ARRAY_CARRAY));
    if (!packed) return false;
    if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(packed.get())) != 3) {
      PyErr_SetString(PyExc_RuntimeError, "cvtColor gave no colour for a target");
      return false;
    }
    std::memcpy(bytes, data_of<uint8_t>(packed.get()), 3);
  }
  for (int c = 0; c < 3; ++c) lab[c] = bytes[c];
  return true;
}

// The records of all targets, in dict order, from counted distinct values.
// `feature_code`: the feature step's conversion of the counted values, when
// they are the image's own; nullptr when they already are feature values.
Ref match_distinct(Extractor* self, const Source& source, const Name* feature_code,
                   PyObject* target_colors) {
  int threads = 1;
  if (uint64_t(source.rows) * uint64_t(source.cols) >= 2 * kPixelsPerPart) {
    expect_parts();  // any helpers wake meanwhile
    Ref n = call(global_attr(cv2, getNumThreads), {});
    if (!n || !as_c_int(n.get(), &threads)) return {};
  }
  std::optional<Distinct> counted;
  if (!without_lock([&] { counted.emplace(count_distinct(source, threads)); })) return {};
  Distinct& d = *counted;
  const size_t k = d.keys.size();
  if (k == 0) return dict();  // no pixel wanted
  // The chain, by the kernel's own conversions where they give OpenCV's
  // bytes here, by cv2.cvtColor otherwise.
  const int own = own_conversions();
  if (own < 0) return {};
  Values values(k);
  if (own) {
    using lab8::Chain;
    const Chain chain = feature_code ? (self->lab_space ? Chain::LabFromBgr : Chain::RgbFromBgr)
                                     : (self->lab_space ? Chain::LabRows : Chain::RgbRows);
    // Rows whose feature values are all zero never count.
    uint32_t* drop = feature_code ? d.counts.data() : nullptr;
    const int parts =
        int(std::clamp<size_t>(k / kValuesPerPart, 1, size_t(std::clamp(threads, 1, 4))));
    auto convert_share = [&](int part) {
      // shares of whole eights of values, for the vector loop
      const size_t from = k * part / parts / 8 * 8,
                   to = part + 1 == parts ? k : k * (part + 1) / parts / 8 * 8;
      chain_lab8(chain, d.keys.data() + from, to - from, values.rgb.data() + from,
                 values.lab.data() + from, drop ? drop + from : nullptr);
    };
    if (!without_lock([&] { in_parts(parts, parts, convert_share); })) return {};
  } else if (!chain_by_opencv(d, feature_code, self->lab_space, values)) {
    return {};
  }
  uint64_t total = 0;
  for (const uint32_t c : d.counts) total += c;
  if (total == 0) return dict();

  // Each target as the distance step converts it, in dict order.
  std::vector<Target> targets;
  std::vector<Ref> names;
  Ref view = call_method(target_colors, items);
  if (!view) return {};
  Ref it = Ref::steal(PyObject_GetIter(view.get()));
  if (!it) return {};
  while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
    Ref color_name, target_rgb;
    if (!unpack2(pair, color_name, target_rgb)) return {};
    Target t;
    if (!target_lab(target_rgb.get(), own, t.lab)) return {};
    targets.push_back(std::move(t));
    names.push_back(std::move(color_name));
  }
  if (PyErr_Occurred()) return {};

  if (!without_lock([&] {
        // each target in shares of the values, side by side
        const size_t shares =
            std::clamp<size_t>(k / kValuesPerPart, 1, size_t(std::clamp(threads, 1, 4)));
        std::vector<Share> measured(targets.size() * shares);
        in_parts(int(measured.size()), threads, [&](int part) {
          const size_t j = size_t(part) / shares, share = size_t(part) % shares;
          measure(targets[j], d, values, k * share / shares, k * (share + 1) / shares,
                  measured[size_t(part)]);
        });
        for (size_t j = 0; j < targets.size(); ++j)
          gather_shares(targets[j], std::span(measured).subspan(j * shares, shares), values);
        settle_ties(targets, d, source);
      }))
    return {};

  Ref results = dict();
  if (!results) return {};
  for (size_t j = 0; j < targets.size(); ++j) {
    const Target& t = targets[j];
    Ref record = record_of(t.below, values.rgb[t.closest], t.best, total);
    if (!set_item(results, names[j], record)) return {};
  }
  return results;
}

// match_distinct's records; MemoryError where its buffers could not be had
// (those it fills without the lock are made with the lock held).
template <class F>
Ref memory_error_at_edge(F&& match) {
  try {
    return match();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return {};
  }
}

}  // namespace

bool matching_kernel_applies(Extractor* self, PyObject* target_colors, int* applies) {
  *applies = 0;
  if (!is_library_object(np, "numpy", nullptr) || !is_library_object(cv2, "cv2", nullptr) ||
      !plain_targets(target_colors))
    return true;
  int overridden = step_overridden(self, color_distance_lab_def);
  if (overridden < 0) return false;
  *applies = !overridden;
  return true;
}

std::optional<Ref> match_image_native(Extractor* self, PyObject* image, PyObject* mask,
                                      PyObject* target_colors) {
  Held held;
  bool failed;
  std::optional<Source> source = image_source(self, image, mask, held, failed);
  if (failed) return Ref{};
  // The override lookups may have run Python code: the targets once more.
  if (!source || !plain_targets(target_colors)) return std::nullopt;
  if (PyDict_GET_SIZE(target_colors) == 0) return dict();
  return memory_error_at_edge([&] {
    return match_distinct(self, *source, self->lab_space ? &COLOR_BGR2LAB : &COLOR_BGR2RGB,
                          target_colors);
  });
}

std::optional<Ref> match_pixels_native(Extractor* self, PyObject* pixels, PyObject* target_colors) {
  if (!ordinary_rows(pixels) || !plain_targets(target_colors)) return std::nullopt;
  if (PyDict_GET_SIZE(target_colors) == 0) return dict();
  return memory_error_at_edge(
      [&] { return match_distinct(self, rows_source(pixels), nullptr, target_colors); });
}

}  // namespace huebit
