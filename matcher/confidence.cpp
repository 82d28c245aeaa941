// The confidence's second look (see confidence.h).

#include "matcher/confidence.h"

#include <cmath>

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
  for (int y = y_begin; y < y_end; ++y) {
    const float* row = disparity + static_cast<std::ptrdiff_t>(y) * disparity_stride;
    const float* right_row = right + static_cast<std::ptrdiff_t>(y) * right_stride;
    float* out = confidence + static_cast<std::ptrdiff_t>(y) * confidence_stride;
    // from the right end: the least x' - d' of the pixels right of x
    float least_right = INFINITY;
    for (int x = W - 1; x >= 0; --x) {
      const float d = row[x];
      if (std::isnan(d)) continue;
      const float column = static_cast<float>(x) - d;
      const bool ordered = !(least_right < column - 1.0f);
      if (column < least_right) least_right = column;

      int agreeing = 0;
      for (int dy = -kNeighbourRadius; dy <= kNeighbourRadius; ++dy) {
        const int yy = y + dy;
        if (yy < 0 || yy >= H) continue;
        const float* near_row = disparity + static_cast<std::ptrdiff_t>(yy) * disparity_stride;
        for (int dx = -kNeighbourRadius; dx <= kNeighbourRadius; ++dx) {
          const int xx = x + dx;
          if (xx >= 0 && xx < W && (dx != 0 || dy != 0) && near(near_row[xx], d)) ++agreeing;
        }
      }

      const long long h = static_cast<long long>(std::floor(d + 0.5f));
      bool consistent = false;
      for (long long xr = x - h - 1; xr <= x - h + 1; ++xr)
        if (xr >= 0 && xr < W && near(right_row[xr], d)) consistent = true;

      float c = out[x] * (static_cast<float>(agreeing) / static_cast<float>(kNeighbours));
      if (!consistent) c *= kInconsistentShare;
      if (!ordered) c *= kInconsistentShare;
      out[x] = c;
    }
  }
}
