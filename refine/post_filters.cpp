// The filters of the refined map after the winners (see post_filters.h).

#include "refine/post_filters.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

namespace ondrel {
namespace refine {
namespace {

// The median's bin of a value: its disparity rounded, clamped to the range (the value itself
// may lie a little outside it; huge values are clamped before the conversion).
int bin_of(float f, int d_min, int D) {
  const float b = std::round(f) - static_cast<float>(d_min);
  return b <= 0.0f ? 0 : b >= static_cast<float>(D - 1) ? D - 1 : static_cast<int>(b);
}

}  // namespace

void fill_holes(const float* in, int W, int H, int threads, float* out) {
  static const int kSteps[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {-1, -1}, {1, -1}, {-1, 1}};
#pragma omp parallel for num_threads(threads) schedule(dynamic, 4)
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(y) * W + x;
      if (!std::isnan(in[i])) {
        out[i] = in[i];
        continue;
      }
      float lowest = INFINITY, second = INFINITY;
      for (const auto& step : kSteps) {
        int u = x + step[0], v = y + step[1];
        while (u >= 0 && u < W && v >= 0 && v < H && std::isnan(in[static_cast<std::ptrdiff_t>(v) * W + u]))
          u += step[0], v += step[1];
        if (u < 0 || u >= W || v < 0 || v >= H) continue;
        const float f = in[static_cast<std::ptrdiff_t>(v) * W + u];
        if (f < lowest) second = lowest, lowest = f;
        else if (f < second) second = f;
      }
      out[i] = std::isinf(lowest) ? NAN : std::isinf(second) ? lowest : second;
    }
}

bool median_rows(const float* in, int W, int H, const unsigned char* guide, std::ptrdiff_t stride, int r,
                 const int32_t* weights, int d_min, int D, int threads, float* out) {
  // per worker: the weights and the weighted sums of the values of each bin, zero between pixels
  int64_t* weight_scratch = new (std::nothrow) int64_t[static_cast<size_t>(threads) * static_cast<size_t>(D)]();
  double* sum_scratch = new (std::nothrow) double[static_cast<size_t>(threads) * static_cast<size_t>(D)]();
  int* bins = new (std::nothrow) int[static_cast<size_t>(W) * static_cast<size_t>(H)];
  if (!weight_scratch || !sum_scratch || !bins) {
    delete[] weight_scratch;
    delete[] sum_scratch;
    delete[] bins;
    return false;
  }
  // every value's bin (-1: no value), found once rather than in every window
#pragma omp parallel for num_threads(threads) schedule(static)
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const float f = in[static_cast<std::ptrdiff_t>(y) * W + x];
      bins[static_cast<std::ptrdiff_t>(y) * W + x] = std::isnan(f) ? -1 : bin_of(f, d_min, D);
    }
#pragma omp parallel num_threads(threads)
  {
    int64_t* weight = weight_scratch + static_cast<size_t>(omp_get_thread_num()) * static_cast<size_t>(D);
    double* sum = sum_scratch + static_cast<size_t>(omp_get_thread_num()) * static_cast<size_t>(D);
#pragma omp for schedule(dynamic, 4)
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const unsigned char* centre = guide + y * stride + 3 * x;
        int64_t total = 0;
        int first = D, last = -1;  // the bins touched
        for (int v = std::max(0, y - r); v <= std::min(H - 1, y + r); ++v) {
          const float* row = in + static_cast<std::ptrdiff_t>(v) * W;
          const int* row_bins = bins + static_cast<std::ptrdiff_t>(v) * W;
          const unsigned char* g = guide + v * stride;
          for (int u = std::max(0, x - r); u <= std::min(W - 1, x + r); ++u) {
            const int bin = row_bins[u];
            if (bin < 0) continue;
            const float f = row[u];
            const unsigned char* q = g + 3 * u;
            const int w = weights[std::abs(centre[0] - q[0]) + std::abs(centre[1] - q[1]) + std::abs(centre[2] - q[2])];
            weight[bin] += w;
            sum[bin] += static_cast<double>(w) * f;
            total += w;
            first = std::min(first, bin);
            last = std::max(last, bin);
          }
        }
        const float own = in[static_cast<std::ptrdiff_t>(y) * W + x];
        float value = own;
        if (total > 0) {
          int64_t below = 0;
          int bin = first;
          while (2 * (below + weight[bin]) < total) below += weight[static_cast<size_t>(bin++)];
          const bool own_bin = bins[static_cast<std::ptrdiff_t>(y) * W + x] == bin;
          value = own_bin ? own
                          : static_cast<float>(sum[bin] / static_cast<double>(weight[bin]));
          std::fill(weight + first, weight + last + 1, 0);
          std::fill(sum + first, sum + last + 1, 0.0);
        }
        out[static_cast<std::ptrdiff_t>(y) * W + x] = value;
      }
  }
  delete[] weight_scratch;
  delete[] sum_scratch;
  delete[] bins;
  return true;
}

}  // namespace refine
}  // namespace ondrel
