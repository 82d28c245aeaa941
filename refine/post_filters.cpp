// The filters of the refined map after the winners (see post_filters.h).

#include "refine/post_filters.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "matcher/memory.h"
#include "matcher/simd/kernel_table.h"
#include "refine/steps.h"

namespace ondrel::internal {
namespace {

// Scratch of n elements of T from the matcher's allocator (so the tests' fault injection
// reaches it), released on every way out; zero-filled on request.
template <typename T>
struct Scratch {
  T* p = nullptr;
  Scratch(size_t n, bool zeroed = false)
      : p(static_cast<T*>(zeroed ? ondrel_alloc_zeroed(n, sizeof(T)) : ondrel_alloc_uninitialized(n, sizeof(T)))) {}
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() { ondrel_free(p); }
  operator T*() const { return p; }
};

// The median's bin of a value: its disparity rounded (half away from zero), clamped to the
// range. The value is first clamped to within one of the range (which keeps its bin, and
// huge values out of the conversion), then rounded by hand: std::round is a call to the C
// library in the portable build.
int bin_of(float f, int d_min, int D) {
  const float low = static_cast<float>(d_min - 1), high = static_cast<float>(d_min + D);
  const float g = f < low ? low : f > high ? high : f;
  const int t = static_cast<int>(g);
  const float fraction = g - static_cast<float>(t);  // exact
  const int b = t + (fraction >= 0.5f) - (fraction <= -0.5f) - d_min;
  return b < 0 ? 0 : b > D - 1 ? D - 1 : b;
}

// Keeps the lowest and the second lowest of the values offered (equal ones count twice).
inline void offer(float f, float& lowest, float& second) {
  if (f < lowest) second = lowest, lowest = f;
  else if (f < second) second = f;
}

// One sweep of the holes looking along (dx, dy) (dy = +-1), rows in the order that meets
// (x, y + dy) before (x, y): each hole offered the nearest value that way (`first`: its
// candidates start afresh). The pixels (x + dx k, y + dy k) make a chain, numbered x + dx t at
// sweep step t, and chains are independent: this worker of `team` carries a run of them in
// `near` (one entry a chain, INFINITY: none yet), so every pixel is offered by one worker.
void sweep(const float* in, int W, int H, int dx, int dy, bool first, int worker, int team, float* near, float* out,
           float* second) {
  const int64_t lowest_chain = dx < 0 ? static_cast<int64_t>(dx) * (H - 1) : 0;
  const int64_t chains = W + static_cast<int64_t>(std::abs(dx)) * (H - 1);
  const int64_t c0 = chains * worker / team, c1 = chains * (worker + 1) / team;
  std::fill(near + c0, near + c1, INFINITY);
  for (int t = 0; t < H; ++t) {
    const int y = dy < 0 ? t : H - 1 - t;
    const int64_t shift = lowest_chain - static_cast<int64_t>(dx) * t;  // x of chain number 0
    const int x0 = static_cast<int>(std::max<int64_t>(0, c0 + shift)), x1 = static_cast<int>(std::min<int64_t>(W, c1 + shift));
    if (x0 >= x1) continue;
    const int m = x1 - x0;
    const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(y) * W + x0;
    const float* row = in + start;
    float *o = out + start, *s = second + start, *n = near + (x0 - shift);  // n: the chains through x0 ..
    for (int x = 0; x < m; ++x) {
      if (!std::isnan(row[x])) continue;
      float lowest = first ? INFINITY : o[x], next = first ? INFINITY : s[x];
      offer(n[x], lowest, next);
      o[x] = lowest;
      s[x] = next;
    }
    for (int x = 0; x < m; ++x) {
      const float value = row[x], carried = n[x];  // both loaded: a select the compiler vectorises
      n[x] = std::isnan(value) ? carried : value;
    }
  }
}

// One offset of the window for a row of centres, in T where the kernels' 16-bit lanes do not
// hold the sums: the sums of simd::MedianSums (matcher/simd/kernel_table.h) with it added.
template <typename T>
void add_offset(const T* __restrict bin, const T* __restrict weight, const float* __restrict value,
                const T* __restrict own, int W, T* __restrict below, T* __restrict at, T* __restrict lower,
                T* __restrict upper, T* __restrict total, float* __restrict at_sum, float* __restrict lower_sum,
                float* __restrict upper_sum) {
  for (int x = 0; x < W; ++x) {
    const T w = bin[x] >= 0 ? weight[x] : 0;
    const float product = static_cast<float>(w) * value[x];
    below[x] = static_cast<T>(below[x] + (bin[x] < own[x] ? w : 0));
    total[x] = static_cast<T>(total[x] + w);
    if (bin[x] == own[x]) at[x] = static_cast<T>(at[x] + w), at_sum[x] += product;
    if (bin[x] == own[x] - 1) lower[x] = static_cast<T>(lower[x] + w), lower_sum[x] += product;
    if (bin[x] == own[x] + 1) upper[x] = static_cast<T>(upper[x] + w), upper_sum[x] += product;
  }
}

// |p - q| of bytes, without a wider type: the compiler vectorises it.
inline uint8_t difference(uint8_t p, uint8_t q) { return static_cast<uint8_t>(std::max(p, q) - std::min(p, q)); }

// The colour distances |a - b|_1 of a row of pixels (3 planes each, `planes` apart).
void colour_distances(const uint8_t* __restrict a, const uint8_t* __restrict b, size_t planes, int W,
                      int32_t* __restrict distance) {
  const uint8_t *a1 = a + planes, *a2 = a1 + planes, *b1 = b + planes, *b2 = b1 + planes;
  for (int x = 0; x < W; ++x)
    distance[x] = difference(a[x], b[x]) + difference(a1[x], b1[x]) + difference(a2[x], b2[x]);
}

// median_rows with bins and weight sums in T (16-bit: the kernel table's row sums).
template <typename T>
bool median_as(const float* in, int W, int H, const unsigned char* guide, std::ptrdiff_t stride, int r,
               const int32_t* weights, int d_min, int D, int threads, float* out) {
  // Most windows' median bin is the centre's own or next to it: the weights of the bins below
  // the centre's, at it and next to it, and the weighted values of those three, summed over
  // the window for a whole row of centres at a time, settle those; the rest take the window's
  // histogram.
  constexpr bool kShorts = sizeof(T) == 2;
  const int Wp = W + 2 * r;  // rows padded with r columns on each side: bin -1, no weight
  const size_t padded = static_cast<size_t>(Wp) * static_cast<size_t>(H);
  const size_t row_scratch = 8 * static_cast<size_t>(W), bin_scratch = static_cast<size_t>(D);
  Scratch<T> bins(padded), rows(static_cast<size_t>(threads) * row_scratch);
  Scratch<uint8_t> planes(3 * padded);
  Scratch<int64_t> weight_scratch(static_cast<size_t>(threads) * bin_scratch, true);
  Scratch<int32_t> distances(kShorts ? 1 : static_cast<size_t>(threads) * static_cast<size_t>(W));
  Scratch<float> values(padded + 3 * static_cast<size_t>(threads) * static_cast<size_t>(W));
  // The weight of q for p is that of p for q: each worker takes a run of rows and keeps the
  // weight rows of the offsets that look ahead (down, or right in the row) for its last r + 1
  // rows; those that look back read them, shifted. (Up to radius 3: beyond, the ring grows
  // with the square of the radius and the weights are found for every offset.)
  const bool ring = r <= 3;
  const int ahead = 2 * r * r + 2 * r;  // offsets that look ahead
  const size_t ring_rows = ring ? static_cast<size_t>(r + 1) * static_cast<size_t>(ahead) : 1;
  Scratch<T> rings(static_cast<size_t>(threads) * ring_rows * static_cast<size_t>(Wp), true);
  if (!bins || !planes || !rows || !weight_scratch || !distances || !values || !rings) return false;
  // every value's bin (-1: no value) and the guide's channels, found once for all windows
#pragma omp parallel for num_threads(threads) schedule(static)
  for (int y = 0; y < H; ++y) {
    const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(y) * Wp;
    for (int x = 0; x < Wp; ++x) {
      const int u = x - r;
      const bool inside = u >= 0 && u < W;
      const float f = inside ? in[static_cast<std::ptrdiff_t>(y) * W + u] : NAN;
      bins[p + x] = static_cast<T>(std::isnan(f) ? -1 : bin_of(f, d_min, D));
      values[p + x] = std::isnan(f) ? 0.0f : f;
      for (int c = 0; c < 3; ++c)
        planes[static_cast<size_t>(c) * padded + static_cast<size_t>(p + x)] =
            inside ? guide[y * stride + 3 * u + c] : uint8_t{0};
    }
  }
  const simd::KernelTable& kernels = simd::kernel_table();
  int16_t weights16[kColourDistances];  // (16-bit weights: those of kShorts)
  int reach = kColourDistances;
  if constexpr (kShorts) {
    for (int i = 0; i < kColourDistances; ++i) weights16[i] = static_cast<int16_t>(weights[i]);
    while (reach > 0 && weights[reach - 1] == 0) --reach;
  }
#pragma omp parallel num_threads(threads)
  {
    const size_t worker = static_cast<size_t>(omp_get_thread_num());
    T* weight_row = rows + worker * row_scratch;
    T* own_bin = weight_row + W;
    T* below = own_bin + W;
    T* at = below + W;
    T* lower = at + W;
    T* upper = lower + W;
    T* total = upper + W;
    float* at_sum = values + padded + 3 * worker * static_cast<size_t>(W);
    float* lower_sum = at_sum + W;
    float* upper_sum = lower_sum + W;
    int32_t* distance = distances + (kShorts ? 0 : worker * static_cast<size_t>(W));
    int64_t* weight = weight_scratch + worker * bin_scratch;
    // with the ring, the window's rows of every offset (row by row): bins, weights, values
    const int side = 2 * r + 1;
    const T* window_bins[49];
    const T* window_rows[49];
    const float* window_values[49];
    // the weight of (u, v) for the centre (x, y): from the window's rows, or found anew
    auto weight_of = [&](int x, int y, int u, int v) -> int {
      if (ring) return window_rows[(v - y + r) * side + u - x + r][x];
      const unsigned char *centre = guide + y * stride + 3 * x, *c = guide + v * stride + 3 * u;
      return weights[std::abs(centre[0] - c[0]) + std::abs(centre[1] - c[1]) + std::abs(centre[2] - c[2])];
    };
    // the weighted mean of the window's values in `bin`, summed in the window's order; the
    // others masked to a weight of 0 rather than skipped: a branch on the bin was mispredicted
    // about as often as taken, and adding 0 x a finite value keeps the sum
    auto mean_of = [&](int x, int y, int bin) {
      float bin_sum = 0.0f;
      int64_t bin_weight = 0;
      for (int v = std::max(0, y - r); v <= std::min(H - 1, y + r); ++v) {
        const std::ptrdiff_t q = static_cast<std::ptrdiff_t>(v) * Wp + r;
        for (int u = std::max(0, x - r); u <= std::min(W - 1, x + r); ++u) {
          const int w = weight_of(x, y, u, v) & -static_cast<int>(bins[q + u] == bin);
          bin_sum += static_cast<float>(w) * values[q + u];
          bin_weight += w;
        }
      }
      return bin_sum / static_cast<float>(bin_weight);
    };
    // the ring's weight row (padded by r on each side, 0 there) of row y, offset (du, dv) ahead
    T* own_ring = rings + worker * ring_rows * static_cast<size_t>(Wp);
    auto ring_row = [&](int y, int du, int dv) {
      const int k = dv == 0 ? du - 1 : r + (dv - 1) * (2 * r + 1) + du + r;
      return own_ring + (static_cast<size_t>(y % (r + 1)) * static_cast<size_t>(ahead) + static_cast<size_t>(k)) *
                            static_cast<size_t>(Wp);
    };
    // the weights of row y against the row at dv (in the image) and column offset du
    auto find_weights = [&](int y, int du, int dv, T* to) {
      const uint8_t *a = planes + static_cast<std::ptrdiff_t>(y) * Wp + r,
                    *b = planes + static_cast<std::ptrdiff_t>(y + dv) * Wp + r + du;
      if constexpr (kShorts) {
        kernels.median_weights(a, b, padded, W, weights16, reach, to);
      } else {
        colour_distances(a, b, padded, W, distance);
        for (int x = 0; x < W; ++x) to[x] = static_cast<T>(weights[distance[x]]);
      }
    };
    auto fill_ring = [&](int y) {
      for (int dv = 0; dv <= r && y + dv < H; ++dv)
        for (int du = dv == 0 ? 1 : -r; du <= r; ++du) find_weights(y, du, dv, ring_row(y, du, dv) + r);
    };
    // a run of rows for each worker (the ring carries from one row to the next)
    const int team = omp_get_num_threads(), y_begin = static_cast<int>(static_cast<int64_t>(H) * static_cast<int>(worker) / team),
              y_end = static_cast<int>(static_cast<int64_t>(H) * (static_cast<int>(worker) + 1) / team);
    if (ring)
      for (int y = std::max(0, y_begin - r); y < y_begin; ++y) fill_ring(y);
    for (int y = y_begin; y < y_end; ++y) {
      if (ring) fill_ring(y);
      const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(y) * Wp + r;
      std::copy(bins + p, bins + p + W, own_bin);
      if constexpr (!kShorts) {
        std::fill(below, below + 5 * static_cast<size_t>(W), T{0});  // below .. total
        std::fill(at_sum, at_sum + 3 * static_cast<size_t>(W), 0.0f);
      }
      int K = 0;
      for (int v = std::max(0, y - r); v <= std::min(H - 1, y + r); ++v)
        for (int du = -r; du <= r; ++du, ++K) {
          const std::ptrdiff_t q = static_cast<std::ptrdiff_t>(v) * Wp + r + du;
          const int dv = v - y;
          const T* w = weight_row;
          if (!ring) find_weights(y, du, dv, weight_row);
          else if (dv > 0 || (dv == 0 && du > 0)) w = ring_row(y, du, dv) + r;
          else if (dv < 0 || du < 0) w = ring_row(v, -du, -dv) + r + du;  // q's weight row for p, shifted
          else std::fill(weight_row, weight_row + W, static_cast<T>(weights[0]));  // the centre
          if (ring) {
            window_bins[K] = bins + q;
            window_rows[(dv + r) * side + du + r] = w;
            window_values[K] = values + q;
          }
          if constexpr (!kShorts)
            add_offset(bins + q, w, values + q, own_bin, W, below, at, lower, upper, total, at_sum, lower_sum, upper_sum);
        }
      if constexpr (kShorts) {
        // (16-bit sums only up to radius 2: every window's rows are in the ring)
        const T* const* window_weights = window_rows + (std::max(0, y - r) - (y - r)) * side;
        kernels.median_sums({window_bins, window_weights, window_values, K, own_bin}, W,
                            {below, at, lower, upper, total, at_sum, lower_sum, upper_sum});
      }
      for (int x = 0; x < W; ++x) {
        const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(y) * W + x;
        // no weight at all: the centre's value; the centre's bin or one next to it the
        // median's: its mean
        const int32_t own = own_bin[x], all = total[x], half_below = 2 * below[x], half_at = 2 * (below[x] + at[x]);
        if (all == 0) {
          out[i] = in[i];
          continue;
        }
        if (own >= 0 && half_below < all && half_at >= all) {
          out[i] = at_sum[x] / static_cast<float>(at[x]);
          continue;
        }
        if (own >= 0 && half_below >= all && half_below - 2 * lower[x] < all) {
          out[i] = lower_sum[x] / static_cast<float>(lower[x]);
          continue;
        }
        if (own >= 0 && half_at < all && half_at + 2 * upper[x] >= all) {
          out[i] = upper_sum[x] / static_cast<float>(upper[x]);
          continue;
        }
        // else the window's histogram
        int first = D, last = -1;  // the bins touched
        for (int v = std::max(0, y - r); v <= std::min(H - 1, y + r); ++v) {
          const T* row_bins = bins + static_cast<std::ptrdiff_t>(v) * Wp + r;
          for (int u = std::max(0, x - r); u <= std::min(W - 1, x + r); ++u) {
            const int bin = row_bins[u];
            if (bin < 0) continue;
            weight[bin] += weight_of(x, y, u, v);
            first = std::min(first, bin);
            last = std::max(last, bin);
          }
        }
        int64_t reached = 0;
        int bin = first;
        while (2 * (reached + weight[bin]) < all) reached += weight[bin++];
        std::fill(weight + first, weight + last + 1, 0);
        out[i] = mean_of(x, y, bin);
      }
    }
  }
  return true;
}

}  // namespace

bool fill_holes(const float* in, int W, int H, int threads, float* out) {
  // out first holds the lowest of the column and diagonal candidates of a hole, `second` the
  // second lowest: six sweeps over the rows (looking up, then down; left diagonal, column,
  // right diagonal) carry each chain's last value instead of walking from every hole, which
  // is quadratic in long holes. Each hole gets its candidates in that order whatever the
  // thread count (the order decides which of two equal values, 0 and -0, is kept).
  const size_t n = static_cast<size_t>(W) * static_cast<size_t>(H);
  Scratch<float> second(n + static_cast<size_t>(W) + static_cast<size_t>(H));
  if (!second) return false;
  float* near = second + n;
#pragma omp parallel num_threads(threads)
  {
    const int worker = omp_get_thread_num(), team = omp_get_num_threads();
    for (int dy : {-1, 1})
      for (int dx = -1; dx <= 1; ++dx) {
        sweep(in, W, H, dx, dy, dy < 0 && dx < 0, worker, team, near, out, second);
#pragma omp barrier
      }
    // the rows: the last value on each side, then every hole's answer
#pragma omp for schedule(dynamic, 8)
    for (int y = 0; y < H; ++y) {
      const float* r = in + static_cast<std::ptrdiff_t>(y) * W;
      float* o = out + static_cast<std::ptrdiff_t>(y) * W;
      float* s = second + static_cast<std::ptrdiff_t>(y) * W;
      float last = INFINITY;
      for (int x = 0; x < W; ++x) {  // the nearest on the left
        if (!std::isnan(r[x])) {
          last = r[x];
          continue;
        }
        offer(last, o[x], s[x]);
      }
      last = INFINITY;
      for (int x = W - 1; x >= 0; --x) {  // on the right; the hole is done
        if (!std::isnan(r[x])) {
          last = r[x];
          o[x] = r[x];
          continue;
        }
        offer(last, o[x], s[x]);
        o[x] = std::isinf(o[x]) ? NAN : std::isinf(s[x]) ? o[x] : s[x];
      }
    }
  }
  return true;
}

bool median_rows(const float* in, int W, int H, const unsigned char* guide, std::ptrdiff_t stride, int r,
                 const int32_t* weights, int d_min, int D, int threads, float* out) {
  // 16-bit lanes where a window's weights and every bin fit them (and the weights of every
  // window are in the ring)
  const int64_t heaviest = *std::max_element(weights, weights + kColourDistances);
  const int64_t side = 2 * static_cast<int64_t>(r) + 1;
  return side * side * heaviest <= INT16_MAX && r <= 3 && D <= INT16_MAX
             ? median_as<int16_t>(in, W, H, guide, stride, r, weights, d_min, D, threads, out)
             : median_as<int32_t>(in, W, H, guide, stride, r, weights, d_min, D, threads, out);
}

}  // namespace ondrel::internal
