// Aggregation of the block costs over the support window, winner selection with sub-pixel
// refinement, and the uniqueness constraint along each row.
//
// For pixel (x, y) and disparity d the window cost is
//   A(d) = sum_k w(k) C(x+dx_k, y+dy_k, d) / sum_k w(k),  w(k) = ws[k] wL(x,y,k) wR(x-d,y,k),
// over the blocks k valid for (x, y, d): both the left block at (x+dx, y+dy) and the right
// block at (x-d+dx, y+dy) lie wholly inside the image. Floating-point choices: ws[k] wL is
// rounded to float (it is cached as a float); w(k) and both sums are in double (the product
// of two floats is exact in double); the quotient is rounded to float.

#include <cassert>
#include <limits>

#include "matcher/kernels.h"
#include "matcher/memory.h"
#include "matcher/window_costs.h"

double get_subpixel_adjustment_min(double a, double b, double c) {
  const double curvature = a + c - 2.0 * b;
  if (curvature == 0.0) return 0.0;
  return (a - c) / (2.0 * curvature);
}

float no_value() { return std::numeric_limits<float>::quiet_NaN(); }

bool aggregation_scratch_alloc(AggregationScratch* s, const AggregationContext& ctx) {
  const size_t claims = static_cast<size_t>(ctx.max_disparity) + static_cast<size_t>(ctx.W) + 1 -
                        static_cast<size_t>(ctx.min_disparity);
  const size_t costs = static_cast<size_t>(ctx.max_disparity) + 1 - static_cast<size_t>(ctx.min_disparity);
  *s = AggregationScratch{};
  s->claimed_disparity = ondrel_alloc_array<int>(claims);
  if (s->claimed_disparity) s->claimed_cost = ondrel_alloc_array<float>(claims);
  if (s->claimed_cost) s->costs = ondrel_alloc_array<double>(2 * window_scratch_doubles(static_cast<int>(costs)));
  if (s->costs)
    s->right_weights_reversed =
        ondrel_alloc_array<double>(static_cast<size_t>(ctx.W) * static_cast<size_t>(ctx.nblocks));
  if (s->right_weights_reversed)
    s->left_weights_by_block =
        ondrel_alloc_array<float>(static_cast<size_t>(ctx.W) * static_cast<size_t>(ctx.nblocks));
  if (s->left_weights_by_block) s->row_blocks = ondrel_alloc_array<RowBlock>(static_cast<size_t>(ctx.nblocks));
  if (s->row_blocks) s->window = ondrel_alloc_array<WindowBlock>(2 * static_cast<size_t>(ctx.nblocks));
  if (s->window) s->row_pixels = ondrel_alloc_array<int>(6 * static_cast<size_t>(ctx.W));
  if (s->row_pixels) s->distances = ondrel_alloc_array<int>(static_cast<size_t>(ctx.W));
  if (s->distances) return true;
  aggregation_scratch_free(s);
  return false;
}

void aggregation_scratch_free(AggregationScratch* s) {
  ondrel_free(s->claimed_disparity);
  ondrel_free(s->claimed_cost);
  ondrel_free(s->costs);
  ondrel_free(s->right_weights_reversed);
  ondrel_free(s->left_weights_by_block);
  ondrel_free(s->row_blocks);
  ondrel_free(s->window);
  ondrel_free(s->row_pixels);
  ondrel_free(s->distances);
  *s = AggregationScratch{};
}


Winner select_winner(const double* costs, int ndisp) {
  Winner w{ondrel::kInitialRunningMin, -1, false};
  for (int d = 0; d < ndisp; ++d) {
    const float a = static_cast<float>(costs[d]);
    if (static_cast<double>(a) < static_cast<double>(w.m)) {  // exact; false for a NaN
      w.m = truncate_cost(a);
      w.h = d;
      w.found = true;
    }
  }
  return w;
}

float refine_winner(const double* costs, int h, int min_disparity, int max_disparity) {
  if (!(min_disparity < h && h < max_disparity)) return 0.0f;
  const double a = costs[h - 1 - min_disparity], b = costs[h - min_disparity], c = costs[h + 1 - min_disparity];
  if (!(a >= 0.0 && b >= 0.0 && c >= 0.0)) return 0.0f;  // a NaN fails too
  return static_cast<float>(get_subpixel_adjustment_min(a, b, c));
}

void apply_uniqueness(int x, int h, int m, float value, int* claimed_disparity, float* claimed_cost,
                      float* uniqueness) {
  const int xr = x - h;
  assert(h >= 0 && xr >= 0);  // the claim table starts at right-view column 0
  if (claimed_disparity[xr] <= 0) {
    claimed_disparity[xr] = h;
    claimed_cost[xr] = static_cast<float>(m);
    uniqueness[x] = value;
  } else if (static_cast<double>(m) > static_cast<double>(claimed_cost[xr])) {
    uniqueness[x] = no_value();
  } else {
    // the claim stays the first claimant's: later pixels are compared with it too
    uniqueness[x] = value;
    uniqueness[xr + claimed_disparity[xr]] = no_value();
  }
}

namespace {

// Block centre offsets of the support window, in block order (dy outer, dx inner).
struct BlockOffsets {
  int n;      // blocks per axis
  int first;  // r - R
  int step;   // 2r + 1
  int dx(int k) const { return first + (k % n) * step; }
  int dy(int k) const { return first + (k / n) * step; }
};

// Empties the row's claim table.
void reset_claims(const AggregationContext& c, AggregationScratch& s) {
  const size_t claims = static_cast<size_t>(c.max_disparity) + static_cast<size_t>(c.W) + 1 -
                        static_cast<size_t>(c.min_disparity);
  for (size_t i = 0; i < claims; ++i) {
    s.claimed_disparity[i] = ondrel::kUnclaimedDisparity;
    s.claimed_cost[i] = ondrel::kUnclaimedCost;
  }
}

// Every element of the row without a value, before the row's pixels are written.
void clear_row(const RowOutputs& out, int W) {
  for (int x = 0; x < W; ++x) out.disparity[x] = out.right_disparity[x] = out.uniqueness[x] = no_value();
}

bool pixel_processed(const AggregationContext& c, int x, int y) {
  return c.border <= y && y <= c.H - c.border && c.border <= x && x <= c.W - c.border;
}

// Refinement, the three output bytes and the uniqueness test of pixel x, from its winner and
// its window costs A(d) (only those around the winner are read).
void finish_pixel(const AggregationContext& c, AggregationScratch& s, const RowOutputs& out, int x,
                  const Winner& winner, const double* A) {
  if (!winner.found) {
    out.disparity[x] = no_value();
    return;
  }
  const int h = winner.h;
  const float value = static_cast<float>(h) + refine_winner(A, h, c.min_disparity, c.max_disparity);
  out.disparity[x] = value;
  out.right_disparity[x - h] = value;
  apply_uniqueness(x, h, winner.m, value, s.claimed_disparity, s.claimed_cost, out.uniqueness);
}

}  // namespace

namespace {

// Fast version. For pixel x and block k the conditions that do not depend on d (rows inside
// the image, left block inside on the right) are tested once, and the block is valid for
// every d = 0 .. min(max_disparity, x + dx - r, x): one contiguous range. The block's costs
// and, with the right weights stored column-reversed, its right weights for consecutive d are
// consecutive in memory. A chunk of disparities is accumulated at once in registers, block
// after block in block order, so each disparity sees the very operations of the reference:
// w = (double)left_weight * (double)wR, weight_sum += w, cost_sum += w * (double)C
// (window_costs.h).

// The window kernel for SSE2 (or generic vectors), compiled here; the AVX2 and AVX-512 ones
// live in window_costs_avx2.cpp and window_costs_avx512.cpp, compiled for those.
WindowEstimate window_sums_sse2(const WindowBlock* window, int count, int ndisp, double* A) {
  return window_sums_fitted<2, 4>(window, count, ndisp, A);
}
Winner window_winner_sse2(const WindowBlock* window, int count, double* A, int ndisp, WindowEstimate estimate) {
  return window_winner<2>(window, count, A, ndisp, estimate);
}

[[gnu::always_inline]] inline void aggregate_row(const AggregationContext& context, AggregationScratch& scratch,
                                                 int y, const RowOutputs& out, WindowKernel kernel) {
  // local copies: the stores through byte and int pointers below could otherwise alias the
  // caller's records, and their fields would be read again after each store
  const AggregationContext c = context;
  AggregationScratch s = scratch;
  const int W = c.W, H = c.H, r = c.r, nb = c.nblocks;
  assert(0 <= y && y < H && W >= 2 * r + 1 && H >= 2 * r + 1);
  const BlockOffsets blocks{blocks_per_axis(r, c.R), r - c.R, 2 * r + 1};
  const int* const left_means[3] = {c.planes[left_plane(0)], c.planes[left_plane(1)], c.planes[left_plane(2)]};
  const int* const right_means[3] = {c.planes[right_plane(0)], c.planes[right_plane(1)], c.planes[right_plane(2)]};
  const unsigned char* left_row = c.left + static_cast<size_t>(y) * c.left_stride;
  const unsigned char* right_row = c.right + static_cast<size_t>(y) * c.right_stride;
  reset_claims(c, s);

  // the row's pixels, channel by channel
  int* const left_pixels[3] = {s.row_pixels, s.row_pixels + W, s.row_pixels + 2 * W};
  int* const right_pixels[3] = {s.row_pixels + 3 * W, s.row_pixels + 4 * W, s.row_pixels + 5 * W};
  for (int x = 0; x < W; ++x)
    for (int ch = 0; ch < 3; ++ch) {
      left_pixels[ch][x] = left_row[3 * x + ch];
      right_pixels[ch][x] = right_row[3 * x + ch];
    }

  // The blocks whose rows lie inside the image (conditions 1 and 2 depend on y alone), and
  // their colour weights along the row, each computed once: the right ones per block with
  // the columns reversed, wR(xr, y, k) at k * W + W-1-xr; the left ones, ws[k] * wL(x, y, k)
  // rounded to float, at k * W + x. Only the columns whose block lies inside are written;
  // no valid (x, d) reads any other.
  const int ndisp = c.max_disparity + 1;
  int listed = 0;
  int all_first = c.first_column, all_end = W;  // pixels with every listed block valid for every d
  for (int k = 0; k < nb; ++k) {
    const int dx = blocks.dx(k), by = y + blocks.dy(k);
    if (by - r < 0 || by + r >= H) continue;
    const size_t row = static_cast<size_t>(by) * W;
    // columns with bx = x + dx in [r, W-1-r]
    const int first = r - dx > 0 ? r - dx : 0, end = W - r - dx < W ? W - r - dx : W;
    double* reversed = s.right_weights_reversed + static_cast<size_t>(k) * W;
    float* left = s.left_weights_by_block + static_cast<size_t>(k) * W;
    const auto distances = [&](const int* const means[3], int* const pixels[3]) {
      // the block means at x + dx and the pixels at x, from the first column on
      const size_t at = row + static_cast<size_t>(first + dx);
      const int* __restrict m0 = means[0] + at;
      const int* __restrict m1 = means[1] + at;
      const int* __restrict m2 = means[2] + at;
      const int* __restrict p0 = pixels[0] + first;
      const int* __restrict p1 = pixels[1] + first;
      const int* __restrict p2 = pixels[2] + first;
      int* __restrict squared = s.distances + first;
      for (int i = 0; i < end - first; ++i) {
        const int d0 = m0[i] - p0[i], d1 = m1[i] - p1[i], d2 = m2[i] - p2[i];
        squared[i] = d0 * d0 + d1 * d1 + d2 * d2;
      }
    };
    distances(right_means, right_pixels);
    for (int x = first; x < end; ++x) reversed[W - 1 - x] = c.exp_lut[s.distances[x]];
    distances(left_means, left_pixels);
    const float spatial = c.spatial[k];
    for (int x = first; x < end; ++x) left[x] = spatial * c.exp_lut[s.distances[x]];
    // for pixel x the block is valid for d = 0 .. min(max_disparity, x + dx - r, x) when
    // x + dx + r < W (condition 4) and that range is not empty
    s.row_blocks[listed++] = RowBlock{c.cost_rows[by], reversed + (W - 1), left, dx, first, end};
    const int full_from = c.max_disparity + r - dx;  // x + dx - r >= max_disparity
    if (all_first < first) all_first = first;
    if (all_first < full_from) all_first = full_from;
    if (all_first < c.max_disparity) all_first = c.max_disparity;
    if (all_end > end) all_end = end;
  }

  clear_row(out, W);
  int pending = -1;  // the pixel whose winner is still to be found
  double* pending_A = nullptr;
  const WindowBlock* pending_window = nullptr;
  int pending_count = 0;
  WindowEstimate pending_estimate{};
  for (int x = c.first_column; x < W; ++x) {
    if (!pixel_processed(c, x, y)) continue;
    // the valid blocks, in block order, with their left weights and disparity ranges (in the
    // slot the pending pixel does not use: its winner may read its blocks)
    WindowBlock* window = s.window + (pending_window == s.window ? nb : 0);
    int count = 0;
    if (all_first <= x && x < all_end) {
      for (int i = 0; i < listed; ++i) {
        const RowBlock& b = s.row_blocks[i];
        window[i] = WindowBlock{b.costs[x + b.dx], b.right_weights - x, b.left_weights[x], c.max_disparity};
      }
      count = listed;
    } else {
      for (int i = 0; i < listed; ++i) {
        const RowBlock& b = s.row_blocks[i];
        if (x < b.first || x >= b.end) continue;
        int last = x + b.dx - r;
        if (last > x) last = x;
        if (last > c.max_disparity) last = c.max_disparity;
        if (last < 0) continue;
        window[count++] = WindowBlock{b.costs[x + b.dx], b.right_weights - x, b.left_weights[x], last};
      }
    }
    // this pixel's sums, then the winner of the one before, whose data are ready by now
    double* A = s.costs + (pending_A == s.costs ? window_scratch_doubles(ndisp) : 0);  // not the pending one's
    const WindowEstimate estimate = kernel.sums(window, count, ndisp, A);
    if (pending >= 0)
      finish_pixel(c, s, out, pending, kernel.winner(pending_window, pending_count, pending_A, ndisp, pending_estimate),
                   pending_A);
    pending = x;
    pending_A = A;
    pending_window = window;
    pending_count = count;
    pending_estimate = estimate;
  }
  if (pending >= 0)
    finish_pixel(c, s, out, pending, kernel.winner(pending_window, pending_count, pending_A, ndisp, pending_estimate),
                 pending_A);
}

// The per-row work around the window kernel (weights, window lists) is compiled for each
// vector width too, like the kernel.
void aggregate_row_generic(const AggregationContext& c, AggregationScratch& s, int y, const RowOutputs& out) {
  aggregate_row(c, s, y, out, {window_sums_sse2, window_winner_sse2});
}

#if defined(ONDREL_SIMD_X86)
__attribute__((target("avx2"))) void aggregate_row_avx2(const AggregationContext& c, AggregationScratch& s, int y,
                                                        const RowOutputs& out) {
  aggregate_row(c, s, y, out, {window_sums_avx2, window_winner_avx2});
}
__attribute__((target("avx512f,avx512bw"))) void aggregate_row_avx512(const AggregationContext& c,
                                                                      AggregationScratch& s, int y,
                                                                      const RowOutputs& out) {
  aggregate_row(c, s, y, out, {window_sums_avx512, window_winner_avx512});
}
#endif

}  // namespace

AggregateRow pick_aggregate_row() {
#if defined(ONDREL_SIMD_X86)
  switch (simd_width_bits()) {
    case 512: return aggregate_row_avx512;
    case 256: return aggregate_row_avx2;
    default: break;
  }
#endif
  return aggregate_row_generic;
}
