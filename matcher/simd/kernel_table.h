// The matcher's SIMD kernels, one table of them per instruction set, and the one place that
// picks a table (dispatch.cpp, from simd_width_bits()).
//
// The stages, in the order the matcher runs them: the cost volume rows (16-bit or 32-bit
// running sums, cost_rows.cpp chooses), then the aggregation of a row (window costs,
// winners, uniqueness; the scratch comes from row_aggregation.cpp). All have one body,
// matcher/simd/kernels.simd.h, compiled by kernels_baseline.cpp (SSE2 on x86-64, the
// compiler's generic vectors elsewhere), kernels_avx2.cpp (-mavx2) and kernels_avx512.cpp
// (-mavx512f -mavx512bw -mavx512dq), and kernels_avx512_popcount.cpp (the same with
// -mavx512vpopcntdq, for the refined pipeline's census costs); the last three exist in x86-64
// GCC/clang builds (ONDREL_SIMD_X86).
// Every table does the same integer and floating-point operations, so all give the same bytes.
//
// Plain types and declarations only: the body includes this header in units built for wider
// instruction sets, where an inline function would be compiled for those too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "matcher/row_aggregation.h"

namespace ondrel::internal {

// The rows and sizes the cost rows work with. The right rows are column-reversed copies
// ("reversed rows"): channel c of a reversed row holds, at index m, channel c of right column
// max(W - 1 - m, 0), so that the right pixel of left column x at element k, column
// max(x - d0 - k, 0), lies at index W - 1 - x + d0 + k: consecutive elements, consecutive
// values. The values are widened to 16 bits, the lanes all pixel costs are computed in.
// The loops over the disparities run over whole vectors of KernelTable::cost_lanes elements,
// on working vectors padded to a multiple of it (Dp); the padding lanes compute costs of
// further disparities that are never stored, so no loop has a remainder.
struct CostVolumeInputs {
  const unsigned char* left;
  size_t left_stride;
  const unsigned char* right;
  size_t right_stride;
  int W, D, d0, T;         // T here is min(T, 765): the same truncation of a sum of three bytes
  int Dp;                  // D rounded up to a multiple of the vector length
  size_t reversed_length;  // values per channel of a reversed row: W + d0 + Dp
  int ring;                // rows in the ring of reversed rows: min(2r + 2, H)
  bool census = false;     // the rows are census images: Hamming distances instead of TAD
};

// Working storage of the cost rows.
template <typename Sum>
struct CostVolumeStorage {
  Sum* S;             // column sums, W vectors of Dp, column x at x * Dp
  Sum* A;             // window sum, Dp
  int16_t* reversed;  // reversed rows, a ring of `ring` rows of 3 * reversed_length values:
                      // row y at slot y % ring
  int16_t* pixel_costs;  // the pixel costs of the rows inside the window, kept from when a row
                         // enters until it leaves: a ring of `ring` rows of W * Dp values, row
                         // y at slot y % ring, column x at x * Dp; or nullptr: worked out again
                         // when the row leaves
};

// Largest ring of kept pixel costs (CostVolumeStorage::pixel_costs). Reading a row's costs
// back pays while the ring stays in a core's cache: beyond, it waits on memory and the
// second computation is faster (the measurements: docs/design.md).
constexpr size_t kKeptPixelCostBytes = size_t{2} << 20;

// Doubles of scratch the window kernel needs beyond the disparities, per array, and its
// arrays: window costs, lowest block costs (row_aggregation.cpp allocates them for two pixels).
constexpr size_t kWindowScratchPad = 64;
constexpr size_t kWindowScratchArrays = 2;

namespace simd {

// The cost rows y_begin .. y_end-1 of the stream whose inputs and storage cost_rows.cpp set
// up (see cost_stream_rows in matcher/cost_rows.h); every pointer of rows[y_begin .. y_end-1]
// points at D writable costs, of the type of the sums. Unless `resume` (the call before ended
// at y_begin with the same storage), the column sums are first rebuilt.
template <typename Sum>
using CostRows = void (*)(const CostVolumeInputs& in, int H, int r, Sum* const* const* rows,
                          const CostVolumeStorage<Sum>& st, int y_begin, int y_end, bool resume);

// Aggregation of row y (see the comment of kernel_table's users in matcher/row_aggregation.h).
using AggregateRow = void (*)(const AggregationContext& ctx, AggregationScratch& scratch, int y,
                              const RowOutputs& out);

// The steps of the refined pipeline's semi-global paths (refine/semi_global.h) through one
// row, in 16-bit lanes. A path's costs at pixel p from those of the path's previous pixel q:
//   L(p, k) = C(p, k) + min(L(q, k), L(q, k - 1) + p1, L(q, k + 1) + p1, lowest(q) + P2) - lowest(q)
// for k = 0 .. Dp - 1 (Dp a multiple of 16), with lowest(q) the lowest L(q, k), L(q, -1) =
// L(q, Dp) = kSemiGlobalOutside and P2 the large penalty between p and q; L(p, k) = C(p, k)
// where the path enters (p has no q). Costs and sums: pixel x's at x * Dp. 16-bit ints: the
// caller keeps 255 + P2 times the paths added to one sum below 32768.
//
// The two paths along the row, from its left end and from its right end: both L added to
// sums. large[x] is P2 between pixels x and x + 1; `scratch` holds 4 (Dp + 2) values.
using SemiGlobalRowPaths = void (*)(const uint8_t* cost, int W, int Dp, int p1, const int16_t* large, int16_t* scratch,
                                    int16_t* sums);
// The paths that reach a row from the row before it (q in the row before, or after when the
// paths go up): `paths` (1 or 3) of them, path j's q of pixel x at column x - dx, dx = 0, 1, -1.
// Rows of path costs: pixel x's L at x * span, kSemiGlobalOutside at x * span - 1 and x * span
// + Dp (the caller's, never written). Path j's costs and lowests of the row before in
// before[j] and lowest_before[j] (before[0] null: the paths enter at this row, the rows before
// and large not read), of this row into now[j] and lowest_now[j]; large[j][x] is P2 between
// pixel x and its q. sums[x * Dp + k] = add[x * Dp + k] (null: 0) + the paths' L(x, k) (add may
// be sums). In bytes where not null: add_bytes instead of add; keep_bytes (same layout) gets
// the sum cut to 0 .. 255 instead of sums.
struct SemiGlobalColumns {
  int paths, span;
  const int16_t* before[3];
  const int16_t* lowest_before[3];
  const int16_t* large[3];
  int16_t* now[3];
  int16_t* lowest_now[3];
  const uint8_t* add_bytes;
  uint8_t* keep_bytes;
};
using SemiGlobalColumnPaths = void (*)(const uint8_t* cost, int W, int Dp, int p1, const SemiGlobalColumns& columns,
                                       const int16_t* add, int16_t* sums);
constexpr int16_t kSemiGlobalOutside = 0x3FFF;
// The pixel costs of one row of the refined pipeline (refine/semi_global.h): pixel x, lane k
// at cost[x * Dp + k] = the number of bits that differ between left[x] and right[x + D - 1 - k]
// (census strings; `right` holds W + D - 1 of them) for k < D, kSemiGlobalPadding beyond.
using SemiGlobalCosts = void (*)(const uint64_t* left, const uint64_t* right, int W, int D, int Dp, uint8_t* cost);
constexpr uint8_t kSemiGlobalPadding = 255;
// The census strings of columns begin .. end - 1 of one row of the refined pipeline: bit k of
// out[x] set where the k-th pixel of the 9x7 window (row by row, the centre left out) lies
// below the centre rows[3][x]; rows[v] is the window's row v (3 above to 3 below the centre),
// read from column begin - 4 to end + 3.
using SemiGlobalCensus = void (*)(const int16_t* const* rows, int begin, int end, uint64_t* out);

// The lowest path sums of one row of the refined pipeline (refine/semi_global.h winners_row),
// pixel x's D sums at sums[x * Dp]: best[x] = the lowest lane of the lowest sum, lowest[x] =
// that sum, second[x] = the lowest sum of the lanes k with |k - best| > 1 (0x7FFF: none); and
// the right view's, along the other diagonal: for right column c = 0 .. W - 1, at index
// kSemiGlobalWinnersPad + W - 1 - c of right_best the lowest lane k of the lowest sum of
// (c + d_min + k, k) over the k whose left column lies in the image (-1: none), right_low the
// sum. right_low and right_best hold W + 2 kSemiGlobalWinnersPad values.
using SemiGlobalWinners = void (*)(const int16_t* sums, int W, int d_min, int D, int Dp, int16_t* right_low,
                                   int16_t* right_best, int16_t* best, int16_t* lowest, int16_t* second);
constexpr int kSemiGlobalWinnersPad = 32;
// The refined map's values of one row from its winners (refine/semi_global.h winners_row), per
// pixel x: best[x], lowest[x], second[x] as semi_global_winners gives them, below[x] and
// above[x] the sums of the lanes best - 1 and best + 1 (read where 0 < best < D - 1), match[x]
// the right view's best lane at the pixel's match x - d_min - best (-1: none or outside).
// Unique: second == 0x7FFF or second (100 - uniqueness) >= 100 lowest; consistent: tolerance
// < 0 or match >= 0 and |match - best| <= tolerance. Where both, disparity[x] = d_min + best +
// the offset of the parabola through the three sums (0 unless 0 < best < D - 1 and it opens
// upwards) and margin[x] = (second - lowest) / second (1 where second is 0x7FFF or 0);
// elsewhere NaN and 0. margin may be null.
using SemiGlobalPick = void (*)(const int16_t* best, const int16_t* lowest, const int16_t* second, const int16_t* below,
                                const int16_t* above, const int16_t* match, int W, int d_min, int D, int uniqueness,
                                int tolerance, float* disparity, float* margin);

// The window of a row of centres of the refined map's weighted median (refine/post_filters.cpp,
// 16-bit weights): for centre x and offset k = 0 .. K - 1 of its window (in the window's
// order), bins[k][x] the neighbour's bin (-1: no value), weights[k][x] its weight for the
// centre, values[k][x] its value (0 where it has none); own[x] the centre's bin.
struct MedianWindow {
  const int16_t* const* bins;
  const int16_t* const* weights;
  const float* const* values;
  int K;
  const int16_t* own;
};
// Per centre x, over the offsets whose bin b is >= 0: the weights of b < own (below), b ==
// own (at), b == own - 1 (lower), b == own + 1 (upper) and all (total); and the float sums
// of weight x value of the last three bins, each in the window's order.
struct MedianSums {
  int16_t *below, *at, *lower, *upper, *total;
  float *at_sum, *lower_sum, *upper_sum;
};
// The sums of centres 0 .. W - 1 (the caller keeps every total below 32768).
using MedianRowSums = void (*)(const MedianWindow& window, int W, const MedianSums& out);
// The weights of a row against one offset: to[x] = weights[|a - b|_1] over the 3 planes of
// bytes at a, b (`planes` apart), x = 0 .. W - 1; `weights` holds 766 of them, 0 from
// weights[reach] on.
using MedianWeights = void (*)(const uint8_t* a, const uint8_t* b, size_t planes, int W, const int16_t* weights,
                               int reach, int16_t* to);

struct KernelTable {
  int cost_lanes;  // 16-bit lanes per vector of the cost rows: Dp is a multiple of it
  CostRows<int16_t> cost_rows_16;
  CostRows<int32_t> cost_rows_32;
  AggregateRow aggregate_row;
  SemiGlobalRowPaths semi_global_row_paths;
  SemiGlobalColumnPaths semi_global_column_paths;
  SemiGlobalCosts semi_global_costs;
  SemiGlobalCensus semi_global_census;
  SemiGlobalWinners semi_global_winners;
  SemiGlobalPick semi_global_pick;
  MedianRowSums median_sums;
  MedianWeights median_weights;
};

namespace baseline {
extern const KernelTable kTable;
}
#if defined(ONDREL_SIMD_X86)
// Call these only on a CPU that has the instructions.
namespace avx2 {
extern const KernelTable kTable;
}
namespace avx512 {
extern const KernelTable kTable;
}
namespace avx512_popcount {
extern const KernelTable kTable;
}
#endif

// The table of the widest path this CPU runs (and ondrel_testing_limit_simd allows).
const KernelTable& kernel_table();

}  // namespace simd
}  // namespace ondrel::internal
