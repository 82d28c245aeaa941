// Census images: for every pixel, the 24 comparisons of its grey value with those of the
// other pixels of its 5x5 window, as 3 bytes in the layout of a colour pixel, so that the
// cost kernel (matcher/simd/cost_rows.simd.h) reads them like a colour image. Contract: census.h
// (census_transform). Integer only.

#include <cassert>
#include <cstdint>

#include "matcher/census.h"

namespace ondrel::internal {

namespace {

constexpr int kCensusRadius = 2;
constexpr int kSide = 2 * kCensusRadius + 1;

inline int clamp(int v, int low, int high) { return v < low ? low : v > high ? high : v; }

inline int grey(const unsigned char* p) { return p[0] + p[1] + p[2]; }

}  // namespace

void census_transform(const unsigned char* image, size_t stride, int W, int H, unsigned char* out, int y_begin,
                      int y_end) {
  assert(W >= 1 && H >= 1 && stride >= 3 * static_cast<size_t>(W) && 0 <= y_begin && y_begin <= y_end && y_end <= H);
  for (int y = y_begin; y < y_end; ++y) {
    const unsigned char* rows[kSide];
    for (int j = 0; j < kSide; ++j) rows[j] = image + static_cast<size_t>(clamp(y + j - kCensusRadius, 0, H - 1)) * stride;
    unsigned char* o = out + static_cast<size_t>(y) * 3 * static_cast<size_t>(W);
    for (int x = 0; x < W; ++x) {
      int columns[kSide];
      for (int i = 0; i < kSide; ++i) columns[i] = 3 * clamp(x + i - kCensusRadius, 0, W - 1);
      const int centre = grey(rows[kCensusRadius] + columns[kCensusRadius]);
      uint32_t bits = 0;
      int bit = 0;
      for (int j = 0; j < kSide; ++j)
        for (int i = 0; i < kSide; ++i) {
          if (j == kCensusRadius && i == kCensusRadius) continue;
          if (grey(rows[j] + columns[i]) < centre) bits |= 1u << bit;
          ++bit;
        }
      o[3 * x] = static_cast<unsigned char>(bits & 0xFF);
      o[3 * x + 1] = static_cast<unsigned char>((bits >> 8) & 0xFF);
      o[3 * x + 2] = static_cast<unsigned char>((bits >> 16) & 0xFF);
    }
  }
}

}  // namespace ondrel::internal
