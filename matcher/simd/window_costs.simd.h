// The window kernel, for one instruction set: the window costs of one pixel for all
// disparities, accumulated several disparities at a time in vectors, and their winner. Exactness: per disparity d, the same
// operations as the straightforward aggregation, in the same order: w = (double)left_weight *
// (double)wR, weight_sum += w, cost_sum += w * (double)C for the valid blocks in block order,
// A(d) = (float)(cost_sum / weight_sum). Vector lanes do exactly what the scalar code does per
// d; no fused multiply-add (-ffp-contract=off). The division is the one step done only where
// its result can matter: every quotient gets a cheap estimate with a proven error bound, and
// those that could decide the winner or feed the refinement are then computed exactly
// (window_winner). (Chunks of twice the disparities were tried: fewer instructions, no faster
// on AVX2, slower on AVX-512, and more lanes wasted for small disparity counts.)
// Included by matcher/simd/kernels.simd.h only, inside ondrel::simd::<ISA> and its unnamed
// namespace, after the vector layer (matcher/simd/vec.h): it includes nothing itself.

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
template <typename Cost>
inline double window_cost(const WindowBlockOf<Cost>* window, int count, int d) {
  double weight_sum = 0.0, cost_sum = 0.0;
  for (int i = 0; i < count; ++i) {
    const WindowBlockOf<Cost>& b = window[i];
    if (d > b.last) continue;
    const double w = b.right_weights[d] * static_cast<double>(b.left_weight);
    weight_sum += w;
    cost_sum += w * static_cast<double>(b.costs[d]);
  }
  return exact_cost(cost_sum, weight_sum);
}

// Doubles of scratch that window_sums and window_winner share for ndisp disparities: the
// costs, then the cost sums, then the weight sums, each with room for a whole chunk beyond
// ndisp, then the lowest block cost of each disparity (in the cost type).
inline size_t window_scratch_stride(int ndisp) { return static_cast<size_t>(ndisp) + kWindowScratchPad; }
inline size_t window_scratch_doubles(int ndisp) { return kWindowScratchArrays * window_scratch_stride(ndisp); }
template <typename Cost>
inline Cost* window_lowest_costs(double* A, int ndisp) {
  return reinterpret_cast<Cost*>(A + 3 * window_scratch_stride(ndisp));
}

// low[d] = the lowest cost of the blocks valid for d (the largest Cost where none is),
// d < ndisp; returns the first d of the lowest one.
template <typename Cost>
[[gnu::always_inline]] inline int lowest_block_costs(const WindowBlockOf<Cost>* window, int count, int ndisp,
                                                     bool all_valid, Cost* low) {
  constexpr int KC = 2 * ONDREL_SIMD_DOUBLES * static_cast<int>(sizeof(int) / sizeof(Cost));  // costs per vector
  typedef Vec<Cost, KC> Costs;
  constexpr Cost kNone = static_cast<Cost>(sizeof(Cost) == 2 ? 0x7FFF : 0x7FFFFFFF);
  Cost lowest = kNone;
  if (all_valid && count > 0 && ndisp >= KC) {
    // every block valid for every d: one vector of disparities at a time over the blocks,
    // the lowest of all kept on the way; the last vector ends at ndisp (it overlaps the one
    // before, with the same values)
    Costs all;
    load(all, window[0].costs);
    int d = 0;
    for (; d + 2 * KC <= ndisp; d += 2 * KC) {  // two vectors per block: half the loop's overhead
      Costs m0, m1, c0, c1;
      load(m0, window[0].costs + d);
      load(m1, window[0].costs + d + KC);
      for (int i = 1; i < count; ++i) {
        load(c0, window[i].costs + d);
        load(c1, window[i].costs + d + KC);
        m0 = c0 < m0 ? c0 : m0;
        m1 = c1 < m1 ? c1 : m1;
      }
      store(low + d, m0);
      store(low + d + KC, m1);
      all = m0 < all ? m0 : all;
      all = m1 < all ? m1 : all;
    }
    for (; d < ndisp; d += KC) {
      const int at = d + KC <= ndisp ? d : ndisp - KC;
      Costs m, c;
      load(m, window[0].costs + at);
      for (int i = 1; i < count; ++i) {
        load(c, window[i].costs + at);
        m = c < m ? c : m;
      }
      store(low + at, m);
      all = m < all ? m : all;
    }
    lowest = lowest_int_lane<Cost, KC>(all);
  } else {
    for (int d = 0; d < ndisp; ++d) low[d] = kNone;
    for (int i = 0; i < count; ++i) {
      const Cost* costs = window[i].costs;
      const int valid = window[i].last + 1;  // nothing is read beyond the block's last disparity
      int d = 0;
      for (; d + KC <= valid; d += KC) {
        Costs m, c;
        load(m, low + d);
        load(c, costs + d);
        store(low + d, c < m ? c : m);
      }
      for (; d < valid; ++d) low[d] = costs[d] < low[d] ? costs[d] : low[d];
    }
    for (int d = 0; d < ndisp; ++d) lowest = low[d] < lowest ? low[d] : lowest;
  }
  // its first place
  int d = 0;
  for (; d + KC <= ndisp; d += KC)
    if (const int j = first_equal<KC>(low + d, lowest); j >= 0) return d + j;
  for (; d < ndisp; ++d)
    if (low[d] == lowest) return d;
  return 0;  // not reached: lowest is one of low[0 .. ndisp-1]
}

// The window sums of one pixel, d = 0 .. ndisp-1, from its `count` valid blocks in block
// order (window[i].last < ndisp), and an estimate of each window cost: the first half of the
// window kernel. A: window_scratch_doubles(ndisp) doubles, which window_winner takes on.
// whole: the caller knows that every block is valid for every disparity (false: not known).
// The kernel is in two halves so that the caller can work out one pixel's winner (branches
// on fresh data) after starting the next pixel's sums, which then overlap.
//
// The disparities go in chunks of N * V, V vectors per sum held in registers; the last chunk
// ends at ndisp (it overlaps the one before when ndisp is not a multiple of the chunk and
// recomputes a few disparities with the same result), so that blocks valid up to
// max_disparity never take the partial path.
template <int N, int V, typename Cost>
[[gnu::always_inline]] inline WindowEstimate window_sums(const WindowBlockOf<Cost>* window, int count, int ndisp,
                                                         bool whole, double* A) {
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
  // most pixels have every block valid for every disparity (the caller may know it: whole):
  // their loop needs no tests
  bool all_valid = ndisp >= kChunk;
  for (int i = 0; !whole && i < count; ++i) all_valid = all_valid && window[i].last == ndisp - 1;
  // the sums of the chunk from d0 on, their estimates, the lowest estimate per lane
  const auto chunk_sums = [&](int d0) __attribute__((always_inline)) {
    Doubles weight_sum[V] = {}, cost_sum[V] = {};
    for (int i = 0; all_valid && i < count; ++i) {
      const WindowBlockOf<Cost>& b = window[i];
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
      const WindowBlockOf<Cost>& b = window[i];
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
        Cost costs[kChunk] = {};
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
  // chunk that holds the lowest block cost goes first, its lowest estimate gives U, and a
  // chunk whose every block cost is >= U is skipped: its lanes get the marker weight sum -1
  // and cost +inf, and window_winner computes any of them it needs from the window itself.
  const int nchunks = ndisp <= kChunk ? 1 : (ndisp - 1) / kChunk + 1;
  if (nchunks < 2) {
    chunk_sums(0);
  } else {
    Cost* const low = window_lowest_costs<Cost>(A, ndisp);
    const int lowest_at = lowest_block_costs(window, count, ndisp, all_valid, low);
    // the chunk of the first lowest block cost (the last chunk overlaps the one before it)
    const int first = lowest_at / kChunk < nchunks ? lowest_at / kChunk : nchunks - 1;
    const auto chunk_start = [&](int c) { return c < nchunks - 1 ? c * kChunk : ndisp - kChunk; };
    chunk_sums(chunk_start(first));
    Doubles lowest_lanes = lowest[0];
    for (int v = 1; v < V; ++v) blend<N>(lowest_lanes, lowest[v] < lowest_lanes, lowest[v], lowest_lanes);
    const double lowest_estimate = lowest_lane<N>(lowest_lanes);
    // an estimate is within 2^-18 of the exact cost (see window_winner); a wider margin here
    const double upper = lowest_estimate * (1.0 + 1.0 / (1 << 16));
    // (then U is an exact integer, and one of the cost type)
    constexpr double kLargestBound = sizeof(Cost) == 2 ? 32767.0 : 16777216.0;
    const bool prune = no_lane<N>(out_of_range) && upper < kLargestBound;
    const Cost U = prune ? static_cast<Cost>(static_cast<int>(upper) + 1) : Cost(0);
    for (int c = 0; c < nchunks; ++c) {
      if (c == first) continue;
      const int d0 = chunk_start(c);
      if (prune && !any_below<kChunk>(low + d0, U)) {
        for (int v = 0; v < V; ++v) {
          store(A + d0 + N * v, Doubles{} + __builtin_inf());
          store(weight_sums + d0 + N * v, Doubles{} - 1.0);
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
template <int N, int V, typename Cost>
[[gnu::always_inline]] inline WindowEstimate window_sums_fitted(const WindowBlockOf<Cost>* window, int count, int ndisp,
                                                                bool whole, double* A) {
  if constexpr (V % 2 == 0) {
    const int rest = ndisp % (N * V);
    if (rest != 0 && rest <= N * V / 2) return window_sums<N, V / 2, Cost>(window, count, ndisp, whole, A);
  }
  return window_sums<N, V, Cost>(window, count, ndisp, whole, A);
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
template <int N, typename Cost>
[[gnu::always_inline]] inline Winner window_winner(const WindowBlockOf<Cost>* window, int count, double* A, int ndisp,
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
  for (int d0 = 0; d0 < ndisp; d0 += 2 * N) {  // two vectors at a time; A has room beyond ndisp
    unsigned bits = at_most_bits<N>(A + d0, bound) | at_most_bits<N>(A + d0 + N, bound) << N;
    if (ndisp - d0 < 2 * N) bits &= (1u << (ndisp - d0)) - 1;
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
template <typename Cost>
[[gnu::noinline]] WindowEstimate window_sums_here(const WindowBlockOf<Cost>* window, int count, int ndisp, bool whole,
                                                  double* A) {
  return window_sums_fitted<ONDREL_SIMD_DOUBLES, ONDREL_SIMD_CHUNK, Cost>(window, count, ndisp, whole, A);
}
template <typename Cost>
[[gnu::noinline]] Winner window_winner_here(const WindowBlockOf<Cost>* window, int count, double* A, int ndisp,
                                            WindowEstimate estimate) {
  return window_winner<ONDREL_SIMD_DOUBLES, Cost>(window, count, A, ndisp, estimate);
}
