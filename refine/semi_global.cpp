// The stages of the refined pipeline (see semi_global.h).

#include "refine/semi_global.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "matcher/simd/kernel_table.h"

namespace ondrel::internal {
namespace {

int clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

}  // namespace

void grey_plane(const unsigned char* view, std::ptrdiff_t stride, int W, int H, int16_t* grey) {
  for (int y = 0; y < H; ++y) {
    const unsigned char* row = view + y * stride;
    for (int x = 0; x < W; ++x)
      grey[static_cast<std::ptrdiff_t>(y) * W + x] = static_cast<int16_t>(row[3 * x] + row[3 * x + 1] + row[3 * x + 2]);
  }
}

void census_rows(const int16_t* grey, int W, int H, int y0, int y1, uint64_t* census) {
  for (int y = y0; y < y1; ++y) {
    const int16_t* rows[7];
    for (int v = 0; v < 7; ++v) rows[v] = grey + static_cast<std::ptrdiff_t>(clamp(y + v - 3, 0, H - 1)) * W;
    uint64_t* out = census + static_cast<std::ptrdiff_t>(y) * W;
    const int16_t* centre = rows[3];
    // the columns away from the border in the vector kernel, the border columns with their
    // clamped neighbours
    const int inner_begin = std::min(4, W), inner_end = std::max(inner_begin, W - 4);
    simd::kernel_table().semi_global_census(rows, inner_begin, inner_end, out);
    for (int x = 0; x < W; ++x) {
      if (x == inner_begin) x = inner_end;
      if (x >= W) break;
      uint64_t bits = 0;
      int k = 0;
      for (int v = 0; v < 7; ++v)
        for (int u = -4; u <= 4; ++u) {
          if (v == 3 && u == 0) continue;
          bits |= static_cast<uint64_t>(rows[v][clamp(x + u, 0, W - 1)] < centre[x]) << k++;
        }
      out[x] = bits;
    }
  }
}

void cost_row(const uint64_t* census_left, const uint64_t* census_right, int W, int y, int d_min, int D, int Dp,
              uint64_t* extended, uint8_t* cost) {
  const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(y) * W;
  // extended[j]: the right string at column j - (d_min + D - 1), clamped
  const int shift = d_min + D - 1;
  for (int j = 0; j < W + D - 1; ++j) extended[j] = census_right[row + clamp(j - shift, 0, W - 1)];
  simd::kernel_table().semi_global_costs(census_left + row, extended, W, D, Dp, cost);
}

namespace {

int penalty_between(const Penalties& penalties, int grey, int previous_grey) {
  if (penalties.edge <= 0) return penalties.p2;
  const int p2 = penalties.p2 * penalties.edge / (penalties.edge + std::abs(grey - previous_grey));
  return std::max(penalties.p1, p2);
}

constexpr size_t kAlign = 64;
size_t aligned(size_t bytes) { return (bytes + kAlign - 1) / kAlign * kAlign; }

// The paths that come from the row before (vertical, then the diagonals) at most.
constexpr int kColumnPaths = 3;

// One worker's scratch, carved from band_scratch_bytes.
struct Band {
  size_t span;           // path costs of a pixel: Dp values with an edge value before and after
  uint8_t* cost;         // a row's costs (found again on the way up: cheaper than keeping them)
  // The body's rows of the downward sweep, kept for the upward one: the path costs from the
  // row above in bytes where they fit one (see keeps_bytes), else the sum of the paths from
  // the row above (the vertical and the diagonals) in 16 bits. The paths along the rows wait
  // for the upward sweep, so that what is kept is as small as it can be: every byte of it is
  // a page the kernel clears on a fresh process.
  uint8_t* kept_bytes;
  int16_t* kept;
  int16_t* total;        // a row's sums of all paths
  int16_t* column[kColumnPaths][2];  // path costs of the rows before and now, W x span
  int16_t* column_lowest[kColumnPaths][2];
  int16_t* large[kColumnPaths + 1];  // P2 of a row's pixels on each column path, then along the row
  int16_t* row;                      // path costs along the row, 4 x span
  uint64_t* extended;
  int16_t* right_winners;

  // Lays it out from `base` (null: only counts); returns the bytes.
  size_t carve(unsigned char* base, int W, int D, int Dp, int body, bool bytes) {
    size_t at = 0;
    const auto take = [&](auto* type, size_t n) {
      using T = std::remove_pointer_t<decltype(type)>;
      T* p = base ? reinterpret_cast<T*>(base + at) : nullptr;
      at += aligned(n * sizeof(T));
      return p;
    };
    const size_t w = static_cast<size_t>(W), volume_row = w * static_cast<size_t>(Dp);
    span = static_cast<size_t>(Dp) + 2;
    cost = take(static_cast<uint8_t*>(nullptr), volume_row);
    kept_bytes = bytes ? take(static_cast<uint8_t*>(nullptr), volume_row * static_cast<size_t>(body)) : nullptr;
    kept = bytes ? nullptr : take(static_cast<int16_t*>(nullptr), volume_row * static_cast<size_t>(body));
    total = take(static_cast<int16_t*>(nullptr), volume_row);
    for (auto& path : column)
      for (auto& rows : path) rows = take(static_cast<int16_t*>(nullptr), w * span);
    for (auto& path : column_lowest)
      for (auto& rows : path) rows = take(static_cast<int16_t*>(nullptr), w);
    for (auto& l : large) l = take(static_cast<int16_t*>(nullptr), w);
    row = take(static_cast<int16_t*>(nullptr), 4 * span);
    extended = take(static_cast<uint64_t*>(nullptr), w + static_cast<size_t>(D));
    right_winners = take(static_cast<int16_t*>(nullptr), winners_scratch_size(W));
    return at;
  }
};

// The steps of row y of the paths from the row before (dy = 1) or after (dy = -1): `columns`
// of them, the vertical first, then the diagonals along dx = 1 and -1; `first`: the row where
// they enter. Their sums go to `sums` after `add` (null: 0), or in bytes (see
// SemiGlobalColumns) after add_bytes and into keep_bytes where those are not null.
void column_paths(const Band& band, const uint8_t* cost, const int16_t* grey, int W, int y, int dy, bool first,
                  int columns, int Dp, const Penalties& penalties, const int16_t* add, int16_t* sums,
                  const uint8_t* add_bytes = nullptr, uint8_t* keep_bytes = nullptr) {
  static const int kDx[kColumnPaths] = {0, 1, -1};
  const int now = y & 1, before = now ^ 1;
  simd::SemiGlobalColumns c{};
  c.paths = columns;
  c.span = static_cast<int>(band.span);
  c.add_bytes = add_bytes;
  c.keep_bytes = keep_bytes;
  for (int j = 0; j < columns; ++j) {
    c.before[j] = first ? nullptr : band.column[j][before] + 1;
    c.lowest_before[j] = band.column_lowest[j][before];
    c.large[j] = band.large[j];
    c.now[j] = band.column[j][now] + 1;
    c.lowest_now[j] = band.column_lowest[j][now];
    if (penalties.edge > 0 && !first) {
      const int16_t* g = grey + static_cast<std::ptrdiff_t>(y) * W;
      const int16_t* g_before = g - static_cast<std::ptrdiff_t>(dy) * W;
      const int from = std::max(0, kDx[j]), to = std::min(W, W + kDx[j]);
      for (int x = from; x < to; ++x)
        band.large[j][x] = static_cast<int16_t>(penalty_between(penalties, g[x], g_before[x - kDx[j]]));
    }
  }
  simd::kernel_table().semi_global_column_paths(cost, W, Dp, penalties.p1, c, add, sums);
}

// Both paths along row y added to its sums.
void row_paths(const Band& band, const uint8_t* cost, const int16_t* grey, int W, int y, int Dp,
               const Penalties& penalties, int16_t* sums) {
  int16_t* const large = band.large[kColumnPaths];
  if (penalties.edge > 0) {
    const int16_t* g = grey + static_cast<std::ptrdiff_t>(y) * W;
    for (int x = 0; x + 1 < W; ++x) large[x] = static_cast<int16_t>(penalty_between(penalties, g[x + 1], g[x]));
  }
  simd::kernel_table().semi_global_row_paths(cost, W, Dp, penalties.p1, large, band.row, sums);
}

}  // namespace

bool keeps_bytes(int paths, const Penalties& penalties) {
  // a path cost is the pixel's cost (at most 62) plus at most P2 (the lowest of the pixel
  // before subtracted): it fits a byte while P2 <= 193; the padding lanes, which no winner
  // reads, are cut at 255
  return paths == 4 && penalties.p2 <= 255 - 62;
}

size_t band_scratch_bytes(int W, int D, int Dp, int body, int paths, const Penalties& penalties) {
  return Band().carve(nullptr, W, D, Dp, body, keeps_bytes(paths, penalties));
}

bool semi_global_rows(const uint64_t* census_left, const uint64_t* census_right, const int16_t* grey, int W, int H,
                      int d_min, int D, int Dp, int paths, const Penalties& penalties, int uniqueness, int tolerance,
                      int body, int margin, int workers, unsigned char* scratch, RowsDone progress,
                      void* progress_user, float* disparity, float* margins) {
  const int bands = (H + body - 1) / body;
  const int columns = paths == 8 ? kColumnPaths : 1;
  const bool bytes = keeps_bytes(paths, penalties);
  const size_t scratch_bytes = band_scratch_bytes(W, D, Dp, body, paths, penalties);
  const size_t volume_row = static_cast<size_t>(W) * static_cast<size_t>(Dp);
  std::atomic<int> rows_done{0};
  std::atomic<bool> cancelled{false};
#pragma omp parallel num_threads(workers)
  {
    Band band;
    band.carve(scratch + static_cast<size_t>(omp_get_thread_num()) * scratch_bytes, W, D, Dp, body, bytes);
    // the edge values of the path costs, never written by the steps
    for (auto& path : band.column)
      for (int16_t* rows : path)
        for (int x = 0; x < W; ++x)
          rows[static_cast<size_t>(x) * band.span] = rows[static_cast<size_t>(x) * band.span + band.span - 1] =
              simd::kSemiGlobalOutside;
    // P2 without the edge rule: the same everywhere
    if (penalties.edge <= 0)
      for (int16_t* l : band.large) std::fill(l, l + W, static_cast<int16_t>(penalties.p2));
#pragma omp for schedule(dynamic, 1)
    for (int b = 0; b < bands; ++b) {
      if (cancelled.load(std::memory_order_relaxed)) continue;
      const int y0 = b * body, y1 = std::min(H, y0 + body);
      const int v0 = std::max(0, y0 - margin), v1 = std::min(H, y1 + margin);
      // downward: the top margin warms the paths from above; the body's rows keep them
      for (int y = v0; y < y1; ++y) {
        const bool in_body = y >= y0;
        const size_t at = static_cast<size_t>(y - y0) * volume_row;
        cost_row(census_left, census_right, W, y, d_min, D, Dp, band.extended, band.cost);
        // (a margin row's sums go to the row of totals, which nothing reads before the body's)
        column_paths(band, band.cost, grey, W, y, 1, y == v0, columns, Dp, penalties, nullptr,
                     in_body && !bytes ? band.kept + at : band.total, nullptr,
                     in_body && bytes ? band.kept_bytes + at : nullptr);
      }
      // upward: the bottom margin warms the paths from below; each body row's total of the
      // paths from above, from below and along the row gives its winners
      for (int y = v1 - 1; y >= y0; --y) {
        const bool in_body = y < y1;
        const size_t at = static_cast<size_t>(y - y0) * volume_row;
        cost_row(census_left, census_right, W, y, d_min, D, Dp, band.extended, band.cost);
        column_paths(band, band.cost, grey, W, y, -1, y == v1 - 1, columns, Dp, penalties,
                     in_body && !bytes ? band.kept + at : nullptr, band.total,
                     in_body && bytes ? band.kept_bytes + at : nullptr);
        if (in_body) {
          row_paths(band, band.cost, grey, W, y, Dp, penalties, band.total);
          winners_row(band.total, W, d_min, D, Dp, uniqueness, tolerance, band.right_winners,
                      disparity + static_cast<size_t>(y) * W, margins ? margins + static_cast<size_t>(y) * W : nullptr);
        }
      }
      const int done = rows_done.fetch_add(y1 - y0, std::memory_order_relaxed) + (y1 - y0);
      if (omp_get_thread_num() == 0 && progress && !progress(progress_user, done, H))
        cancelled.store(true, std::memory_order_relaxed);
    }
  }
  return !cancelled.load();
}

size_t winners_scratch_size(int W) { return 8 * static_cast<size_t>(W) + 4 * simd::kSemiGlobalWinnersPad; }

void winners_row(const int16_t* row, int W, int d_min, int D, int Dp, int uniqueness, int tolerance, int16_t* scratch,
                 float* disparity, float* margin) {
  const size_t padded = static_cast<size_t>(W) + 2 * simd::kSemiGlobalWinnersPad;
  int16_t* const right_low = scratch;
  int16_t* const right_best = scratch + padded;
  int16_t* const bests = scratch + 2 * padded;
  int16_t* const lowests = bests + W;
  int16_t* const seconds = lowests + W;
  int16_t* const below = seconds + W;
  int16_t* const above = below + W;
  int16_t* const match = above + W;
  const simd::KernelTable& kernels = simd::kernel_table();
  kernels.semi_global_winners(row, W, d_min, D, Dp, right_low, right_best, bests, lowests, seconds);
  // the sums beside the best lane and the right view's best lane at the match, for the
  // vector kernel to take the rest in lanes of pixels
  const int16_t* const right = right_best + simd::kSemiGlobalWinnersPad;
  for (int x = 0; x < W; ++x) {
    const int16_t* s = row + static_cast<std::ptrdiff_t>(x) * Dp;
    const int best = bests[x], xr = x - d_min - best;
    below[x] = s[best > 0 ? best - 1 : best];
    above[x] = s[best + 1 < D ? best + 1 : best];
    match[x] = xr >= 0 && xr < W ? right[W - 1 - xr] : -1;
  }
  kernels.semi_global_pick(bests, lowests, seconds, below, above, match, W, d_min, D, uniqueness, tolerance, disparity,
                           margin);
}

}  // namespace ondrel::internal
