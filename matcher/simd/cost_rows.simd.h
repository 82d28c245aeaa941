// The cost rows, for one instruction set, by running sums: a column sum per column and a
// window sum (integer sums, so any order of the additions gives the values of the
// straightforward block sums, tests/support/reference.h); each pixel's whole update is one
// loop over the disparities, each row's pixel costs are worked out once and kept until the
// row leaves the window (where that ring fits kKeptPixelCostBytes), the right row is read
// from a column-reversed copy so that consecutive disparities read consecutive values, and
// the sums, and the costs written, are 16-bit wherever no sum can pass 32767. The same kernel
// computes census costs (CostVolumeInputs::census): the rows it reads are then census images
// (matcher/census.cpp: 3 bytes of census bits per pixel, in the layout of a colour image) and
// a pixel cost is the number of bits that differ, summed over the 3 bytes (0 .. 24), in the
// same 16-bit lanes; the running sums do not change.
// Included by matcher/simd/kernels.simd.h only, inside ondrel::internal::simd::<ISA> and its unnamed
// namespace, after the vector layer (matcher/simd/vec.h): it includes nothing itself.

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
  int mask;            // -1 present, 0 absent
  int16_t* costs;      // its pixel costs in the ring (CostVolumeStorage::pixel_costs): kept
                       // there when it enters if present, read back when it leaves
};

// The three bytes of left column x of `row`, read once per column: the 16-bit stores of the
// loop over the disparities could change any byte (a byte may alias anything), so the
// compiler would read them again for every vector.
struct LeftPixel {
  int16_t c[3];
};
inline LeftPixel left_pixel(const CostRow& row, int x) {
  const unsigned char* p = row.left + 3 * static_cast<size_t>(x);
  return LeftPixel{{p[0], p[1], p[2]}};
}

// cost = the pixel costs of left column x in `row` (its bytes p) at elements k0 .. k0+L-1,
// in 16 bits (bytes, their differences and sums up to 765 all fit). Vectors go through
// references: no vector is passed or returned by value, so no call depends on the vector
// ABI. kCensus: the bits set in left XOR right per byte, counted in the lanes (pairs,
// nibbles, then the two nibbles), summed over the 3 bytes; T (24 then) cuts nothing.
template <int L, bool kCensus>
[[gnu::always_inline]] inline void pixel_costs(Vec<int16_t, L>& cost, const CostVolumeInputs& in,
                                               const CostRow& row, const LeftPixel& p, int x, int k0) {
  typedef Vec<int16_t, L> Shorts;
  const int16_t* q = row.reversed + (static_cast<size_t>(in.W) - 1 - static_cast<size_t>(x)) +
                     static_cast<size_t>(in.d0) + static_cast<size_t>(k0);
  Shorts sum = {};
  for (int c = 0; c < 3; ++c) {
    Shorts right;
    load(right, q + static_cast<size_t>(c) * in.reversed_length);
    if constexpr (kCensus) {
      Shorts bits = (Shorts{} + p.c[c]) ^ right;
      bits = bits - ((bits >> 1) & 0x55);
      bits = (bits & 0x33) + ((bits >> 2) & 0x33);
      sum += (bits + (bits >> 4)) & 0x0F;
    } else {
      const Shorts diff = (Shorts{} + p.c[c]) - right;
      sum += diff < 0 ? -diff : diff;
    }
  }
  const Shorts T = Shorts{} + static_cast<int16_t>(in.T);
  cost = (sum < T ? sum : T) & static_cast<int16_t>(row.mask);
}

// diff = cost(x, e, k) - cost(x, l, k) at elements k0 .. k0+L-1. kKept: the entering row's
// costs are kept and the leaving row's read back from when it entered; otherwise both are
// worked out.
template <int L, bool kCensus, bool kKept>
[[gnu::always_inline]] inline void cost_difference(Vec<int16_t, L>& diff, const CostVolumeInputs& in,
                                                   const CostRow& e, const CostRow& l, const LeftPixel& pe,
                                                   const LeftPixel& pl, int x, int k0) {
  Vec<int16_t, L> leaving;
  pixel_costs<L, kCensus>(diff, in, e, pe, x, k0);
  if constexpr (kKept) {
    const size_t at = static_cast<size_t>(x) * static_cast<size_t>(in.Dp) + static_cast<size_t>(k0);
    if (e.mask) store(e.costs + at, diff);
    load(leaving, l.costs + at);
    leaving &= static_cast<int16_t>(l.mask);
  } else {
    pixel_costs<L, kCensus>(leaving, in, l, pl, x, k0);
  }
  diff -= leaving;
}

// Column sum update: S[k] += cost(x, e, k) - cost(x, l, k).
template <int L, typename Sum, bool kCensus, bool kKept>
[[gnu::always_inline]] inline void update_column(Sum* S, const CostVolumeInputs& in, const CostRow& e, const CostRow& l,
                                                 int x) {
  const LeftPixel pe = left_pixel(e, x), pl = left_pixel(l, x);
  for (int k0 = 0; k0 < in.Dp; k0 += L) {
    Vec<int16_t, L> diff;
    cost_difference<L, kCensus, kKept>(diff, in, e, l, pe, pl, x, k0);
    Vec<Sum, L> column;
    load(column, S + k0);
    store(S + k0, column + __builtin_convertvector(diff, Vec<Sum, L>));
  }
}

// out[0 .. n-1] = the sums a[0 .. n-1], 0 < n <= L, in the type of the sums (the cost rows
// have it). Nothing is written beyond n. Where the unit has them, the masked stores of the
// last part are named: through memory, the vector would be spilled and read back, and the
// copy would stall on the vector just written.
template <int L, typename Sum>
[[gnu::always_inline]] inline void store_costs(Sum* out, const Vec<Sum, L>& a, int n) {
  if (n >= L) {
    store(out, a);
    return;
  }
#if defined(__AVX512BW__)
  if constexpr (L == 32) {
    __m512i v[sizeof(Sum) / 2];
    std::memcpy(v, &a, sizeof v);
    if constexpr (sizeof(Sum) == 2) {
      _mm512_mask_storeu_epi16(out, static_cast<__mmask32>((1ull << n) - 1), v[0]);
    } else {
      const unsigned low = n >= 16 ? 0xFFFFu : (1u << n) - 1, high = n > 16 ? (1u << (n - 16)) - 1 : 0u;
      _mm512_mask_storeu_epi32(out, static_cast<__mmask16>(low), v[0]);
      _mm512_mask_storeu_epi32(out + 16, static_cast<__mmask16>(high), v[1]);
    }
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (L == 16) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256i v[sizeof(Sum) / 2];
    std::memcpy(v, &a, sizeof v);
    if constexpr (sizeof(Sum) == 2) {
      // pairs of costs as 32-bit lanes, then the odd last one
      _mm256_maskstore_epi32(reinterpret_cast<int*>(out), _mm256_cmpgt_epi32(_mm256_set1_epi32(n / 2), lane), v[0]);
      if (n % 2) out[n - 1] = a[n - 1];
    } else {
      _mm256_maskstore_epi32(out, _mm256_cmpgt_epi32(_mm256_set1_epi32(n), lane), v[0]);
      _mm256_maskstore_epi32(out + 8, _mm256_cmpgt_epi32(_mm256_set1_epi32(n - 8), lane), v[1]);
    }
    return;
  }
#endif
  for (int j = 0; j < n; ++j) out[j] = a[j];
}

template <int L, typename Sum, bool kCensus, bool kKept, bool kEnter, bool kLeave>
[[gnu::always_inline]] inline void slide(Sum* __restrict A, Sum* __restrict entering, const Sum* __restrict leaving,
                                         Sum* __restrict out, const CostVolumeInputs& in, const CostRow& e,
                                         const CostRow& l, int x_entering) {
  const LeftPixel pe = left_pixel(e, x_entering), pl = left_pixel(l, x_entering);
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
      cost_difference<L, kCensus, kKept>(diff, in, e, l, pe, pl, x_entering, k0);
      Vec<Sum, L> column;
      load(column, entering + k0);
      column += __builtin_convertvector(diff, Vec<Sum, L>);
      store(entering + k0, column);
      a += column;
    }
    store(A + k0, a);
    store_costs<L, Sum>(out + k0, a, in.D - k0);  // the last vector may reach past D
  }
}

// The kernel after allocation, for the output rows y_begin .. y_end-1: every row y with
// entering row y + r and leaving row y - r - 1, each counted while inside the image. Unless
// `resume` (the call before ended at y_begin with the same storage), the column sums are
// first rebuilt from rows y_begin - r - 1 .. y_begin + r - 1 (integer sums: the same values as
// when every row before had been run). rows[y][x] is where pixel (x, y)'s D costs go.
template <int L, typename Sum, bool kCensus, bool kKept>
[[gnu::always_inline]] inline void cost_volume_rows_of(const CostVolumeInputs& inputs, int H, int r,
                                                    Sum* const* const* rows, const CostVolumeStorage<Sum>& st,
                                                    int y_begin, int y_end, bool resume) {
  // a local copy: the stores through int pointers below could otherwise alias the caller's
  // ints, and every field would be read again after each store
  const CostVolumeInputs in = inputs;
  const int W = in.W, Dp = in.Dp;
  const size_t n = static_cast<size_t>(Dp), channels = 3 * in.reversed_length;
  const int ring = in.ring;
  const auto reversed = [&](int y) { return st.reversed + static_cast<size_t>(y % ring) * channels; };
  const auto kept = [&](int y) -> int16_t* {
    if constexpr (!kKept) return nullptr;
    return st.pixel_costs + static_cast<size_t>(y % ring) * static_cast<size_t>(W) * n;
  };
  const auto left_row = [&](int y) { return in.left + static_cast<size_t>(y) * in.left_stride; };
  const auto right_row = [&](int y) { return in.right + static_cast<size_t>(y) * in.right_stride; };
  const auto column = [&](int x) { return st.S + static_cast<size_t>(x) * n; };

  if (!resume) {
    // the column sums as they stand before row y_begin: rows y_begin - r - 1 .. y_begin + r - 1
    std::memset(st.S, 0, sizeof(Sum) * n * static_cast<size_t>(W));
    const int first = y_begin - r - 1 > 0 ? y_begin - r - 1 : 0;
    for (int y = first; y < y_begin + r && y < H; ++y) {
      reverse_right_row(reversed(y), in.reversed_length, right_row(y), W);
      const CostRow e{left_row(y), reversed(y), -1, kept(y)}, none{left_row(y), reversed(y), 0, kept(y)};
      for (int x = 0; x < W; ++x) update_column<L, Sum, kCensus, kKept>(column(x), in, e, none, x);
    }
  }

  for (int y = y_begin; y < y_end; ++y) {
    const int ye = y + r, yl = y - r - 1;
    const bool has_e = ye <= H - 1, has_l = yl >= 0;
    // an absent row reads the other one, masked to 0
    const int ye_read = has_e ? ye : has_l ? yl : 0, yl_read = has_l ? yl : ye_read;
    if (has_e) reverse_right_row(reversed(ye), in.reversed_length, right_row(ye), W);
    const CostRow e{left_row(ye_read), reversed(ye_read), has_e ? -1 : 0, kept(ye_read)};
    const CostRow l{left_row(yl_read), reversed(yl_read), has_l ? -1 : 0, kept(yl_read)};

    // columns 0 .. r are up to date before pixel 0, whose window they are
    for (int x = 0; x <= r; ++x) update_column<L, Sum, kCensus, kKept>(column(x), in, e, l, x);
    std::memcpy(st.A, column(0), sizeof(Sum) * n);
    for (int x = 1; x <= r; ++x) {
      const Sum* s = column(x);
      for (int k = 0; k < Dp; ++k) st.A[k] = static_cast<Sum>(st.A[k] + s[k]);
    }
    Sum* const* out = rows[y];
    for (int k = 0; k < in.D; ++k) out[0][k] = st.A[k];
    int x = 1;
    for (; x <= r && x + r <= W - 1; ++x)
      slide<L, Sum, kCensus, kKept, true, false>(st.A, column(x + r), nullptr, out[x], in, e, l, x + r);
    for (; x + r <= W - 1; ++x) slide<L, Sum, kCensus, kKept, true, true>(st.A, column(x + r), column(x - r - 1), out[x], in, e, l, x + r);
    for (; x <= W - 1; ++x) slide<L, Sum, kCensus, kKept, false, true>(st.A, nullptr, column(x - r - 1), out[x], in, e, l, 0);
  }
}

template <int L, typename Sum>
void cost_volume_rows(const CostVolumeInputs& in, int H, int r, Sum* const* const* rows,
                      const CostVolumeStorage<Sum>& st, int y_begin, int y_end, bool resume) {
  // (the pixel costs are kept where the storage has room for them: CostVolumeStorage)
  if (in.census) {
    if (st.pixel_costs)
      cost_volume_rows_of<L, Sum, true, true>(in, H, r, rows, st, y_begin, y_end, resume);
    else
      cost_volume_rows_of<L, Sum, true, false>(in, H, r, rows, st, y_begin, y_end, resume);
  } else {
    if (st.pixel_costs)
      cost_volume_rows_of<L, Sum, false, true>(in, H, r, rows, st, y_begin, y_end, resume);
    else
      cost_volume_rows_of<L, Sum, false, false>(in, H, r, rows, st, y_begin, y_end, resume);
  }
}
