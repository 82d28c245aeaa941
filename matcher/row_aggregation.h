// The aggregation of a row: its records (its inputs and per-thread scratch, one pixel's
// support window, its valid blocks, and the winner of its window costs), its scratch, and the
// portable winner search and uniqueness test (row_aggregation.cpp); the row's body is the
// SIMD kernel (matcher/simd/aggregate_row.simd.h). Plain types, constexpr functions and
// declarations only: shared by the stages (matcher/stages.h) and the SIMD kernels
// (matcher/simd/kernel_table.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "matcher/constants.h"

namespace ondrel::internal {

// One block of a pixel's window as the fast aggregation sees it: the block is valid for the
// disparities 0 .. last, and for disparity d its weight is left_weight * right_weights[d] and
// its cost costs[d]. Cost: the type of the cost rows, int16_t or int (AggregationContext).
template <typename Cost>
struct WindowBlockOf {
  const Cost* costs;            // the block's cost vector
  const double* right_weights;  // wR(x - d, k) at index d
  double left_weight;           // ws[k] * wL(x, y, k), rounded to float (held as a double: the
                                // window kernel broadcasts it from memory, chunk after chunk)
  int last;                     // last valid disparity
};
using WindowBlock = WindowBlockOf<int>;

// What the first half of the window kernel tells the second: the lowest window cost it
// worked out (+inf when none is a number), and whether none is negative; and for the row's
// loop, whether the bound let most chunks after the first through (then summing every chunk
// at once is faster for the pixels that follow). screened: the costs were screened in single
// precision (window_screen), the lowest is the lowest estimate.
struct WindowLowest {
  double lowest;
  bool none_negative;
  bool most_summed;
  bool screened;
};

// Blocks per axis of a support window: (2R+1) / (2r+1). Needs r >= 0 (weight_tables.cpp).
int blocks_per_axis(int block_radius, int support_radius);

// The six channel planes, interleaved by channel: left c = 0, right c = 0, left c = 1, ...
constexpr int kPlaneCount = 6;
constexpr int left_plane(int c) { return 2 * c; }
constexpr int right_plane(int c) { return 2 * c + 1; }

struct AggregationContext {
  const unsigned char* left;
  const unsigned char* right;
  size_t left_stride, right_stride;  // bytes
  int min_disparity, max_disparity;
  // added to the winner's index for the output values: the caller's least disparity, where
  // the right view it gives is shifted by it (match.cpp); 0 otherwise
  int value_offset;
  int r, R;
  int first_column;  // x0 = max_disparity
  int border;        // 0
  int W, H;
  int nblocks;
  const float* spatial;                 // nblocks
  const float* exp_lut;                 // the colour weight table, kExpLutSize entries
  // H rows of W pointers to the max_disparity + 1 costs of a pixel; only the rows
  // y - R + r .. y + R - r are read for row y. Exactly one of the two is set: 16-bit costs
  // where every block cost fits (cost_rows_narrow in cost_rows.h), ints otherwise.
  const int* const* const* cost_rows;
  const int16_t* const* const* narrow_cost_rows;
  const unsigned char* planes[kPlaneCount];  // block means, interleaved as above
  // the sub-pixel offsets of the library's float planes: kept within one pixel (refine_winner);
  // false for the console program's bytes, which take the designed, unbounded offset
  bool bounded_offsets;
};

// One output row of the aggregation: W floats each, NaN where there is no value.
struct RowOutputs {
  float* disparity;        // h + v of the winner
  float* uniqueness;       // disparity after the uniqueness check
  float* right_disparity;  // at column x - h, from the left pixel x (the last one wins)
  float* confidence;       // or null (not wanted): winner_confidence of the winner, 0 without one
};

// A block of the support window whose rows lie inside the image for the current row, with
// what the fast aggregation needs for pixel x: its cost vector costs[x + dx] (costs: the
// cost volume's row of the block centres), its right weights from right_weights - x on
// (index d, and as floats from right_float_weights - x on), its left weight left_weights[x].
// It is valid for first <= x < end, for d = 0 .. min(max_disparity, x + dx - r, x).
template <typename Cost>
struct RowBlockOf {
  const Cost* const* costs;
  const double* right_weights;
  const float* right_float_weights;
  const float* left_weights;
  int dx;
  int first, end;
};
using RowBlock = RowBlockOf<int>;
// The scratch holds RowBlock and WindowBlock records; the 16-bit kernel uses the same memory
// for its own, which have the same layout.
static_assert(sizeof(RowBlockOf<int16_t>) == sizeof(RowBlock) && sizeof(WindowBlockOf<int16_t>) == sizeof(WindowBlock),
              "one scratch for both cost types");

// Per-thread scratch of the aggregation, reinitialised at the start of every row.
struct AggregationScratch {
  int* claimed_disparity;  // max_disparity + W + 1 - min_disparity
  float* claimed_cost;     // same count
  double* costs;           // 4 * kWindowScratchArrays * (max_disparity + 1 - min_disparity + kWindowScratchPad)
  // the colour weights of the row, block by block: the right ones with the
  // columns reversed, so that consecutive disparities of one pixel are consecutive in memory
  // (nblocks * W values, floats widened to double, index k * W + (W - 1 - xr); and the same as
  // floats); the left ones times the spatial weight (nblocks * W, index k * W + x); the
  // blocks whose rows lie inside the image (nblocks); the valid blocks of the current pixel
  // (nblocks).
  double* right_weights_reversed;
  float* right_float_weights_reversed;
  float* left_weights_by_block;
  RowBlock* row_blocks;
  WindowBlock* window;  // 2 * nblocks: two pixels' valid blocks, alternately
  int* row_pixels;  // the row's pixels of both views, channel by channel: 6 * W
  int* distances;   // squared colour distances along the row for one block: W
};

// Winner search over the window costs A(0 .. ndisp-1) of one pixel. The running minimum m
// is an integer, initially kInitialRunningMin: a cost wins only when it lies below m, and m
// then becomes its integer part, so ties and costs within the same integer unit keep the
// lower disparity. A NaN never wins. found is false when no cost won (h = -1).
struct Winner {
  int m, h;
  bool found;
};
Winner select_winner(const double* costs, int ndisp);

// Sub-pixel offset of winner h: the parabola's vertex through A(h-1), A(h), A(h+1) rounded to
// float, when min_disparity < h < max_disparity and the three costs are >= 0; else 0.
// bounded: where the parabola is flat or opens downward (a + c - 2b <= 0) the offset is 0, and
// elsewhere it is clamped to -1 .. 1, so that the value stays within one pixel of h (the winner
// rule keeps a neighbour's cost up to one unit below A(h), where the vertex may lie far off).
float refine_winner(const double* costs, int h, int min_disparity, int max_disparity, bool bounded = false);

// Uniqueness constraint for the pixel at column x of a row that won h with running minimum m
// and output `value`. The claim table (claimed_disparity, claimed_cost, indexed by the
// right-view column x - h) keeps the first claim of each column; claims with disparity -1 or
// 0 count as free. Writes uniqueness[x] and, when x beats the first claimant, sets that
// claimant's value to no_value().
void apply_uniqueness(int x, int h, int m, float value, int* claimed_disparity, float* claimed_cost,
                      float* uniqueness);

// How sharply the window costs rise around winner h (0 .. ndisp-1), in [0, 1], lowered at the
// range's ends: from the exact costs A(h-1), A(h), A(h+1) (those inside the range), which
// every path of the aggregation holds for the refinement. The matcher's confidence is this,
// lowered where the uniqueness check drops the pixel (match.cpp).
float winner_confidence(const double* costs, int h, int ndisp);

// No value in a float output.
float no_value();

// Allocates one thread's scratch for ctx; false (nothing held) when memory cannot be had.
bool aggregation_scratch_alloc(AggregationScratch* scratch, const AggregationContext& ctx);
void aggregation_scratch_free(AggregationScratch* scratch);

// Aggregation of row y: the window costs of every pixel, its winner, sub-pixel offset and
// uniqueness test, into `out` (every element of the three rows is written). The rows of cost
// vectors that row y reads must be in place. Accumulates several disparities at once, block
// by block, with exactly the floating-point operations of the straightforward version the
// tests hold (tests/support/reference.h: same products, same sums in block order, same
// roundings), so the values are the same. It is
// simd::kernel_table().aggregate_row (matcher/simd/kernel_table.h).

}  // namespace ondrel::internal
