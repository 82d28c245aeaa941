// Aggregation of the block costs over the support window, winner selection with sub-pixel
// refinement, and the uniqueness constraint along each row.
//
// For pixel (x, y) and disparity d the window cost is
//   A(d) = sum_k w(k) C(x+dx_k, y+dy_k, d) / sum_k w(k),  w(k) = ws[k] wL(x,y,k) wR(x-d,y,k),
// over the blocks k valid for (x, y, d): both the left block at (x+dx, y+dy) and the right
// block at (x-d+dx, y+dy) lie wholly inside the image. Floating-point choices: ws[k] wL is
// rounded to float (it is cached as a float); w(k) and both sums are in double (the product
// of two floats is exact in double); the quotient is rounded to float. Here: the scratch, the
// winner search and the uniqueness test; the fast row itself is a SIMD kernel
// (matcher/simd/aggregate_row.simd.h).

#include <cassert>

#include "matcher/row_aggregation.h"
#include "matcher/simd/kernel_table.h"
#include "matcher/memory.h"

namespace ondrel::internal {

namespace {

#include "matcher/simd/pixel_rules.simd.h"

// *p = n fresh elements; false when they cannot be had.
template <typename T>
bool take(T** p, size_t n) {
  *p = ondrel_alloc_array<T>(n);
  return *p != nullptr;
}

}  // namespace


float no_value() { return no_value_here(); }

float winner_confidence(const double* costs, int h, int ndisp) { return winner_confidence_here(costs, h, ndisp); }

bool aggregation_scratch_alloc(AggregationScratch* s, const AggregationContext& ctx) {
  const size_t claims = static_cast<size_t>(ctx.max_disparity) + static_cast<size_t>(ctx.W) + 1 -
                        static_cast<size_t>(ctx.min_disparity);
  const size_t costs = static_cast<size_t>(ctx.max_disparity) + 1 - static_cast<size_t>(ctx.min_disparity);
  const size_t W = static_cast<size_t>(ctx.W), nblocks = static_cast<size_t>(ctx.nblocks);
  *s = AggregationScratch{};
  // in order, each only when the ones before were had
  if (take(&s->claimed_disparity, claims) && take(&s->claimed_cost, claims) &&
      take(&s->costs, 4 * kWindowScratchArrays * (costs + kWindowScratchPad)) &&
      take(&s->right_weights_reversed, W * nblocks) && take(&s->right_float_weights_reversed, W * nblocks) &&
      take(&s->left_weights_by_block, W * nblocks) &&
      take(&s->row_blocks, nblocks) && take(&s->window, 2 * nblocks) && take(&s->row_pixels, 6 * W) &&
      take(&s->distances, W))
    return true;
  aggregation_scratch_free(s);
  return false;
}

void aggregation_scratch_free(AggregationScratch* s) {
  ondrel_free(s->claimed_disparity);
  ondrel_free(s->claimed_cost);
  ondrel_free(s->costs);
  ondrel_free(s->right_weights_reversed);
  ondrel_free(s->right_float_weights_reversed);
  ondrel_free(s->left_weights_by_block);
  ondrel_free(s->row_blocks);
  ondrel_free(s->window);
  ondrel_free(s->row_pixels);
  ondrel_free(s->distances);
  *s = AggregationScratch{};
}

Winner select_winner(const double* costs, int ndisp) { return select_winner_here(costs, ndisp); }

float refine_winner(const double* costs, int h, int min_disparity, int max_disparity, bool bounded) {
  return refine_winner_here(costs, h, min_disparity, max_disparity, bounded);
}

void apply_uniqueness(int x, int h, int m, float value, int* claimed_disparity, float* claimed_cost,
                      float* uniqueness) {
  apply_uniqueness_here(x, h, m, value, claimed_disparity, claimed_cost, uniqueness);
}

}  // namespace ondrel::internal
