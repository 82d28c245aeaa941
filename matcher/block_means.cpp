// Block means of the three channels of both views: block sums by running sums, then an
// in-place integer division by the block area.

#include <cstdint>

#include "matcher/kernels.h"
#include "matcher/memory.h"

int box_filtering_sum_QUIRN(int W, int H, int stride, const unsigned char* image, int c, int* out,
                            int r) {
  if (r < 0 || 2 * r + 1 > W || 2 * r + 1 > H || c < 0 || c > 2) return 0;
  const auto p = [&](int x, int y) -> int {
    return image[static_cast<size_t>(y) * static_cast<size_t>(stride) + 3 * static_cast<size_t>(x) + c];
  };
  const auto at = [&](int x, int y) -> int& { return out[static_cast<size_t>(y) * W + x]; };
  // col[k]: the sum of column k over the 2r+1 pixel rows of the current block row
  int* col = ondrel_alloc_array<int>(static_cast<size_t>(W));
  if (!col) return -1;
  const auto column = [&](int x) {
    int s = 0;
    for (int y = 0; y <= 2 * r; ++y) s += p(x, y);
    return s;
  };

  // first block row; columns 1 .. 2r are stored just before their first use as col[x-r-1]
  int S = 0;
  for (int y = 0; y <= 2 * r; ++y)
    for (int x = 0; x <= 2 * r; ++x) S += p(x, y);
  col[0] = column(0);
  at(r, r) = S;
  int F = S;  // sum of the first position of the current block row
  for (int x = r + 1; x <= W - r - 1; ++x) {
    col[x + r] = column(x + r);
    S = S + col[x + r] - col[x - r - 1];
    at(x, r) = S;
    if (x <= 3 * r) col[x - r] = column(x - r);
  }

  // further block rows: pixel row e enters, row l leaves
  for (int y = r + 1; y <= H - r - 1; ++y) {
    const int e = y + r, l = y - r - 1;
    col[0] = col[0] + p(0, e) - p(0, l);
    int entering = 0, leaving = 0;
    for (int x = 0; x <= 2 * r; ++x) {
      entering += p(x, e);
      leaving += p(x, l);
    }
    F = F + entering - leaving;
    at(r, y) = F;
    S = F;
    for (int x = r + 1; x <= W - r - 1; ++x) {
      col[x + r] = col[x + r] + p(x + r, e) - p(x + r, l);
      S = S + col[x + r] - col[x - r - 1];
      at(x, y) = S;
      if (x <= 3 * r) col[x - r] = col[x - r] + p(x - r, e) - p(x - r, l);
    }
  }
  ondrel_free(col);
  return 0;
}

void block_sum_region_QUIRN(const BlockSumContext& ctx, int thread, int nthreads,
                            int job_failed[kPlaneCount]) {
  // job j: channel j % 3 of left for j < 3, of right for j >= 3
  for (int job = thread; job < kPlaneCount; job += nthreads) {
    const int c = job % 3;
    const bool is_left = job < 3;
    const unsigned char* image = is_left ? ctx.left : ctx.right;
    const int stride = is_left ? ctx.left_stride : ctx.right_stride;
    int* plane = ctx.planes[is_left ? left_plane(c) : right_plane(c)];
    if (box_filtering_sum_QUIRN(ctx.W, ctx.H, stride, image, c, plane, ctx.r) != 0) job_failed[job] = 1;
  }
}

ItemRange static_split(long long n, int nthreads, int thread) {
  const long long chunk = n / nthreads + (n % nthreads != 0 ? 1 : 0);
  const long long begin = thread * chunk;
  const long long end = begin + chunk < n ? begin + chunk : n;
  return begin < end ? ItemRange{begin, end} : ItemRange{n, n};
}

namespace {

// Division by a positive int d as a multiplication and a shift (a hardware division costs
// about as much as the rest of this phase): with 2^(l-1) < d <= 2^l, s = 31 + l and
// m = ceil(2^s / d) < 2^32, floor(a * m / 2^s) = floor(a / d) for every 0 <= a <= 2^31, since
// the excess a * (m d - 2^s) / (d 2^s) stays below 1/d.
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

// n / d truncated toward zero, as the int division does.
inline int divide(int n, const Reciprocal& q) {
  const uint64_t magnitude = n < 0 ? uint64_t{0} - static_cast<uint64_t>(static_cast<int64_t>(n)) : static_cast<uint64_t>(n);
  const int64_t quotient = static_cast<int64_t>((magnitude * q.m) >> q.s);
  return static_cast<int>(n < 0 ? -quotient : quotient);
}

}  // namespace

void block_mean_region_QUIRN(const BlockMeanContext& ctx, int thread, int nthreads) {
  const ItemRange range = static_split(static_cast<long long>(ctx.W) * ctx.H, nthreads, thread);
  const Reciprocal area = reciprocal_of(ctx.block_area);
  for (int* plane : ctx.planes)
    for (long long i = range.begin; i < range.end; ++i) plane[i] = divide(plane[i], area);
}
