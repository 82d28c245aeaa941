// Block means of the three channels of both views, row by row: running column sums over the
// block's pixel rows (one pass over each entering and leaving row, all three channels at
// once), a running sum along the row per channel, and the division by the block area as a
// multiplication and a shift.

#include <cstdint>
#include <cstring>

#include "matcher/block_means.h"
#include "matcher/memory.h"

namespace ondrel::internal {

namespace {

// Division of a block sum 0 <= a <= 2^31 by the area d > 0 as a multiplication and a shift
// (a hardware division costs more than the rest of the phase): with 2^(l-1) < d <= 2^l,
// s = 31 + l and m = ceil(2^s / d) < 2^32, floor(a * m / 2^s) = floor(a / d), since the
// excess a * (m d - 2^s) / (d 2^s) stays below 1/d.
struct Reciprocal {
  uint64_t m;
  int s;
};

Reciprocal reciprocal_of(int d) {
  int l = 0;
  while ((int64_t{1} << l) < d) ++l;
  const int s = 31 + l;
  return {((uint64_t{1} << s) + static_cast<uint64_t>(d) - 1) / static_cast<uint64_t>(d), s};
}

// (a mean of bytes is at most 255)
inline unsigned char divide(int a, const Reciprocal& q) {
  return static_cast<unsigned char>((static_cast<uint64_t>(static_cast<uint32_t>(a)) * q.m) >> q.s);
}

}  // namespace

void block_means_rows(const unsigned char* image, size_t stride, int W, int H, int r, unsigned char* const planes[3],
                      int y_begin, int y_end, int* columns) {
  if (r < 0 || 2 * r + 1 > W || 2 * r + 1 > H) return;
  if (y_begin < r) y_begin = r;
  if (y_end > H - r) y_end = H - r;
  if (y_begin >= y_end) return;
  const int n = 2 * r + 1, values = 3 * W;
  const Reciprocal area = reciprocal_of(n * n);
  const auto row_of = [&](int y) { return image + static_cast<size_t>(y) * stride; };
  int* __restrict col = columns;
  // columns[3x + c]: channel c of column x summed over pixel rows y - r .. y + r
  for (int i = 0; i < values; ++i) col[i] = 0;
  for (int y = y_begin - r; y <= y_begin + r; ++y) {
    const unsigned char* __restrict p = row_of(y);
    for (int i = 0; i < values; ++i) col[i] += p[i];
  }
  for (int y = y_begin; y < y_end; ++y) {
    if (y > y_begin) {
      const unsigned char* __restrict entering = row_of(y + r);
      const unsigned char* __restrict leaving = row_of(y - r - 1);
      for (int i = 0; i < values; ++i) col[i] += static_cast<int>(entering[i]) - static_cast<int>(leaving[i]);
    }
    const size_t row = static_cast<size_t>(y) * static_cast<size_t>(W);
    unsigned char* __restrict out0 = planes[0] + row;
    unsigned char* __restrict out1 = planes[1] + row;
    unsigned char* __restrict out2 = planes[2] + row;
    int s0 = 0, s1 = 0, s2 = 0;
    for (int x = 0; x < n; ++x) {
      s0 += col[3 * x];
      s1 += col[3 * x + 1];
      s2 += col[3 * x + 2];
    }
    out0[r] = divide(s0, area);
    out1[r] = divide(s1, area);
    out2[r] = divide(s2, area);
    for (int x = r + 1; x < W - r; ++x) {
      const int* entering = col + 3 * (x + r);
      const int* leaving = col + 3 * (x - r - 1);
      s0 += entering[0] - leaving[0];
      s1 += entering[1] - leaving[1];
      s2 += entering[2] - leaving[2];
      out0[x] = divide(s0, area);
      out1[x] = divide(s1, area);
      out2[x] = divide(s2, area);
    }
  }
}

// Zeros where block_means_rows writes no mean, in this thread's share of the rows of every
// plane (the planes come uninitialized: clearing them whole took most of the tables' time).
static void clear_borders(const BlockMeanContext& ctx, int thread, int nthreads) {
  const int W = ctx.W, H = ctx.H, r = ctx.r;
  const bool inside = r >= 0 && 2 * r + 1 <= W && 2 * r + 1 <= H;  // any mean written at all
  const ItemRange rows = static_split(H, nthreads, thread);
  for (long long y = rows.begin; y < rows.end; ++y) {
    for (unsigned char* plane : ctx.planes) {
      unsigned char* row = plane + static_cast<size_t>(y) * static_cast<size_t>(W);
      if (!inside || y < r || y >= H - r) {
        std::memset(row, 0, static_cast<size_t>(W));
      } else {
        std::memset(row, 0, static_cast<size_t>(r));
        std::memset(row + W - r, 0, static_cast<size_t>(r));
      }
    }
  }
}

bool block_mean_region_QUIRN(const BlockMeanContext& ctx, int thread, int nthreads) {
  // the rows whose blocks lie inside, split evenly
  const int r = ctx.r > 0 ? ctx.r : 0;
  const ItemRange rows = static_split(ctx.H - 2 * r > 0 ? ctx.H - 2 * r : 0, nthreads, thread);
  int* columns = nullptr;
  if (rows.begin < rows.end) {
    columns = ondrel_alloc_array<int>(3 * static_cast<size_t>(ctx.W));
    if (!columns) return false;
  }
  clear_borders(ctx, thread, nthreads);
  if (!columns) return true;
  unsigned char* const left[3] = {ctx.planes[left_plane(0)], ctx.planes[left_plane(1)], ctx.planes[left_plane(2)]};
  unsigned char* const right[3] = {ctx.planes[right_plane(0)], ctx.planes[right_plane(1)], ctx.planes[right_plane(2)]};
  const int begin = r + static_cast<int>(rows.begin), end = r + static_cast<int>(rows.end);
  block_means_rows(ctx.left, ctx.left_stride, ctx.W, ctx.H, ctx.r, left, begin, end, columns);
  block_means_rows(ctx.right, ctx.right_stride, ctx.W, ctx.H, ctx.r, right, begin, end, columns);
  ondrel_free(columns);
  return true;
}

ItemRange static_split(long long n, int nthreads, int thread) {
  const long long chunk = n / nthreads + (n % nthreads != 0 ? 1 : 0);
  const long long begin = thread * chunk;
  const long long end = begin + chunk < n ? begin + chunk : n;
  return begin < end ? ItemRange{begin, end} : ItemRange{n, n};
}

}  // namespace ondrel::internal
