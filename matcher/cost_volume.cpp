// Box-summed TAD cost volume by running sums: about two pixel costs per pixel and disparity,
// whatever the block radius. Rows are scanned top to bottom, columns left to right, and the
// disparity loop is innermost so each pixel's vector is written once, contiguously.
//
// Two versions: the reference follows the definition step by step, with one vector per
// column sum; the fast one keeps running column and window sums too (integer sums, so any
// order of the additions gives the same values) but does each pixel's whole update in one
// loop over the disparities, reads the right row from a column-reversed copy so that
// consecutive disparities read consecutive values, keeps its sums in 16 bits where they
// fit, and is compiled for several SIMD widths (cost_volume_rows.h).

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "matcher/cost_volume_rows.h"
#include "matcher/kernels.h"
#include "matcher/memory.h"

int TAD(int a, int b) { return a < b ? a : b; }

namespace {

struct CostInputs {
  const unsigned char* left;
  const unsigned char* right;
  size_t left_stride, right_stride;
  int D, d0, T;
};

// acc[k] += Sign * cost(x, row, k) for every k. The right pixel is column x - d0 - k, or
// column 0 where that is negative: the first column stands in at the left border.
template <int Sign>
inline void add_pixel_costs(int* acc, const CostInputs& in, int x, int row) {
  const unsigned char* p = in.left + static_cast<size_t>(row) * in.left_stride + 3 * static_cast<size_t>(x);
  const unsigned char* right_row = in.right + static_cast<size_t>(row) * in.right_stride;
  const int p0 = p[0], p1 = p[1], p2 = p[2];
  for (int k = 0; k < in.D; ++k) {
    const int d = in.d0 + k;
    const int xr = x - (x < d ? x : d);
    const unsigned char* q = right_row + 3 * static_cast<size_t>(xr);
    const int s = std::abs(p0 - q[0]) + std::abs(p1 - q[1]) + std::abs(p2 - q[2]);
    acc[k] += Sign * TAD(s, in.T);
  }
}

// v = the sum of cost(x, y', k) over y' = 0 .. last_row.
inline void column_sum(int* v, const CostInputs& in, int x, int last_row) {
  std::memset(v, 0, sizeof(int) * static_cast<size_t>(in.D));
  for (int y = 0; y <= last_row; ++y) add_pixel_costs<+1>(v, in, x, y);
}

// v += cost(x, e, k) - cost(x, l, k), each term only when its row is present.
inline void column_update(int* v, const CostInputs& in, int x, int e, bool has_e, int l, bool has_l) {
  if (has_e) add_pixel_costs<+1>(v, in, x, e);
  if (has_l) add_pixel_costs<-1>(v, in, x, l);
}

// v = the sum of cost(x', row, k) over x' = 0 .. r (0 when the row is absent).
inline void segment_sum(int* v, const CostInputs& in, int row, bool present, int r) {
  std::memset(v, 0, sizeof(int) * static_cast<size_t>(in.D));
  if (!present) return;
  for (int x = 0; x <= r; ++x) add_pixel_costs<+1>(v, in, x, row);
}

inline void store(int* const* cost_volume, int W, int x, int y, const int* A, int D) {
  std::memcpy(cost_volume[static_cast<size_t>(y) * W + x], A, sizeof(int) * static_cast<size_t>(D));
}

}  // namespace

int box_filtering_stereo_color_TAD_single_channel_reference_QUIRN(int W, int H, int D, int d0,
                                                                  const cv::Mat& left, const cv::Mat& right,
                                                                  int* const* cost_volume, int r, int T) {
  const CostInputs in{left.data, right.data, left.step[0], right.step[0], D, d0, T};
  const size_t n = static_cast<size_t>(D);

  int* A = ondrel_alloc_array<int>(n);
  int* G_out = ondrel_alloc_array<int>(n);
  int* G_in = ondrel_alloc_array<int>(n);
  int* Z = ondrel_alloc_array<int>(n);
  int** S = ondrel_alloc_array<int*>(static_cast<size_t>(W));
  bool ok = A && G_out && G_in && Z && S;
  for (int x = 0; ok && x < W; ++x) ok = (S[x] = ondrel_alloc_array<int>(n)) != nullptr;

  if (ok) {
    // row 0: column sums from rows 0 .. r; columns 1 .. r enter the first window directly
    column_sum(S[0], in, 0, r);
    std::memcpy(A, S[0], sizeof(int) * n);
    for (int x = 1; x <= r; ++x)
      for (int y = 0; y <= r; ++y) add_pixel_costs<+1>(A, in, x, y);
    store(cost_volume, W, 0, 0, A, D);
    std::memcpy(Z, A, sizeof(int) * n);
    for (int x = 1; x <= r; ++x) {
      column_sum(S[x + r], in, x + r, r);
      for (size_t k = 0; k < n; ++k) A[k] += S[x + r][k];
      store(cost_volume, W, x, 0, A, D);
      column_sum(S[x], in, x, r);
    }
    for (int x = r + 1; x <= W - r - 1; ++x) {
      column_sum(S[x + r], in, x + r, r);
      for (size_t k = 0; k < n; ++k) A[k] += S[x + r][k] - S[x - r - 1][k];
      store(cost_volume, W, x, 0, A, D);
    }
    for (int x = W - r; x <= W - 1; ++x) {
      for (size_t k = 0; k < n; ++k) A[k] -= S[x - r - 1][k];
      store(cost_volume, W, x, 0, A, D);
    }

    // rows 1 .. H-1: row e = y + r enters, row l = y - r - 1 leaves, each while inside
    for (int y = 1; y <= H - 1; ++y) {
      const int e = y + r, l = y - r - 1;
      const bool has_e = e <= H - 1, has_l = l >= 0;
      // row start: column 0's window moves down through two segments of r+1 pixel costs
      column_update(S[0], in, 0, e, has_e, l, has_l);
      segment_sum(G_in, in, e, has_e, r);
      segment_sum(G_out, in, l, has_l, r);
      for (size_t k = 0; k < n; ++k) {
        Z[k] = Z[k] - G_out[k] + G_in[k];
        A[k] = Z[k];
      }
      store(cost_volume, W, 0, y, A, D);
      // columns 1 .. r were counted through Z; each is brought up to date after its store
      for (int x = 1; x <= r; ++x) {
        column_update(S[x + r], in, x + r, e, has_e, l, has_l);
        for (size_t k = 0; k < n; ++k) A[k] += S[x + r][k];
        store(cost_volume, W, x, y, A, D);
        column_update(S[x], in, x, e, has_e, l, has_l);
      }
      for (int x = r + 1; x <= W - r - 1; ++x) {
        column_update(S[x + r], in, x + r, e, has_e, l, has_l);
        for (size_t k = 0; k < n; ++k) A[k] += S[x + r][k] - S[x - r - 1][k];
        store(cost_volume, W, x, y, A, D);
      }
      for (int x = W - r; x <= W - 1; ++x) {
        for (size_t k = 0; k < n; ++k) A[k] -= S[x - r - 1][k];
        store(cost_volume, W, x, y, A, D);
      }
    }
  }

  if (S)
    for (int x = 0; x < W; ++x) ondrel_free(S[x]);
  ondrel_free(S);
  ondrel_free(A);
  ondrel_free(G_out);
  ondrel_free(G_in);
  ondrel_free(Z);
  return ok ? 0 : -1;
}

// ---------------------------------------------------------------------------------------
// Fast version (the kernel itself is in cost_volume_rows.h).

void cost_volume_rows_sse2(const CostVolumeInputs& in, int H, int r, int* const* cost_volume,
                           const CostVolumeStorage<int16_t>& st) {
  cost_volume_rows<8, int16_t>(in, H, r, cost_volume, st);
}
void cost_volume_rows_sse2(const CostVolumeInputs& in, int H, int r, int* const* cost_volume,
                           const CostVolumeStorage<int32_t>& st) {
  cost_volume_rows<8, int32_t>(in, H, r, cost_volume, st);
}

namespace {

// Lanes of 16 bits in one vector of the widest path this CPU runs (and the test hook allows).
int lanes_of_widest_path() {
#if defined(ONDREL_SIMD_X86)
  switch (simd_width_bits()) {
    case 512: return 32;
    case 256: return 16;
    default: break;
  }
#endif
  return 8;
}

template <typename Sum>
void run_cost_volume_rows(const CostVolumeInputs& in, int H, int r, int* const* cost_volume, const CostVolumeStorage<Sum>& st) {
#if defined(ONDREL_SIMD_X86)
  switch (simd_width_bits()) {
    case 512: return cost_volume_rows_avx512(in, H, r, cost_volume, st);
    case 256: return cost_volume_rows_avx2(in, H, r, cost_volume, st);
    default: break;
  }
#endif
  cost_volume_rows_sse2(in, H, r, cost_volume, st);
}

template <typename Sum>
int run_fast_kernel(const CostVolumeInputs& in, int H, int r, int* const* cost_volume) {
  const size_t n = static_cast<size_t>(in.Dp);
  CostVolumeStorage<Sum> st{};
  st.S = ondrel_alloc_array<Sum>(static_cast<size_t>(in.W) * n);
  st.A = st.S ? ondrel_alloc_array<Sum>(n) : nullptr;
  const size_t ring = static_cast<size_t>(reversed_rows(r, H));
  st.reversed = st.A ? ondrel_alloc_array<int16_t>(ring * 3 * in.reversed_length) : nullptr;
  const bool ok = st.reversed != nullptr;
  if (ok) run_cost_volume_rows<Sum>(in, H, r, cost_volume, st);
  ondrel_free(st.S);
  ondrel_free(st.A);
  ondrel_free(st.reversed);
  return ok ? 0 : -1;
}

}  // namespace

int box_filtering_stereo_color_TAD_single_channel_QUIRN(int W, int H, int D, int d0,
                                                        const cv::Mat& left, const cv::Mat& right,
                                                        int* const* cost_volume, int r, int T) {
  constexpr long long kLargestPixelCost = 3 * 255;
  const int L = lanes_of_widest_path();
  const int Dp = (D + L - 1) / L * L;
  const long long cut = T < kLargestPixelCost ? T : kLargestPixelCost;
  const CostVolumeInputs in{left.data, left.step[0], right.data, right.step[0], W, D, d0, static_cast<int>(cut), Dp,
                      static_cast<size_t>(W) + static_cast<size_t>(d0) + static_cast<size_t>(Dp)};
  // a window sum is at most (2r+1)^2 pixel costs; the sums in between (a column, a row start)
  // are parts of one window. Where none can pass 32767, they are kept in 16 bits: twice the
  // lanes per vector.
  const long long side = 2LL * r + 1;
  if (side * side * cut <= 32767) return run_fast_kernel<int16_t>(in, H, r, cost_volume);
  return run_fast_kernel<int32_t>(in, H, r, cost_volume);
}
