// The confidence's second look (see confidence.h).

#include "matcher/confidence.h"

#include <cmath>

namespace ondrel::internal {

namespace {

// Neighbourhood radius of the agreement share: 5x5, wide enough that a blob of a few pixels
// is not its own majority.
constexpr int kNeighbourRadius = 2;
constexpr int kNeighbours = (2 * kNeighbourRadius + 1) * (2 * kNeighbourRadius + 1) - 1;

// Whether two disparities lie within 1 of each other (false with a NaN).
inline bool near(float a, float b) { return std::fabs(a - b) <= 1.0f; }

}  // namespace

void confidence_from_map(const float* disparity, std::ptrdiff_t disparity_stride, const float* right,
                         std::ptrdiff_t right_stride, int W, int H, int y_begin, int y_end, float* confidence,
                         std::ptrdiff_t confidence_stride) {
  constexpr int kChunk = 256;  // columns counted at once, one neighbour offset after the other (vector code)
  int agreeing[kChunk];
  for (int y = y_begin; y < y_end; ++y) {
    const float* row = disparity + static_cast<std::ptrdiff_t>(y) * disparity_stride;
    const float* right_row = right + static_cast<std::ptrdiff_t>(y) * right_stride;
    float* out = confidence + static_cast<std::ptrdiff_t>(y) * confidence_stride;
    // from the right end: the least x' - d' of the pixels right of x
    float least_right = INFINITY;
    for (int end = W; end > 0; end -= kChunk) {
      const int begin = end - kChunk > 0 ? end - kChunk : 0;
      for (int x = begin; x < end; ++x) agreeing[x - begin] = 0;
      for (int dy = -kNeighbourRadius; dy <= kNeighbourRadius; ++dy) {
        if (y + dy < 0 || y + dy >= H) continue;
        const float* near_row = disparity + static_cast<std::ptrdiff_t>(y + dy) * disparity_stride;
        for (int dx = -kNeighbourRadius; dx <= kNeighbourRadius; ++dx) {
          if (dx == 0 && dy == 0) continue;
          const int from = begin + dx < 0 ? -dx : begin, to = end + dx > W ? W - dx : end;
          for (int x = from; x < to; ++x) agreeing[x - begin] += near(near_row[x + dx], row[x]);
        }
      }
      for (int x = end - 1; x >= begin; --x) {
        const float d = row[x];
        if (std::isnan(d)) continue;
        const float column = static_cast<float>(x) - d;
        const bool ordered = !(least_right < column - 1.0f);
        if (column < least_right) least_right = column;
        const long long h = static_cast<long long>(std::floor(d + 0.5f));
        bool consistent = false;
        for (long long xr = x - h - 1; xr <= x - h + 1; ++xr)
          if (xr >= 0 && xr < W && near(right_row[xr], d)) consistent = true;
        float c = out[x] * (static_cast<float>(agreeing[x - begin]) / static_cast<float>(kNeighbours));
        if (!consistent) c *= kInconsistentShare;
        if (!ordered) c *= kInconsistentShare;
        out[x] = c;
      }
    }
  }
}

}  // namespace ondrel::internal
