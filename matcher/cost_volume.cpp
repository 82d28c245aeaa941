// Box-summed TAD cost volume by running sums: about two pixel costs per pixel and disparity,
// whatever the block radius. Rows are scanned top to bottom, columns left to right, and the
// disparity loop is innermost so each pixel's vector is written once, contiguously.
//
// Two versions: the reference follows the definition step by step, with one vector per
// column sum; the fast one keeps running column and window sums too (integer sums, so any
// order of the additions gives the same values) but does each pixel's whole update in one
// loop over the disparities, reads the right row from a column-reversed copy so that
// consecutive disparities read consecutive bytes, and is compiled for several SIMD widths.

#include <cstdint>
#include <cstdlib>
#include <cstring>

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
// Fast version.

namespace {

// The rows and sizes the fast kernel works with. The right rows are column-reversed copies
// ("reversed rows"): channel c of a reversed row holds, at index m, channel c of right column
// max(W - 1 - m, 0), so that the right pixel of left column x at element k, column
// max(x - d0 - k, 0), lies at index W - 1 - x + d0 + k: consecutive elements, consecutive
// values. The values are widened to int, so that the loops over the elements vectorise in
// int lanes (16 per AVX-512 vector) rather than byte lanes (64, more than most vectors have
// elements).
// The loops over the disparities run over whole blocks of kBlock elements, on working vectors
// padded to a multiple of kBlock (Dp); the padding lanes compute costs of further
// disparities that are never stored. No loop then has a remainder: for 60 disparities a
// 16-lane loop would otherwise spend more time on its last 12 elements than on the first 48.
constexpr int kBlock = 16;

struct FastInputs {
  const unsigned char* left;
  size_t left_stride;
  int W, D, d0, T;    // T here is min(T, 765): the same truncation of a sum of three bytes
  int Dp;             // D rounded up to a multiple of kBlock
  size_t reversed_length;  // values per channel of a reversed row: W + d0 + Dp
};

void reverse_right_row(int16_t* reversed, size_t length, const unsigned char* right_row, int W) {
  for (int c = 0; c < 3; ++c) {
    int16_t* out = reversed + static_cast<size_t>(c) * length;
    for (int m = 0; m < W; ++m) out[m] = right_row[3 * static_cast<size_t>(W - 1 - m) + static_cast<size_t>(c)];
    for (size_t m = static_cast<size_t>(W); m < length; ++m) out[m] = right_row[c];  // column 0 stands in
  }
}

// One pixel row's source of pixel costs: its left row and reversed right row, and a mask that
// is 0 when the row is absent (its costs then count as 0; the pointers still point at a real
// row so that every read stays inside the buffers).
struct CostRow {
  const unsigned char* left;
  const int16_t* reversed;
  int mask;  // -1 present, 0 absent
};

// Pixel costs of left column x in `row` at elements 0 .. Dp-1: channel pointers and left values.
struct PixelCosts {
  const int16_t *q0, *q1, *q2;
  int16_t p0, p1, p2, mask;
};

[[gnu::always_inline]] inline PixelCosts pixel_costs(const FastInputs& in, const CostRow& row, int x) {
  const unsigned char* p = row.left + 3 * static_cast<size_t>(x);
  const int16_t* q = row.reversed + (static_cast<size_t>(in.W) - 1 - static_cast<size_t>(x)) +
                           static_cast<size_t>(in.d0);
  return {q, q + in.reversed_length, q + 2 * in.reversed_length, p[0], p[1], p[2], static_cast<int16_t>(row.mask)};
}

// In 16-bit arithmetic (every value fits: bytes, their differences, sums up to 765), so that
// the loops vectorise with twice the lanes.
[[gnu::always_inline]] inline int16_t absolute(int16_t v) { return static_cast<int16_t>(v < 0 ? -v : v); }
[[gnu::always_inline]] inline int16_t cost_at(const PixelCosts& c, int k, int16_t T) {
  const int16_t s = static_cast<int16_t>(absolute(static_cast<int16_t>(c.p0 - c.q0[k])) +
                                         absolute(static_cast<int16_t>(c.p1 - c.q1[k])) +
                                         absolute(static_cast<int16_t>(c.p2 - c.q2[k])));
  return static_cast<int16_t>((s < T ? s : T) & c.mask);
}

// Column sum update: S[k] += cost(x, e, k) - cost(x, l, k).
[[gnu::always_inline]] inline void update_column(int* __restrict S, const FastInputs& in, const CostRow& e,
                                                 const CostRow& l, int x) {
  const PixelCosts ce = pixel_costs(in, e, x), cl = pixel_costs(in, l, x);
  const int16_t T = static_cast<int16_t>(in.T);
  for (int k0 = 0; k0 < in.Dp; k0 += kBlock)
    for (int k = k0; k < k0 + kBlock; ++k) S[k] += static_cast<int16_t>(cost_at(ce, k, T) - cost_at(cl, k, T));
}

// One pixel of a row: when kEnter, column x + r is brought up to date and enters the window
// sum A; when kLeave, column x - r - 1 leaves it; then A's first D elements are stored as the
// pixel's vector.
template <bool kEnter, bool kLeave>
[[gnu::always_inline]] inline void slide(int* __restrict A, int* __restrict entering, const int* __restrict leaving,
                                         int* __restrict out, const FastInputs& in, const CostRow& e,
                                         const CostRow& l, int x_entering) {
  const int16_t T = static_cast<int16_t>(in.T);
  if (kEnter) {
    const PixelCosts ce = pixel_costs(in, e, x_entering), cl = pixel_costs(in, l, x_entering);
    for (int k0 = 0; k0 < in.Dp; k0 += kBlock) {
      for (int k = k0; k < k0 + kBlock; ++k) {
        const int column = entering[k] + static_cast<int16_t>(cost_at(ce, k, T) - cost_at(cl, k, T));
        entering[k] = column;
        A[k] += column - (kLeave ? leaving[k] : 0);
      }
    }
  } else {
    for (int k0 = 0; k0 < in.Dp; k0 += kBlock)
      for (int k = k0; k < k0 + kBlock; ++k) A[k] -= leaving[k];
  }
  std::memcpy(out, A, sizeof(int) * static_cast<size_t>(in.D));
}

// Working storage of the fast kernel.
struct FastStorage {
  int* S;                   // column sums, W vectors of Dp ints, column x at x * Dp
  int* A;                   // window sum, Dp ints
  int16_t* reversed;  // reversed rows: entering, leaving; 3 * reversed_length values each
};

// The whole kernel after allocation: column sums of rows 0 .. r-1 first, then every row y
// with entering row y + r and leaving row y - r - 1, each counted while inside the image.
[[gnu::always_inline]] inline void cost_volume_rows(const FastInputs& in, const cv::Mat& right, int H, int r,
                                                    int* const* cost_volume, const FastStorage& st) {
  const int W = in.W, Dp = in.Dp;
  const size_t n = static_cast<size_t>(Dp), channels = 3 * in.reversed_length;
  int16_t* rev_e = st.reversed;
  int16_t* rev_l = st.reversed + channels;
  const auto left_row = [&](int y) { return in.left + static_cast<size_t>(y) * in.left_stride; };
  const auto column = [&](int x) { return st.S + static_cast<size_t>(x) * n; };

  // rows 0 .. r-1 enter the column sums before the first output row
  for (int y = 0; y < r; ++y) {
    reverse_right_row(rev_e, in.reversed_length, right.ptr<unsigned char>(y), W);
    const CostRow e{left_row(y), rev_e, -1}, none{left_row(y), rev_e, 0};
    for (int x = 0; x < W; ++x) update_column(column(x), in, e, none, x);
  }

  for (int y = 0; y < H; ++y) {
    const int ye = y + r, yl = y - r - 1;
    const bool has_e = ye <= H - 1, has_l = yl >= 0;
    // an absent row reads the other one, masked to 0
    const int ye_read = has_e ? ye : has_l ? yl : 0, yl_read = has_l ? yl : ye_read;
    reverse_right_row(rev_e, in.reversed_length, right.ptr<unsigned char>(ye_read), W);
    reverse_right_row(rev_l, in.reversed_length, right.ptr<unsigned char>(yl_read), W);
    const CostRow e{left_row(ye_read), rev_e, has_e ? -1 : 0}, l{left_row(yl_read), rev_l, has_l ? -1 : 0};

    // columns 0 .. r are up to date before pixel 0, whose window they are
    for (int x = 0; x <= r; ++x) update_column(column(x), in, e, l, x);
    std::memcpy(st.A, column(0), sizeof(int) * n);
    for (int x = 1; x <= r; ++x) {
      const int* s = column(x);
      for (int k = 0; k < Dp; ++k) st.A[k] += s[k];
    }
    int* const* out = cost_volume + static_cast<size_t>(y) * W;
    std::memcpy(out[0], st.A, sizeof(int) * static_cast<size_t>(in.D));
    int x = 1;
    for (; x <= r && x + r <= W - 1; ++x) slide<true, false>(st.A, column(x + r), nullptr, out[x], in, e, l, x + r);
    for (; x + r <= W - 1; ++x) slide<true, true>(st.A, column(x + r), column(x - r - 1), out[x], in, e, l, x + r);
    for (; x <= W - 1; ++x) slide<false, true>(st.A, nullptr, column(x - r - 1), out[x], in, e, l, 0);
  }
}

using CostVolumeRows = void (*)(const FastInputs&, const cv::Mat&, int, int, int* const*, const FastStorage&);

void cost_volume_rows_generic(const FastInputs& in, const cv::Mat& right, int H, int r, int* const* cost_volume,
                              const FastStorage& st) {
  cost_volume_rows(in, right, H, r, cost_volume, st);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ONDREL_X86_DISPATCH 1
__attribute__((target("avx2"))) void cost_volume_rows_avx2(const FastInputs& in, const cv::Mat& right, int H, int r,
                                                           int* const* cost_volume, const FastStorage& st) {
  cost_volume_rows(in, right, H, r, cost_volume, st);
}
__attribute__((target("avx512f,avx512bw"))) void cost_volume_rows_avx512(const FastInputs& in, const cv::Mat& right,
                                                                        int H, int r, int* const* cost_volume,
                                                                        const FastStorage& st) {
  cost_volume_rows(in, right, H, r, cost_volume, st);
}
#endif

CostVolumeRows pick_cost_volume_rows() {
#if defined(ONDREL_X86_DISPATCH)
  switch (simd_width_bits()) {
    case 512: return cost_volume_rows_avx512;
    case 256: return cost_volume_rows_avx2;
    default: break;
  }
#endif
  return cost_volume_rows_generic;
}

}  // namespace

int box_filtering_stereo_color_TAD_single_channel_QUIRN(int W, int H, int D, int d0,
                                                        const cv::Mat& left, const cv::Mat& right,
                                                        int* const* cost_volume, int r, int T) {
  constexpr int kLargestPixelCost = 3 * 255;
  const int Dp = (D + kBlock - 1) / kBlock * kBlock;
  const size_t n = static_cast<size_t>(Dp);
  const FastInputs in{left.data, left.step[0], W, D, d0, T < kLargestPixelCost ? T : kLargestPixelCost, Dp,
                      static_cast<size_t>(W) + static_cast<size_t>(d0) + n};
  FastStorage st{};
  st.S = ondrel_alloc_array<int>(static_cast<size_t>(W) * n);
  st.A = st.S ? ondrel_alloc_array<int>(n) : nullptr;
  st.reversed = st.A ? ondrel_alloc_array<int16_t>(2 * 3 * in.reversed_length) : nullptr;
  const bool ok = st.reversed != nullptr;
  if (ok) pick_cost_volume_rows()(in, right, H, r, cost_volume, st);
  ondrel_free(st.S);
  ondrel_free(st.A);
  ondrel_free(st.reversed);
  return ok ? 0 : -1;
}
