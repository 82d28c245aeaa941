// The confidence's second look: what the finished map says about each of its values.
//
// The matcher's confidence of a pixel (row_aggregation.h, winner_confidence) reads the pixel's
// own window costs. Some wrong values have sharp, cheap minima all the same: a repeated or
// finely textured surface matched at another period, in blobs. The finished map shows them:
// their right-view column shows another surface, or they stand apart from their neighbours.
// This pass lowers their confidence, from the disparity planes alone, exactly (float
// comparisons and products in a fixed order), so that it is the same for any split of rows.
#pragma once

#include <cstddef>

namespace ondrel::internal {

// The share of its confidence a pixel keeps for each check of the right view it fails (as for
// the uniqueness check's drops).
constexpr float kInconsistentShare = 0.25f;

// Multiplies confidence (y, x) for the rows y_begin .. y_end-1 by
//   - the share of the 24 other pixels of its 5x5 neighbourhood (those outside the image
//     count as disagreeing) whose disparity lies within 1 of its own: a speckle gets little,
//     the inside of a smooth surface keeps all;
//   - kInconsistentShare unless the right-view plane `right` holds, in one of the columns
//     x - h - 1 .. x - h + 1 (h: the value rounded to the nearest integer, halves up), a value
//     within 1 of its own: its right pixel was claimed by a pixel of another disparity;
//   - kInconsistentShare where a pixel right of it in the row maps into the right view more
//     than 1 left of it (x' - d' < x - d - 1 for some x' > x): the order of the views is
//     broken, and of the two the pixel of the smaller disparity is the one that would be
//     hidden (or wrong: a surface matched at too small a disparity).
// Pixels without a value (NaN disparity) are left as they are. disparity and right are the
// left and right planes of ondrel::DisparityPlanes (NaN: no value), W x H with their strides;
// confidence is W x H with its stride and may not alias them. Rows of disjoint ranges may be
// done at once.
void confidence_from_map(const float* disparity, std::ptrdiff_t disparity_stride, const float* right,
                         std::ptrdiff_t right_stride, int W, int H, int y_begin, int y_end, float* confidence,
                         std::ptrdiff_t confidence_stride);

}  // namespace ondrel::internal
