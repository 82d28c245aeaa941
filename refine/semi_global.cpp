// The stages of the refined pipeline (see semi_global.h).

#include "refine/semi_global.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

#include "matcher/simd/kernel_table.h"

namespace ondrel {
namespace refine {
namespace {

constexpr int kLinesPerBlock = 32;  // scanlines of a direction that step together

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
    // the columns away from the border one neighbour at a time over the row (loops the
    // compiler vectorises), the border columns with their clamped neighbours
    const int inner_begin = std::min(4, W), inner_end = std::max(inner_begin, W - 4);
    for (int x = inner_begin; x < inner_end; ++x) out[x] = 0;
    int k = 0;
    for (int v = 0; v < 7; ++v)
      for (int u = -4; u <= 4; ++u) {
        if (v == 3 && u == 0) continue;
        const int16_t* r = rows[v] + u;
        for (int x = inner_begin; x < inner_end; ++x) out[x] |= static_cast<uint64_t>(r[x] < centre[x]) << k;
        ++k;
      }
    for (int x = 0; x < W; ++x) {
      if (x == inner_begin) x = inner_end;
      if (x >= W) break;
      uint64_t bits = 0;
      k = 0;
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

// The paths along (dx, dy) and, for a row (dy = 0), along (-dx, 0) too.
bool add_direction(const uint8_t* cost, const int16_t* grey, int W, int H, int Dp, int dx, int dy,
                   const Penalties& penalties, int threads, int16_t* sums) {
  const simd::SemiGlobalStep step = simd::kernel_table().semi_global_step;
  // path costs of a scanline: two buffers of Dp values with an edge value before and after
  const size_t span = static_cast<size_t>(Dp) + 2;
  int16_t* scratch = new (std::nothrow) int16_t[static_cast<size_t>(threads) * kLinesPerBlock * 2 * span];
  if (!scratch) return false;
  for (size_t i = 0; i < static_cast<size_t>(threads) * kLinesPerBlock * 2 * span; ++i)
    scratch[i] = simd::kSemiGlobalOutside;
  auto buffer = [&](int line, int parity) {
    return scratch + ((static_cast<size_t>(omp_get_thread_num()) * kLinesPerBlock + static_cast<size_t>(line)) * 2 +
                      static_cast<size_t>(parity)) * span + 1;
  };
  if (dy == 0) {
    // both directions of a row in one task: the second finds the row in the cache
#pragma omp parallel for num_threads(threads) schedule(dynamic, 4)
    for (int y = 0; y < H; ++y)
      for (int direction : {dx, -dx}) {
        int lowest = 0;
        for (int i = 0; i < W; ++i) {
          const int x = direction > 0 ? i : W - 1 - i;
          const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(y) * W + x;
          const int penalty = i > 0 ? penalty_between(penalties, grey[p], grey[p - direction]) : 0;
          lowest = step(cost + p * Dp, i > 0 ? buffer(0, (i - 1) & 1) : nullptr, buffer(0, i & 1), sums + p * Dp, Dp,
                        penalties.p1, penalty, lowest);
        }
      }
  } else {
    // the scanlines by their column at the first row (outside the image for the diagonals'
    // lines that enter it from the side), in blocks of adjacent lines that step together, so
    // that each step reads adjacent pixels of one row
    const int first_y = dy > 0 ? 0 : H - 1;
    const int c_begin = dx > 0 ? -(H - 1) : 0, c_end = dx < 0 ? W + H - 1 : W;
    const int blocks = (c_end - c_begin + kLinesPerBlock - 1) / kLinesPerBlock;
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1)
    for (int block = 0; block < blocks; ++block) {
      const int c0 = c_begin + block * kLinesPerBlock;
      const int lines = std::min(kLinesPerBlock, c_end - c0);
      int lowest[kLinesPerBlock] = {};
      bool started[kLinesPerBlock] = {};
      for (int t = 0; t < H; ++t) {
        const int y = first_y + t * dy;
        for (int j = 0; j < lines; ++j) {
          const int x = c0 + j + t * dx;
          if (x < 0 || x >= W) continue;
          const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(y) * W + x;
          const std::ptrdiff_t q = p - static_cast<std::ptrdiff_t>(dy) * W - dx;
          const int penalty = started[j] ? penalty_between(penalties, grey[p], grey[q]) : 0;
          lowest[j] = step(cost + p * Dp, started[j] ? buffer(j, (t - 1) & 1) : nullptr, buffer(j, t & 1),
                           sums + p * Dp, Dp, penalties.p1, penalty, lowest[j]);
          started[j] = true;
        }
      }
    }
  }
  delete[] scratch;
  return true;
}

}  // namespace

bool add_paths(const uint8_t* cost, const int16_t* grey, int W, int H, int Dp, int paths, const Penalties& penalties,
               int threads, int16_t* sums) {
  // rows (both ways), columns, then the diagonals
  static const int kDirections[7][2] = {{1, 0}, {0, 1}, {0, -1}, {1, 1}, {-1, -1}, {1, -1}, {-1, 1}};
  for (int i = 0; i < paths - 1; ++i)
    if (!add_direction(cost, grey, W, H, Dp, kDirections[i][0], kDirections[i][1], penalties, threads, sums))
      return false;
  return true;
}

void winners_row(const int16_t* sums, int W, int d_min, int D, int Dp, int uniqueness, int tolerance, int y,
                 int16_t* right_winners, float* disparity, float* margin) {
  const int16_t* row = sums + static_cast<std::ptrdiff_t>(y) * W * Dp;
  // the right view's winners, along the other diagonal of the same sums: lane k of pixel x is
  // right column x - d_min - k, kept reversed (index W - 1 - column) so that a pixel's lanes
  // meet consecutive entries; scanning x upwards meets a column's lanes k upwards, so the
  // lowest k of equal sums stays
  int16_t* right_low = right_winners;
  int16_t* right_best = right_winners + W;
  for (int j = 0; j < W; ++j) right_low[j] = 0x7FFF, right_best[j] = -1;
  for (int x = 0; x < W; ++x) {
    const int16_t* s = row + static_cast<std::ptrdiff_t>(x) * Dp;
    const int k_begin = std::max(0, x - d_min - (W - 1)), k_end = std::min(D, x - d_min + 1);
    const int base = W - 1 - x + d_min;
    for (int k = k_begin; k < k_end; ++k) {
      const bool lower = s[k] < right_low[base + k];
      right_low[base + k] = lower ? s[k] : right_low[base + k];
      right_best[base + k] = lower ? static_cast<int16_t>(k) : right_best[base + k];
    }
  }
  for (int x = 0; x < W; ++x) {
    const int16_t* s = row + static_cast<std::ptrdiff_t>(x) * Dp;
    // loops without a carried index, which the compiler vectorises
    int lowest = 0x7FFF;
    for (int k = 0; k < D; ++k) lowest = std::min<int>(lowest, s[k]);
    int best = 0;
    while (s[best] != lowest) ++best;
    int second = 0x7FFF;
    for (int k = 0; k < best - 1; ++k) second = std::min<int>(second, s[k]);
    for (int k = best + 2; k < D; ++k) second = std::min<int>(second, s[k]);
    float value = NAN, m = 0.0f;
    const int xr = x - d_min - best;
    const bool unique = second == 0x7FFF || second * (100 - uniqueness) >= lowest * 100;
    const bool consistent =
        tolerance < 0 || (xr >= 0 && xr < W && right_best[W - 1 - xr] >= 0 && std::abs(right_best[W - 1 - xr] - best) <= tolerance);
    if (unique && consistent) {
      float offset = 0.0f;
      if (best > 0 && best < D - 1) {
        const int denominator = s[best - 1] + s[best + 1] - 2 * lowest;
        if (denominator > 0) offset = static_cast<float>(s[best - 1] - s[best + 1]) / static_cast<float>(2 * denominator);
      }
      value = static_cast<float>(d_min + best) + offset;
      m = second == 0x7FFF || second == 0 ? 1.0f : static_cast<float>(second - lowest) / static_cast<float>(second);
    }
    disparity[x] = value;
    if (margin) margin[x] = m;
  }
}

}  // namespace refine
}  // namespace ondrel
