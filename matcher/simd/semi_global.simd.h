// The refined pipeline's kernels (see KernelTable::semi_global_step, semi_global_costs and
// semi_global_census):
// 16-bit path costs, N lanes of disparities at a time. Included by kernels.simd.h inside the
// unit's namespaces.

// M lanes from k on; `low` takes their lowest path costs.
template <int M>
[[gnu::always_inline]] inline void semi_global_lanes(const uint8_t* cost, const int16_t* previous, int16_t* current,
                                                     const int16_t* add, int16_t* sums, int k, int p1, int jump_to,
                                                     int base_of, Vec<int16_t, M>& low) {
  Vec<int16_t, M> P1, jump, base, a, b, e, v, l, sum;
  splat<int16_t, M>(P1, static_cast<int16_t>(p1));
  splat<int16_t, M>(jump, static_cast<int16_t>(jump_to));
  splat<int16_t, M>(base, static_cast<int16_t>(base_of));
  Vec<uint8_t, M> bytes;
  load(bytes, cost + k);
  if (previous) {
    load(a, previous + k - 1);
    load(b, previous + k);
    load(e, previous + k + 1);
    lower<M>(a, a, e);
    a += P1;
    lower<M>(v, a, b);
    lower<M>(v, v, jump);
  } else {
    v = jump;
  }
  l = __builtin_convertvector(bytes, Vec<int16_t, M>) + v - base;
  store(current + k, l);
  if (sums) {
    if (add) {
      load(sum, add + k);
      sum += l;
    } else {
      sum = l;
    }
    store(sums + k, sum);
  }
  lower<M>(low, low, l);
}

// Dp is a multiple of 16 (refine's kDisparityLanes): vectors of N lanes, then one of 16 where
// N is wider and lanes are left.
template <int N>
int semi_global_step(const uint8_t* cost, const int16_t* previous, int16_t* current, const int16_t* add, int16_t* sums,
                     int Dp, int p1, int penalty, int lowest) {
  const int jump = previous ? lowest + penalty : 0, base = previous ? lowest : 0;
  Vec<int16_t, N> low;
  splat<int16_t, N>(low, kSemiGlobalOutside);
  int k = 0;
  for (; k + N <= Dp; k += N) semi_global_lanes<N>(cost, previous, current, add, sums, k, p1, jump, base, low);
  int result = lowest_lane<N>(low);
  if constexpr (N > 16) {
    if (k < Dp) {
      Vec<int16_t, 16> tail;
      splat<int16_t, 16>(tail, kSemiGlobalOutside);
      semi_global_lanes<16>(cost, previous, current, add, sums, k, p1, jump, base, tail);
      const int t = lowest_lane<16>(tail);
      result = t < result ? t : result;
    }
  }
  return result;
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
  if (right) {
    Vec<int16_t, N> rl, rb;
    load(rl, right_low);
    load(rb, right_best);
    const Vec<int16_t, N> r = v < rl;
    lower<N>(rl, rl, v);
    rb = (index & r) | (rb & ~r);
    store(right_low, rl);
    store(right_best, rb);
  }
}

// One pass over each pixel's D sums, N lanes at a time (the last vector's lanes from D on read
// as 0x7FFF: they never win), keeping per lane the lowest, its first lane and the lowest of the
// rest. Then lowest = the lowest lane of `low`; best = the lowest `at` of the lanes holding it;
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
    const int l = lowest_lane<N>(low);
    Vec<int16_t, N> target, m, candidate, from, to;
    splat<int16_t, N>(target, static_cast<int16_t>(l));
    m = low == target;
    candidate = (at & m) | (top & ~m);
    const int b = lowest_lane<N>(candidate);
    splat<int16_t, N>(from, static_cast<int16_t>(b - 1));
    splat<int16_t, N>(to, static_cast<int16_t>(b + 1));
    m = (at >= from) & (at <= to);
    candidate = (other & m) | (low & ~m);
    best[x] = static_cast<int16_t>(b);
    lowest[x] = static_cast<int16_t>(l);
    second[x] = static_cast<int16_t>(lowest_lane<N>(candidate));
  }
}
