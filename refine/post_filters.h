// The filters of the refined map after the winners (match_refined with RefineOptions::method
// kSemiGlobal): the fill of the pixels without a value and the guided weighted median. Planes
// are W x H floats, index y * W + x, NaN = no value. They trust their inputs: match_refined
// checks them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondrel::internal {

// Fills every NaN of the plane: the nearest values along the 8 directions (row, column,
// diagonals) from the pixel, the second lowest of them (the lowest where only one is found),
// NaN where none is (an image without any value). Rows, columns and diagonals are shared
// among `threads` workers. False (out untouched) when its scratch cannot be had.
bool fill_holes(const float* in, int W, int H, int threads, float* out);

// Weighted median of `in` into `out` (in != out) over the (2 r + 1)^2 window cut at the border,
// weight of q for the centre p weights[|I(p) - I(q)|_1] on the guide view (3-channel, stride in
// bytes), over bins of one disparity (a value's bin: its rounding, clamped to d_min .. d_min +
// D - 1): the lowest bin whose weights with those below reach half of the window's. The
// value: the weighted mean of the window's values in that bin (float sum of weight x value in
// the order of the window's rows and columns, over the float of the bin's integer weight): a
// stray value joins its neighbours' bin, and the sub-pixel values within a bin are smoothed.
// Values are finite or NaN; NaNs are left out; a window of NaNs keeps the centre.
// Rows are shared among `threads` workers. False (out untouched) when its scratch cannot be
// had.
bool median_rows(const float* in, int W, int H, const unsigned char* guide, std::ptrdiff_t stride, int r,
                 const int32_t* weights, int d_min, int D, int threads, float* out);

}  // namespace ondrel::internal
