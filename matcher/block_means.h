// Block colour means of both views (block_means.cpp), and the static split of rows over
// threads the parallel phases share.
#pragma once

#include <cstddef>

#include "matcher/row_aggregation.h"

namespace ondrel::internal {

// Block means of the three channels of one 3-channel view (stride in bytes), for the output
// rows [y_begin, y_end): planes[c](x, y) = the sum of channel c over the (2r+1)^2 pixels
// centred at (x, y), divided by (2r+1)^2 and truncated, written only where the block lies
// wholly inside the image (x in [r, W-r-1], y in [r, H-r-1]); nothing else is written, and
// nothing at all outside the domain (r < 0, or 2r+1 larger than W or H). planes: W * H bytes
// each (a mean of bytes is one), row-major. columns: 3 * W ints of scratch, owned by the caller. The sums must fit an
// int: (2r+1)^2 * 255 <= INT_MAX (the argument check ensures it).
void block_means_rows(const unsigned char* image, size_t stride, int W, int H, int r, unsigned char* const planes[3],
                      int y_begin, int y_end, int* columns);

struct BlockMeanContext {
  const unsigned char* left;
  const unsigned char* right;
  size_t left_stride, right_stride;  // bytes
  int r, W, H;
  unsigned char* planes[kPlaneCount];
};

// Body of the block-mean region: thread `thread` of `nthreads` writes both views' block
// means (block_means_rows) for its static share of the rows whose blocks lie inside, and 0
// wherever no mean is written in its static share of all H rows: when every thread has run,
// the planes (uninitialized before) are whole. Returns false, having written nothing, when
// its column buffer cannot be had.
bool block_mean_region_QUIRN(const BlockMeanContext& ctx, int thread, int nthreads);

// Static split of n items over nthreads threads: chunk = ceil(n / nthreads); thread t takes
// [t * chunk, min((t + 1) * chunk, n)), empty when it starts at or beyond n.
struct ItemRange {
  long long begin, end;
};
ItemRange static_split(long long n, int nthreads, int thread);

}  // namespace ondrel::internal
