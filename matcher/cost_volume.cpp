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

ONDREL_COST_ROWS(cost_volume_rows_sse2, int16_t) { cost_volume_rows<8, int16_t>(in, H, r, rows, st, y_begin, y_end, resume); }
ONDREL_COST_ROWS(cost_volume_rows_sse2, int32_t) { cost_volume_rows<8, int32_t>(in, H, r, rows, st, y_begin, y_end, resume); }

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
using CostRowsKernel = void (*)(const CostVolumeInputs&, int, int, int* const* const*, const CostVolumeStorage<Sum>&,
                                int, int, bool);

template <typename Sum>
CostRowsKernel<Sum> pick_cost_rows(int lanes) {
#if defined(ONDREL_SIMD_X86)
  if (lanes == 32) return cost_volume_rows_avx512;
  if (lanes == 16) return cost_volume_rows_avx2;
#endif
  (void)lanes;
  return cost_volume_rows_sse2;
}

template <typename Sum>
bool alloc_storage(CostVolumeStorage<Sum>* st, const CostVolumeInputs& in, int H, int r) {
  const size_t n = static_cast<size_t>(in.Dp);
  *st = CostVolumeStorage<Sum>{};
  st->S = ondrel_alloc_array<Sum>(static_cast<size_t>(in.W) * n);
  st->A = st->S ? ondrel_alloc_array<Sum>(n) : nullptr;
  const size_t ring = static_cast<size_t>(reversed_rows(r, H));
  st->reversed = st->A ? ondrel_alloc_array<int16_t>(ring * 3 * in.reversed_length) : nullptr;
  return st->reversed != nullptr;
}

template <typename Sum>
void free_storage(CostVolumeStorage<Sum>* st) {
  ondrel_free(st->S);
  ondrel_free(st->A);
  ondrel_free(st->reversed);
  *st = CostVolumeStorage<Sum>{};
}

}  // namespace

struct CostStream::Impl {
  CostVolumeInputs in;
  int H, r, lanes, next_row;
  bool narrow;  // 16-bit sums
  CostVolumeStorage<int16_t> narrow_storage;
  CostVolumeStorage<int32_t> wide_storage;
};

bool cost_stream_open(CostStream* stream, int W, int H, int D, int d0, const unsigned char* left,
                      size_t left_stride, const unsigned char* right, size_t right_stride, int r, int T) {
  constexpr long long kLargestPixelCost = 3 * 255;
  stream->impl = nullptr;
  auto* impl = ondrel_alloc_array<CostStream::Impl>(1);
  if (!impl) return false;
  impl->lanes = lanes_of_widest_path();
  const int L = impl->lanes;
  const int Dp = (D + L - 1) / L * L;
  const long long cut = T < kLargestPixelCost ? T : kLargestPixelCost;
  impl->in = CostVolumeInputs{left, left_stride, right, right_stride, W, D, d0, static_cast<int>(cut), Dp,
                              static_cast<size_t>(W) + static_cast<size_t>(d0) + static_cast<size_t>(Dp)};
  impl->H = H;
  impl->r = r;
  impl->next_row = -1;
  // a window sum is at most (2r+1)^2 pixel costs; the sums in between (a column, a row start)
  // are parts of one window. Where none can pass 32767, they are kept in 16 bits: twice the
  // lanes per vector.
  const long long side = 2LL * r + 1;
  impl->narrow = side * side * cut <= 32767;
  const bool ok = impl->narrow ? alloc_storage(&impl->narrow_storage, impl->in, H, r)
                               : alloc_storage(&impl->wide_storage, impl->in, H, r);
  if (!ok) {
    free_storage(&impl->narrow_storage);  // what alloc_storage had before it failed
    free_storage(&impl->wide_storage);
    ondrel_free(impl);
    return false;
  }
  stream->impl = impl;
  return true;
}

void cost_stream_rows(CostStream* stream, int y_begin, int y_end, int* const* const* rows) {
  CostStream::Impl& s = *stream->impl;
  if (y_begin >= y_end) return;
  const bool resume = s.next_row == y_begin;
  if (s.narrow)
    pick_cost_rows<int16_t>(s.lanes)(s.in, s.H, s.r, rows, s.narrow_storage, y_begin, y_end, resume);
  else
    pick_cost_rows<int32_t>(s.lanes)(s.in, s.H, s.r, rows, s.wide_storage, y_begin, y_end, resume);
  s.next_row = y_end;
}

void cost_stream_close(CostStream* stream) {
  if (!stream->impl) return;
  free_storage(&stream->impl->narrow_storage);
  free_storage(&stream->impl->wide_storage);
  ondrel_free(stream->impl);
  stream->impl = nullptr;
}

int box_filtering_stereo_color_TAD_single_channel_QUIRN(int W, int H, int D, int d0,
                                                        const cv::Mat& left, const cv::Mat& right,
                                                        int* const* cost_volume, int r, int T) {
  CostStream stream;
  if (!cost_stream_open(&stream, W, H, D, d0, left.data, left.step[0], right.data, right.step[0], r, T)) return -1;
  int* const** rows = ondrel_alloc_array<int* const*>(static_cast<size_t>(H));
  if (!rows) {
    cost_stream_close(&stream);
    return -1;
  }
  for (int y = 0; y < H; ++y) rows[y] = cost_volume + static_cast<size_t>(y) * W;
  cost_stream_rows(&stream, 0, H, rows);
  ondrel_free(rows);
  cost_stream_close(&stream);
  return 0;
}
