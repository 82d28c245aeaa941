// The refined pipeline's kernels (see KernelTable::semi_global_step and semi_global_costs):
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
    for (int k = 0; k < D; ++k) c[k] = static_cast<uint8_t>(__builtin_popcountll(l ^ r[-k]));
    for (int k = D; k < Dp; ++k) c[k] = kSemiGlobalPadding;
  }
}
