// The stages of one call, in the order a call runs them (matcher/match.cpp):
//   1. the weight tables (weight_tables.h): colour weights and the window's spatial weights;
//   2. the census images when the cost is census (census.h);
//   3. the block means of both views (block_means.h), all threads;
//   4. per worker and band of rows, the block cost rows (cost_rows.h) streamed just ahead of
//      the aggregation of each row (row_aggregation.h): window costs, winner, sub-pixel
//      offset and uniqueness;
//   5. with the confidence, its look at the finished map (confidence.h), all threads.
// The cost rows and the row aggregation run through the vector kernels picked in one place
// (dispatch.h, matcher/simd/kernel_table.h).
//
// Conventions: images are 8-bit, 3 interleaved channels; channel c of pixel (x, y) is the
// byte at data[y * stride + 3 * x + c] with the stride in bytes. Planes are W * H 32-bit
// values, index y * W + x, no stride of their own. The kernels trust their inputs; the entry
// point checks them once (matcher/match.h).
// Every internal of the library lives in ondrel::internal, the kernels of each instruction set
// in ondrel::internal::simd::<isa>; the public names are those of include/ondrel/.
#pragma once

#include "matcher/constants.h"
#include "matcher/dispatch.h"
#include "matcher/weight_tables.h"
#include "matcher/census.h"
#include "matcher/block_means.h"
#include "matcher/cost_rows.h"
#include "matcher/row_aggregation.h"
#include "matcher/confidence.h"
#include "matcher/simd/kernel_table.h"
