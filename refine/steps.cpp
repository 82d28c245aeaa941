// The steps of match_refined (see steps.h).

#include "refine/steps.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace ondrel::internal {

void mirror_view(const unsigned char* in, std::ptrdiff_t stride, int W, int H, unsigned char* out) {
  for (int y = 0; y < H; ++y) {
    const unsigned char* row = in + y * stride;
    unsigned char* to = out + static_cast<std::ptrdiff_t>(y) * 3 * W;
    for (int x = 0; x < W; ++x) std::memcpy(to + 3 * x, row + 3 * (W - 1 - x), 3);
  }
}

void mirror_plane(float* plane, int W, int H) {
  for (int y = 0; y < H; ++y) std::reverse(plane + static_cast<std::ptrdiff_t>(y) * W, plane + static_cast<std::ptrdiff_t>(y + 1) * W);
}

void consistency_check(float* left, const float* right, int W, int H, float tolerance) {
  for (int y = 0; y < H; ++y) {
    float* l = left + static_cast<std::ptrdiff_t>(y) * W;
    const float* r = right + static_cast<std::ptrdiff_t>(y) * W;
    for (int x = 0; x < W; ++x) {
      const float d = l[x];
      if (std::isnan(d)) continue;
      // far outside the row (or huge): no match; keeps the conversion to int defined
      const double xr = x - std::round(static_cast<double>(d));
      const bool inside = xr >= 0 && xr < W;
      if (!inside || !(std::fabs(d - r[static_cast<int>(xr)]) <= tolerance)) l[x] = NAN;
    }
  }
}

void refined_confidence(const float* matched, const float* kept, const float* filled, const float* final_values,
                        int W, int H, float* confidence) {
  const size_t n = static_cast<size_t>(W) * static_cast<size_t>(H);
  for (size_t i = 0; i < n; ++i) {
    float c = std::isnan(kept[i]) ? 0.0f : matched ? matched[i] : 1.0f;
    if (!(std::fabs(final_values[i] - filled[i]) <= 1.0f)) c *= 0.5f;
    confidence[i] = c;
  }
}

void fill_from_background(float* plane, int W, int H) {
  for (int y = 0; y < H; ++y) {
    float* row = plane + static_cast<std::ptrdiff_t>(y) * W;
    int x = 0;
    while (x < W) {
      if (!std::isnan(row[x])) {
        ++x;
        continue;
      }
      int end = x;  // the run of pixels without a value: x .. end - 1
      while (end < W && std::isnan(row[end])) ++end;
      const bool has_left = x > 0, has_right = end < W;
      if (has_left || has_right) {
        const float v = !has_left ? row[end] : !has_right ? row[x - 1] : std::min(row[x - 1], row[end]);
        std::fill(row + x, row + end, v);
      }
      x = end;
    }
  }
}

void median_weights(float gamma_color, int32_t* weights) {
  for (int i = 0; i < kColourDistances; ++i)
    weights[i] = static_cast<int32_t>(std::lround(1024.0 * std::exp(-i / static_cast<double>(gamma_color))));
}

namespace {

int colour_distance(const unsigned char* a, const unsigned char* b) {
  return std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]);
}

}  // namespace

bool weighted_median(const float* in, int W, int H, const unsigned char* guide, std::ptrdiff_t guide_stride,
                     int radius, const int32_t* weights, int threads, float* out) {
  const int side = 2 * radius + 1;
  // an entry: the value's bits in an order that sorts like the floats (high half), its weight
  // (low half); equal values give the same answer in whichever order they come
  using Entry = uint64_t;
  Entry* scratch = new (std::nothrow) Entry[static_cast<size_t>(threads) * side * side];
  if (!scratch) return false;
#pragma omp parallel for num_threads(threads) schedule(dynamic, 4)
  for (int y = 0; y < H; ++y) {
    Entry* window = scratch + static_cast<size_t>(omp_get_thread_num()) * side * side;
    const int y0 = std::max(0, y - radius), y1 = std::min(H - 1, y + radius);
    for (int x = 0; x < W; ++x) {
      const int x0 = std::max(0, x - radius), x1 = std::min(W - 1, x + radius);
      const unsigned char* centre = guide + y * guide_stride + 3 * x;
      int n = 0;
      int64_t total = 0;
      for (int v = y0; v <= y1; ++v) {
        const float* row = in + static_cast<std::ptrdiff_t>(v) * W;
        const unsigned char* g = guide + v * guide_stride;
        for (int u = x0; u <= x1; ++u) {
          if (std::isnan(row[u])) continue;
          const int32_t w = weights[colour_distance(centre, g + 3 * u)];
          uint32_t bits;
          std::memcpy(&bits, &row[u], sizeof bits);
          bits ^= bits >> 31 ? 0xffffffffu : 0x80000000u;
          window[n++] = static_cast<uint64_t>(bits) << 32 | static_cast<uint32_t>(w);
          total += w;
        }
      }
      float value = NAN;
      if (n > 0) {
        std::sort(window, window + n);
        int64_t below = 0;
        for (int i = 0; i < n; ++i) {
          below += static_cast<uint32_t>(window[i]);
          if (2 * below >= total) {
            uint32_t bits = static_cast<uint32_t>(window[i] >> 32);
            bits ^= bits >> 31 ? 0x80000000u : 0xffffffffu;
            std::memcpy(&value, &bits, sizeof value);
            break;
          }
        }
      }
      out[static_cast<std::ptrdiff_t>(y) * W + x] = value;
    }
  }
  delete[] scratch;
  return true;
}

}  // namespace ondrel::internal
