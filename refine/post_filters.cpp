// The filters of the refined map after the winners (see post_filters.h).

#include "refine/post_filters.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

// Keeps the lowest and the second lowest of the values offered (equal ones count twice); a
// NaN changes nothing. Selects rather than branches: the compiler vectorises the row loops.
inline void offer(float f, float& lowest, float& second) {
  const bool below = f < lowest;
  second = below ? lowest : f < second ? f : second;
  lowest = below ? f : lowest;
}

// The fill's sweeps look along (dx, dy), dx = -1, 0, 1, dy = -1 (down the rows) or 1 (up):
// near[j][x] is the nearest value from (x, y) that way, (x, y) itself included (NaN: none),
// found from the row's values and those of the row before in the sweep (`from`, readable at
// -1 and W, NaN there). The three sweeps of a direction go together, in one pass.

// The next row's near values: the row's value, or the near value before where it has none
// (selected on the bits: with a float select the compiler loaded the near value under a
// branch, which it then cannot vectorise).
inline void carry(const float* __restrict row, const float* __restrict l, const float* __restrict u,
                  const float* __restrict r, int W, float* __restrict nl, float* __restrict nu, float* __restrict nr) {
  for (int x = 0; x < W; ++x) {
    uint32_t v, a, b, c;
    std::memcpy(&v, row + x, sizeof v);
    std::memcpy(&a, l + x - 1, sizeof a);
    std::memcpy(&b, u + x, sizeof b);
    std::memcpy(&c, r + x + 1, sizeof c);
    const uint32_t hole = 0u - static_cast<uint32_t>((v & 0x7FFFFFFFu) > 0x7F800000u);
    a = (a & hole) | (v & ~hole);
    b = (b & hole) | (v & ~hole);
    c = (c & hole) | (v & ~hole);
    std::memcpy(nl + x, &a, sizeof a);
    std::memcpy(nu + x, &b, sizeof b);
    std::memcpy(nr + x, &c, sizeof c);
  }
}

// The same, and the three near values before the row (dx = -1, 0, 1 in this order) offered
// to every pixel of it after those in `lowest`, `second` (with kAfresh: instead of them). The
// pixels with a value get offers too, which the row pass overwrites.
template <bool kAfresh>
void carry_and_offer(const float* __restrict row, const float* __restrict l, const float* __restrict u,
                     const float* __restrict r, int W, float* __restrict lowest, float* __restrict second,
                     float* __restrict nl, float* __restrict nu, float* __restrict nr) {
  for (int x = 0; x < W; ++x) {
    const float v = row[x], a = l[x - 1], b = u[x], c = r[x + 1];
    float lo = kAfresh ? INFINITY : lowest[x], se = kAfresh ? INFINITY : second[x];
    offer(a, lo, se);
    offer(b, lo, se);
    offer(c, lo, se);
    lowest[x] = lo;
    second[x] = se;
    const bool hole = v != v;
    nl[x] = hole ? a : v;
    nu[x] = hole ? b : v;
    nr[x] = hole ? c : v;
  }
}

// The row's own candidates, the nearest values on the left and on the right (found one by
// one into `left`, `right`), offered last; then every pixel's answer into `lowest`: its value,
// or the second lowest offer (the lowest where there was one only, NaN where none).
void row_pass(const float* __restrict row, int W, float* __restrict lowest, const float* __restrict second,
              float* __restrict left, float* __restrict right) {
  // (the nearest values selected on their bits: the compiler made a branch of a float select,
  // mispredicted at the edges of the holes)
  const auto next = [row](int x, uint32_t last) {
    uint32_t value;
    std::memcpy(&value, row + x, sizeof value);
    const uint32_t hole = 0u - static_cast<uint32_t>((value & 0x7FFFFFFFu) > 0x7F800000u);
    return (last & hole) | (value & ~hole);
  };
  uint32_t last = 0x7FC00000u;  // NaN
  for (int x = 0; x < W; ++x) {
    std::memcpy(left + x, &last, sizeof last);
    last = next(x, last);
  }
  last = 0x7FC00000u;
  for (int x = W - 1; x >= 0; --x) {
    std::memcpy(right + x, &last, sizeof last);
    last = next(x, last);
  }
  for (int x = 0; x < W; ++x) {
    const float v = row[x];
    float lo = lowest[x], se = second[x];
    offer(left[x], lo, se);
    offer(right[x], lo, se);
    lowest[x] = v == v ? v : std::fabs(lo) == INFINITY ? NAN : std::fabs(se) == INFINITY ? lo : se;
  }
}

// The near values entering a band (`to`) from those entering the band before it in the
// sweep (`entering`; it is h rows long) and that band's own after its last row (`own`, found
// from none): where a chain found none in that band, the value it had entering it, h columns
// on (none where that lies outside the image: the chain entered the band from the side).
void join(const float* own, const float* entering, int h, int W, size_t row, float* to) {
  for (int j = 0; j < 3; ++j) {
    const int shift = (j - 1) * h;
    const float *o = own + j * row + 1, *e = entering + j * row + 1;
    float* t = to + j * row + 1;
    for (int x = 0; x < W; ++x) {
      const int from = x + shift;
      t[x] = o[x] == o[x] ? o[x] : from >= 0 && from < W ? e[from] : NAN;
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
  // (selects rather than branches on the holes)
#pragma omp parallel for num_threads(threads) schedule(static)
  for (int y = 0; y < H; ++y) {
    const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(y) * Wp;
    T* bin = bins + p;
    float* value = values + p;
    uint8_t *c0 = planes + p, *c1 = c0 + padded, *c2 = c1 + padded;
    for (int j = 0; j < r; ++j)  // the padding
      for (const int x : {j, r + W + j}) {
        bin[x] = -1;
        value[x] = 0.0f;
        c0[x] = c1[x] = c2[x] = 0;
      }
    const float* row = in + static_cast<std::ptrdiff_t>(y) * W;
    const unsigned char* g = guide + y * stride;
    for (int u = 0; u < W; ++u) {
      const float f = row[u];
      const bool hole = f != f;
      const int b = bin_of(hole ? 0.0f : f, d_min, D);
      bin[r + u] = static_cast<T>(hole ? -1 : b);
      value[r + u] = hole ? 0.0f : f;
      c0[r + u] = g[3 * u];
      c1[r + u] = g[3 * u + 1];
      c2[r + u] = g[3 * u + 2];
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
  // out first holds the lowest of a hole's candidates, `second` the second lowest: sweeps
  // down and up the rows carry each direction's nearest value instead of walking from every
  // hole, which is quadratic in long holes; then each row's own. Every hole gets its
  // candidates in the same order whatever the thread count (up-left, up, up-right, down-left,
  // down, down-right, left, right: the order decides which of two equal values, 0 and -0, is
  // kept).
  //
  // The rows are cut into bands, each swept down then up by one worker: a band needs nothing
  // else from the others than the near values that enter it at its top and bottom. Those are
  // found first: every band's own near values after its last row sweeping down and after its
  // first sweeping up (from none), then joined from band to band. (Carrying a sweep's chains
  // on all workers instead took a barrier after each of six sweeps: slow as soon as a worker
  // waits for a processor.)
  const int bands = threads > 1 ? std::min(H, 4 * threads) : 1;
  const size_t n = static_cast<size_t>(W) * static_cast<size_t>(H), row = static_cast<size_t>(W) + 2;
  const size_t set = 3 * row;  // the near values of the three directions, each row with NaN at x = -1 and W
  const size_t per_worker = 2 * set + 2 * static_cast<size_t>(W), per_bands = static_cast<size_t>(bands) * set;
  Scratch<float> scratch(n + 4 * per_bands + static_cast<size_t>(threads) * per_worker);
  if (!scratch) return false;
  float* second = scratch;
  float* bottom = second + n;              // band b's own at b * set, sweeping down
  float* top = bottom + per_bands;         // and sweeping up
  float* from_above = top + per_bands;     // entering band b sweeping down
  float* from_below = from_above + per_bands;  // and sweeping up
  float* work = from_below + per_bands;
  std::fill(from_above, work, NAN);
  const float* none = from_above;  // (entering band 0 from above)
  const auto first_row = [&](int b) { return static_cast<int>(static_cast<int64_t>(H) * b / bands); };
  enum Pass { kCarry, kFirstOffers, kLastOffers };
#pragma omp parallel num_threads(threads)
  {
    float* rows = work + static_cast<size_t>(omp_get_thread_num()) * per_worker;
    float* left = rows + 2 * set;
    float* right = left + W;
    std::fill(rows, rows + 2 * set, NAN);
    // rows y0 .. y1 - 1 of a band looking along dy (-1: from y0 on), from the near values
    // `from`; the near values after the last row into `to` unless null
    const auto sweep = [&](int y0, int y1, int dy, const float* from, float* to, Pass pass) {
      const float* near = from;
      for (int i = 0; i < y1 - y0; ++i) {
        const int y = dy < 0 ? y0 + i : y1 - 1 - i;
        const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(y) * W;
        float* next = rows + static_cast<size_t>(i & 1) * set;
        const float *l = near + 1, *u = l + row, *r = u + row;
        float *nl = next + 1, *nu = nl + row, *nr = nu + row;
        if (pass == kCarry) {
          carry(in + p, l, u, r, W, nl, nu, nr);
        } else if (pass == kFirstOffers) {
          carry_and_offer<true>(in + p, l, u, r, W, out + p, second + p, nl, nu, nr);
        } else {
          carry_and_offer<false>(in + p, l, u, r, W, out + p, second + p, nl, nu, nr);
          row_pass(in + p, W, out + p, second + p, left, right);
        }
        near = next;
      }
      if (to) std::copy(near, near + set, to);
    };
    if (bands > 1) {
#pragma omp for schedule(dynamic, 1)
      for (int b = 0; b < bands; ++b) {
        const int y0 = first_row(b), y1 = first_row(b + 1);
        if (b + 1 < bands) sweep(y0, y1, -1, none, bottom + static_cast<size_t>(b) * set, kCarry);
        if (b > 0) sweep(y0, y1, 1, none, top + static_cast<size_t>(b) * set, kCarry);
      }
#pragma omp single
      {
        for (int b = 1; b < bands; ++b)
          join(bottom + static_cast<size_t>(b - 1) * set, from_above + static_cast<size_t>(b - 1) * set,
               first_row(b) - first_row(b - 1), W, row, from_above + static_cast<size_t>(b) * set);
        for (int b = bands - 2; b >= 0; --b)
          join(top + static_cast<size_t>(b + 1) * set, from_below + static_cast<size_t>(b + 1) * set,
               first_row(b + 2) - first_row(b + 1), W, row, from_below + static_cast<size_t>(b) * set);
      }
    }
#pragma omp for schedule(dynamic, 1)
    for (int b = 0; b < bands; ++b) {
      const int y0 = first_row(b), y1 = first_row(b + 1);
      sweep(y0, y1, -1, from_above + static_cast<size_t>(b) * set, nullptr, kFirstOffers);
      sweep(y0, y1, 1, from_below + static_cast<size_t>(b) * set, nullptr, kLastOffers);
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
