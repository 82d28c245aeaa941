// The body of the matcher's SIMD kernels (the stages of KernelTable, matcher/simd/kernels.h),
// compiled once per instruction set: kernels_baseline.cpp, kernels_avx2.cpp (-mavx2) and
// kernels_avx512.cpp (-mavx512f -mavx512bw) each define, before including it,
//   ONDREL_SIMD_ISA      the namespace of the unit's table, ondrel::simd::<ISA>,
//   ONDREL_SIMD_SHORTS   16-bit lanes per vector of the cost rows (8, 16, 32),
//   ONDREL_SIMD_DOUBLES  doubles per vector of the window kernel (2, 4, 8),
//   ONDREL_SIMD_CHUNK    vectors per chunk of disparities of the window kernel.
// Everything here lives in that namespace (all but the table in an unnamed one inside it)
// on purpose: every unit has its own copy of every helper, built for its own instruction
// set, so no wide-instruction copy can stand in for the portable one at link time. For the
// same reason it includes no library header with inline functions beyond <cstring> and the
// intrinsics (<cassert> is a macro); matcher/simd/kernels.h, matcher/window.h and
// matcher/constants.h hold only types, constants, constexpr functions and declarations.
//
// Cost rows. Running sums as in the straightforward version (tests/support/reference.h): a
// column sum per column and a window sum (integer sums, so any order of the additions gives
// the same values), but each pixel's whole update is one loop over the disparities, the right
// row is read from a column-reversed copy so that consecutive disparities read consecutive
// values, and the sums are kept in 16 bits wherever no sum can pass 32767. The same kernel
// computes census costs (CostVolumeInputs::census): the rows it reads are then census images
// (matcher/census.cpp: 3 bytes of census bits per pixel, in the layout of a colour image) and
// a pixel cost is the number of bits that differ, summed over the 3 bytes (0 .. 24), in the
// same 16-bit lanes; the running sums do not change.
//
// Window kernel: the window costs of one pixel for all disparities, accumulated several
// disparities at a time in vectors, and their winner. Exactness: per disparity d, the same
// operations as the straightforward aggregation, in the same order: w = (double)left_weight *
// (double)wR, weight_sum += w, cost_sum += w * (double)C for the valid blocks in block order,
// A(d) = (float)(cost_sum / weight_sum). Vector lanes do exactly what the scalar code does per
// d; no fused multiply-add (-ffp-contract=off). The division is the one step done only where
// its result can matter: every quotient gets a cheap estimate with a proven error bound, and
// those that could decide the winner or feed the refinement are then computed exactly
// (window_winner). (Chunks of twice the disparities were tried: fewer instructions, no faster
// on AVX2, slower on AVX-512, and more lanes wasted for small disparity counts.)
//
// Aggregate row: the per-row work around the window kernel (weights, window lists, winners,
// uniqueness), in this body too so that it is built for the same instruction set.

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "matcher/constants.h"
#include "matcher/simd/kernels.h"
#include "matcher/window.h"

namespace ondrel {
namespace simd {
namespace ONDREL_SIMD_ISA {

#include "matcher/simd/vec.h"

namespace {  // inside the ISA's namespace: internal, and still named after the ISA

// ---------------------------------------------------------------------------------------
// Cost rows

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

// cost = the pixel costs of left column x in `row` at elements k0 .. k0+L-1, in 16 bits
// (bytes, their differences and sums up to 765 all fit). Vectors go through references: no
// vector is passed or returned by value, so no call depends on the vector ABI. kCensus: the
// bits set in left XOR right per byte, counted in the lanes (pairs, nibbles, then the two
// nibbles), summed over the 3 bytes; T (24 then) cuts nothing.
template <int L, bool kCensus>
[[gnu::always_inline]] inline void pixel_costs(Vec<int16_t, L>& cost, const CostVolumeInputs& in,
                                               const CostRow& row, int x, int k0) {
  typedef Vec<int16_t, L> Shorts;
  const unsigned char* p = row.left + 3 * static_cast<size_t>(x);
  const int16_t* q = row.reversed + (static_cast<size_t>(in.W) - 1 - static_cast<size_t>(x)) +
                     static_cast<size_t>(in.d0) + static_cast<size_t>(k0);
  Shorts sum = {};
  for (int c = 0; c < 3; ++c) {
    Shorts right;
    load(right, q + static_cast<size_t>(c) * in.reversed_length);
    if constexpr (kCensus) {
      Shorts bits = (Shorts{} + static_cast<int16_t>(p[c])) ^ right;
      bits = bits - ((bits >> 1) & 0x55);
      bits = (bits & 0x33) + ((bits >> 2) & 0x33);
      sum += (bits + (bits >> 4)) & 0x0F;
    } else {
      const Shorts diff = (Shorts{} + static_cast<int16_t>(p[c])) - right;
      sum += diff < 0 ? -diff : diff;
    }
  }
  const Shorts T = Shorts{} + static_cast<int16_t>(in.T);
  cost = (sum < T ? sum : T) & static_cast<int16_t>(row.mask);
}

// diff = cost(x, e, k) - cost(x, l, k) at elements k0 .. k0+L-1.
template <int L, bool kCensus>
[[gnu::always_inline]] inline void cost_difference(Vec<int16_t, L>& diff, const CostVolumeInputs& in,
                                                   const CostRow& e, const CostRow& l, int x, int k0) {
  Vec<int16_t, L> leaving;
  pixel_costs<L, kCensus>(diff, in, e, x, k0);
  pixel_costs<L, kCensus>(leaving, in, l, x, k0);
  diff -= leaving;
}

// Column sum update: S[k] += cost(x, e, k) - cost(x, l, k).
template <int L, typename Sum, bool kCensus>
[[gnu::always_inline]] inline void update_column(Sum* S, const CostVolumeInputs& in, const CostRow& e, const CostRow& l,
                                                 int x) {
  for (int k0 = 0; k0 < in.Dp; k0 += L) {
    Vec<int16_t, L> diff;
    cost_difference<L, kCensus>(diff, in, e, l, x, k0);
    Vec<Sum, L> column;
    load(column, S + k0);
    store(S + k0, column + __builtin_convertvector(diff, Vec<Sum, L>));
  }
}

// out[0 .. n-1] = the sums a[0 .. n-1] as ints, 0 < n <= L. Where the unit has them, the
// widening and the masked stores of the last part are named: through memory, each vector
// would be spilled and read back, and a copy would stall on the vector just written.
template <int L, typename Sum>
[[gnu::always_inline]] inline void store_as_ints(int* out, const Vec<Sum, L>& a, int n) {
#if defined(__AVX512BW__)
  if constexpr (L == 32) {
    __m512i half[2];
    if constexpr (sizeof(Sum) == 2) {
      __m512i v;
      std::memcpy(&v, &a, sizeof v);
      half[0] = _mm512_cvtepi16_epi32(_mm512_castsi512_si256(v));
      half[1] = _mm512_cvtepi16_epi32(_mm512_extracti64x4_epi64(v, 1));
    } else {
      std::memcpy(half, &a, sizeof half);
    }
    if (n >= 32) {
      _mm512_storeu_si512(out, half[0]);
      _mm512_storeu_si512(out + 16, half[1]);
    } else {
      const unsigned low = n >= 16 ? 0xFFFFu : (1u << n) - 1, high = n > 16 ? (1u << (n - 16)) - 1 : 0u;
      _mm512_mask_storeu_epi32(out, static_cast<__mmask16>(low), half[0]);
      _mm512_mask_storeu_epi32(out + 16, static_cast<__mmask16>(high), half[1]);
    }
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (L == 16) {
    __m256i half[2];
    if constexpr (sizeof(Sum) == 2) {
      __m256i v;
      std::memcpy(&v, &a, sizeof v);
      half[0] = _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v));
      half[1] = _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1));
    } else {
      std::memcpy(half, &a, sizeof half);
    }
    if (n >= 16) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), half[0]);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), half[1]);
    } else {
      const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
      _mm256_maskstore_epi32(out, _mm256_cmpgt_epi32(_mm256_set1_epi32(n), lane), half[0]);
      _mm256_maskstore_epi32(out + 8, _mm256_cmpgt_epi32(_mm256_set1_epi32(n - 8), lane), half[1]);
    }
    return;
  }
#endif
  const Vec<int32_t, L> wide = __builtin_convertvector(a, Vec<int32_t, L>);
  if (n >= L)
    std::memcpy(out, &wide, sizeof wide);
  else
    for (int j = 0; j < n; ++j) out[j] = wide[j];
}

template <int L, typename Sum, bool kCensus, bool kEnter, bool kLeave>
[[gnu::always_inline]] inline void slide(Sum* __restrict A, Sum* __restrict entering, const Sum* __restrict leaving,
                                         int* __restrict out, const CostVolumeInputs& in, const CostRow& e,
                                         const CostRow& l, int x_entering) {
  for (int k0 = 0; k0 < in.Dp; k0 += L) {
    // the leaving column first: then no sum in between spans more than one window
    Vec<Sum, L> a;
    load(a, A + k0);
    if (kLeave) {
      Vec<Sum, L> left_column;
      load(left_column, leaving + k0);
      a -= left_column;
    }
    if (kEnter) {
      Vec<int16_t, L> diff;
      cost_difference<L, kCensus>(diff, in, e, l, x_entering, k0);
      Vec<Sum, L> column;
      load(column, entering + k0);
      column += __builtin_convertvector(diff, Vec<Sum, L>);
      store(entering + k0, column);
      a += column;
    }
    store(A + k0, a);
    store_as_ints<L, Sum>(out + k0, a, in.D - k0);  // the last vector may reach past D
  }
}

// The kernel after allocation, for the output rows y_begin .. y_end-1: every row y with
// entering row y + r and leaving row y - r - 1, each counted while inside the image. Unless
// `resume` (the call before ended at y_begin with the same storage), the column sums are
// first rebuilt from rows y_begin - r - 1 .. y_begin + r - 1 (integer sums: the same values as
// when every row before had been run). rows[y][x] is where pixel (x, y)'s D ints go.
template <int L, typename Sum, bool kCensus>
[[gnu::always_inline]] inline void cost_volume_rows_of(const CostVolumeInputs& inputs, int H, int r,
                                                    int* const* const* rows, const CostVolumeStorage<Sum>& st,
                                                    int y_begin, int y_end, bool resume) {
  // a local copy: the stores through int pointers below could otherwise alias the caller's
  // ints, and every field would be read again after each store
  const CostVolumeInputs in = inputs;
  const int W = in.W, Dp = in.Dp;
  const size_t n = static_cast<size_t>(Dp), channels = 3 * in.reversed_length;
  const int ring = in.ring;
  const auto reversed = [&](int y) { return st.reversed + static_cast<size_t>(y % ring) * channels; };
  const auto left_row = [&](int y) { return in.left + static_cast<size_t>(y) * in.left_stride; };
  const auto right_row = [&](int y) { return in.right + static_cast<size_t>(y) * in.right_stride; };
  const auto column = [&](int x) { return st.S + static_cast<size_t>(x) * n; };

  if (!resume) {
    // the column sums as they stand before row y_begin: rows y_begin - r - 1 .. y_begin + r - 1
    std::memset(st.S, 0, sizeof(Sum) * n * static_cast<size_t>(W));
    const int first = y_begin - r - 1 > 0 ? y_begin - r - 1 : 0;
    for (int y = first; y < y_begin + r && y < H; ++y) {
      reverse_right_row(reversed(y), in.reversed_length, right_row(y), W);
      const CostRow e{left_row(y), reversed(y), -1}, none{left_row(y), reversed(y), 0};
      for (int x = 0; x < W; ++x) update_column<L, Sum, kCensus>(column(x), in, e, none, x);
    }
  }

  for (int y = y_begin; y < y_end; ++y) {
    const int ye = y + r, yl = y - r - 1;
    const bool has_e = ye <= H - 1, has_l = yl >= 0;
    // an absent row reads the other one, masked to 0
    const int ye_read = has_e ? ye : has_l ? yl : 0, yl_read = has_l ? yl : ye_read;
    if (has_e) reverse_right_row(reversed(ye), in.reversed_length, right_row(ye), W);
    const CostRow e{left_row(ye_read), reversed(ye_read), has_e ? -1 : 0};
    const CostRow l{left_row(yl_read), reversed(yl_read), has_l ? -1 : 0};

    // columns 0 .. r are up to date before pixel 0, whose window they are
    for (int x = 0; x <= r; ++x) update_column<L, Sum, kCensus>(column(x), in, e, l, x);
    std::memcpy(st.A, column(0), sizeof(Sum) * n);
    for (int x = 1; x <= r; ++x) {
      const Sum* s = column(x);
      for (int k = 0; k < Dp; ++k) st.A[k] = static_cast<Sum>(st.A[k] + s[k]);
    }
    int* const* out = rows[y];
    for (int k = 0; k < in.D; ++k) out[0][k] = st.A[k];
    int x = 1;
    for (; x <= r && x + r <= W - 1; ++x)
      slide<L, Sum, kCensus, true, false>(st.A, column(x + r), nullptr, out[x], in, e, l, x + r);
    for (; x + r <= W - 1; ++x) slide<L, Sum, kCensus, true, true>(st.A, column(x + r), column(x - r - 1), out[x], in, e, l, x + r);
    for (; x <= W - 1; ++x) slide<L, Sum, kCensus, false, true>(st.A, nullptr, column(x - r - 1), out[x], in, e, l, 0);
  }
}

template <int L, typename Sum>
void cost_volume_rows(const CostVolumeInputs& in, int H, int r, int* const* const* rows,
                      const CostVolumeStorage<Sum>& st, int y_begin, int y_end, bool resume) {
  if (in.census)
    cost_volume_rows_of<L, Sum, true>(in, H, r, rows, st, y_begin, y_end, resume);
  else
    cost_volume_rows_of<L, Sum, false>(in, H, r, rows, st, y_begin, y_end, resume);
}

// ---------------------------------------------------------------------------------------
// Window kernel

// The integer part of a cost below the running minimum; the clamp only guards the type.
inline int truncate_cost(float a) {
  if (a <= -2147483648.0f) return -2147483647 - 1;
  return static_cast<int>(a);
}

// Quotients close to cost_sum / weight_sum, from a reciprocal estimate refined by one Newton
// step: relative error below 2^-22 (2^-27 with the AVX-512 estimate), far cheaper than a
// division. Only where the weight sums lie in [2^-100, 2^100] and the cost sums in
// [0, 2^100] (the estimates go through float on the narrower paths); elsewhere nothing is
// assumed of them. Without SIMD the quotient itself.
template <int N>
[[gnu::always_inline]] inline void approximate_quotient(Vec<double, N>& q,
                                                        const Vec<double, N>& cost_sum,
                                                        const Vec<double, N>& weight_sum) {
  typedef Vec<double, N> Doubles;
  Doubles r;
#if defined(__AVX512F__)
  if constexpr (N == 8) {
    r = _mm512_rcp14_pd(weight_sum);
  } else
#endif
#if defined(__AVX__)
  if constexpr (N == 4) {
    r = _mm256_cvtps_pd(_mm_rcp_ps(_mm256_cvtpd_ps(weight_sum)));
  } else
#endif
#if defined(__SSE2__)
  if constexpr (N == 2) {
    r = _mm_cvtps_pd(_mm_rcp_ps(_mm_cvtpd_ps(weight_sum)));
  } else
#endif
  {
    q = cost_sum / weight_sum;
    return;
  }
  r = r * (2.0 - weight_sum * r);
  q = cost_sum * r;
}

// The window cost of one disparity exactly as the straightforward aggregation has it.
inline double exact_cost(double cost_sum, double weight_sum) {
  return static_cast<double>(static_cast<float>(cost_sum / weight_sum));
}

// The window cost of disparity d from the blocks themselves: the operations of one lane of
// window_sums (the blocks not valid for d add nothing there either).
inline double window_cost(const WindowBlock* window, int count, int d) {
  double weight_sum = 0.0, cost_sum = 0.0;
  for (int i = 0; i < count; ++i) {
    const WindowBlock& b = window[i];
    if (d > b.last) continue;
    const double w = b.right_weights[d] * static_cast<double>(b.left_weight);
    weight_sum += w;
    cost_sum += w * static_cast<double>(b.costs[d]);
  }
  return exact_cost(cost_sum, weight_sum);
}

// Doubles of scratch that window_sums and window_winner share for ndisp disparities: the
// costs, then the cost sums, then the weight sums, each with room for a whole chunk beyond
// ndisp.
inline size_t window_scratch_stride(int ndisp) { return static_cast<size_t>(ndisp) + kWindowScratchPad; }
inline size_t window_scratch_doubles(int ndisp) { return 3 * window_scratch_stride(ndisp); }

// The window sums of one pixel, d = 0 .. ndisp-1, from its `count` valid blocks in block
// order (window[i].last < ndisp), and an estimate of each window cost: the first half of the
// window kernel. A: window_scratch_doubles(ndisp) doubles, which window_winner takes on.
// The kernel is in two halves so that the caller can work out one pixel's winner (branches
// on fresh data) after starting the next pixel's sums, which then overlap.
//
// The disparities go in chunks of N * V, V vectors per sum held in registers; the last chunk
// ends at ndisp (it overlaps the one before when ndisp is not a multiple of the chunk and
// recomputes a few disparities with the same result), so that blocks valid up to
// max_disparity never take the partial path.
template <int N, int V>
[[gnu::always_inline]] inline WindowEstimate window_sums(const WindowBlock* window, int count, int ndisp,
                                                         double* A) {
  typedef Vec<double, N> Doubles;
  constexpr int kChunk = N * V;
  constexpr double kLowestSum = 0x1p-100, kHighestSum = 0x1p100;
  const size_t stride = window_scratch_stride(ndisp);
  double* const cost_sums = A + stride;
  double* const weight_sums = A + 2 * stride;
  Doubles lowest[V];  // per lane, the lowest estimate so far
  Mask<N> out_of_range = {};  // lanes with a sum out of the estimates' range are set
  // lanes that hold a disparity: all but those at or beyond ndisp when ndisp is below the
  // chunk (then the one chunk starts at 0)
  Mask<N> present[V];
  for (int v = 0; v < V; ++v) {
    lowest[v] = Doubles{} + __builtin_inf();
    lanes_below<N>(present[v], N * v, ndisp);
  }
  // most pixels have every block valid for every disparity: their loop needs no tests
  bool all_valid = ndisp >= kChunk;
  for (int i = 0; i < count; ++i) all_valid = all_valid && window[i].last == ndisp - 1;
  // the sums of the chunk from d0 on, their estimates, the lowest estimate per lane
  const auto chunk_sums = [&](int d0) __attribute__((always_inline)) {
    Doubles weight_sum[V] = {}, cost_sum[V] = {};
    for (int i = 0; all_valid && i < count; ++i) {
      const WindowBlock& b = window[i];
      const double left = b.left_weight;
      for (int v = 0; v < V; ++v) {
        Doubles right, cost;
        load(right, b.right_weights + d0 + N * v);
        widen<N>(cost, b.costs + d0 + N * v);
        const Doubles w = right * left;
        weight_sum[v] += w;
        cost_sum[v] += w * cost;
      }
    }
    for (int i = 0; !all_valid && i < count; ++i) {
      const WindowBlock& b = window[i];
      const int valid = b.last + 1 - d0;  // disparities of this chunk for which b is valid
      if (valid <= 0) continue;
      const double left = b.left_weight;  // broadcast by the vector-scalar products
      Doubles right, cost;
      if (valid >= kChunk) {
        for (int v = 0; v < V; ++v) {
          load(right, b.right_weights + d0 + N * v);
          widen<N>(cost, b.costs + d0 + N * v);
          const Doubles w = right * left;
          weight_sum[v] += w;
          cost_sum[v] += w * cost;
        }
      } else {
        // the block's last disparities: nothing is read beyond them, and the lanes beyond
        // add exactly +0.0, which leaves the sums unchanged (they are never -0.0)
        double rights[kChunk] = {};
        int costs[kChunk] = {};
        for (int j = 0; j < valid; ++j) {
          rights[j] = b.right_weights[d0 + j];
          costs[j] = b.costs[d0 + j];
        }
        for (int v = 0; v < V; ++v) {
          load(right, rights + N * v);
          widen<N>(cost, costs + N * v);
          Mask<N> inside;
          lanes_below<N>(inside, N * v, valid);
          const Doubles w = reinterpret_cast<Doubles>(reinterpret_cast<Mask<N>>(right * left) & inside);
          weight_sum[v] += w;
          cost_sum[v] += w * cost;
        }
      }
    }
    // the sums, and the estimates of their quotients; the lowest estimate per lane (lanes
    // without a disparity stay out of both)
    for (int v = 0; v < V; ++v) {
      Doubles q;
      approximate_quotient<N>(q, cost_sum[v], weight_sum[v]);
      out_of_range |= present[v] & ~((weight_sum[v] >= kLowestSum) & (weight_sum[v] <= kHighestSum) &
                                     (cost_sum[v] >= 0.0) & (cost_sum[v] <= kHighestSum));
      blend<N>(q, present[v], q, Doubles{} + __builtin_inf());
      blend<N>(lowest[v], q < lowest[v], q, lowest[v]);
      store(A + d0 + N * v, q);
      store(cost_sums + d0 + N * v, cost_sum[v]);
      store(weight_sums + d0 + N * v, weight_sum[v]);
    }
  };

  // Chunks that cannot hold the winner are skipped. A window cost is a weighted mean of its
  // blocks' costs, so it is at least the lowest of them (the float rounding of a mean of
  // integers >= U in double stays >= U). The winner lies below m + 1, m the integer part of
  // the lowest cost, and m + 1 <= U for U = trunc(upper bound of any one cost) + 1. So the
  // chunk whose lowest block cost is lowest goes first, its lowest estimate gives U, and a
  // chunk whose every block cost is >= U is skipped: its lanes get the marker weight sum -1
  // and cost +inf, and window_winner computes any of them it needs from the window itself.
  const int nchunks = ndisp <= kChunk ? 1 : (ndisp - 1) / kChunk + 1;
  const auto chunk_start = [&](int c) { return c * kChunk + kChunk > ndisp ? (ndisp > kChunk ? ndisp - kChunk : 0) : c * kChunk; };
  constexpr int kMaxChunks = 64;
  if (nchunks < 2 || nchunks > kMaxChunks) {
    for (int c = 0; c < nchunks; ++c) chunk_sums(chunk_start(c));
  } else {
    int bound_of[kMaxChunks];
    int first = 0;
    for (int c = 0; c < nchunks; ++c) {
      const int d0 = chunk_start(c);
      static_assert(kChunk >= 4, "a chunk of at least 4 disparities");
      typedef Vec<int, kChunk> ChunkInts;
      ChunkInts low = ChunkInts{} + 0x7FFFFFFF;
      for (int i = 0; i < count; ++i) {
        const WindowBlock& b = window[i];
        const int valid = b.last + 1 - d0;
        ChunkInts costs;
        if (valid >= kChunk) {
          load(costs, b.costs + d0);
        } else {
          // nothing is read beyond the block's last disparity
          int part[sizeof(ChunkInts) / sizeof(int)];
          for (int j = 0; j < static_cast<int>(sizeof part / sizeof(int)); ++j)
            part[j] = j < valid ? b.costs[d0 + j] : 0x7FFFFFFF;
          load(costs, part);
        }
        low = costs < low ? costs : low;
      }
      int lowest_cost = low[0];
      for (int j = 1; j < kChunk; ++j) lowest_cost = low[j] < lowest_cost ? low[j] : lowest_cost;
      bound_of[c] = lowest_cost;
      if (lowest_cost < bound_of[first]) first = c;
    }
    chunk_sums(chunk_start(first));
    double lowest_estimate = lowest[0][0];
    for (int v = 0; v < V; ++v)
      for (int j = 0; j < N; ++j) lowest_estimate = lowest[v][j] < lowest_estimate ? lowest[v][j] : lowest_estimate;
    // an estimate is within 2^-18 of the exact cost (see window_winner); a wider margin here
    const double upper = lowest_estimate * (1.0 + 1.0 / (1 << 16));
    const bool prune = no_lane<N>(out_of_range) && upper < 16777216.0;  // then U is an exact integer
    const int U = prune ? static_cast<int>(upper) + 1 : 0;
    for (int c = 0; c < nchunks; ++c) {
      if (c == first) continue;
      const int d0 = chunk_start(c);
      if (prune && bound_of[c] >= U) {
        for (int j = 0; j < kChunk; ++j) {
          A[d0 + j] = __builtin_inf();
          weight_sums[d0 + j] = -1.0;
        }
        continue;
      }
      chunk_sums(d0);
    }
  }

  for (int v = 1; v < V; ++v) {
    blend<N>(lowest[0], lowest[v] < lowest[0], lowest[v], lowest[0]);
  }
  return WindowEstimate{lowest_lane<N>(lowest[0]), no_lane<N>(out_of_range)};
}

// window_sums with chunks of N * V disparities, or of half as many when the disparity count
// is a whole number of half chunks beyond a multiple of the chunk: the last chunk then
// recomputes fewer disparities (20 disparities: 24 lanes rather than 32).
template <int N, int V>
[[gnu::always_inline]] inline WindowEstimate window_sums_fitted(const WindowBlock* window, int count, int ndisp,
                                                                double* A) {
  if constexpr (V % 2 == 0) {
    const int rest = ndisp % (N * V);
    if (rest != 0 && rest <= N * V / 2) return window_sums<N, V / 2>(window, count, ndisp, A);
  }
  return window_sums<N, V>(window, count, ndisp, A);
}

// The second half of the window kernel: the winner of the window costs whose sums and
// estimates window_sums left in A, under the rules of select_winner. On return A[h-1], A[h]
// and A[h+1] (those inside 0 .. ndisp-1) hold the exact window costs around the winner h,
// which is all the refinement reads; the other entries are unspecified.
//
// Those rules pick, when every cost is >= 0 or NaN, the first d with A(d) < m + 1 where
// m = trunc(lowest cost): no earlier cost lies below that bound, so the running minimum is
// above A(d) when d comes and d wins, and no later cost lies below m. So only the costs
// below the lowest one plus 1 matter: the disparities whose estimate could reach below that
// bound get their exact cost, the rest none (it is above the bound whatever its exact
// value). Should a sum be out of the estimates' range (a negative cost sum among them: the
// bounds above hold for costs >= 0), every cost is computed exactly and select_winner decides.
template <int N>
[[gnu::always_inline]] inline Winner window_winner(const WindowBlock* window, int count, double* A, int ndisp,
                                                   WindowEstimate estimate) {
  // an estimate is within this factor of the exact cost (the float rounding included)
  constexpr double kSlack = 1.0 / (1 << 18);
  const size_t stride = window_scratch_stride(ndisp);
  const double* const cost_sums = A + stride;
  const double* const weight_sums = A + 2 * stride;
  // the exact cost of d, from the sums or, for a skipped chunk, from the window
  const auto exact = [&](int d) {
    return weight_sums[d] < 0.0 ? window_cost(window, count, d) : exact_cost(cost_sums[d], weight_sums[d]);
  };
  if (!estimate.in_range) {
    for (int d = 0; d < ndisp; ++d) A[d] = exact(d);
    return select_winner(A, ndisp);
  }

  // every cost below the lowest estimate's upper bound plus 1 comes within this bound
  const double bound = (estimate.lowest * (1.0 + kSlack) + 1.0) * (1.0 + 4.0 * kSlack);
  // the exact costs below the bound, and the lowest of them (below it is the lowest cost)
  double low = __builtin_inf();
  int first_candidate = ndisp;
  for (int d0 = 0; d0 < ndisp; d0 += N) {
    unsigned bits = at_most_bits<N>(A + d0, bound);  // A has room beyond ndisp
    if (ndisp - d0 < N) bits &= (1u << (ndisp - d0)) - 1;
    for (; bits != 0; bits &= bits - 1) {
      const int d = d0 + __builtin_ctz(bits);
      A[d] = exact(d);
      if (A[d] < low) low = A[d];
      if (first_candidate == ndisp) first_candidate = d;  // the scan goes up
    }
  }
  Winner winner{ondrel::kInitialRunningMin, -1, false};
  if (!(low < static_cast<double>(ondrel::kInitialRunningMin))) return winner;
  // the first d below m + 1: exact values where they may be, estimates above it elsewhere
  winner.m = truncate_cost(static_cast<float>(low));
  const double first_above = static_cast<double>(winner.m) + 1.0;
  int h = first_candidate;
  while (!(A[h] < first_above)) ++h;
  winner.h = h;
  winner.found = true;
  if (h > 0) A[h - 1] = exact(h - 1);
  if (h + 1 < ndisp) A[h + 1] = exact(h + 1);
  return winner;
}

// The window kernel of this unit, in its two halves (out of line: the caller interleaves them).
[[gnu::noinline]] WindowEstimate window_sums_here(const WindowBlock* window, int count, int ndisp, double* A) {
  return window_sums_fitted<ONDREL_SIMD_DOUBLES, ONDREL_SIMD_CHUNK>(window, count, ndisp, A);
}
[[gnu::noinline]] Winner window_winner_here(const WindowBlock* window, int count, double* A, int ndisp,
                                            WindowEstimate estimate) {
  return window_winner<ONDREL_SIMD_DOUBLES>(window, count, A, ndisp, estimate);
}

// ---------------------------------------------------------------------------------------
// Aggregate row

// Block centre offsets of the support window, in block order (dy outer, dx inner).
struct BlockOffsets {
  int n;      // blocks per axis
  int first;  // r - R
  int step;   // 2r + 1
  int dx(int k) const { return first + (k % n) * step; }
  int dy(int k) const { return first + (k / n) * step; }
};

// Empties the row's claim table.
void reset_claims(const AggregationContext& c, AggregationScratch& s) {
  const size_t claims = static_cast<size_t>(c.max_disparity) + static_cast<size_t>(c.W) + 1 -
                        static_cast<size_t>(c.min_disparity);
  for (size_t i = 0; i < claims; ++i) {
    s.claimed_disparity[i] = ondrel::kUnclaimedDisparity;
    s.claimed_cost[i] = ondrel::kUnclaimedCost;
  }
}

// Every element of the row without a value, before the row's pixels are written.
void clear_row(const RowOutputs& out, int W) {
  for (int x = 0; x < W; ++x) out.disparity[x] = out.right_disparity[x] = out.uniqueness[x] = no_value();
}

bool pixel_processed(const AggregationContext& c, int x, int y) {
  return c.border <= y && y <= c.H - c.border && c.border <= x && x <= c.W - c.border;
}

// Refinement, the three output bytes and the uniqueness test of pixel x, from its winner and
// its window costs A(d) (only those around the winner are read).
void finish_pixel(const AggregationContext& c, AggregationScratch& s, const RowOutputs& out, int x,
                  const Winner& winner, const double* A) {
  if (!winner.found) {
    out.disparity[x] = no_value();
    return;
  }
  const int h = winner.h;
  const float value = static_cast<float>(h) + refine_winner(A, h, c.min_disparity, c.max_disparity);
  out.disparity[x] = value;
  out.right_disparity[x - h] = value;
  apply_uniqueness(x, h, winner.m, value, s.claimed_disparity, s.claimed_cost, out.uniqueness);
}

// Fast version. For pixel x and block k the conditions that do not depend on d (rows inside
// the image, left block inside on the right) are tested once, and the block is valid for
// every d = 0 .. min(max_disparity, x + dx - r, x): one contiguous range. The block's costs
// and, with the right weights stored column-reversed, its right weights for consecutive d are
// consecutive in memory. A chunk of disparities is accumulated at once in registers, block
// after block in block order, so each disparity sees the very operations of the reference:
// w = (double)left_weight * (double)wR, weight_sum += w, cost_sum += w * (double)C
// (window_sums above).
void aggregate_row(const AggregationContext& context, AggregationScratch& scratch, int y, const RowOutputs& out) {
  // local copies: the stores through byte and int pointers below could otherwise alias the
  // caller's records, and their fields would be read again after each store
  const AggregationContext c = context;
  AggregationScratch s = scratch;
  const int W = c.W, H = c.H, r = c.r, nb = c.nblocks;
  assert(0 <= y && y < H && W >= 2 * r + 1 && H >= 2 * r + 1);
  const BlockOffsets blocks{blocks_per_axis(r, c.R), r - c.R, 2 * r + 1};
  constexpr int kLeft[3] = {left_plane(0), left_plane(1), left_plane(2)};  // constants: no call at run time
  constexpr int kRight[3] = {right_plane(0), right_plane(1), right_plane(2)};
  const int* const left_means[3] = {c.planes[kLeft[0]], c.planes[kLeft[1]], c.planes[kLeft[2]]};
  const int* const right_means[3] = {c.planes[kRight[0]], c.planes[kRight[1]], c.planes[kRight[2]]};
  const unsigned char* left_row = c.left + static_cast<size_t>(y) * c.left_stride;
  const unsigned char* right_row = c.right + static_cast<size_t>(y) * c.right_stride;
  reset_claims(c, s);

  // the row's pixels, channel by channel
  int* const left_pixels[3] = {s.row_pixels, s.row_pixels + W, s.row_pixels + 2 * W};
  int* const right_pixels[3] = {s.row_pixels + 3 * W, s.row_pixels + 4 * W, s.row_pixels + 5 * W};
  for (int x = 0; x < W; ++x)
    for (int ch = 0; ch < 3; ++ch) {
      left_pixels[ch][x] = left_row[3 * x + ch];
      right_pixels[ch][x] = right_row[3 * x + ch];
    }

  // The blocks whose rows lie inside the image (conditions 1 and 2 depend on y alone), and
  // their colour weights along the row, each computed once: the right ones per block with
  // the columns reversed, wR(xr, y, k) at k * W + W-1-xr; the left ones, ws[k] * wL(x, y, k)
  // rounded to float, at k * W + x. Only the columns whose block lies inside are written;
  // no valid (x, d) reads any other.
  const int ndisp = c.max_disparity + 1;
  int listed = 0;
  int all_first = c.first_column, all_end = W;  // pixels with every listed block valid for every d
  for (int k = 0; k < nb; ++k) {
    const int dx = blocks.dx(k), by = y + blocks.dy(k);
    if (by - r < 0 || by + r >= H) continue;
    const size_t row = static_cast<size_t>(by) * W;
    // columns with bx = x + dx in [r, W-1-r]
    const int first = r - dx > 0 ? r - dx : 0, end = W - r - dx < W ? W - r - dx : W;
    double* reversed = s.right_weights_reversed + static_cast<size_t>(k) * W;
    float* left = s.left_weights_by_block + static_cast<size_t>(k) * W;
    const auto distances = [&](const int* const means[3], int* const pixels[3]) {
      // the block means at x + dx and the pixels at x, from the first column on
      const size_t at = row + static_cast<size_t>(first + dx);
      const int* __restrict m0 = means[0] + at;
      const int* __restrict m1 = means[1] + at;
      const int* __restrict m2 = means[2] + at;
      const int* __restrict p0 = pixels[0] + first;
      const int* __restrict p1 = pixels[1] + first;
      const int* __restrict p2 = pixels[2] + first;
      int* __restrict squared = s.distances + first;
      for (int i = 0; i < end - first; ++i) {
        const int d0 = m0[i] - p0[i], d1 = m1[i] - p1[i], d2 = m2[i] - p2[i];
        squared[i] = d0 * d0 + d1 * d1 + d2 * d2;
      }
    };
    distances(right_means, right_pixels);
    for (int x = first; x < end; ++x) reversed[W - 1 - x] = c.exp_lut[s.distances[x]];
    distances(left_means, left_pixels);
    const float spatial = c.spatial[k];
    for (int x = first; x < end; ++x) left[x] = spatial * c.exp_lut[s.distances[x]];
    // for pixel x the block is valid for d = 0 .. min(max_disparity, x + dx - r, x) when
    // x + dx + r < W (condition 4) and that range is not empty
    s.row_blocks[listed++] = RowBlock{c.cost_rows[by], reversed + (W - 1), left, dx, first, end};
    const int full_from = c.max_disparity + r - dx;  // x + dx - r >= max_disparity
    if (all_first < first) all_first = first;
    if (all_first < full_from) all_first = full_from;
    if (all_first < c.max_disparity) all_first = c.max_disparity;
    if (all_end > end) all_end = end;
  }

  clear_row(out, W);
  int pending = -1;  // the pixel whose winner is still to be found
  double* pending_A = nullptr;
  const WindowBlock* pending_window = nullptr;
  int pending_count = 0;
  WindowEstimate pending_estimate{};
  for (int x = c.first_column; x < W; ++x) {
    if (!pixel_processed(c, x, y)) continue;
    // the valid blocks, in block order, with their left weights and disparity ranges (in the
    // slot the pending pixel does not use: its winner may read its blocks)
    WindowBlock* window = s.window + (pending_window == s.window ? nb : 0);
    int count = 0;
    if (all_first <= x && x < all_end) {
      for (int i = 0; i < listed; ++i) {
        const RowBlock& b = s.row_blocks[i];
        window[i] = WindowBlock{b.costs[x + b.dx], b.right_weights - x, b.left_weights[x], c.max_disparity};
      }
      count = listed;
    } else {
      for (int i = 0; i < listed; ++i) {
        const RowBlock& b = s.row_blocks[i];
        if (x < b.first || x >= b.end) continue;
        int last = x + b.dx - r;
        if (last > x) last = x;
        if (last > c.max_disparity) last = c.max_disparity;
        if (last < 0) continue;
        window[count++] = WindowBlock{b.costs[x + b.dx], b.right_weights - x, b.left_weights[x], last};
      }
    }
    // this pixel's sums, then the winner of the one before, whose data are ready by now
    double* A = s.costs + (pending_A == s.costs ? window_scratch_doubles(ndisp) : 0);  // not the pending one's
    const WindowEstimate estimate = window_sums_here(window, count, ndisp, A);
    if (pending >= 0)
      finish_pixel(c, s, out, pending, window_winner_here(pending_window, pending_count, pending_A, ndisp, pending_estimate),
                   pending_A);
    pending = x;
    pending_A = A;
    pending_window = window;
    pending_count = count;
    pending_estimate = estimate;
  }
  if (pending >= 0)
    finish_pixel(c, s, out, pending, window_winner_here(pending_window, pending_count, pending_A, ndisp, pending_estimate),
                 pending_A);
}

}  // namespace

const KernelTable kTable = {ONDREL_SIMD_SHORTS, cost_volume_rows<ONDREL_SIMD_SHORTS, int16_t>,
                             cost_volume_rows<ONDREL_SIMD_SHORTS, int32_t>, aggregate_row};

}  // namespace ONDREL_SIMD_ISA
}  // namespace simd
}  // namespace ondrel
