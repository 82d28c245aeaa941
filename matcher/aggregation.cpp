// Aggregation of the block costs over the support window, winner selection with sub-pixel
// refinement, and the uniqueness constraint along each row.
//
// For pixel (x, y) and disparity d the window cost is
//   A(d) = sum_k w(k) C(x+dx_k, y+dy_k, d) / sum_k w(k),  w(k) = ws[k] wL(x,y,k) wR(x-d,y,k),
// over the blocks k valid for (x, y, d): both the left block at (x+dx, y+dy) and the right
// block at (x-d+dx, y+dy) lie wholly inside the image. Floating-point choices: ws[k] wL is
// rounded to float (it is cached as a float); w(k) and both sums are in double (the product
// of two floats is exact in double); the quotient is rounded to float.

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The vector helpers below are inlined; no vector crosses a call, so the ABI note is moot.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#include "matcher/kernels.h"
#include "matcher/memory.h"

double get_subpixel_adjustment_min(double a, double b, double c) {
  const double curvature = a + c - 2.0 * b;
  if (curvature == 0.0) return 0.0;
  return (a - c) / (2.0 * curvature);
}

unsigned char disparity_byte(int h, float v, int scale) {
  const float value = (static_cast<float>(h) + v) * static_cast<float>(scale);
  if (!(value > -32769.0f && value < 32768.0f)) return 0;  // outside 16 bits, or NaN
  return static_cast<unsigned char>(static_cast<int>(value) & 0xFF);
}

bool aggregation_scratch_alloc(AggregationScratch* s, const AggregationContext& ctx) {
  const size_t claims = static_cast<size_t>(ctx.max_disparity) + static_cast<size_t>(ctx.W) + 1 -
                        static_cast<size_t>(ctx.min_disparity);
  const size_t costs = static_cast<size_t>(ctx.max_disparity) + 1 - static_cast<size_t>(ctx.min_disparity);
  *s = AggregationScratch{};
  s->claimed_disparity = ondrel_alloc_array<int>(claims);
  if (s->claimed_disparity) s->claimed_cost = ondrel_alloc_array<float>(claims);
  if (s->claimed_cost)
    s->right_weights = ondrel_alloc_array<float>(static_cast<size_t>(ctx.W) * static_cast<size_t>(ctx.nblocks));
  if (s->right_weights) s->left_weights = ondrel_alloc_array<float>(static_cast<size_t>(ctx.nblocks));
  if (s->left_weights) s->costs = ondrel_alloc_array<double>(costs);
  if (s->costs)
    s->right_weights_reversed =
        ondrel_alloc_array<double>(static_cast<size_t>(ctx.W) * static_cast<size_t>(ctx.nblocks));
  if (s->right_weights_reversed) s->window = ondrel_alloc_array<WindowBlock>(static_cast<size_t>(ctx.nblocks));
  if (s->window) return true;
  aggregation_scratch_free(s);
  return false;
}

void aggregation_scratch_free(AggregationScratch* s) {
  ondrel_free(s->claimed_disparity);
  ondrel_free(s->claimed_cost);
  ondrel_free(s->right_weights);
  ondrel_free(s->left_weights);
  ondrel_free(s->costs);
  ondrel_free(s->right_weights_reversed);
  ondrel_free(s->window);
  *s = AggregationScratch{};
}

// The integer part of a cost below the running minimum; the clamp only guards the type.
static int truncate_cost(float a) {
  if (a <= -2147483648.0f) return -2147483647 - 1;
  return static_cast<int>(a);
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

void apply_uniqueness(int x, int h, int m, unsigned char value, int* claimed_disparity, float* claimed_cost,
                      unsigned char* uniqueness) {
  const int xr = x - h;
  if (claimed_disparity[xr] <= 0) {
    claimed_disparity[xr] = h;
    claimed_cost[xr] = static_cast<float>(m);
    uniqueness[x] = value;
  } else if (static_cast<double>(m) > static_cast<double>(claimed_cost[xr])) {
    uniqueness[x] = ondrel::kNoValue;
  } else {
    // the claim stays the first claimant's: later pixels are compared with it too
    uniqueness[x] = value;
    uniqueness[xr + claimed_disparity[xr]] = ondrel::kNoValue;
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

inline int squared_distance(const int* const planes[kPlaneCount], bool left_view, size_t index,
                            const unsigned char* pixel) {
  int sum = 0;
  for (int c = 0; c < 3; ++c) {
    const int diff = planes[left_view ? left_plane(c) : right_plane(c)][index] - pixel[c];
    sum += diff * diff;
  }
  return sum;
}

// Empties the row's claim table.
void reset_claims(const AggregationContext& c, AggregationScratch& s) {
  const size_t claims = static_cast<size_t>(c.max_disparity) + static_cast<size_t>(c.W) + 1 -
                        static_cast<size_t>(c.min_disparity);
  for (size_t i = 0; i < claims; ++i) {
    s.claimed_disparity[i] = ondrel::kUnclaimedDisparity;
    s.claimed_cost[i] = ondrel::kUnclaimedCost;
  }
}

struct RowOutputs {
  unsigned char* disparity;
  unsigned char* right_disparity;
  unsigned char* uniqueness;
};

RowOutputs row_outputs(const AggregationContext& c, int y) {
  return {c.disparity_map + static_cast<size_t>(y) * c.disparity_stride,
          c.right_disparity_map + static_cast<size_t>(y) * c.right_disparity_stride,
          c.uniqueness_map + static_cast<size_t>(y) * c.uniqueness_stride};
}

bool pixel_processed(const AggregationContext& c, int x, int y) {
  return c.border <= y && y <= c.H - c.border && c.border <= x && x <= c.W - c.border;
}

// Winner, refinement, the three output bytes and the uniqueness test of pixel x, from its
// window costs A(d) in s.costs.
void finish_pixel(const AggregationContext& c, AggregationScratch& s, const RowOutputs& out, int x) {
  const double* A = s.costs;
  const Winner winner = select_winner(A, c.max_disparity + 1 - c.min_disparity);
  if (!winner.found) {
    out.disparity[x] = ondrel::kNoValue;
    return;
  }
  const int h = winner.h;
  const unsigned char value = disparity_byte(h, refine_winner(A, h, c.min_disparity, c.max_disparity), c.scale);
  out.disparity[x] = value;
  out.right_disparity[x - h] = value;
  apply_uniqueness(x, h, winner.m, value, s.claimed_disparity, s.claimed_cost, out.uniqueness);
}

void aggregate_row_reference(const AggregationContext& c, AggregationScratch& s, int y) {
  const int W = c.W, H = c.H, r = c.r, nb = c.nblocks;
  const BlockOffsets blocks{blocks_per_axis(r, c.R), r - c.R, 2 * r + 1};

  // fresh scratch for the row
  reset_claims(c, s);
  std::memset(s.right_weights, 0, sizeof(float) * static_cast<size_t>(W) * static_cast<size_t>(nb));
  std::memset(s.left_weights, 0, sizeof(float) * static_cast<size_t>(nb));

  // right colour weights of every column and every block inside the image
  for (int xr = 0; xr < W; ++xr) {
    const unsigned char* q = c.right + static_cast<size_t>(y) * c.right_stride + 3 * static_cast<size_t>(xr);
    for (int k = 0; k < nb; ++k) {
      const int bx = xr + blocks.dx(k), by = y + blocks.dy(k);
      if (by - r < 0 || by + r >= H || bx - r < 0 || bx + r >= W) continue;
      const size_t index = static_cast<size_t>(by) * W + bx;
      s.right_weights[static_cast<size_t>(xr) * nb + k] = EXP_LUT_QUIRN[squared_distance(c.planes, false, index, q)];
    }
  }

  const RowOutputs out = row_outputs(c, y);
  for (int x = c.first_column; x < W; ++x) {
    if (!pixel_processed(c, x, y)) continue;
    const unsigned char* p = c.left + static_cast<size_t>(y) * c.left_stride + 3 * static_cast<size_t>(x);
    double* A = s.costs;  // A[d - min_disparity]
    for (int d = 0; d <= c.max_disparity; ++d) {
      double weight_sum = 0.0, cost_sum = 0.0;
      for (int k = 0; k < nb; ++k) {
        const int bx = x + blocks.dx(k), by = y + blocks.dy(k);
        if (by - r < 0 || by + r >= H || bx - r - d < 0 || bx + r >= W || x - d < 0) continue;
        const size_t index = static_cast<size_t>(by) * W + bx;
        float left_weight;
        if (d == c.min_disparity) {
          left_weight = c.spatial[k] * EXP_LUT_QUIRN[squared_distance(c.planes, true, index, p)];
          s.left_weights[k] = left_weight;
        } else {
          left_weight = s.left_weights[k];
        }
        const double w = static_cast<double>(left_weight) *
                         static_cast<double>(s.right_weights[static_cast<size_t>(x - d) * nb + k]);
        weight_sum += w;
        cost_sum += w * static_cast<double>(c.cost_volume[index][d]);
      }
      A[d - c.min_disparity] = static_cast<float>(cost_sum / weight_sum);
    }
    finish_pixel(c, s, out, x);
  }
}

// Fast version. For pixel x and block k the conditions that do not depend on d (rows inside
// the image, left block inside on the right) are tested once, and the block is valid for
// every d = 0 .. min(max_disparity, x + dx - r, x): one contiguous range. The block's costs
// and, with the right weights stored column-reversed, its right weights for consecutive d are
// consecutive in memory. kChunk disparities are accumulated at once in registers, block after
// block in block order, so each disparity sees the very operations of the reference:
// w = (double)left_weight * (double)wR, weight_sum += w, cost_sum += w * (double)C.

// Vector types of N doubles (GCC/clang vector extensions); the compiler maps them onto the
// SIMD registers of the function's target: SSE2 (N = 2) on every x86-64, AVX2 (N = 4) and
// AVX-512 (N = 8) in the functions compiled for those and chosen at run time.
template <int N>
struct Vec {
  typedef double Doubles __attribute__((vector_size(8 * N)));
  typedef long long Mask __attribute__((vector_size(8 * N)));
  typedef int Ints __attribute__((vector_size(4 * N)));
  typedef float Floats __attribute__((vector_size(4 * N)));
};

// N consecutive values converted to double (exact for ints).
template <int N>
[[gnu::always_inline]] inline typename Vec<N>::Doubles widen(const int* p) {
#if defined(__SSE2__)
  if constexpr (N == 2) return _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
#endif
  typename Vec<N>::Ints v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_convertvector(v, typename Vec<N>::Doubles);
}

template <int N>
[[gnu::always_inline]] inline typename Vec<N>::Doubles load(const double* p) {
  typename Vec<N>::Doubles v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A(d) for d = 0 .. ndisp-1 from the pixel's valid blocks, in block order. The disparities
// go in chunks of N * V, V vectors per sum held in registers; the last chunk ends at ndisp
// (it overlaps the one before when ndisp is not a multiple of the chunk, which recomputes a
// few disparities with the same result), so that blocks valid up to max_disparity never
// take the partial path.
template <int N, int V>
[[gnu::always_inline]] inline void window_costs(const WindowBlock* window, int count, int ndisp, double* A) {
  typedef typename Vec<N>::Doubles Doubles;
  typedef typename Vec<N>::Mask Mask;
  constexpr int kChunk = N * V;
  for (int d0 = 0;; d0 += kChunk) {
    if (d0 + kChunk > ndisp) d0 = ndisp > kChunk ? ndisp - kChunk : 0;
    Doubles weight_sum[V] = {}, cost_sum[V] = {};
    for (int i = 0; i < count; ++i) {
      const WindowBlock& b = window[i];
      const int valid = b.last + 1 - d0;  // disparities of this chunk for which b is valid
      if (valid <= 0) continue;
      const double left = b.left_weight;  // broadcast by the vector-scalar products
      if (valid >= kChunk) {
        for (int v = 0; v < V; ++v) {
          const Doubles w = load<N>(b.right_weights + d0 + N * v) * left;
          weight_sum[v] += w;
          cost_sum[v] += w * widen<N>(b.costs + d0 + N * v);
        }
      } else {
        // the block's last disparities: nothing is read beyond them, and the lanes beyond
        // add exactly +0.0, which leaves the sums unchanged (they are never -0.0)
        double right[kChunk] = {};
        int costs[kChunk] = {};
        for (int j = 0; j < valid; ++j) {
          right[j] = b.right_weights[d0 + j];
          costs[j] = b.costs[d0 + j];
        }
        for (int v = 0; v < V; ++v) {
          Mask index;
          for (int j = 0; j < N; ++j) index[j] = N * v + j;
          const Mask inside = index < (Mask{} + valid);
          const Doubles w = reinterpret_cast<Doubles>(reinterpret_cast<Mask>(load<N>(right + N * v) * left) & inside);
          weight_sum[v] += w;
          cost_sum[v] += w * widen<N>(costs + N * v);
        }
      }
    }
    // the quotients rounded to float
    double a[kChunk];
    for (int v = 0; v < V; ++v) {
      const Doubles q = cost_sum[v] / weight_sum[v];
      const Doubles rounded =
          __builtin_convertvector(__builtin_convertvector(q, typename Vec<N>::Floats), Doubles);
      std::memcpy(a + N * v, &rounded, sizeof rounded);
    }
    const int n = ndisp - d0 < kChunk ? ndisp - d0 : kChunk;
    for (int j = 0; j < n; ++j) A[d0 + j] = a[j];
    if (d0 + kChunk >= ndisp) break;
  }
}

using WindowCosts = void (*)(const WindowBlock*, int, int, double*);

void window_costs_2(const WindowBlock* window, int count, int ndisp, double* A) {
  window_costs<2, 4>(window, count, ndisp, A);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ONDREL_X86_DISPATCH 1
__attribute__((target("avx2"))) void window_costs_4(const WindowBlock* window, int count, int ndisp, double* A) {
  window_costs<4, 2>(window, count, ndisp, A);
}
__attribute__((target("avx512f,avx512bw"))) void window_costs_8(const WindowBlock* window, int count, int ndisp,
                                                       double* A) {
  window_costs<8, 2>(window, count, ndisp, A);
}
#endif

// The widest path this CPU runs (and the test hook allows).
WindowCosts pick_window_costs() {
#if defined(ONDREL_X86_DISPATCH)
  switch (simd_width_bits()) {
    case 512: return window_costs_8;
    case 256: return window_costs_4;
    default: break;
  }
#endif
  return window_costs_2;
}

void aggregate_row(const AggregationContext& c, AggregationScratch& s, int y, WindowCosts costs_of_window) {
  const int W = c.W, H = c.H, r = c.r, nb = c.nblocks;
  const BlockOffsets blocks{blocks_per_axis(r, c.R), r - c.R, 2 * r + 1};
  reset_claims(c, s);

  // right colour weights, block by block, columns reversed: wR(xr, y, k) at k * W + W-1-xr
  const unsigned char* right_row = c.right + static_cast<size_t>(y) * c.right_stride;
  for (int k = 0; k < nb; ++k) {
    double* reversed = s.right_weights_reversed + static_cast<size_t>(k) * W;
    const int by = y + blocks.dy(k);
    const bool rows_inside = by - r >= 0 && by + r < H;
    for (int xr = 0; xr < W; ++xr) {
      const int bx = xr + blocks.dx(k);
      double weight = 0.0;
      if (rows_inside && bx - r >= 0 && bx + r < W) {
        const size_t index = static_cast<size_t>(by) * W + bx;
        weight = EXP_LUT_QUIRN[squared_distance(c.planes, false, index, right_row + 3 * static_cast<size_t>(xr))];
      }
      reversed[W - 1 - xr] = weight;
    }
  }

  const RowOutputs out = row_outputs(c, y);
  const int ndisp = c.max_disparity + 1;
  for (int x = c.first_column; x < W; ++x) {
    if (!pixel_processed(c, x, y)) continue;
    const unsigned char* p = c.left + static_cast<size_t>(y) * c.left_stride + 3 * static_cast<size_t>(x);
    // the valid blocks, in block order, with their left weights and disparity ranges
    int count = 0;
    for (int k = 0; k < nb; ++k) {
      const int bx = x + blocks.dx(k), by = y + blocks.dy(k);
      if (by - r < 0 || by + r >= H || bx + r >= W) continue;
      int last = c.max_disparity;
      if (last > bx - r) last = bx - r;
      if (last > x) last = x;
      if (last < 0) continue;
      const size_t index = static_cast<size_t>(by) * W + bx;
      const float left_weight = c.spatial[k] * EXP_LUT_QUIRN[squared_distance(c.planes, true, index, p)];
      s.window[count++] = WindowBlock{c.cost_volume[index],
                                      s.right_weights_reversed + static_cast<size_t>(k) * W + (W - 1 - x),
                                      left_weight, last};
    }
    costs_of_window(s.window, count, ndisp, s.costs);
    finish_pixel(c, s, out, x);
  }
}

}  // namespace

void aggregation_region_QUIRN(const AggregationContext& ctx, int thread, int nthreads,
                              AggregationScratch& scratch) {
  const ItemRange rows = static_split(ctx.H, nthreads, thread);
  const WindowCosts costs_of_window = pick_window_costs();
  for (long long y = rows.begin; y < rows.end; ++y) aggregate_row(ctx, scratch, static_cast<int>(y), costs_of_window);
}

void aggregation_region_reference_QUIRN(const AggregationContext& ctx, int thread, int nthreads,
                                        AggregationScratch& scratch) {
  const ItemRange rows = static_split(ctx.H, nthreads, thread);
  for (long long y = rows.begin; y < rows.end; ++y) aggregate_row_reference(ctx, scratch, static_cast<int>(y));
}
