// The window kernel, for one instruction set: the window costs of one pixel for all
// disparities, accumulated several disparities at a time in vectors, and their winner. Exactness: per disparity d, the same
// operations as the straightforward aggregation, in the same order: w = (double)left_weight *
// (double)wR, weight_sum += w, cost_sum += w * (double)C for the valid blocks in block order,
// A(d) = (float)(cost_sum / weight_sum), the division and the rounding done lane by lane
// (IEEE, as the scalar code does them); no fused multiply-add (-ffp-contract=off). (Chunks
// of twice the disparities were tried: fewer instructions but no faster, and more lanes
// wasted for small disparity counts.)
// Included by matcher/simd/kernels.simd.h only, inside ondrel::internal::simd::<ISA> and its unnamed
// namespace, after the vector layer (matcher/simd/vec.h) and the pixel rules
// (matcher/simd/pixel_rules.simd.h): it includes nothing itself.

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
// window costs, with room for a whole chunk beyond ndisp, then the lowest block cost of each
// disparity (in the cost type).
inline size_t window_scratch_stride(int ndisp) { return static_cast<size_t>(ndisp) + kWindowScratchPad; }
inline size_t window_scratch_doubles(int ndisp) { return kWindowScratchArrays * window_scratch_stride(ndisp); }
template <typename Cost>
inline Cost* window_lowest_costs(double* A, int ndisp) {
  return reinterpret_cast<Cost*>(A + window_scratch_stride(ndisp));
}
// (or, for a screened pixel, the estimates: window_screen)
inline float* window_estimates(double* A, int ndisp) { return reinterpret_cast<float*>(A + window_scratch_stride(ndisp)); }

// low[d] = the lowest cost of the blocks valid for d (the largest Cost where none is),
// d < ndisp. Vectors of KC costs; a row of costs that is not a whole number of vectors ends
// with a vector that overlaps the one before (the minimum of a lane taken twice is the same).
template <int KC, typename Cost>
[[gnu::always_inline]] inline void lowest_block_costs_by(const WindowBlockOf<Cost>* window, int count, int ndisp,
                                                         bool all_valid, Cost* low) {
  typedef Vec<Cost, KC> Costs;
  constexpr Cost kNone = static_cast<Cost>(sizeof(Cost) == 2 ? 0x7FFF : 0x7FFFFFFF);
  if (all_valid && count > 0 && ndisp >= KC) {
    // every block valid for every d: one vector of disparities at a time over the blocks
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
    }
    return;
  }
  for (int d = 0; d < ndisp; ++d) low[d] = kNone;
  for (int i = 0; i < count; ++i) {
    const Cost* costs = window[i].costs;
    const int valid = window[i].last + 1;  // nothing is read beyond the block's last disparity
    if (valid < KC) {
      for (int d = 0; d < valid; ++d) low[d] = costs[d] < low[d] ? costs[d] : low[d];
      continue;
    }
    for (int d = 0; d < valid; d += KC) {
      const int at = d + KC <= valid ? d : valid - KC;
      Costs m, c;
      load(m, low + at);
      load(c, costs + at);
      store(low + at, c < m ? c : m);
    }
  }
}

// lowest_block_costs_by with the widest vectors of costs that ndisp fills (20 disparities
// take vectors of 16 rather than the scalar path of a vector of 32).
template <typename Cost>
[[gnu::always_inline]] inline void lowest_block_costs(const WindowBlockOf<Cost>* window, int count, int ndisp,
                                                      bool all_valid, Cost* low) {
  constexpr int KC = 2 * ONDREL_SIMD_DOUBLES * static_cast<int>(sizeof(int) / sizeof(Cost));  // costs per vector
  if constexpr (KC >= 16) {
    if (ndisp < KC) return lowest_block_costs_by<KC / 2, Cost>(window, count, ndisp, all_valid, low);
  }
  lowest_block_costs_by<KC, Cost>(window, count, ndisp, all_valid, low);
}

// The window costs of one pixel, d = 0 .. ndisp-1, from its `count` valid blocks in block
// order (window[i].last < ndisp), into A: the first half of the window kernel. A:
// window_scratch_doubles(ndisp) doubles, which window_winner takes on. A disparity of a
// chunk that cannot hold the winner gets +inf instead (no window cost is +inf: a weight sum
// of 0 comes with a cost sum of 0). whole: the caller knows that every block is valid for
// every disparity (false: not known). hint: a disparity 0 .. ndisp-1 near which the winner
// is likely to lie; the results do not depend on it, only the time. The kernel is in two
// halves so that the caller can work out one pixel's winner (branches on fresh data) after
// starting the next pixel's sums, which then overlap.
//
// The disparities go in chunks of N * V, V vectors per sum held in registers; the last chunk
// ends at ndisp (it overlaps the one before when ndisp is not a multiple of the chunk and
// recomputes a few disparities with the same result), so that blocks valid up to
// max_disparity never take the partial path.
template <int N, int V, typename Cost>
[[gnu::always_inline]] inline WindowLowest window_sums(const WindowBlockOf<Cost>* window, int count, int ndisp,
                                                         bool whole, int hint, double* A) {
  typedef Vec<double, N> Doubles;
  constexpr int kChunk = N * V;
  Doubles lowest[V];  // per lane, the lowest window cost so far (NaN never)
  // lanes that hold a disparity: all but those at or beyond ndisp when ndisp is below the
  // chunk (then the one chunk starts at 0; partial)
  const bool partial = ndisp < kChunk;
  Mask<N> present[V];
  for (int v = 0; v < V; ++v) {
    lowest[v] = Doubles{} + __builtin_inf();
    lanes_below<N>(present[v], N * v, ndisp);
  }
  // most pixels have every block valid for every disparity (the caller may know it: whole):
  // their loop needs no tests
  bool all_valid = true;
  for (int i = 0; !whole && i < count; ++i) all_valid = all_valid && window[i].last == ndisp - 1;
  // the window costs of the chunk from d0 on, and the lowest per lane
  const auto chunk_costs = [&](int d0) __attribute__((always_inline)) {
    Doubles weight_sum[V] = {}, cost_sum[V] = {};
    // (in one chunk of fewer than kChunk disparities the lanes from ndisp on are not read;
    // what they hold is never used: `present` leaves them out)
    for (int i = 0; all_valid && i < count; ++i) {
      const WindowBlockOf<Cost>& b = window[i];
      const double left = b.left_weight;
      for (int v = 0; v < V; ++v) {
        Doubles right, cost;
        const int lanes = ndisp - N * v;
        if (partial && lanes < N) {
          if (lanes <= 0) continue;
          load_first<N>(right, b.right_weights + N * v, lanes);
          widen_first<N>(cost, b.costs + N * v, lanes);
        } else {
          load(right, b.right_weights + d0 + N * v);
          widen<N>(cost, b.costs + d0 + N * v);
        }
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
        // add exactly +0.0 (a whole vector of them nothing), which leaves the sums unchanged
        // (they are never -0.0)
        for (int v = 0; v < V; ++v) {
          const int lanes = valid - N * v;
          if (lanes <= 0) break;
          if (lanes >= N) {
            load(right, b.right_weights + d0 + N * v);
            widen<N>(cost, b.costs + d0 + N * v);
            const Doubles w = right * left;
            weight_sum[v] += w;
            cost_sum[v] += w * cost;
            continue;
          }
          load_first<N>(right, b.right_weights + d0 + N * v, lanes);
          widen_first<N>(cost, b.costs + d0 + N * v, lanes);
          Mask<N> inside;
          lanes_below<N>(inside, 0, lanes);
          const Doubles w = reinterpret_cast<Doubles>(reinterpret_cast<Mask<N>>(right * left) & inside);
          weight_sum[v] += w;
          cost_sum[v] += w * cost;
        }
      }
    }
    // the quotients rounded to float; the lowest per lane (lanes without a disparity stay
    // out: +inf)
    for (int v = 0; v < V; ++v) {
      Doubles q = cost_sum[v] / weight_sum[v];
      round_to_float<N>(q);
      if (partial) blend<N>(q, present[v], q, Doubles{} + __builtin_inf());
      lower<N>(lowest[v], q, lowest[v]);
      store(A + d0 + N * v, q);
    }
  };
  const auto lowest_of_all = [&]() __attribute__((always_inline)) {
    Doubles m = lowest[0];
    for (int v = 1; v < V; ++v) lower<N>(m, lowest[v], m);
    return lowest_lane<N>(m);
  };

  // Chunks that cannot hold the winner are skipped. A window cost is a weighted mean of its
  // blocks' costs, so it is at least the lowest of them (the float rounding of a mean of
  // integers >= U in double stays >= U). Where every cost is >= 0 the winner lies below
  // m + 1, m the integer part of the lowest cost (window_winner), and m + 1 <= U for
  // U = trunc(any one cost) + 1. So the chunk of the hint goes first (the nearer its lowest
  // cost is to the winner's, the more chunks go), its lowest window cost gives U, and a chunk
  // whose every block cost is >= U is skipped.
  const int nchunks = ndisp <= kChunk ? 1 : (ndisp - 1) / kChunk + 1;
  if (nchunks < 2) {
    chunk_costs(0);
  } else {
    // the chunk of the hint (the last chunk overlaps the one before it)
    const int first = hint / kChunk < nchunks ? hint / kChunk : nchunks - 1;
    const auto chunk_start = [&](int c) { return c < nchunks - 1 ? c * kChunk : ndisp - kChunk; };
    chunk_costs(chunk_start(first));
    Cost* const low = window_lowest_costs<Cost>(A, ndisp);
    lowest_block_costs(window, count, ndisp, all_valid, low);
    const double lowest_first = lowest_of_all();
    // (U an integer of the cost type)
    constexpr double kLargestBound = sizeof(Cost) == 2 ? 32767.0 : 16777216.0;
    const bool prune = lowest_first >= 0.0 && lowest_first < kLargestBound;
    const Cost U = prune ? static_cast<Cost>(static_cast<int>(lowest_first) + 1) : Cost(0);
    int skipped = 0;
    for (int c = 0; c < nchunks; ++c) {
      if (c == first) continue;
      const int d0 = chunk_start(c);
      if (prune && !any_below<kChunk>(low + d0, U)) {
        for (int v = 0; v < V; ++v) store(A + d0 + N * v, Doubles{} + __builtin_inf());
        ++skipped;
        continue;
      }
      chunk_costs(d0);
    }
    const double lowest_cost = lowest_of_all();
    return WindowLowest{lowest_cost, !(lowest_cost < 0.0), 2 * skipped < nchunks - 1, false};
  }
  const double lowest_cost = lowest_of_all();
  return WindowLowest{lowest_cost, !(lowest_cost < 0.0), false, false};
}

// Pixel x's blocks, read from the row's list (RowBlockOf) rather than from window records:
// count > 0 blocks, every one valid for x and every disparity.
template <typename Cost>
struct RowWindow {
  const RowBlockOf<Cost>* blocks;
  int count, x;
};

// NV vectors of window costs into A, the lowest per lane into lowest (window_sums_all).
template <int N, int NV, bool kLastAtEnd, typename Cost>
[[gnu::always_inline]] inline void sum_vectors(const RowWindow<Cost>& window, int d_first, int d_last, double* A,
                                               Vec<double, N>& lowest) {
  // NV vectors of disparities, at d_first + j * N, the last one at d_last when kLastAtEnd
  typedef Vec<double, N> Doubles;
  const auto at = [d_first, d_last](int j) { return kLastAtEnd && j == NV - 1 ? d_last : d_first + j * N; };
  Doubles weight_sum[NV] = {}, cost_sum[NV] = {};
  for (int i = 0; i < window.count; ++i) {
    const RowBlockOf<Cost>& b = window.blocks[i];
    const double left = b.left_weights[window.x];
    const double* right_weights = b.right_weights - window.x;
    const Cost* costs = b.costs[window.x + b.dx];
    for (int j = 0; j < NV; ++j) {
      Doubles right, cost;
      load(right, right_weights + at(j));
      widen<N>(cost, costs + at(j));
      const Doubles w = right * left;
      weight_sum[j] += w;
      cost_sum[j] += w * cost;
    }
  }
  for (int j = 0; j < NV; ++j) {
    Doubles q = cost_sum[j] / weight_sum[j];
    round_to_float<N>(q);
    lower<N>(lowest, q, lowest);
    store(A + at(j), q);
  }
}

// The window costs of every disparity d = 0 .. ndisp-1 into A (ndisp >= N) for the pixel of
// `window`; returns what window_sums returns, and every entry of A is a number or NaN (so the
// winner search never asks for a block). The blocks are the outer loop: up to kPass vectors
// of disparities are accumulated at once, so that their chains of additions overlap, and
// nothing waits for a bound (each lane still adds its blocks in block order, with the
// operations of window_sums). The last vector ends at ndisp and may overlap the one before
// (the same values again). Where the bound would let most chunks through, this costs less
// than summing them one by one behind their tests.
template <int N, typename Cost>
[[gnu::always_inline]] inline WindowLowest window_sums_all(const RowWindow<Cost>& window, int ndisp, double* A) {
  constexpr int kPass = N == 8 ? 8 : 4;  // two sums per vector, and room for the operands
  const int nvec = (ndisp + N - 1) / N;
  Vec<double, N> lowest = Vec<double, N>{} + __builtin_inf();
  int v0 = 0;
  for (; nvec - v0 > kPass; v0 += kPass) sum_vectors<N, kPass, false, Cost>(window, v0 * N, 0, A, lowest);
  const int d0 = v0 * N, last = ndisp - N;
  switch (nvec - v0) {
    case 1: sum_vectors<N, 1, true, Cost>(window, d0, last, A, lowest); break;
    case 2: sum_vectors<N, 2, true, Cost>(window, d0, last, A, lowest); break;
    case 3: sum_vectors<N, 3, true, Cost>(window, d0, last, A, lowest); break;
    case 4: sum_vectors<N, 4, true, Cost>(window, d0, last, A, lowest); break;
    default:
      if constexpr (kPass == 8) {
        switch (nvec - v0) {
          case 5: sum_vectors<N, 5, true, Cost>(window, d0, last, A, lowest); break;
          case 6: sum_vectors<N, 6, true, Cost>(window, d0, last, A, lowest); break;
          case 7: sum_vectors<N, 7, true, Cost>(window, d0, last, A, lowest); break;
          default: sum_vectors<N, 8, true, Cost>(window, d0, last, A, lowest); break;
        }
      }
  }
  const double lowest_cost = lowest_lane<N>(lowest);
  return WindowLowest{lowest_cost, !(lowest_cost < 0.0), true, false};
}

// window_sums with chunks of N * V disparities, or of half as many when the disparity count
// is a whole number of half chunks beyond a multiple of the chunk: the last chunk then
// recomputes fewer disparities. With two vectors per chunk, up to three vectors' worth of
// disparities go in one chunk of three: no pruning, whose bound waits for a first chunk and
// whose tests cost more than they save there (20 disparities on AVX-512: 24 lanes at once
// rather than three chunks of 8, about a sixth of the call).
template <int N, int V, typename Cost>
[[gnu::always_inline]] inline WindowLowest window_sums_fitted(const WindowBlockOf<Cost>* window, int count, int ndisp,
                                                                bool whole, int hint, double* A) {
  if constexpr (V == 2) {  // one chunk of three vectors rather than chunks of two
    if (ndisp > N * V && ndisp <= N * (V + 1)) return window_sums<N, V + 1, Cost>(window, count, ndisp, whole, hint, A);
    // up to 8 vectors' worth: chunks of one vector, pruned one by one (beyond, the tests of
    // the many chunks cost more than they save)
    if (ndisp > N * (V + 1) && ndisp <= 8 * N) return window_sums<N, 1, Cost>(window, count, ndisp, whole, hint, A);
  }
  if constexpr (V % 2 == 0) {
    const int rest = ndisp % (N * V);
    if (rest != 0 && rest <= N * V / 2) return window_sums<N, V / 2, Cost>(window, count, ndisp, whole, hint, A);
  }
  return window_sums<N, V, Cost>(window, count, ndisp, whole, hint, A);
}

// The second half of the window kernel: the winner of the window costs that window_sums
// left in A, under the rules of select_winner. On return A[h-1], A[h] and A[h+1] (those
// inside 0 .. ndisp-1) hold the exact window costs around the winner h, which is all the
// refinement reads; the other entries are unspecified.
//
// Those rules pick, when every cost is >= 0 or NaN, the first d with A(d) < m + 1 where
// m = trunc(lowest cost): no earlier cost lies below that bound, so the running minimum is
// above A(d) when d comes and d wins, and no later cost lies below m. The skipped chunks hold
// no such cost. Should a cost be negative, every cost is worked out and select_winner decides.
template <int N, typename Cost>
[[gnu::always_inline]] inline Winner window_winner(const WindowBlockOf<Cost>* window, int count, double* A, int ndisp,
                                                   WindowLowest summary) {
  // the exact cost of d: A's, or, for a skipped chunk, from the window
  const auto exact = [&](int d) { return A[d] == __builtin_inf() ? window_cost(window, count, d) : A[d]; };
  if (!summary.none_negative) {
    for (int d = 0; d < ndisp; ++d) A[d] = exact(d);
    return select_winner_here(A, ndisp);
  }
  Winner winner{kInitialRunningMin, -1, false};
  if (!(summary.lowest < static_cast<double>(kInitialRunningMin))) return winner;
  winner.m = truncate_cost(static_cast<float>(summary.lowest));
  // the first d below m + 1, two vectors at a time (A has room beyond ndisp)
  const double first_above = static_cast<double>(winner.m) + 1.0;
  int h = -1;
  for (int d0 = 0; h < 0 && d0 < ndisp; d0 += 2 * N) {
    unsigned bits = below_bits<N>(A + d0, first_above) | below_bits<N>(A + d0 + N, first_above) << N;
    if (ndisp - d0 < 2 * N) bits &= (1u << (ndisp - d0)) - 1;
    if (bits) h = d0 + __builtin_ctz(bits);
  }
  if (h < 0) return winner;  // not reached: the lowest cost is one of them
  winner.h = h;
  winner.found = true;
  if (h > 0) A[h - 1] = exact(h - 1);
  if (h + 1 < ndisp) A[h + 1] = exact(h + 1);
  return winner;
}

// Single-precision screening, for pixels whose blocks are all valid: every window cost is
// first estimated in floats (16-bit costs only), at twice the lanes per vector, and only
// what the estimates leave in doubt is worked out exactly: a first cost below m + 1 whose
// estimate lies near m + 1, the three costs the refinement reads (most often summed in the
// same pass, around the last winner), and every cost when the lowest estimate lies near
// an integer. With n blocks, weights that are 0 or at least 2^-59 (weights_allow_screening)
// and 16-bit costs, an estimate E(d) lies within (2n + 3) u of the cost A(d) (u = 2^-24:
// n + 1 roundings in each sum, one in the quotient, one in A's own rounding to float);
// screen_margin allows twice (3n + 6) u.
inline double screen_margin(int blocks) { return 2.0 * (3.0 * blocks + 6.0) * 0x1p-24; }

// Lanes of exact costs the screening pass works out beside the estimates (window_screen):
// enough for the refinement's three around a winner.
template <int N>
constexpr int kScreenExactLanes = N >= 4 ? N : 2 * N;

// Where the screening pass puts one pixel's results: its estimates, and the exact costs of
// kScreenExactLanes<N> lanes from exact_from on, into A.
struct ScreenedPixel {
  float* E;
  int exact_from;
  double* A;
};

// NV vectors of estimates of NF lanes, for the P pixels from window.x on (window.x + p into
// out[p], the lowest per lane into lowest[p]; window_screen); the last vector at d_last when
// kLastAtEnd. With kExact, in the same pass, each one's exact lanes, with the operations of
// sum_vectors. (Two pixels at once give the additions of one's sums the other's to overlap
// with, where a pixel's own vectors are too few to: up to 32 disparities.)
template <int NF, int NV, bool kLastAtEnd, bool kExact, int N, int P>
[[gnu::always_inline]] inline void screen_vectors(const RowWindow<int16_t>& window, int d_first, int d_last,
                                                  const ScreenedPixel* out, Vec<float, NF>* lowest) {
  typedef Vec<float, NF> Floats;
  typedef Vec<double, N> Doubles;
  constexpr int EV = kExact ? kScreenExactLanes<N> / N : 0;
  const auto at = [d_first, d_last](int j) { return kLastAtEnd && j == NV - 1 ? d_last : d_first + j * NF; };
  Floats weight_sum[P][NV] = {}, cost_sum[P][NV] = {};
  Doubles exact_weight_sum[P][EV > 0 ? EV : 1] = {}, exact_cost_sum[P][EV > 0 ? EV : 1] = {};
  for (int i = 0; i < window.count; ++i) {
    const RowBlockOf<int16_t>& b = window.blocks[i];
    for (int p = 0; p < P; ++p) {
      const int x = window.x + p;
      const float left = b.left_weights[x];
      const float* right_weights = b.right_float_weights - x;
      const int16_t* costs = b.costs[x + b.dx];
      for (int j = 0; j < NV; ++j) {
        Floats right, cost;
        load(right, right_weights + at(j));
        widen<NF>(cost, costs + at(j));
        const Floats w = right * left;
        weight_sum[p][j] += w;
        add_product<NF>(cost_sum[p][j], w, cost);
      }
      for (int j = 0; j < EV; ++j) {
        Doubles right, cost;
        load(right, b.right_weights - x + out[p].exact_from + j * N);
        widen<N>(cost, costs + out[p].exact_from + j * N);
        const Doubles w = right * static_cast<double>(left);
        exact_weight_sum[p][j] += w;
        exact_cost_sum[p][j] += w * cost;
      }
    }
  }
  for (int p = 0; p < P; ++p) {
    for (int j = 0; j < NV; ++j) {
      const Floats q = cost_sum[p][j] / weight_sum[p][j];
      lowest[p] = q < lowest[p] ? q : lowest[p];
      store(out[p].E + at(j), q);
    }
    for (int j = 0; j < EV; ++j) {
      Doubles q = exact_cost_sum[p][j] / exact_weight_sum[p][j];
      round_to_float<N>(q);
      store(out[p].A + out[p].exact_from + j * N, q);
    }
  }
}

// The last 1 .. 4 vectors of window_screen, the last one at d_last.
template <int NF, bool kExact, int N, int P>
[[gnu::always_inline]] inline void screen_rest(const RowWindow<int16_t>& window, int vectors, int d_first, int d_last,
                                               const ScreenedPixel* out, Vec<float, NF>* lowest) {
  switch (vectors) {
    case 1: screen_vectors<NF, 1, true, kExact, N, P>(window, d_first, d_last, out, lowest); break;
    case 2: screen_vectors<NF, 2, true, kExact, N, P>(window, d_first, d_last, out, lowest); break;
    case 3: screen_vectors<NF, 3, true, kExact, N, P>(window, d_first, d_last, out, lowest); break;
    default: screen_vectors<NF, 4, true, kExact, N, P>(window, d_first, d_last, out, lowest); break;
  }
}

// The estimates E(d), d = 0 .. ndisp-1 (ndisp >= 2N), of the P pixels from window.x on (every
// block valid for every d), and their exact costs of kScreenExactLanes<N> lanes from
// exact_from on (0 <= exact_from <= ndisp - kScreenExactLanes<N>), into out[p]; the lowest
// estimate of each into lowest[p], NaNs left out. The last vector of estimates ends at ndisp.
template <int N, int P>
[[gnu::always_inline]] inline void window_screen(const RowWindow<int16_t>& window, int ndisp, const ScreenedPixel* out,
                                                 float* lowest) {
  constexpr int NF = 2 * N, kPass = 4;
  const int nvec = (ndisp + NF - 1) / NF;
  Vec<float, NF> low[P];
  for (int p = 0; p < P; ++p) low[p] = Vec<float, NF>{} + __builtin_inff();
  int v0 = 0;
  if (nvec > kPass) {  // (the exact lanes with the first pass)
    screen_vectors<NF, kPass, false, true, N, P>(window, 0, 0, out, low);
    for (v0 = kPass; nvec - v0 > kPass; v0 += kPass)
      screen_vectors<NF, kPass, false, false, N, P>(window, v0 * NF, 0, out, low);
  }
  const int d0 = v0 * NF, last = ndisp - NF;
  if (v0 == 0)
    screen_rest<NF, true, N, P>(window, nvec, d0, last, out, low);
  else
    screen_rest<NF, false, N, P>(window, nvec - v0, d0, last, out, low);
  for (int p = 0; p < P; ++p) lowest[p] = lowest_lane<NF>(low[p]);
}

// The exact window cost of disparity d of the pixel of `window`: one lane of sum_vectors.
template <typename Cost>
inline double row_window_cost(const RowWindow<Cost>& window, int d) {
  double weight_sum = 0.0, cost_sum = 0.0;
  for (int i = 0; i < window.count; ++i) {
    const RowBlockOf<Cost>& b = window.blocks[i];
    const double w = (b.right_weights - window.x)[d] * static_cast<double>(b.left_weights[window.x]);
    weight_sum += w;
    cost_sum += w * static_cast<double>(b.costs[window.x + b.dx][d]);
  }
  return exact_cost(cost_sum, weight_sum);
}

// lowest[d] = the lowest of the blocks' costs of disparity d, d = 0 .. ndisp-1, for the
// pixel of `window` (none of its window costs lies below), K lanes at a time where ndisp
// allows (the last vector overlaps the one before).
template <int K>
[[gnu::always_inline]] inline void row_lowest_block_costs(const RowWindow<int16_t>& window, int ndisp, int16_t* lowest) {
  typedef Vec<int16_t, K> Shorts;
  const auto costs = [&window](int i) { return window.blocks[i].costs[window.x + window.blocks[i].dx]; };
  if (ndisp < K) {
    for (int d = 0; d < ndisp; ++d) {
      int16_t low = costs(0)[d];
      for (int i = 1; i < window.count; ++i) low = costs(i)[d] < low ? costs(i)[d] : low;
      lowest[d] = low;
    }
    return;
  }
  for (int d0 = 0; d0 < ndisp; d0 += K) {
    const int at = d0 + K <= ndisp ? d0 : ndisp - K;
    Shorts low, c;
    load(low, costs(0) + at);
    for (int i = 1; i < window.count; ++i) {
      load(c, costs(i) + at);
      low = c < low ? c : low;
    }
    store(lowest + at, low);
  }
}

// The winner of a screened pixel (E: window_screen's estimates, `lowest` the lowest, margin
// screen_margin of its block count), with window_winner's rules and result; on return A
// holds the exact costs around the winner, which is all the refinement reads. Outside the
// range the margins were worked out for, every cost is worked out exactly instead.
template <int N>
[[gnu::always_inline]] inline Winner winner_from_screen(const RowWindow<int16_t>& window, float* E, double* A,
                                                        int ndisp, double lowest, double margin, int exact_from) {
  constexpr int NF = 2 * N, kExactLanes = kScreenExactLanes<N>;
  int exact_end = exact_from + kExactLanes;  // A's exact lanes
  // A's exact lanes kExactLanes from `from` on (moved in where they would pass ndisp)
  const auto sum_exact_lanes = [&](int from) {
    exact_from = from < ndisp - kExactLanes ? from : ndisp - kExactLanes;
    exact_end = exact_from + kExactLanes;
    Vec<double, N> unused = Vec<double, N>{} + __builtin_inf();
    sum_vectors<N, kExactLanes / N, false, int16_t>(window, exact_from, 0, A, unused);
  };
  if (!(lowest >= 0.0 && lowest < 0x1p19))
    return window_winner<N, int16_t>(nullptr, 0, A, ndisp, window_sums_all<N, int16_t>(window, ndisp, A));
  const double less = 1.0 - margin, more = 1.0 + margin;
  // the lowest block cost of each d (row_lowest_block_costs), worked out when first needed
  int16_t* const lowest_costs = reinterpret_cast<int16_t*>(E + ndisp + 16);  // (scratch beyond E)
  bool lowest_costs_known = false;
  const auto need_lowest_costs = [&]() {
    if (!lowest_costs_known) row_lowest_block_costs<ONDREL_SIMD_SHORTS>(window, ndisp, lowest_costs);
    lowest_costs_known = true;
  };
  // m = trunc(lowest cost), which lies within lowest * [less, more]; with an integer in
  // between, the lowest exact cost of the lanes whose estimate may be the lowest, summed now
  // where they lie within kExactLanes
  int m = static_cast<int>(lowest * less);
  if (m != static_cast<int>(lowest * more)) {
    // (E[d] <= bound exactly where E[d] < candidate: the float just above bound's float below)
    const double bound = lowest * more * more;
    float candidate = static_cast<float>(bound);
    if (static_cast<double>(candidate) <= bound) candidate = __builtin_nextafterf(candidate, __builtin_inff());
    const auto candidates = [&](int at, int seen) { return below_bits<NF>(E + at, candidate) & ~0u << (seen - at); };
    int first = -1, last = -1;
    for (int d0 = 0; d0 < ndisp; d0 += NF) {
      const int at = d0 + NF <= ndisp ? d0 : ndisp - NF;  // (the last vector overlaps)
      const unsigned bits = candidates(at, d0);
      if (!bits) continue;
      first = first < 0 ? at + __builtin_ctz(bits) : first;
      last = at + 31 - __builtin_clz(bits);
    }
    if (last - first >= kExactLanes) {
      // wider (mostly where many costs are the same integer, every block's cost alike): m from
      // the lowest block cost of those lanes, which no window cost lies below and which is
      // the cost itself where a lane's blocks' costs are all alike. Should it be lower than
      // the winner's, no cost lies below m + 1, and every cost is worked out exactly below.
      need_lowest_costs();
      typedef Vec<float, NF> Floats;
      Floats least = Floats{} + __builtin_inff();
      for (int d0 = first; d0 <= last; d0 += NF) {
        const int at = d0 + NF <= ndisp ? d0 : ndisp - NF;
        Floats estimates, costs;
        load(estimates, E + at);
        widen<NF>(costs, lowest_costs + at);
        least = ((estimates < candidate) & (costs < least)) ? costs : least;
      }
      m = static_cast<int>(lowest_lane<NF>(least));
    } else {
      if (first < exact_from || last >= exact_end) sum_exact_lanes(first);
      double least = __builtin_inf();
      for (int d = first; d <= last; ++d) least = E[d] <= bound && A[d] < least ? A[d] : least;
      m = static_cast<int>(least);
    }
  }
  // the first d whose cost lies below m + 1: none whose estimate lies above m + 1 times
  // `more` (the float bound is larger still), and of the others the first decided by its
  // estimate unless that lies within the margin; then by A's exact lanes, or else by its
  // lowest block cost where that is m + 1 or more (most such lanes, in smooth regions, have
  // every block's cost m + 1), and only otherwise by its exact cost
  const double first_above = static_cast<double>(m) + 1.0;
  const double surely_below = first_above * less;
  const float maybe_below = static_cast<float>(first_above * (1.0 + 2.0 * margin));
  const auto below = [&](int d) {
    if (static_cast<double>(E[d]) < surely_below) return true;
    if (exact_from <= d && d < exact_end) return A[d] < first_above;
    need_lowest_costs();
    return lowest_costs[d] < first_above && row_window_cost(window, d) < first_above;
  };
  int h = -1;
  for (int d0 = 0; h < 0 && d0 < ndisp; d0 += NF) {
    const int at = d0 + NF <= ndisp ? d0 : ndisp - NF;  // (the last vector overlaps)
    unsigned bits = below_bits<NF>(E + at, maybe_below);
    bits &= ~0u << (d0 - at);  // (lanes before d0 were seen)
    for (; bits; bits &= bits - 1) {
      const int d = at + __builtin_ctz(bits);
      if (below(d)) {
        h = d;
        break;
      }
    }
  }
  if (h < 0)  // (only where m came out lower than the lowest cost's integer part)
    return window_winner<N, int16_t>(nullptr, 0, A, ndisp, window_sums_all<N, int16_t>(window, ndisp, A));
  // the exact costs of h - 1 .. h + 1 (those inside 0 .. ndisp-1): the screening pass's, or
  // kExactLanes from h - 1 on now
  const int first = h - 1 > 0 ? h - 1 : 0, last = h + 1 < ndisp ? h + 1 : ndisp - 1;
  if (first < exact_from || last >= exact_end) sum_exact_lanes(first);
  return Winner{m, h, true};
}

// The window kernel of this unit, in its two halves, inlined into the row's loop (out of line,
// the calls cost a tenth of the matching time: no vector register survives a call).
template <typename Cost>
[[gnu::always_inline]] inline WindowLowest window_sums_here(const WindowBlockOf<Cost>* window, int count, int ndisp,
                                                              bool whole, int hint, double* A) {
  return window_sums_fitted<ONDREL_SIMD_DOUBLES, ONDREL_SIMD_CHUNK, Cost>(window, count, ndisp, whole, hint, A);
}
template <typename Cost>
[[gnu::always_inline]] inline WindowLowest window_sums_all_here(const RowWindow<Cost>& window, int ndisp, double* A) {
  return window_sums_all<ONDREL_SIMD_DOUBLES, Cost>(window, ndisp, A);
}
constexpr int kScreenExactLanesHere = kScreenExactLanes<ONDREL_SIMD_DOUBLES>;
// (pixels: 1 or 2)
template <int P>
[[gnu::always_inline]] inline void window_screen_here(const RowWindow<int16_t>& window, int ndisp,
                                                      const ScreenedPixel* out, float* lowest) {
  window_screen<ONDREL_SIMD_DOUBLES, P>(window, ndisp, out, lowest);
}
[[gnu::always_inline]] inline Winner winner_from_screen_here(const RowWindow<int16_t>& window, float* E, double* A,
                                                             int ndisp, double lowest, double margin, int exact_from) {
  return winner_from_screen<ONDREL_SIMD_DOUBLES>(window, E, A, ndisp, lowest, margin, exact_from);
}
template <typename Cost>
[[gnu::always_inline]] inline Winner window_winner_here(const WindowBlockOf<Cost>* window, int count, double* A,
                                                        int ndisp, WindowLowest summary) {
  return window_winner<ONDREL_SIMD_DOUBLES, Cost>(window, count, A, ndisp, summary);
}
