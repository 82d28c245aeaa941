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

// M lanes from k on of a pixel's sums, the lanes from D on read as 0x7FFF: their lowest into
// `low`; with `right`, the right view's lowest sums and their lanes (right_low, right_best at
// the pixel's reversed column of lane 0) where the sum is lower.
template <int M>
[[gnu::always_inline]] inline void winners_lowest(const int16_t* s, int k, int D, bool right, int16_t* right_low,
                                                  int16_t* right_best, Vec<int16_t, M>& low) {
  Vec<int16_t, M> v, index, limit, beyond, top;
  lane_numbers<M>(index, k);
  splat<int16_t, M>(limit, static_cast<int16_t>(D));
  splat<int16_t, M>(top, 0x7FFF);
  load(v, s + k);
  beyond = index >= limit;
  v |= beyond & top;
  lower<M>(low, low, v);
  if (right) {
    Vec<int16_t, M> rl, rb, m;
    load(rl, right_low + k);
    load(rb, right_best + k);
    m = v < rl;
    rl = (v & m) | (rl & ~m);
    rb = (index & m) | (rb & ~m);
    store(right_low + k, rl);
    store(right_best + k, rb);
  }
}

// best = the lower of it and the lowest lane number k (M lanes from k on, below D) where
// s[k] == lowest.
template <int M>
[[gnu::always_inline]] inline void winners_index(const int16_t* s, int k, int D, int lowest, Vec<int16_t, M>& best) {
  Vec<int16_t, M> v, index, limit, target, m, top, candidate;
  lane_numbers<M>(index, k);
  splat<int16_t, M>(limit, static_cast<int16_t>(D));
  splat<int16_t, M>(target, static_cast<int16_t>(lowest));
  splat<int16_t, M>(top, 0x7FFF);
  load(v, s + k);
  m = (v == target) & (index < limit);
  candidate = (index & m) | (top & ~m);
  lower<M>(best, best, candidate);
}

// second = the lower of it and the lowest s[k] (M lanes from k on, below D) with |k - best| > 1.
template <int M>
[[gnu::always_inline]] inline void winners_second(const int16_t* s, int k, int D, int best, Vec<int16_t, M>& second) {
  Vec<int16_t, M> v, index, limit, from, to, m, top;
  lane_numbers<M>(index, k);
  splat<int16_t, M>(top, 0x7FFF);
  splat<int16_t, M>(limit, static_cast<int16_t>(D));
  splat<int16_t, M>(from, static_cast<int16_t>(best - 1));
  splat<int16_t, M>(to, static_cast<int16_t>(best + 1));
  load(v, s + k);
  m = (index >= limit) | ((index >= from) & (index <= to));
  v |= m & top;
  lower<M>(second, second, v);
}

inline int lower_of(int a, int b) { return a < b ? a : b; }

template <int N>
void semi_global_winners(const int16_t* sums, int W, int d_min, int D, int Dp, int16_t* right_low, int16_t* right_best,
                         int16_t* best, int16_t* lowest, int16_t* second) {
  right_low += kSemiGlobalWinnersPad;
  right_best += kSemiGlobalWinnersPad;
  for (int j = -kSemiGlobalWinnersPad; j < W + kSemiGlobalWinnersPad; ++j) right_low[j] = 0x7FFF, right_best[j] = -1;
  for (int x = 0; x < W; ++x) {
    const int16_t* s = sums + static_cast<std::ptrdiff_t>(x) * Dp;
    // lanes k_begin .. k_end - 1 meet right columns inside the image; lane k is the right
    // column x - d_min - k, at reversed index base + k (the pads take the lanes beside them)
    const int k_begin = x - d_min - (W - 1) > 0 ? x - d_min - (W - 1) : 0;
    const int k_end = x - d_min + 1 < D ? x - d_min + 1 : D;
    int16_t* const low_at = right_low + (W - 1 - x + d_min);
    int16_t* const best_at = right_best + (W - 1 - x + d_min);
    // N lanes at a time, then 16 where N is wider and lanes are left (Dp is a multiple of 16)
    Vec<int16_t, N> v;
    Vec<int16_t, 16> tail;
    splat<int16_t, N>(v, 0x7FFF);
    splat<int16_t, 16>(tail, 0x7FFF);
    int k = 0;
    for (; k + N <= Dp; k += N) winners_lowest<N>(s, k, D, k < k_end && k + N > k_begin, low_at, best_at, v);
    if (N > 16 && k < Dp) winners_lowest<16>(s, k, D, k < k_end && k + 16 > k_begin, low_at, best_at, tail);
    const int low = lower_of(lowest_lane<N>(v), lowest_lane<16>(tail));
    splat<int16_t, N>(v, 0x7FFF);
    splat<int16_t, 16>(tail, 0x7FFF);
    for (k = 0; k + N <= Dp; k += N) winners_index<N>(s, k, D, low, v);
    if (N > 16 && k < Dp) winners_index<16>(s, k, D, low, tail);
    const int b = lower_of(lowest_lane<N>(v), lowest_lane<16>(tail));
    splat<int16_t, N>(v, 0x7FFF);
    splat<int16_t, 16>(tail, 0x7FFF);
    for (k = 0; k + N <= Dp; k += N) winners_second<N>(s, k, D, b, v);
    if (N > 16 && k < Dp) winners_second<16>(s, k, D, b, tail);
    best[x] = static_cast<int16_t>(b);
    lowest[x] = static_cast<int16_t>(low);
    second[x] = static_cast<int16_t>(lower_of(lowest_lane<N>(v), lowest_lane<16>(tail)));
  }
}
