// The refined pipeline's kernels (see KernelTable::semi_global_row_paths, semi_global_column_paths,
// semi_global_costs, semi_global_census and semi_global_winners):
// 16-bit path costs, N lanes of disparities at a time. Included by kernels.simd.h inside the
// unit's namespaces.

// M lanes from k on of the path costs L(p, k) of a pixel p (see SemiGlobalRowPaths): from q's
// (`previous`, null where the path enters at p) with P1, jump = lowest(q) + P2 and base =
// lowest(q) in every lane, stored at current + k and returned in `l`; `low` takes their lowest.
// kFollows: `previous` is known not null.
template <int M, bool kFollows>
[[gnu::always_inline]] inline void path_lanes(const uint8_t* cost, const int16_t* previous, int16_t* current, int k,
                                              const Vec<int16_t, M>& P1, const Vec<int16_t, M>& jump,
                                              const Vec<int16_t, M>& base, Vec<int16_t, M>& low, Vec<int16_t, M>& l) {
  widen<M>(l, cost + k);
  if (kFollows || previous) {
    Vec<int16_t, M> a, b, e;
    load(a, previous + k - 1);
    load(b, previous + k);
    load(e, previous + k + 1);
    lower<M>(a, a, e);
    a += P1;
    lower<M>(a, a, b);
    lower<M>(a, a, jump);
    l += a - base;
  }
  store(current + k, l);
  lower<M>(low, low, l);
}

// The splats of a path's step at one pixel: N lanes and, where N is wider, the 16 of the tail.
template <int N>
struct PathSplats {
  Vec<int16_t, N> jump, base;
  Vec<int16_t, 16> jump16, base16;
  [[gnu::always_inline]] void set(int lowest, int large) {
    splat<int16_t, N>(jump, static_cast<int16_t>(lowest + large));
    splat<int16_t, N>(base, static_cast<int16_t>(lowest));
    if constexpr (N > 16) {
      splat<int16_t, 16>(jump16, static_cast<int16_t>(lowest + large));
      splat<int16_t, 16>(base16, static_cast<int16_t>(lowest));
    }
  }
};

// One step of a path along the row: L of pixel p into current[0 .. Dp-1] from q's (`previous`,
// null where the path enters) with lowest(q) and P2 `large`, added to sums[0 .. Dp-1]; returns
// lowest(p). Dp is a multiple of 16: vectors of N lanes, then one of 16 where N is wider and
// lanes are left.
template <int N, bool kFollows>
[[gnu::always_inline]] inline int row_step(const uint8_t* cost, const int16_t* previous, int16_t* current,
                                           int16_t* sums, int Dp, const Vec<int16_t, N>& P1,
                                           const Vec<int16_t, 16>& P1_16, int lowest, int large) {
  PathSplats<N> s;
  s.set(previous ? lowest : 0, previous ? large : 0);
  Vec<int16_t, N> low, l, sum;
  splat<int16_t, N>(low, kSemiGlobalOutside);
  int k = 0;
  for (; k + N <= Dp; k += N) {
    path_lanes<N, kFollows>(cost, previous, current, k, P1, s.jump, s.base, low, l);
    load(sum, sums + k);
    sum += l;
    store(sums + k, sum);
  }
  int result = lowest_lane<N>(low);
  if constexpr (N > 16) {
    if (k < Dp) {
      Vec<int16_t, 16> low16, l16, sum16;
      splat<int16_t, 16>(low16, kSemiGlobalOutside);
      path_lanes<16, kFollows>(cost, previous, current, k, P1_16, s.jump16, s.base16, low16, l16);
      load(sum16, sums + k);
      sum16 += l16;
      store(sums + k, sum16);
      const int t = lowest_lane<16>(low16);
      result = t < result ? t : result;
    }
  }
  return result;
}

// Both paths along a row (see KernelTable): the one from the left end and the one from the
// right end a pixel each in turn, two chains of steps for the processor to overlap.
template <int N>
void semi_global_row_paths(const uint8_t* cost, int W, int Dp, int p1, const int16_t* large, int16_t* scratch,
                           int16_t* sums) {
  const size_t span = static_cast<size_t>(Dp) + 2, dp = static_cast<size_t>(Dp);
  int16_t* forward[2] = {scratch + 1, scratch + span + 1};
  int16_t* backward[2] = {scratch + 2 * span + 1, scratch + 3 * span + 1};
  for (int j = 0; j < 2; ++j) forward[j][-1] = forward[j][Dp] = backward[j][-1] = backward[j][Dp] = kSemiGlobalOutside;
  Vec<int16_t, N> P1;
  Vec<int16_t, 16> P1_16;
  splat<int16_t, N>(P1, static_cast<int16_t>(p1));
  splat<int16_t, 16>(P1_16, static_cast<int16_t>(p1));
  const size_t last = static_cast<size_t>(W - 1);
  int forward_lowest = row_step<N, false>(cost, nullptr, forward[0], sums, Dp, P1, P1_16, 0, 0);
  int backward_lowest = row_step<N, false>(cost + last * dp, nullptr, backward[0], sums + last * dp, Dp, P1, P1_16, 0, 0);
  for (int i = 1; i < W; ++i) {
    const size_t f = static_cast<size_t>(i), b = last - f;
    forward_lowest = row_step<N, true>(cost + f * dp, forward[(i - 1) & 1], forward[i & 1], sums + f * dp, Dp, P1, P1_16,
                                 forward_lowest, large[f - 1]);
    backward_lowest = row_step<N, true>(cost + b * dp, backward[(i - 1) & 1], backward[i & 1], sums + b * dp, Dp, P1, P1_16,
                                  backward_lowest, large[b]);
  }
}

// M lanes from k on of pixel x of the column paths (see KernelTable): each path's L from its
// previous pixel's (null: the path enters, unless kFollows), their sum with add's or
// add_bytes' (null: 0) into sums, or cut to bytes into keep_bytes.
template <int M, int P, bool kFollows>
[[gnu::always_inline]] inline void column_lanes(const uint8_t* cost, const int16_t* const* previous,
                                                int16_t* const* current, const int16_t* add, const uint8_t* add_bytes,
                                                int16_t* sums, uint8_t* keep_bytes, int k, const Vec<int16_t, M>& P1,
                                                const Vec<int16_t, M>* jump, const Vec<int16_t, M>* base,
                                                Vec<int16_t, M>* low) {
  Vec<int16_t, M> sum, l;
  if (add_bytes)
    widen<M>(sum, add_bytes + k);
  else if (add)
    load(sum, add + k);
  else
    sum = Vec<int16_t, M>{};
  for (int j = 0; j < P; ++j) {
    path_lanes<M, kFollows>(cost, previous[j], current[j], k, P1, jump[j], base[j], low[j], l);
    sum += l;
  }
  if (keep_bytes)
    narrow<M>(keep_bytes + k, sum);
  else
    store(sums + k, sum);
}

// Pixel x of P column paths: `previous` null where a path enters (never with kFollows).
template <int N, int P, bool kFollows>
[[gnu::always_inline]] inline void column_pixel(const uint8_t* cost, const int16_t* const* previous,
                                                const int* lowest, const int* large, int16_t* const* current,
                                                int16_t* lowest_now, const int16_t* add, const uint8_t* add_bytes,
                                                int16_t* sums, uint8_t* keep_bytes, int Dp,
                                                const Vec<int16_t, N>& P1, const Vec<int16_t, 16>& P1_16) {
  Vec<int16_t, N> jump[P], base[P], low[P];
  Vec<int16_t, 16> jump16[P], base16[P], low16[P];
  for (int j = 0; j < P; ++j) {
    const bool follows = kFollows || previous[j];
    const int l = follows ? lowest[j] : 0, m = follows ? lowest[j] + large[j] : 0;
    splat<int16_t, N>(jump[j], static_cast<int16_t>(m));
    splat<int16_t, N>(base[j], static_cast<int16_t>(l));
    splat<int16_t, N>(low[j], kSemiGlobalOutside);
    splat<int16_t, 16>(jump16[j], static_cast<int16_t>(m));
    splat<int16_t, 16>(base16[j], static_cast<int16_t>(l));
    splat<int16_t, 16>(low16[j], kSemiGlobalOutside);
  }
  int k = 0;
  for (; k + N <= Dp; k += N)
    column_lanes<N, P, kFollows>(cost, previous, current, add, add_bytes, sums, keep_bytes, k, P1, jump, base, low);
  for (int j = 0; j < P; ++j) lowest_now[j] = static_cast<int16_t>(lowest_lane<N>(low[j]));
  if constexpr (N > 16) {
    if (k < Dp) {
      column_lanes<16, P, kFollows>(cost, previous, current, add, add_bytes, sums, keep_bytes, k, P1_16, jump16, base16,
                                    low16);
      for (int j = 0; j < P; ++j) {
        const int t = lowest_lane<16>(low16[j]);
        if (t < lowest_now[j]) lowest_now[j] = static_cast<int16_t>(t);
      }
    }
  }
}

template <int N, int P>
void column_paths(const uint8_t* cost, int W, int Dp, int p1, const SemiGlobalColumns& c, const int16_t* add,
                  int16_t* sums) {
  static constexpr int kDx[3] = {0, 1, -1};
  Vec<int16_t, N> P1;
  Vec<int16_t, 16> P1_16;
  splat<int16_t, N>(P1, static_cast<int16_t>(p1));
  splat<int16_t, 16>(P1_16, static_cast<int16_t>(p1));
  const size_t span = static_cast<size_t>(c.span), dp = static_cast<size_t>(Dp);
  const uint8_t* const add_bytes = c.add_bytes;
  uint8_t* const keep_bytes = c.keep_bytes;
  for (int x = 0; x < W; ++x) {
    const int16_t* previous[P];
    int16_t* current[P];
    int lowest[P], large[P];
    int16_t lowest_now[P];
    for (int j = 0; j < P; ++j) {
      const int q = x - kDx[j];
      const bool enters = !c.before[0] || q < 0 || q >= W;
      previous[j] = enters ? nullptr : c.before[j] + static_cast<size_t>(q) * span;
      lowest[j] = enters ? 0 : c.lowest_before[j][q];
      large[j] = enters ? 0 : c.large[j][x];
      current[j] = c.now[j] + static_cast<size_t>(x) * span;
    }
    const size_t at = static_cast<size_t>(x) * dp;
    // the sums added come from memory (a band's body of them outgrows the caches): asked for
    // 16 pixels ahead, which the processor's own prefetch does not do well enough
    if (add)
      for (size_t b = 0; b < 2 * dp; b += 64) __builtin_prefetch(reinterpret_cast<const char*>(add + at + 16 * dp) + b);
    if (add_bytes)
      for (size_t b = 0; b < dp; b += 64) __builtin_prefetch(add_bytes + at + 16 * dp + b);
    // the pixels where every path comes from the row before, and those where one enters
    if (c.before[0] && x > 0 && x < W - 1)
      column_pixel<N, P, true>(cost + at, previous, lowest, large, current, lowest_now, add ? add + at : nullptr,
                               add_bytes ? add_bytes + at : nullptr, sums ? sums + at : nullptr,
                               keep_bytes ? keep_bytes + at : nullptr, Dp, P1, P1_16);
    else
      column_pixel<N, P, false>(cost + at, previous, lowest, large, current, lowest_now, add ? add + at : nullptr,
                                add_bytes ? add_bytes + at : nullptr, sums ? sums + at : nullptr,
                                keep_bytes ? keep_bytes + at : nullptr, Dp, P1, P1_16);
    for (int j = 0; j < P; ++j) c.lowest_now[j][x] = lowest_now[j];
  }
}

template <int N>
void semi_global_column_paths(const uint8_t* cost, int W, int Dp, int p1, const SemiGlobalColumns& columns,
                              const int16_t* add, int16_t* sums) {
  if (columns.paths == 1)
    column_paths<N, 1>(cost, W, Dp, p1, columns, add, sums);
  else
    column_paths<N, 3>(cost, W, Dp, p1, columns, add, sums);
}

// The pixel costs of one row.
void semi_global_costs(const uint64_t* left, const uint64_t* right, int W, int D, int Dp, uint8_t* cost) {
  for (int x = 0; x < W; ++x) {
    uint8_t* c = cost + static_cast<std::ptrdiff_t>(x) * Dp;
    const uint64_t l = left[x];
    const uint64_t* r = right + x + D - 1;
    int k = 0;
    for (; k + 8 <= D; k += 8) hamming8(c + k, l, r - k);
    for (; k < D; ++k) c[k] = static_cast<uint8_t>(__builtin_popcountll(l ^ r[-k]));
    for (; k < Dp; ++k) c[k] = kSemiGlobalPadding;
  }
}

// The census strings of N pixels from column x on, into out[0 .. N-1]: the 62 bits in four
// 16-bit groups, each one compare and mask per neighbour over the N pixels, kept in a
// register, then widened and joined per pixel.
template <int N>
[[gnu::always_inline]] inline void census_lanes(const int16_t* const* rows, int x, uint64_t* out) {
  Vec<int16_t, N> centre, r, bit;
  load(centre, rows[3] + x);
  int16_t groups[4][N];
  for (int g = 0; g < 4; ++g) {
    Vec<int16_t, N> bits{};
    for (int i = 0; i < 16 && 16 * g + i < 62; ++i) {
      const int p = 16 * g + i + (16 * g + i >= 31);  // the window position, the centre skipped
      load(r, rows[p / 9] + x + p % 9 - 4);
      splat<int16_t, N>(bit, static_cast<int16_t>(static_cast<uint16_t>(1u << i)));
      bits |= (r < centre) & bit;
    }
    store(groups[g], bits);
  }
  for (int j = 0; j < N; ++j)
    out[j] = static_cast<uint64_t>(static_cast<uint16_t>(groups[0][j])) |
             static_cast<uint64_t>(static_cast<uint16_t>(groups[1][j])) << 16 |
             static_cast<uint64_t>(static_cast<uint16_t>(groups[2][j])) << 32 |
             static_cast<uint64_t>(static_cast<uint16_t>(groups[3][j])) << 48;
}

// The census strings of a row's columns begin .. end - 1 (see KernelTable).
template <int N>
void semi_global_census(const int16_t* const* rows, int begin, int end, uint64_t* out) {
  if (end - begin < N) {
    for (int x = begin; x < end; ++x) {
      uint64_t bits = 0;
      for (int p = 0, k = 0; p < 63; ++p)
        if (p != 31) bits |= static_cast<uint64_t>(rows[p / 9][x + p % 9 - 4] < rows[3][x]) << k++;
      out[x] = bits;
    }
    return;
  }
  int x = begin;
  for (; x + N <= end; x += N) census_lanes<N>(rows, x, out + x);
  // the last pixels in a block that ends at the row's end, over some done already
  if (x < end) census_lanes<N>(rows, end - N, out + end - N);
}

// One vector of a pixel's sums, lanes k .. k + N - 1 (`index`), into the running state of its
// lanes: per lane j, over the sums of lanes j, j + N, j + 2N, ... seen so far, the lowest
// (`low`), its first lane number (`at`) and the lowest of the others (`other`: equal to low
// where that occurs twice). With `right`, the right view's lowest sums and their lanes
// (right_low, right_best from lane k of the pixel on) where the sum is lower.
template <int N>
[[gnu::always_inline]] inline void winners_lanes(const Vec<int16_t, N>& v, const Vec<int16_t, N>& index, bool right,
                                                 int16_t* right_low, int16_t* right_best, Vec<int16_t, N>& low,
                                                 Vec<int16_t, N>& at, Vec<int16_t, N>& other) {
  const Vec<int16_t, N> m = v < low;
  Vec<int16_t, N> h;
  higher<N>(h, low, v);
  lower<N>(other, other, h);
  lower<N>(low, low, v);
  at = (index & m) | (at & ~m);
  if (right) lower_into<N>(right_low, right_best, v, index);
}

// One pass over each pixel's D sums, N lanes at a time (the last vector's lanes from D on read
// as 0x7FFF: they never win), keeping per lane the lowest, its first lane and the lowest of the
// rest. Then lowest and best = the lowest pair (`low`, `at`) of the lanes, in one reduction;
// every lane holds at most one lane number within best +- 1 (they lie N >= 8 apart), so the
// second lowest away from best +- 1 is `other` of the lanes whose `at` lies there and `low` of
// the rest.
template <int N>
void semi_global_winners(const int16_t* sums, int W, int d_min, int D, int Dp, int16_t* right_low, int16_t* right_best,
                         int16_t* best, int16_t* lowest, int16_t* second) {
  right_low += kSemiGlobalWinnersPad;
  right_best += kSemiGlobalWinnersPad;
  for (int j = -kSemiGlobalWinnersPad; j < W + kSemiGlobalWinnersPad; ++j) right_low[j] = 0x7FFF, right_best[j] = -1;
  Vec<int16_t, N> first, step, top, zero{};
  lane_numbers<N>(first, 0);
  splat<int16_t, N>(step, static_cast<int16_t>(N));
  splat<int16_t, N>(top, 0x7FFF);
  for (int x = 0; x < W; ++x) {
    const int16_t* s = sums + static_cast<std::ptrdiff_t>(x) * Dp;
    // lanes k_begin .. k_end - 1 meet right columns inside the image; lane k is the right
    // column x - d_min - k, at reversed index base + k (the pads take the lanes beside them)
    const int k_begin = x - d_min - (W - 1) > 0 ? x - d_min - (W - 1) : 0;
    const int k_end = x - d_min + 1 < D ? x - d_min + 1 : D;
    int16_t* const low_at = right_low + (W - 1 - x + d_min);
    int16_t* const best_at = right_best + (W - 1 - x + d_min);
    Vec<int16_t, N> v, index = first, low = top, at = zero, other = top;
    int k = 0;
    for (; k + N <= D; k += N) {
      load(v, s + k);
      winners_lanes<N>(v, index, k < k_end && k + N > k_begin, low_at + k, best_at + k, low, at, other);
      index += step;
    }
    if (k < D) {
      load_first<N>(v, s + k, D - k, 0x7FFF);
      winners_lanes<N>(v, index, k < k_end && k + N > k_begin, low_at + k, best_at + k, low, at, other);
    }
    const int pair = lowest_pair<N>(low, at), l = pair >> 16, b = pair & 0xFFFF;
    Vec<int16_t, N> m, candidate, from, to;
    splat<int16_t, N>(from, static_cast<int16_t>(b - 1));
    splat<int16_t, N>(to, static_cast<int16_t>(b + 1));
    m = (at >= from) & (at <= to);
    candidate = (other & m) | (low & ~m);
    best[x] = static_cast<int16_t>(b);
    lowest[x] = static_cast<int16_t>(l);
    second[x] = static_cast<int16_t>(lowest_lane<N>(candidate));
  }
}

// NF pixels of semi_global_pick in 32-bit lanes: the same integer and float operations as
// one pixel at a time, every lane's divisions done and the lanes that take neither kept out
// afterwards (their divisions by 0 never reach the output).
template <int NF>
[[gnu::always_inline]] inline void pick_lanes(const int16_t* best, const int16_t* lowest, const int16_t* second,
                                              const int16_t* below, const int16_t* above, const int16_t* match, int d_min,
                                              int D, int uniqueness, int tolerance, float* disparity, float* margin) {
  using I = Vec<int, NF>;
  using F = Vec<float, NF>;
  Vec<int16_t, NF> h;
  I b, l, s, lo, hi, r, zero{}, top, edge, keep, hundred, tol, low_tol, base;
  load(h, best), b = __builtin_convertvector(h, I);
  load(h, lowest), l = __builtin_convertvector(h, I);
  load(h, second), s = __builtin_convertvector(h, I);
  load(h, below), lo = __builtin_convertvector(h, I);
  load(h, above), hi = __builtin_convertvector(h, I);
  load(h, match), r = __builtin_convertvector(h, I);
  splat<int, NF>(top, 0x7FFF);
  splat<int, NF>(edge, D - 1);
  splat<int, NF>(keep, 100 - uniqueness);
  splat<int, NF>(hundred, 100);
  splat<int, NF>(tol, tolerance);
  splat<int, NF>(low_tol, -tolerance);
  splat<int, NF>(base, d_min);
  I ok = (s == top) | (s * keep >= l * hundred);
  if (tolerance >= 0) ok &= (r >= zero) & (r - b <= tol) & (r - b >= low_tol);
  const I denominator = lo + hi - (l + l);
  const I fits = (b > zero) & (b < edge) & (denominator > zero);
  const F offset = __builtin_convertvector(lo - hi, F) / __builtin_convertvector(denominator + denominator, F);
  const F value = __builtin_convertvector(b + base, F) + reinterpret_cast<F>(reinterpret_cast<I>(offset) & fits);
  const I whole = (s == top) | (s == zero);
  const F ratio = __builtin_convertvector(s - l, F) / __builtin_convertvector(s, F);
  F one, nan;
  splat<float, NF>(one, 1.0f);
  splat<float, NF>(nan, __builtin_nanf(""));
  const I m = (reinterpret_cast<I>(one) & whole) | (reinterpret_cast<I>(ratio) & ~whole);
  store(disparity, reinterpret_cast<F>((reinterpret_cast<I>(value) & ok) | (reinterpret_cast<I>(nan) & ~ok)));
  if (margin) store(margin, reinterpret_cast<F>(m & ok));
}

// NF pixels at a time; the last part through copies of NF lanes.
template <int NF>
void semi_global_pick(const int16_t* best, const int16_t* lowest, const int16_t* second, const int16_t* below,
                      const int16_t* above, const int16_t* match, int W, int d_min, int D, int uniqueness, int tolerance,
                      float* disparity, float* margin) {
  int x = 0;
  for (; x + NF <= W; x += NF)
    pick_lanes<NF>(best + x, lowest + x, second + x, below + x, above + x, match + x, d_min, D, uniqueness, tolerance,
                   disparity + x, margin ? margin + x : nullptr);
  if (x < W) {
    int16_t in[6][NF] = {};
    float out[2][NF];
    const int16_t* const from[6] = {best, lowest, second, below, above, match};
    for (int a = 0; a < 6; ++a)
      for (int j = 0; x + j < W; ++j) in[a][j] = from[a][x + j];
    pick_lanes<NF>(in[0], in[1], in[2], in[3], in[4], in[5], d_min, D, uniqueness, tolerance, out[0], out[1]);
    for (int j = 0; x + j < W; ++j) {
      disparity[x + j] = out[0][j];
      if (margin) margin[x + j] = out[1][j];
    }
  }
}
