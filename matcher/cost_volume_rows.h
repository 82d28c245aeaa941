// The fast cost volume kernel, compiled once per vector width: cost_volume.cpp (SSE2, or
// generic vectors elsewhere), cost_volume_avx2.cpp (-mavx2) and cost_volume_avx512.cpp
// (-mavx512f -mavx512bw); cost_volume.cpp picks one at run time (simd_width_bits).
//
// Running sums as in the straightforward version (tests/support/reference.h): a column sum per column and a window sum
// (integer sums, so any order of the additions gives the same values), but each pixel's
// whole update is one loop over the disparities, the right row is read from a
// column-reversed copy so that consecutive disparities read consecutive values, and the
// sums are kept in 16 bits wherever no sum can pass 32767.
//
// The same kernel computes census costs (CostVolumeInputs::census): the rows it reads are then
// census images (matcher/census.cpp: 3 bytes of census bits per pixel, in the layout of a
// colour image) and a pixel cost is the number of bits that differ, summed over the 3 bytes
// (0 .. 24), in the same 16-bit lanes; the running sums do not change.
//
// Its helpers sit in an unnamed namespace on purpose: every unit gets its own copy built for
// its own instruction set. For the same reason this header includes no library header with
// inline functions beyond <cstring> and the intrinsics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

// The rows and sizes the fast kernel works with. The right rows are column-reversed copies
// ("reversed rows"): channel c of a reversed row holds, at index m, channel c of right column
// max(W - 1 - m, 0), so that the right pixel of left column x at element k, column
// max(x - d0 - k, 0), lies at index W - 1 - x + d0 + k: consecutive elements, consecutive
// values. The values are widened to 16 bits, the lanes all pixel costs are computed in.
// The loops over the disparities run over whole vectors of L elements, on working vectors
// padded to a multiple of L (Dp); the padding lanes compute costs of further disparities
// that are never stored, so no loop has a remainder.
struct CostVolumeInputs {
  const unsigned char* left;
  size_t left_stride;
  const unsigned char* right;
  size_t right_stride;
  int W, D, d0, T;         // T here is min(T, 765): the same truncation of a sum of three bytes
  int Dp;                  // D rounded up to a multiple of the vector length
  size_t reversed_length;  // values per channel of a reversed row: W + d0 + Dp
  bool census = false;     // the rows are census images: Hamming distances instead of TAD
};

// Working storage of the fast kernel.
template <typename Sum>
struct CostVolumeStorage {
  Sum* S;             // column sums, W vectors of Dp, column x at x * Dp
  Sum* A;             // window sum, Dp
  int16_t* reversed;  // reversed rows, a ring of reversed_rows(r, H) rows of 3 * reversed_length
                      // values: row y at slot y % reversed_rows(r, H)
};

// Rows in the ring of reversed rows: every row from the leaving one to the entering one
// (2r + 2 rows) stays in it, each reversed once when it enters.
inline int reversed_rows(int r, int H) { return 2 * r + 2 < H ? 2 * r + 2 : H; }

namespace {

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

// Vectors of L lanes (GCC/clang vector extensions: the compiler maps them onto the unit's
// registers, two or more registers per vector where one is too narrow).
template <int L>
struct Lanes {
  typedef int16_t Short __attribute__((vector_size(2 * L)));
  typedef int32_t Int __attribute__((vector_size(4 * L)));
};

// cost = the pixel costs of left column x in `row` at elements k0 .. k0+L-1, in 16 bits
// (bytes, their differences and sums up to 765 all fit). Vectors go through references: no
// vector is passed or returned by value, so no call depends on the vector ABI. kCensus: the
// bits set in left XOR right per byte, counted in the lanes (pairs, nibbles, then the two
// nibbles), summed over the 3 bytes; T (24 then) cuts nothing.
template <int L, bool kCensus>
[[gnu::always_inline]] inline void pixel_costs(typename Lanes<L>::Short& cost, const CostVolumeInputs& in,
                                               const CostRow& row, int x, int k0) {
  typedef typename Lanes<L>::Short Short;
  const unsigned char* p = row.left + 3 * static_cast<size_t>(x);
  const int16_t* q = row.reversed + (static_cast<size_t>(in.W) - 1 - static_cast<size_t>(x)) +
                     static_cast<size_t>(in.d0) + static_cast<size_t>(k0);
  Short sum = {};
  for (int c = 0; c < 3; ++c) {
    Short right;
    std::memcpy(&right, q + static_cast<size_t>(c) * in.reversed_length, sizeof right);
    if constexpr (kCensus) {
      Short bits = (Short{} + static_cast<int16_t>(p[c])) ^ right;
      bits = bits - ((bits >> 1) & 0x55);
      bits = (bits & 0x33) + ((bits >> 2) & 0x33);
      sum += (bits + (bits >> 4)) & 0x0F;
    } else {
      const Short diff = (Short{} + static_cast<int16_t>(p[c])) - right;
      sum += diff < 0 ? -diff : diff;
    }
  }
  const Short T = Short{} + static_cast<int16_t>(in.T);
  cost = (sum < T ? sum : T) & static_cast<int16_t>(row.mask);
}

// diff = cost(x, e, k) - cost(x, l, k) at elements k0 .. k0+L-1.
template <int L, bool kCensus>
[[gnu::always_inline]] inline void cost_difference(typename Lanes<L>::Short& diff, const CostVolumeInputs& in,
                                                   const CostRow& e, const CostRow& l, int x, int k0) {
  typename Lanes<L>::Short leaving;
  pixel_costs<L, kCensus>(diff, in, e, x, k0);
  pixel_costs<L, kCensus>(leaving, in, l, x, k0);
  diff -= leaving;
}

// Running sums in Sum lanes: int32_t always, or int16_t where no sum can pass 32767.
template <int L, typename Sum>
struct SumLanes {
  typedef Sum V __attribute__((vector_size(sizeof(Sum) * L)));
};

template <int L, typename Sum>
[[gnu::always_inline]] inline void load_sums(typename SumLanes<L, Sum>::V& v, const Sum* p) {
  std::memcpy(&v, p, sizeof v);
}

template <int L, typename Sum>
[[gnu::always_inline]] inline void store_sums(Sum* p, const typename SumLanes<L, Sum>::V& v) {
  std::memcpy(p, &v, sizeof v);
}

// Column sum update: S[k] += cost(x, e, k) - cost(x, l, k).
template <int L, typename Sum, bool kCensus>
[[gnu::always_inline]] inline void update_column(Sum* S, const CostVolumeInputs& in, const CostRow& e, const CostRow& l,
                                                 int x) {
  typedef typename SumLanes<L, Sum>::V V;
  for (int k0 = 0; k0 < in.Dp; k0 += L) {
    typename Lanes<L>::Short diff;
    cost_difference<L, kCensus>(diff, in, e, l, x, k0);
    V column;
    load_sums<L, Sum>(column, S + k0);
    store_sums<L, Sum>(S + k0, column + __builtin_convertvector(diff, V));
  }
}

// out[0 .. n-1] = the sums a[0 .. n-1] as ints, 0 < n <= L. Where the unit has them, the
// widening and the masked stores of the last part are named: through memory, each vector
// would be spilled and read back, and a copy would stall on the vector just written.
template <int L, typename Sum>
[[gnu::always_inline]] inline void store_as_ints(int* out, const typename SumLanes<L, Sum>::V& a, int n) {
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
  const typename Lanes<L>::Int wide = __builtin_convertvector(a, typename Lanes<L>::Int);
  if (n >= L)
    std::memcpy(out, &wide, sizeof wide);
  else
    for (int j = 0; j < n; ++j) out[j] = wide[j];
}

template <int L, typename Sum, bool kCensus, bool kEnter, bool kLeave>
[[gnu::always_inline]] inline void slide(Sum* __restrict A, Sum* __restrict entering, const Sum* __restrict leaving,
                                         int* __restrict out, const CostVolumeInputs& in, const CostRow& e,
                                         const CostRow& l, int x_entering) {
  typedef typename SumLanes<L, Sum>::V V;
  for (int k0 = 0; k0 < in.Dp; k0 += L) {
    // the leaving column first: then no sum in between spans more than one window
    V a;
    load_sums<L, Sum>(a, A + k0);
    if (kLeave) {
      V left_column;
      load_sums<L, Sum>(left_column, leaving + k0);
      a -= left_column;
    }
    if (kEnter) {
      typename Lanes<L>::Short diff;
      cost_difference<L, kCensus>(diff, in, e, l, x_entering, k0);
      V column;
      load_sums<L, Sum>(column, entering + k0);
      column += __builtin_convertvector(diff, V);
      store_sums<L, Sum>(entering + k0, column);
      a += column;
    }
    store_sums<L, Sum>(A + k0, a);
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
  const int ring = reversed_rows(r, H);
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
inline void cost_volume_rows(const CostVolumeInputs& in, int H, int r, int* const* const* rows,
                             const CostVolumeStorage<Sum>& st, int y_begin, int y_end, bool resume) {
  if (in.census)
    cost_volume_rows_of<L, Sum, true>(in, H, r, rows, st, y_begin, y_end, resume);
  else
    cost_volume_rows_of<L, Sum, false>(in, H, r, rows, st, y_begin, y_end, resume);
}

}  // namespace

// The kernel per vector width (lanes of 16 bits: 8, 16, 32) and sum type, all with the
// contract of cost_volume_rows: `in` and `st` as set up in cost_volume.cpp, every pointer of
// rows[y_begin .. y_end-1] to D writable ints. The AVX2 and AVX-512 ones exist in x86-64
// builds (ONDREL_SIMD_X86); call them only on a CPU that has those instructions.
#define ONDREL_COST_ROWS(name, Sum)                                                                        \
  void name(const CostVolumeInputs& in, int H, int r, int* const* const* rows, const CostVolumeStorage<Sum>& st, \
            int y_begin, int y_end, bool resume)
ONDREL_COST_ROWS(cost_volume_rows_sse2, int16_t);
ONDREL_COST_ROWS(cost_volume_rows_sse2, int32_t);
ONDREL_COST_ROWS(cost_volume_rows_avx2, int16_t);
ONDREL_COST_ROWS(cost_volume_rows_avx2, int32_t);
ONDREL_COST_ROWS(cost_volume_rows_avx512, int16_t);
ONDREL_COST_ROWS(cost_volume_rows_avx512, int32_t);
