#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "matcher/weight_tables.h"
#include "matcher/row_aggregation.h"

namespace ondrel::internal {

// exp(-(sqrt(squared) / gamma)): the root and the quotient in double, the quotient rounded
// to float, then the single-precision exponential.
static float distance_weight(int squared, float gamma) {
  const double distance = std::sqrt(static_cast<double>(squared));
  const float a = static_cast<float>(-(distance / static_cast<double>(gamma)));
  return std::exp(a);
}

int init_exponential_lut_QUIRN(float* lut, float gamma, int begin, int end) {
  if (begin < 0) begin = 0;
  if (end > kExpLutSize) end = kExpLutSize;
  int i = begin;
#if defined(__SSE2__)
  // two roots and quotients at a time (the same IEEE operations, so the same values: most of
  // the fill's time was the scalar root and division); the exponentials one by one
  const __m128d g = _mm_set1_pd(static_cast<double>(gamma)), sign = _mm_set1_pd(-0.0);
  for (; i + 2 <= end; i += 2) {
    const __m128d distance = _mm_sqrt_pd(_mm_set_pd(static_cast<double>(i + 1), static_cast<double>(i)));
    float a[4];
    _mm_storeu_ps(a, _mm_cvtpd_ps(_mm_xor_pd(_mm_div_pd(distance, g), sign)));  // -(distance / gamma)
    lut[i] = std::exp(a[0]);
    lut[i + 1] = std::exp(a[1]);
  }
#endif
  for (; i < end; ++i) lut[i] = distance_weight(i, gamma);
  return 0;
}

int blocks_per_axis(int block_radius, int support_radius) {
  return (2 * support_radius + 1) / (2 * block_radius + 1);
}

void fill_spatial_weights_QUIRN(float* spatial, int block_radius, int support_radius,
                                float gamma_space) {
  const int r = block_radius, R = support_radius, step = 2 * r + 1;
  int k = 0;
  for (int dy = r - R; dy <= R - r; dy += step)
    for (int dx = r - R; dx <= R - r; dx += step) spatial[k++] = distance_weight(dx * dx + dy * dy, gamma_space);
}

}  // namespace ondrel::internal
