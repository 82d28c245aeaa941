// The weight tables of a call (weight_tables.cpp): the colour weights of every squared colour
// distance and the spatial weights of the support window's blocks.
#pragma once

#include "matcher/constants.h"

namespace ondrel::internal {

// Colour weight table: entry i is the weight of squared colour distance i,
// exp(-(sqrt(i) / gamma_color)) in single precision; kExpLutSize entries, of which the
// matcher fills the first kExpLutFilled (the rest stay 0).
//
// Fills lut[begin .. end-1] from gamma (the range is clamped to the table; an empty range
// fills nothing). Every entry depends on its index alone, so ranges may be filled in any
// order and on any thread. Returns 0.
int init_exponential_lut_QUIRN(float* lut, float gamma, int begin, int end);

// Spatial weight of every block of a support window, row by row (dy outer, dx inner):
// spatial[k] = exp(-(sqrt(dx^2 + dy^2) / gamma_space)), offsets r-R, r-R+(2r+1), ... R-r.
// spatial: blocks_per_axis(r, R)^2 floats. Needs r >= 0.
void fill_spatial_weights_QUIRN(float* spatial, int block_radius, int support_radius,
                                float gamma_space);

}  // namespace ondrel::internal
