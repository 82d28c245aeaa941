// Census images (census.cpp), read by the cost rows as colour images.
#pragma once

#include <cstddef>

namespace ondrel::internal {

// Largest census pixel cost: the bits of one census string.
constexpr int kLargestCensusCost = 24;

// Rows y_begin .. y_end-1 of the census image of a 3-channel 8-bit W x H image (stride in
// bytes) into out (3 * W bytes per row, no padding): pixel (x, y) gets 24 bits, bit 8c + b
// in byte c, one per neighbour of its 5x5 window in row order with the centre left out
// (neighbour i, 0 .. 23), set where the neighbour's grey value is below the centre's. Grey:
// the sum of the 3 channels. A neighbour outside the image reads the nearest pixel inside
// (coordinates clamped). Rows depend on the image alone: any split over threads is exact.
void census_transform(const unsigned char* image, size_t stride, int W, int H, unsigned char* out, int y_begin,
                      int y_end);

}  // namespace ondrel::internal
