// Reading a JPEG's coefficients (see sample.h).
//
// The coefficients of a 12-megapixel photo take 36 MB: reading them back
// once the decoder is done costs as much again as the decode saves. So
// the work is done row by row while the decoder goes: libjpeg calls its
// progress monitor after each row of MCUs, and the rows it has just
// written are still in the cache. (A photo of several scans, progressive
// ones, is worked through once all of it is read.)
//
// A photo of one scan (baseline JPEGs, as cameras write them) needs no
// whole-image arrays at all: the decoder is handed rings of three MCU rows
// instead (its memory manager's methods are ours to replace), so reading a
// 12-megapixel photo takes a few hundred kilobytes beside the small image.
//
// libjpeg reports a failure by calling error_exit, and a warning by
// emit_message; both jump back here to the setjmp of the step that called
// it (read_header, read_coefficients), for a warning too is a failure: the
// caller's decoder reads such a file and says what is wrong with it. Those
// steps, and the progress monitor called below them, hold no C++ object
// that a jump could skip: every buffer is made by sample() between the two
// steps and handed down as plain pointers.
#include "sample.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>  // jpeglib.h uses FILE and size_t without including them
#include <cstring>

#include <jpeglib.h>

namespace jpeg {
namespace {

constexpr int kMaxComponents = 3;
constexpr double kCos4Half = 0.35355339059327376;  // sqrt(1/8): the DC term's scale

uint8_t clamped(double value) {
  return static_cast<uint8_t>(std::clamp(std::floor(value + 0.5), 0.0, 255.0));
}
uint8_t clamped(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// cos(k pi / 16), written out rather than taken from the C library, whose
// last bit may differ from one machine's to another's: the same coefficients
// give the same pixels everywhere.
double cosine(int k) {
  static constexpr double kCos[9] = {1.0,
                                     0.98078528040323043,
                                     0.92387953251128674,
                                     0.83146961230254524,
                                     0.70710678118654752,
                                     0.55557023301960218,
                                     0.38268343236508977,
                                     0.19509032201612826,
                                     0.0};
  k %= 32;
  if (k > 16) k = 32 - k;
  return k > 8 ? -kCos[16 - k] : kCos[k];
}

// The inverse DCT's cosine u at sample x, scaled as libjpeg scales it.
double basis_at(int u, int x) { return (u == 0 ? kCos4Half : 0.5) * cosine((2 * x + 1) * u); }

// Whether row v of a block (8 coefficients) is all 0, as most are.
bool empty_row(const JCOEF* block, int v) {
  uint64_t halves[2];
  std::memcpy(halves, block + v * DCTSIZE, sizeof halves);
  return !(halves[0] | halves[1]);
}

// Means of the inverse DCT's basis functions over equal runs of a block's
// samples along one axis: mean[i][u] is the mean of cosine u over the i-th
// run of `size` samples. Functions whose mean is 0 on every run (a whole
// number of periods) are left out.
struct Basis {
  int size = 0, runs = 0;
  double mean[DCTSIZE][DCTSIZE] = {};
  int used[DCTSIZE] = {}, n_used = 0;

  explicit Basis(int run) : size(run), runs(DCTSIZE / run) {
    for (int u = 0; u < DCTSIZE; ++u) {
      bool any = false;
      for (int i = 0; i < runs; ++i) {
        double sum = 0;
        for (int x = i * size; x < (i + 1) * size; ++x) sum += basis_at(u, x);
        double value = sum / size;
        if (std::fabs(value) < 1e-12) value = 0;
        mean[i][u] = value;
        any |= value != 0;
      }
      if (any) used[n_used++] = u;
    }
  }
};

// The basis for means over runs of `run` (8, 4, 2 or 1) samples.
const Basis& basis(int run) {
  static const Basis bases[] = {Basis(8), Basis(4), Basis(2), Basis(1)};
  return bases[run == 8 ? 0 : run == 4 ? 1 : run == 2 ? 2 : 3];
}

// A block's means over runs of across.size x down.size samples, down.runs
// rows of across.runs, on the 0-255 scale before rounding.
void block_means(const JCOEF* block, const double* quant, const Basis& across, const Basis& down,
                 double* out) {
  double rows[DCTSIZE][DCTSIZE];  // [v][i]: each row of frequencies, summed across
  bool any[DCTSIZE] = {};
  for (int a = 0; a < down.n_used; ++a) {
    const int v = down.used[a];
    if (empty_row(block, v)) continue;
    for (int i = 0; i < across.runs; ++i) rows[v][i] = 0;
    for (int b = 0; b < across.n_used; ++b) {
      const int u = across.used[b];
      if (const JCOEF c = block[v * DCTSIZE + u]) {
        any[v] = true;
        const double f = c * quant[v * DCTSIZE + u];
        for (int i = 0; i < across.runs; ++i) rows[v][i] += f * across.mean[i][u];
      }
    }
  }
  for (int j = 0; j < down.runs; ++j)
    for (int i = 0; i < across.runs; ++i) {
      double sum = 128;
      for (int a = 0; a < down.n_used; ++a)
        if (const int v = down.used[a]; any[v]) sum += rows[v][i] * down.mean[j][v];
      out[j * across.runs + i] = sum;
    }
}

// A block's means over its four quadrants (4 x 4 samples each): top left,
// top right, bottom left, bottom right. Over a half, the mean of an even
// cosine but the first is 0, and an odd one's is the other half's negated,
// so the means are A +- B +- C +- D, from the DC coefficient (A), the odd
// ones of the first row (B) and column (C), and the odd ones of both (D).
// weight: the coefficients' steps times their halves' means, across and down.
void quadrant_means(const JCOEF* block, const double* weight, double* out) {
  static constexpr int kOdd[4] = {1, 3, 5, 7};
  const double a = block[0] * weight[0];
  double b = 0, c = 0, d = 0;
  if (!empty_row(block, 0))
    for (int u : kOdd) b += block[u] * weight[u];
  for (int v : kOdd) {
    if (empty_row(block, v)) continue;
    c += block[v * DCTSIZE] * weight[v * DCTSIZE];
    for (int u : kOdd) d += block[v * DCTSIZE + u] * weight[v * DCTSIZE + u];
  }
  out[0] = 128 + a + b + c + d;
  out[1] = 128 + a - b + c - d;
  out[2] = 128 + a + b - c - d;
  out[3] = 128 + a - b - c + d;
}

// 128 + the dot product of a block's coefficients with 64 weights, rounded:
// one sample at full size (the inverse DCT of that sample alone). Summed in
// eight lanes, one per column of coefficients, then the lanes in a fixed
// order: the compiler can use vectors without changing what is added to
// what, so that every build gives the same pixels.
int weighted(const JCOEF* block, const float* weight) {
  float lane[DCTSIZE] = {};
  for (int v = 0; v < DCTSIZE; ++v)
    for (int u = 0; u < DCTSIZE; ++u)
      lane[u] += static_cast<float>(block[v * DCTSIZE + u]) * weight[v * DCTSIZE + u];
  const float sum =
      ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
  return clamped(128.0 + sum);
}

// A component's samples at full size: the weights of its coefficients (the
// cosines' products times the quantisation steps) for each place in a
// block, worked out once per photo; for chroma at half size, also for each
// pixel of the 16 x 16 it covers, brought up as libjpeg's fancy upsampling
// does (9/16 of the nearest sample, 3/16 of the next across and down, 1/16
// of the one diagonally: jdsample.c) where all four lie in the block.
class Sampler {
 public:
  void prepare(const double* quant, bool halved) {
    for (int y = 0; y < DCTSIZE; ++y)
      for (int x = 0; x < DCTSIZE; ++x)
        for (int k = 0; k < DCTSIZE2; ++k)
          weight_[y * DCTSIZE + x][k] =
              static_cast<float>(basis_at(k % DCTSIZE, x) * basis_at(k / DCTSIZE, y) * quant[k]);
    if (!halved) return;
    up_.resize(256);
    for (int ly = 0; ly < 16; ++ly)
      for (int lx = 0; lx < 16; ++lx) {
        const int x = lx / 2, y = ly / 2, nx = lx & 1 ? x + 1 : x - 1, ny = ly & 1 ? y + 1 : y - 1;
        if (!inside(nx) || !inside(ny)) continue;
        const float* w[4] = {weight_[y * 8 + x], weight_[y * 8 + nx], weight_[ny * 8 + x],
                             weight_[ny * 8 + nx]};
        for (int k = 0; k < DCTSIZE2; ++k)
          up_[ly * 16 + lx][k] = (9 * w[0][k] + 3 * w[1][k] + 3 * w[2][k] + w[3][k]) / 16;
      }
  }
  static bool inside(int x) { return x >= 0 && x < DCTSIZE; }

  int at(const JCOEF* block, int x, int y) const {
    return weighted(block, weight_[y * DCTSIZE + x]);
  }
  // pixel (lx, ly) of the 16 x 16 that a half-size chroma block covers,
  // when the samples around it lie in the block (inside, for both axes)
  int up(const JCOEF* block, int lx, int ly) const {
    return weighted(block, up_[ly * 16 + lx].data());
  }

 private:
  float weight_[DCTSIZE2][DCTSIZE2];
  std::vector<std::array<float, DCTSIZE2>> up_;
};

// YCbCr to blue-green-red in libjpeg's own fixed point (jdcolor.c), its
// products looked up.
struct Conversion {
  int cr_r[256], cb_b[256], cr_g[256], cb_g[256];
  Conversion() {
    constexpr int kBits = 16, kHalf = 1 << (kBits - 1);
    auto fix = [](double x) { return static_cast<int>(x * (1 << kBits) + 0.5); };
    for (int i = 0; i < 256; ++i) {
      const int x = i - 128;
      cr_r[i] = (fix(1.40200) * x + kHalf) >> kBits;
      cb_b[i] = (fix(1.77200) * x + kHalf) >> kBits;
      cr_g[i] = -fix(0.71414) * x;
      cb_g[i] = -fix(0.34414) * x + kHalf;
    }
  }
};

// Planes of samples (luma, then chroma at its size) to blue-green-red.
void to_bgr(int components, uint8_t* const* planes, size_t n, uint8_t* out) {
  static const Conversion t;
  if (components == 1) {
    for (size_t p = 0; p < n; ++p) out[3 * p] = out[3 * p + 1] = out[3 * p + 2] = planes[0][p];
    return;
  }
  for (size_t p = 0; p < n; ++p) {
    const int y = planes[0][p], cb = planes[1][p], cr = planes[2][p];
    out[3 * p + 2] = clamped(y + t.cr_r[cr]);
    out[3 * p + 1] = clamped(y + ((t.cb_g[cb] + t.cr_g[cr]) >> 16));
    out[3 * p] = clamped(y + t.cb_b[cb]);
  }
}

struct Errors {
  jpeg_error_mgr manager;  // first: libjpeg hands back its address
  std::jmp_buf jump;
  int warnings;
};

[[noreturn]] void on_error(j_common_ptr info) {
  std::longjmp(reinterpret_cast<Errors*>(info->err)->jump, 1);
}
// A warning ends the read at once, as an error does: the file goes to the
// caller's decoder anyway, and damaged data could take long to go through.
void on_message(j_common_ptr info, int level) {
  if (level >= 0) return;  // libjpeg's trace messages
  Errors* errors = reinterpret_cast<Errors*>(info->err);
  ++errors->warnings;
  std::longjmp(errors->jump, 1);
}
void silent(j_common_ptr) {}

// One of libjpeg's steps is 2 x 2, 4 x 4 or 8 x 8 times, so a factor of 1, 2
// or 4 (and sampling factors up to 4) is all a block can map.
bool mappable(int factor) { return factor == 1 || factor == 2 || factor == 4; }

// The photo's layout, the buffers sample() made for it, and how far the
// work has gone: all a progress monitor can reach, through client_data.
struct Work {
  // the photo
  int width = 0, height = 0, components = 0;
  int hmax = 1, vmax = 1;  // an MCU is hmax x vmax luma blocks
  int h[kMaxComponents] = {}, v[kMaxComponents] = {};
  int fx[kMaxComponents] = {}, fy[kMaxComponents] = {};  // luma samples per sample, across and down
  int samples_across[kMaxComponents] = {}, samples_down[kMaxComponents] = {};
  int block_rows[kMaxComponents] = {};  // rounded up to whole MCU rows
  int mcu_rows = 0;
  double quant[kMaxComponents][DCTSIZE2] = {};

  // the small image (1 / scale of the photo), the sampled pixels' lattice
  int scale = 8;
  int small_width = 0, small_height = 0;
  int lattice_across = 0, lattice_down = 0, step = 1;

  // buffers made by sample()
  JBLOCKROW* rows[kMaxComponents] = {};  // every block row of each component
  uint8_t* small[kMaxComponents] = {};   // the small image's planes
  uint8_t* picked[kMaxComponents] = {};  // the sampled pixels' planes

  // the decoder's arrays, as it asks for them, and the progress
  jvirt_barray_ptr arrays[kMaxComponents] = {};
  int n_arrays = 0;
  jvirt_barray_ptr (*request)(j_common_ptr, int, boolean, JDIMENSION, JDIMENSION,
                              JDIMENSION) = nullptr;
  int rows_read = 0;     // MCU rows whose block rows are in rows
  int small_done = 0;    // MCU rows in the small image
  int pixels_done = 0;   // MCU rows whose sampled pixels are taken
  bool as_read = false;  // one scan of every component: the work follows the decoder
  jpeg_progress_mgr progress = {};
  const Sampler* samplers[kMaxComponents] = {};  // made by sample()
  double halves[kMaxComponents][DCTSIZE2] = {};  // quadrant_means' weights

  // A photo of one scan keeps only the last few MCU rows of coefficients:
  // each component's rows in a ring of `depth` MCU rows (made by sample()),
  // handed to the decoder in place of its whole-image arrays.
  struct Ring {
    JBLOCK* blocks = nullptr;   // depth * v rows of `across` blocks
    JBLOCKROW* rows = nullptr;  // depth * v row pointers
    size_t across = 0;
    int v = 1;
  };
  bool ringed = false;
  int depth = 0;
  Ring rings[kMaxComponents];
  JBLOCKARRAY (*access)(j_common_ptr, jvirt_barray_ptr, JDIMENSION, JDIMENSION, boolean) = nullptr;
  bool misused = false;  // the decoder asked the ring for what it cannot give
};

Work& work_of(j_common_ptr info) { return *static_cast<Work*>(info->client_data); }

// The coefficient arrays as the decoder asks for them, one per component in
// order: its own, or a ring.
jvirt_barray_ptr requested(j_common_ptr info, int pool, boolean zero, JDIMENSION across,
                           JDIMENSION down, JDIMENSION access) {
  Work& work = work_of(info);
  const int c = work.n_arrays++;
  if (c >= kMaxComponents) return work.request(info, pool, zero, across, down, access);
  if (work.ringed && across == work.rings[c].across &&
      access == static_cast<JDIMENSION>(work.rings[c].v))
    work.arrays[c] = reinterpret_cast<jvirt_barray_ptr>(&work.rings[c]);
  else
    work.arrays[c] = work.request(info, pool, zero, across, down, access);
  return work.arrays[c];
}

// Rows of an array: from a ring, one MCU row at a time (zeroed when it is
// to be written, as the decoder's own arrays come), or from the decoder's.
JBLOCKARRAY accessed(j_common_ptr info, jvirt_barray_ptr array, JDIMENSION start, JDIMENSION count,
                     boolean writable) {
  Work& work = work_of(info);
  for (Work::Ring& ring : work.rings) {
    if (array != reinterpret_cast<jvirt_barray_ptr>(&ring)) continue;
    const JDIMENSION v = static_cast<JDIMENSION>(ring.v);
    // one MCU row at a time, and never over a row whose work is not done
    const int row = static_cast<int>(start / v);
    if (start % v || count > v || (writable && row > work.pixels_done + 1)) work.misused = true;
    const size_t slot = start / v % static_cast<size_t>(work.depth) * v;
    for (size_t i = 0; i < v; ++i) ring.rows[slot + i] = ring.blocks + (slot + i) * ring.across;
    if (writable)
      std::memset(ring.blocks + slot * ring.across, 0, v * ring.across * sizeof(JBLOCK));
    return ring.rows + slot;
  }
  return work.access(info, array, start, count, writable);
}

// The small image's rows of MCU row r: each pixel the mean of `scale` x
// `scale` pixels of the photo (8 or 4); a block gives one, or 2 x 2, or more
// where its component is sampled more coarsely than the luma.
void small_rows(const Work& work, int r) {
  const int width = work.small_width, height = work.small_height;
  for (int c = 0; c < work.components; ++c) {
    // samples to a small pixel, across and down, and small pixels to a block
    const int run_x = work.scale / work.fx[c], run_y = work.scale / work.fy[c];
    const int nx = DCTSIZE / run_x, ny = DCTSIZE / run_y;
    uint8_t* plane = work.small[c];
    for (int by = r * work.v[c]; by < (r + 1) * work.v[c] && by * ny < height; ++by) {
      const JBLOCKROW row = work.rows[c][by];
      uint8_t* out = plane + static_cast<size_t>(by) * ny * width;
      if (run_x == 8 &&
          run_y == 8) {  // the block's mean: its DC coefficient / 8, rounded as libjpeg does
        const int dc = static_cast<int>(work.quant[c][0]);
        for (int x = 0; x < width; ++x) out[x] = clamped(128 + ((row[x][0] * dc + 4) >> 3));
        continue;
      }
      if (run_x == 4 && run_y == 4) {  // its quadrants' means: chroma at half size at 1/8, or 1/4
        const bool below = by * 2 + 1 < height;
        for (int bx = 0; bx * 2 < width; ++bx) {
          double means[4];
          quadrant_means(row[bx], work.halves[c], means);
          const bool right = bx * 2 + 1 < width;
          out[bx * 2] = clamped(means[0]);
          if (right) out[bx * 2 + 1] = clamped(means[1]);
          if (below) {
            out[width + bx * 2] = clamped(means[2]);
            if (right) out[width + bx * 2 + 1] = clamped(means[3]);
          }
        }
        continue;
      }
      const Basis &across = basis(run_x), &down = basis(run_y);
      double means[DCTSIZE2];
      for (int bx = 0; bx * nx < width; ++bx) {
        block_means(row[bx], work.quant[c], across, down, means);
        for (int j = 0; j < ny && by * ny + j < height; ++j)
          for (int i = 0; i < nx && bx * nx + i < width; ++i)
            out[static_cast<size_t>(j) * width + bx * nx + i] = clamped(means[j * nx + i]);
      }
    }
  }
}

// Sample (x, y) of component c, the photo's edge repeated beyond it.
int sample_of(const Work& work, int c, int x, int y) {
  x = std::clamp(x, 0, work.samples_across[c] - 1);
  y = std::clamp(y, 0, work.samples_down[c] - 1);
  return work.samplers[c]->at(work.rows[c][y / 8][x / 8], x & 7, y & 7);
}

// Component c at the photo's pixel (px, py): its own sample, or the chroma
// brought up to full size as libjpeg's fancy upsampling does (jdsample.c:
// 3/4 of the nearer sample and 1/4 of the next, down and then across; the
// photo's edge repeated). The photos' own decodes are made so, and a share
// can hang on it where two colours differ mostly in chroma.
int component_at(const Work& work, int c, int px, int py) {
  const int fx = work.fx[c], fy = work.fy[c];
  const int x = px / fx, y = py / fy;
  if (fx == 2 && fy == 2) {
    const int nx = px & 1 ? x + 1 : x - 1, ny = py & 1 ? y + 1 : y - 1;
    // the samples around it in its block, and in the photo
    const bool across = px & 1 ? (x & 7) < 7 && nx < work.samples_across[c] : (x & 7) > 0;
    const bool down = py & 1 ? (y & 7) < 7 && ny < work.samples_down[c] : (y & 7) > 0;
    if (across && down) return work.samplers[c]->up(work.rows[c][y / 8][x / 8], px & 15, py & 15);
    const int here = 3 * sample_of(work, c, x, y) + sample_of(work, c, x, ny);
    const bool edge = nx < 0 || nx >= work.samples_across[c];
    const int next = edge ? here : 3 * sample_of(work, c, nx, y) + sample_of(work, c, nx, ny);
    return (3 * here + next + (px & 1 ? 7 : 8)) >> 4;
  }
  if (fx == 2 && fy == 1) {
    const int nx = px & 1 ? x + 1 : x - 1;
    const int here = sample_of(work, c, x, y);
    if (nx < 0 || nx >= work.samples_across[c]) return here;
    return (3 * here + sample_of(work, c, nx, y) + (px & 1 ? 2 : 1)) >> 2;
  }
  if (fx == 1 && fy == 2) {  // the edge rows repeated, as above
    const int ny = py & 1 ? y + 1 : y - 1;
    return (3 * sample_of(work, c, x, y) + sample_of(work, c, x, ny) + (py & 1 ? 2 : 1)) >> 2;
  }
  return sample_of(work, c, x, y);
}

// The sampled pixels: one in each cell of step x step luma blocks, at a
// place in the cell that moves from cell to cell by a low-discrepancy
// sequence (R2, after Roberts), so that every place of a cell is sampled
// about as often and no pattern of the photo lines up with the choice.
// Those of MCU row r: the pixels whose cells reach into it and which lie in it.
void mcu_row_pixels(const Work& work, int r) {
  constexpr double kR2X = 0.75487766624669276, kR2Y = 0.56984029099805327;
  const int cell = 8 * work.step, top = r * 8 * work.vmax, bottom = top + 8 * work.vmax;
  for (int j = top / cell; j < work.lattice_down && j * cell < bottom; ++j)
    for (int i = 0; i < work.lattice_across; ++i) {
      const double n = static_cast<double>(j) * work.lattice_across + i;
      const double fy = 0.5 + n * kR2Y;
      const int py = j * cell + static_cast<int>((fy - std::floor(fy)) * cell);
      if (py < top || py >= bottom) continue;
      const double fx = 0.5 + n * kR2X;
      const int px = i * cell + static_cast<int>((fx - std::floor(fx)) * cell);
      const size_t at = static_cast<size_t>(j) * work.lattice_across + i;
      for (int c = 0; c < work.components; ++c)
        work.picked[c][at] = static_cast<uint8_t>(component_at(work, c, px, py));
    }
}

// The work that the MCU rows read so far allow: every block row of them
// taken, the small image's rows, and the sampled pixels of each MCU row once
// the next is read too (the chroma around a pixel reaches a sample further
// down). A ring keeps the MCU rows this needs: the one being read, the one
// whose pixels are taken, and the one above that.
void catch_up(j_common_ptr info, int mcu_rows_read) {
  Work& work = work_of(info);
  for (; work.rows_read < mcu_rows_read; ++work.rows_read)
    for (int c = 0; c < work.components; ++c) {
      // libjpeg hands out at most one MCU row of a component at a time
      JBLOCKARRAY some = (*info->mem->access_virt_barray)(
          info, work.arrays[c], static_cast<JDIMENSION>(work.rows_read * work.v[c]),
          static_cast<JDIMENSION>(work.v[c]), FALSE);
      for (int i = 0; i < work.v[c]; ++i) work.rows[c][work.rows_read * work.v[c] + i] = some[i];
    }
  for (; work.small_done < mcu_rows_read; ++work.small_done) small_rows(work, work.small_done);
  const int ready = mcu_rows_read == work.mcu_rows ? work.mcu_rows : mcu_rows_read - 1;
  for (; work.pixels_done < ready; ++work.pixels_done) mcu_row_pixels(work, work.pixels_done);
}

void on_progress(j_common_ptr info) {
  Work& work = work_of(info);
  auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (work.as_read && decompress->input_scan_number == 1 && work.n_arrays == work.components)
    catch_up(info, static_cast<int>(decompress->input_iMCU_row));
}

// The header read, the photo's layout in work; false for a failure, a
// warning, or a photo this does not read. The caller destroys info.
bool read_header(jpeg_decompress_struct& info, Errors& errors, const uint8_t* data, size_t size,
                 size_t max_bytes, size_t pixels, Work& work) {
  if (setjmp(errors.jump)) return false;
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || errors.warnings) return false;
  const bool colour = info.num_components == 3 && info.jpeg_color_space == JCS_YCbCr;
  const bool grey = info.num_components == 1 && info.jpeg_color_space == JCS_GRAYSCALE;
  if (!colour && !grey) return false;
  work.width = static_cast<int>(info.image_width);
  work.height = static_cast<int>(info.image_height);
  work.components = info.num_components;
  work.hmax = info.max_h_samp_factor;
  work.vmax = info.max_v_samp_factor;
  // the luma at full resolution, the chroma at whole fractions of it; whole
  // blocks to sample
  if (info.comp_info[0].h_samp_factor != work.hmax ||
      info.comp_info[0].v_samp_factor != work.vmax || work.width < 8 || work.height < 8 ||
      pixels == 0)
    return false;
  size_t bytes = 0;
  for (int c = 0; c < work.components; ++c) {
    const jpeg_component_info& component = info.comp_info[c];
    work.h[c] = component.h_samp_factor;
    work.v[c] = component.v_samp_factor;
    if (work.hmax % work.h[c] || work.vmax % work.v[c]) return false;
    work.fx[c] = work.hmax / work.h[c];
    work.fy[c] = work.vmax / work.v[c];
    if (!mappable(work.fx[c]) || !mappable(work.fy[c])) return false;
    work.samples_across[c] = static_cast<int>(component.downsampled_width);
    work.samples_down[c] = static_cast<int>(component.downsampled_height);
    const size_t across = (component.width_in_blocks + work.h[c] - 1) / work.h[c] * work.h[c];
    work.rings[c].across = across;
    work.rings[c].v = work.v[c];
    work.block_rows[c] =
        static_cast<int>((component.height_in_blocks + work.v[c] - 1) / work.v[c] * work.v[c]);
    bytes += across * static_cast<size_t>(work.block_rows[c]) * sizeof(JBLOCK);
  }
  work.mcu_rows = static_cast<int>(info.total_iMCU_rows);
  work.as_read = !info.progressive_mode && info.comps_in_scan == info.num_components;
  work.small_width = (work.width + work.scale - 1) / work.scale;
  work.small_height = (work.height + work.scale - 1) / work.scale;
  // a lattice of whole luma blocks (the last row and column may hold
  // samples beyond the photo's edge), every step-th across and down
  const int usable_across = work.width / 8, usable_down = work.height / 8;
  while (static_cast<size_t>(usable_across / work.step) * (usable_down / work.step) > pixels)
    ++work.step;
  work.lattice_across = usable_across / work.step;
  work.lattice_down = usable_down / work.step;
  work.ringed = work.as_read;
  work.depth = 3;  // see catch_up
  return work.ringed || bytes <= max_bytes;
}

// The coefficients read, the work following the decoder (or done after it);
// false for a failure or a warning. The caller destroys info.
bool read_coefficients(jpeg_decompress_struct& info, Errors& errors, Work& work) {
  if (setjmp(errors.jump)) return false;
  info.client_data = &work;
  work.request = info.mem->request_virt_barray;
  info.mem->request_virt_barray = requested;
  work.access = info.mem->access_virt_barray;
  info.mem->access_virt_barray = accessed;
  work.progress.progress_monitor = on_progress;
  info.progress = &work.progress;
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
  if (!arrays || errors.warnings || work.n_arrays != work.components || work.misused) return false;
  for (int c = 0; c < work.components; ++c) {
    // the tables the decoder latched for the first scan of each component
    // are the header's, which the work has used
    const JQUANT_TBL* table = info.comp_info[c].quant_table;
    if (arrays[c] != work.arrays[c] || !table) return false;
    for (int i = 0; i < DCTSIZE2; ++i)
      if (table->quantval[i] != work.quant[c][i]) return false;
  }
  // what the decoder's last row, or a photo of several scans, left
  work.as_read = true;
  catch_up(reinterpret_cast<j_common_ptr>(&info), work.mcu_rows);
  return work.pixels_done == work.mcu_rows && !work.misused;
}

}  // namespace

bool sample(const uint8_t* data, size_t size, int scale, size_t max_bytes, size_t pixels,
            Sampled& out) {
  jpeg_decompress_struct info{};
  Errors errors{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = on_error;
  errors.manager.emit_message = on_message;
  errors.manager.output_message = silent;
  Work work;
  if (scale != 8 && scale != 4) return false;
  work.scale = scale;
  bool read = read_header(info, errors, data, size, max_bytes, pixels, work);
  std::vector<JBLOCKROW> rows[kMaxComponents];
  std::vector<uint8_t> small[kMaxComponents], picked[kMaxComponents];
  std::vector<Sampler> samplers;
  std::vector<JCOEF> ring_blocks[kMaxComponents];  // DCTSIZE2 to a block
  std::vector<JBLOCKROW> ring_rows[kMaxComponents];
  try {
    if (read) {
      const size_t small_n = static_cast<size_t>(work.small_width) * work.small_height;
      const size_t picked_n = static_cast<size_t>(work.lattice_across) * work.lattice_down;
      for (int c = 0; c < work.components; ++c) {
        rows[c].resize(static_cast<size_t>(work.block_rows[c]));
        small[c].resize(small_n);
        picked[c].resize(picked_n);
        work.rows[c] = rows[c].data();
        work.small[c] = small[c].data();
        work.picked[c] = picked[c].data();
        if (work.ringed) {
          Work::Ring& ring = work.rings[c];
          ring_rows[c].resize(static_cast<size_t>(work.depth) * ring.v);
          ring_blocks[c].resize(ring_rows[c].size() * ring.across * DCTSIZE2);
          ring.rows = ring_rows[c].data();
          ring.blocks = reinterpret_cast<JBLOCK*>(ring_blocks[c].data());
        }
      }
      // the quantisation tables as the header gives them (checked once read)
      samplers.resize(static_cast<size_t>(work.components));
      for (int c = 0; c < work.components; ++c) {
        // the header's table number as it stands (libjpeg checks it only
        // once the scan starts)
        const int number = info.comp_info[c].quant_tbl_no;
        const JQUANT_TBL* table =
            number >= 0 && number < NUM_QUANT_TBLS ? info.quant_tbl_ptrs[number] : nullptr;
        if (!table) read = false;
        for (int i = 0; read && i < DCTSIZE2; ++i) work.quant[c][i] = table->quantval[i];
        samplers[c].prepare(work.quant[c], work.fx[c] == 2 && work.fy[c] == 2);
        const Basis& half = basis(4);
        for (int v = 0; v < DCTSIZE; ++v)
          for (int u = 0; u < DCTSIZE; ++u)
            work.halves[c][v * DCTSIZE + u] =
                work.quant[c][v * DCTSIZE + u] * half.mean[0][u] * half.mean[0][v];
        work.samplers[c] = &samplers[c];
      }
    }
    read = read && read_coefficients(info, errors, work);
    if (read) {
      out.width = work.width;
      out.height = work.height;
      out.small = {work.small_width, work.small_height, std::vector<uint8_t>(small[0].size() * 3)};
      to_bgr(work.components, work.small, small[0].size(), out.small.pixels.data());
      out.picked = {work.lattice_across, work.lattice_down,
                    std::vector<uint8_t>(picked[0].size() * 3)};
      to_bgr(work.components, work.picked, picked[0].size(), out.picked.pixels.data());
    }
  } catch (...) {
    jpeg_destroy_decompress(&info);
    throw;
  }
  jpeg_destroy_decompress(&info);
  return read;
}

}  // namespace jpeg
