// The steps of match_refined (see <ondrel/refine.h>), each on whole planes of W x H floats,
// index y * W + x, NaN = no value. They trust their inputs; match_refined checks them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondrel::internal {

// The view mirrored left to right: pixel (x, y) of `out` (3-channel, W x H, stride 3 * W) is
// pixel (W - 1 - x, y) of `in` (3-channel, stride in bytes).
void mirror_view(const unsigned char* in, std::ptrdiff_t stride, int W, int H, unsigned char* out);

// A plane mirrored left to right, in place.
void mirror_plane(float* plane, int W, int H);

// Drops (sets to NaN) every left value d = left[y * W + x] without a right value at
// x - round(d) within `tolerance` of it (round: half away from zero). Outside the row counts
// as no value.
void consistency_check(float* left, const float* right, int W, int H, float tolerance);

// Gives every pixel without a value the smaller of the nearest values left and right of it
// in its row, or the only one of the two there is; a row without any value stays so.
void fill_from_background(float* plane, int W, int H);

// Weight of each colour distance 0 .. 765 for the weighted median.
constexpr int kColourDistances = 766;
void median_weights(float gamma_color, int32_t* weights);

// Weighted median of `in` into `out` (in != out) over the (2 * radius + 1)^2 window cut at
// the border: the smallest window value v whose weights of values <= v reach half of all the
// window's weights, the weight of pixel q for centre p being weights[|I(p) - I(q)|_1] on the
// guide (3-channel, stride in bytes). Values without a value are left out; a window without
// any gives NaN. Rows are shared among `threads` workers. False (out untouched) when its
// scratch cannot be had.
bool weighted_median(const float* in, int W, int H, const unsigned char* guide, std::ptrdiff_t guide_stride,
                     int radius, const int32_t* weights, int threads, float* out);

// The refined map's confidence: the left match's (`matched`, or 1 where null) where the
// value is that match's own, kept by the consistency check (`kept`: NaN where dropped or
// without one); 0 where it was filled; and half of that where the weighted median moved it by
// more than 1 (`final_values` against `filled`, the plane the median took).
void refined_confidence(const float* matched, const float* kept, const float* filled, const float* final_values,
                        int W, int H, float* confidence);

}  // namespace ondrel::internal
