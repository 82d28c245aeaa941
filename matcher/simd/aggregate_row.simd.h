// The aggregation of a row, for one instruction set: the per-row work around the window
// kernel (weights, window lists, winners, uniqueness), built for the same instruction set as
// the kernel it calls.
// Included by matcher/simd/kernels.simd.h only, inside ondrel::internal::simd::<ISA> and its unnamed
// namespace, after the vector layer (matcher/simd/vec.h): it includes nothing itself.

// Block centre offsets of the support window, in block order (dy outer, dx inner).
struct BlockOffsets {
  int n;      // blocks per axis
  int first;  // r - R
  int step;   // 2r + 1
  int dx(int k) const { return first + (k % n) * step; }
  int dy(int k) const { return first + (k / n) * step; }
};

// Empties the row's claim table.
void reset_claims(const AggregationContext& c, const AggregationScratch& s) {
  const size_t claims = static_cast<size_t>(c.max_disparity) + static_cast<size_t>(c.W) + 1 -
                        static_cast<size_t>(c.min_disparity);
  for (size_t i = 0; i < claims; ++i) {
    s.claimed_disparity[i] = kUnclaimedDisparity;
    s.claimed_cost[i] = kUnclaimedCost;
  }
}

// Every element of the row without a value, before the row's pixels are written.
void clear_row(const RowOutputs& out, int W) {
  for (int x = 0; x < W; ++x) out.disparity[x] = out.uniqueness[x] = out.right_disparity[x] = no_value_here();
  for (int x = 0; out.confidence && x < W; ++x) out.confidence[x] = 0.0f;
}

// The columns [*begin, *end) of row y that are processed: x >= first_column and, with the
// border, border <= x <= W - border and border <= y <= H - border.
void processed_columns(const AggregationContext& c, int y, int* begin, int* end) {
  *begin = c.first_column > c.border ? c.first_column : c.border;
  *end = c.W - c.border + 1 < c.W ? c.W - c.border + 1 : c.W;
  if (y < c.border || y > c.H - c.border) *end = *begin;
}

// Refinement, the three output bytes and the uniqueness test of pixel x, from its winner and
// its window costs A(d) (only those around the winner are read).
[[gnu::always_inline]] inline void finish_pixel(const AggregationContext& c, const AggregationScratch& s,
                                                const RowOutputs& out, int x, const Winner& winner, const double* A) {
  if (!winner.found) {
    out.disparity[x] = no_value_here();
    return;
  }
  const int h = winner.h;
  const float value = static_cast<float>(h + c.value_offset) +
                      refine_winner_here(A, h, c.min_disparity, c.max_disparity, c.bounded_offsets);
  out.disparity[x] = value;
  if (out.confidence) out.confidence[x] = winner_confidence_here(A, h, c.max_disparity + 1);
  out.right_disparity[x - h] = value;
  apply_uniqueness_here(x, h, winner.m, value, s.claimed_disparity, s.claimed_cost, out.uniqueness);
}

// The row's blocks: those whose rows lie inside the image (they depend on y alone), with
// their colour weights along the row, each computed once: the right ones per block with the
// columns reversed, wR(xr, y, k) at k * W + W-1-xr; the left ones, ws[k] * wL(x, y, k)
// rounded to float, at k * W + x for the processed columns x >= x_begin. Only the columns
// whose block lies inside are written; no valid (x, d) reads any other. Returns the number of
// blocks listed in row_blocks (the scratch's); the pixels x in [*all_first, *all_end) have
// every listed block valid for every d. cost_rows: the context's rows of this cost type.
template <typename Cost>
[[gnu::always_inline]] inline int list_row_blocks(const AggregationContext& c, const AggregationScratch& s,
                                                  const Cost* const* const* cost_rows, RowBlockOf<Cost>* row_blocks,
                                                  int y, int x_begin, int* all_first, int* all_end) {
  const int W = c.W, H = c.H, r = c.r;
  const BlockOffsets blocks{blocks_per_axis(r, c.R), r - c.R, 2 * r + 1};
  constexpr int kLeft[3] = {left_plane(0), left_plane(1), left_plane(2)};  // constants: no call at run time
  constexpr int kRight[3] = {right_plane(0), right_plane(1), right_plane(2)};
  const unsigned char* const left_means[3] = {c.planes[kLeft[0]], c.planes[kLeft[1]], c.planes[kLeft[2]]};
  const unsigned char* const right_means[3] = {c.planes[kRight[0]], c.planes[kRight[1]], c.planes[kRight[2]]};
  const unsigned char* left_row = c.left + static_cast<size_t>(y) * c.left_stride;
  const unsigned char* right_row = c.right + static_cast<size_t>(y) * c.right_stride;

  // the row's pixels, channel by channel (restrict: the int stores cannot change the bytes,
  // and the copy becomes vector code)
  int* const left_pixels[3] = {s.row_pixels, s.row_pixels + W, s.row_pixels + 2 * W};
  int* const right_pixels[3] = {s.row_pixels + 3 * W, s.row_pixels + 4 * W, s.row_pixels + 5 * W};
  const auto split_channels = [W](const unsigned char* __restrict row, int* __restrict c0, int* __restrict c1,
                                  int* __restrict c2) {
    for (int x = 0; x < W; ++x) {
      c0[x] = row[3 * x];
      c1[x] = row[3 * x + 1];
      c2[x] = row[3 * x + 2];
    }
  };
  split_channels(left_row, left_pixels[0], left_pixels[1], left_pixels[2]);
  split_channels(right_row, right_pixels[0], right_pixels[1], right_pixels[2]);

  int listed = 0;
  *all_first = c.first_column, *all_end = W;
  for (int k = 0; k < c.nblocks; ++k) {
    const int dx = blocks.dx(k), by = y + blocks.dy(k);
    if (by - r < 0 || by + r >= H) continue;
    const size_t row = static_cast<size_t>(by) * W;
    // columns with bx = x + dx in [r, W-1-r]
    const int first = r - dx > 0 ? r - dx : 0, end = W - r - dx < W ? W - r - dx : W;
    double* reversed = s.right_weights_reversed + static_cast<size_t>(k) * W;
    float* reversed_floats = s.right_float_weights_reversed + static_cast<size_t>(k) * W;
    float* left = s.left_weights_by_block + static_cast<size_t>(k) * W;
    const auto distances = [&](const unsigned char* const means[3], int* const pixels[3], int from) {
      // the block means at x + dx and the pixels at x, from column `from` on
      const size_t at = row + static_cast<size_t>(from + dx);
      const unsigned char* __restrict m0 = means[0] + at;
      const unsigned char* __restrict m1 = means[1] + at;
      const unsigned char* __restrict m2 = means[2] + at;
      const int* __restrict p0 = pixels[0] + from;
      const int* __restrict p1 = pixels[1] + from;
      const int* __restrict p2 = pixels[2] + from;
      int* __restrict squared = s.distances + from;
      // whole vectors of ints, then the rest one by one
      constexpr int K = 2 * ONDREL_SIMD_DOUBLES;
      typedef Vec<int, K> Ints;
      const int n = end - from;
      int i = 0;
      for (; i + K <= n; i += K) {
        Ints b0, b1, b2, q0, q1, q2;
        widen<K>(b0, m0 + i), widen<K>(b1, m1 + i), widen<K>(b2, m2 + i);
        load(q0, p0 + i), load(q1, p1 + i), load(q2, p2 + i);
        const Ints d0 = b0 - q0, d1 = b1 - q1, d2 = b2 - q2;
        store(squared + i, d0 * d0 + d1 * d1 + d2 * d2);
      }
      for (; i < n; ++i) {
        const int d0 = m0[i] - p0[i], d1 = m1[i] - p1[i], d2 = m2[i] - p2[i];
        squared[i] = d0 * d0 + d1 * d1 + d2 * d2;
      }
    };
    // the colour weights, 16 columns in one gather where the unit has them (a fifth of the
    // row weights' time at 4x), the rest one by one
    distances(right_means, right_pixels, first);
    int x = first;
    if constexpr (kGathers16) {
      for (; x + 16 <= end; x += 16) {
        Vec<float, 16> w;
        look_up16(w, c.exp_lut, s.distances + x);
        store_reversed16(reversed + (W - 16 - x), w);
        store_reversed16(reversed_floats + (W - 16 - x), w);
      }
    }
    for (; x < end; ++x) reversed[W - 1 - x] = reversed_floats[W - 1 - x] = c.exp_lut[s.distances[x]];
    // (the left weights only where a pixel is processed)
    const int left_first = first > x_begin ? first : x_begin;
    distances(left_means, left_pixels, left_first);
    const float spatial = c.spatial[k];
    x = left_first;
    if constexpr (kGathers16) {
      for (; x + 16 <= end; x += 16) {
        Vec<float, 16> w;
        look_up16(w, c.exp_lut, s.distances + x);
        store(left + x, w * spatial);
      }
    }
    for (; x < end; ++x) left[x] = spatial * c.exp_lut[s.distances[x]];
    // for pixel x the block is valid for d = 0 .. min(max_disparity, x + dx - r, x) when
    // x + dx + r < W (condition 4) and that range is not empty
    row_blocks[listed++] = RowBlockOf<Cost>{cost_rows[by], reversed + (W - 1), reversed_floats + (W - 1), left, dx,
                                            first, end};
    const int full_from = c.max_disparity + r - dx;  // x + dx - r >= max_disparity
    if (*all_first < first) *all_first = first;
    if (*all_first < full_from) *all_first = full_from;
    if (*all_first < c.max_disparity) *all_first = c.max_disparity;
    if (*all_end > end) *all_end = end;
  }
  return listed;
}

// Whether every nonzero weight of a block is at least 2^-59 and none is above 2^10, as the
// single-precision screening (window_screen) needs: their products and sums then stay
// normal floats. A weight is spatial * wL * wR (the product of the first two rounded to
// float); the colour weights run from lut[0] to lut[kExpLutFilled - 1], one way or the
// other, and the entries beyond are 0; the margins cover the roundings.
inline bool weights_allow_screening(const AggregationContext& c) {
  const float first = c.exp_lut[0], last = c.exp_lut[kExpLutFilled - 1];
  const float least = first < last ? first : last, most = first < last ? last : first;
  float least_spatial = c.spatial[0], most_spatial = c.spatial[0];
  for (int k = 1; k < c.nblocks; ++k) {
    least_spatial = c.spatial[k] < least_spatial ? c.spatial[k] : least_spatial;
    most_spatial = c.spatial[k] > most_spatial ? c.spatial[k] : most_spatial;
  }
  return least >= 0x1p-59f && static_cast<double>(least) * least_spatial >= 0x1p-59 && most <= 0x1p10f &&
         static_cast<double>(most) * most_spatial <= 0x1p10;  // false for a NaN
}

// The cost vectors of the pixel kAhead columns on are fetched into the cache while this one
// is summed: each pixel's blocks start new vectors in rows far apart, which the hardware's
// prefetch does not foresee (8 columns ahead gain no more than 4). Where every
// chunk is summed at once, only the rightmost block of each row of blocks is fetched: it
// reads the columns the others read (2r + 1) and more pixels later.
constexpr int kAhead = 4;

// Block b's cost vector of the pixel kAhead columns on x into the cache.
template <typename Cost>
[[gnu::always_inline]] inline void prefetch_ahead(const RowBlockOf<Cost>& b, int x) {
  if (x + kAhead < b.end) {  // (the row's pointer of that column exists)
    const char* ahead = reinterpret_cast<const char*>(b.costs[x + kAhead + b.dx]);
    __builtin_prefetch(ahead);
    __builtin_prefetch(ahead + 64);
  }
}

// The valid blocks of pixel x, in block order, with their left weights and disparity ranges,
// into `window`; returns their number. `all_valid`: every listed block is valid for every d.
template <typename Cost>
[[gnu::always_inline]] inline int pixel_window(const AggregationContext& c, const RowBlockOf<Cost>* row_blocks,
                                               int listed, int x, bool all_valid, WindowBlockOf<Cost>* window) {
  if (all_valid) {
    for (int i = 0; i < listed; ++i) {
      const RowBlockOf<Cost>& b = row_blocks[i];
      prefetch_ahead(b, x);
      window[i] = WindowBlockOf<Cost>{b.costs[x + b.dx], b.right_weights - x, b.left_weights[x], c.max_disparity};
    }
    return listed;
  }
  int count = 0;
  for (int i = 0; i < listed; ++i) {
    const RowBlockOf<Cost>& b = row_blocks[i];
    if (x < b.first || x >= b.end) continue;
    int last = x + b.dx - c.r;
    if (last > x) last = x;
    if (last > c.max_disparity) last = c.max_disparity;
    if (last < 0) continue;
    window[count++] = WindowBlockOf<Cost>{b.costs[x + b.dx], b.right_weights - x, b.left_weights[x], last};
  }
  return count;
}

// Fast version of the aggregation of row y. For pixel x and block k the conditions that do
// not depend on d (rows inside the image, left block inside on the right) are tested once,
// and the block is valid for every d = 0 .. min(max_disparity, x + dx - r, x): one contiguous
// range. The block's costs and, with the right weights stored column-reversed, its right
// weights for consecutive d are consecutive in memory. A chunk of disparities is accumulated
// at once in registers, block after block in block order, so each disparity sees the very
// operations of the reference: w = (double)left_weight * (double)wR, weight_sum += w,
// cost_sum += w * (double)C (window_sums). Each pixel's winner is worked out after the next
// pixel's sums are started, so that the two overlap. Cost: the type of the cost rows.
// Disparity counts up to which two screened pixels share one pass: two vectors of floats.
constexpr int kPairedDisparities = 2 * (2 * ONDREL_SIMD_DOUBLES);

template <typename Cost, bool kPairs>
void aggregate_row_of(const AggregationContext& context, const AggregationScratch& scratch,
                      const Cost* const* const* cost_rows, int y, const RowOutputs& out) {
  // local copies: the stores through byte and int pointers below could otherwise alias the
  // caller's records, and their fields would be read again after each store
  const AggregationContext c = context;
  const AggregationScratch s = scratch;
  const int W = c.W, nb = c.nblocks, ndisp = c.max_disparity + 1;
  assert(0 <= y && y < c.H && W >= 2 * c.r + 1 && c.H >= 2 * c.r + 1);
  // the scratch's block records, in this cost type's layout (the same as the int one)
  RowBlockOf<Cost>* const row_blocks = reinterpret_cast<RowBlockOf<Cost>*>(s.row_blocks);
  WindowBlockOf<Cost>* const windows = reinterpret_cast<WindowBlockOf<Cost>*>(s.window);
  reset_claims(c, s);
  int x_begin, x_end;
  processed_columns(c, y, &x_begin, &x_end);
  int all_first, all_end;
  const int listed = list_row_blocks(c, s, cost_rows, row_blocks, y, x_begin, &all_first, &all_end);

  clear_row(out, W);
  // The pixels whose winners are still to be found (up to two: a screened pair), with the
  // scratch they use: the window costs in one group of two slots of s.costs and window
  // records in one half of s.window, the group the next pixels do not use.
  struct Pending {
    int x;
    double* A;
    const WindowBlockOf<Cost>* window;
    int count;
    WindowLowest lowest;
    int exact_from;  // a screened pixel's exact lanes (window_screen)
  };
  Pending pending[2] = {};
  int npending = 0, pending_group = 1;
  int hint = 0;  // the last winner found: the next pixels' winners are likely to lie near it
  // Every kSampleEvery-th pixel is pruned chunk by chunk; where its bound let most chunks
  // through, the pixels up to the next one sum every chunk at once (window_sums_all). Where
  // the costs are 16-bit and the screening's bounds hold (weights, a vector of floats of
  // disparities, a margin that stays small: up to 64 blocks), those pixels are screened in
  // single precision instead (window_screen, winner_from_screen); and with vectors of 8 or
  // 16 floats and up to 8 of them for the disparities, every pixel whose blocks are all
  // valid is: screening all of it then costs less than pruning even where the bound skips
  // most chunks, but not with more vectors, where pruning skips most of a wide range (the
  // measurements: docs/design.md). With up to 2 vectors of
  // disparities, two such pixels are screened in one pass. Every way the window costs and
  // winners are the same; only the time differs.
  constexpr int kSampleEvery = 8;
  const int blocks_across = blocks_per_axis(c.r, c.R);  // (the listed blocks are whole rows of them)
  bool sum_all = false;
  constexpr int kFloats = 2 * ONDREL_SIMD_DOUBLES;
  const bool screen_every = kFloats >= 8 && ndisp <= 8 * kFloats;
  bool screened = false;
  if constexpr (sizeof(Cost) == 2)
    screened = ndisp >= kFloats && listed <= 64 && weights_allow_screening(c);
  const bool pairs = kPairs && screened && screen_every && ndisp <= kPairedDisparities && listed > 0;
  const double margin = screen_margin(listed);
  const size_t slot = window_scratch_doubles(ndisp);
  const auto finish = [&](const Pending& p) __attribute__((always_inline)) {
    const Winner winner = [&]() __attribute__((always_inline)) {
      if constexpr (sizeof(Cost) == 2) {
        if (p.lowest.screened)
          return winner_from_screen_here(RowWindow<int16_t>{row_blocks, listed, p.x}, window_estimates(p.A, ndisp),
                                         p.A, ndisp, p.lowest.lowest, margin, p.exact_from);
      }
      return window_winner_here(p.window, p.count, p.A, ndisp, p.lowest);
    }();
    if (winner.found) hint = winner.h;
    finish_pixel(c, s, out, p.x, winner, p.A);
  };
  const auto finish_pending = [&]() __attribute__((always_inline)) {
    if (npending > 0) finish(pending[0]);
    if (kPairs && npending > 1) finish(pending[1]);
    npending = 0;
  };
  // (the exact lanes centred on the last winner's refinement: the next is likely near)
  const auto exact_lanes_from = [&]() __attribute__((always_inline)) {
    int from = hint - (kScreenExactLanesHere - 3) / 2 - 1;
    from = from < ndisp - kScreenExactLanesHere ? from : ndisp - kScreenExactLanesHere;
    return from > 0 ? from : 0;
  };
  for (int x = x_begin; x < x_end;) {
    // this pixel's sums (or this pair's), then the winners of those before, whose data are
    // ready by now
    const int group = pending_group ^ 1;
    double* const A = s.costs + 2 * static_cast<size_t>(group) * slot;
    WindowBlockOf<Cost>* const window = windows + group * nb;
    const bool whole = all_first <= x && x < all_end;
    if constexpr (kPairs) {
      if (pairs && whole && x + 1 < all_end && x + 1 < x_end) {
        for (int i = blocks_across - 1; i < listed; i += blocks_across)
          prefetch_ahead(row_blocks[i], x), prefetch_ahead(row_blocks[i], x + 1);
        const int from = exact_lanes_from();
        double* const A1 = A + slot;
        const ScreenedPixel screen[2] = {{window_estimates(A, ndisp), from, A}, {window_estimates(A1, ndisp), from, A1}};
        float low[2];
        window_screen_here<2>(RowWindow<int16_t>{row_blocks, listed, x}, ndisp, screen, low);
        finish_pending();
        pending[0] = Pending{x, A, nullptr, 0, WindowLowest{low[0], true, true, true}, from};
        pending[1] = Pending{x + 1, A1, nullptr, 0, WindowLowest{low[1], true, true, true}, from};
        npending = 2;
        pending_group = group;
        x += 2;
        continue;
      }
    }
    const bool sample = (x - x_begin) % kSampleEvery == 0;
    const bool at_once = ((screened && screen_every) || (!sample && sum_all)) && whole && listed > 0;
    // (no records where every chunk is summed at once: the winner then reads no block)
    const int count = at_once ? 0 : pixel_window(c, row_blocks, listed, x, whole, window);
    if (count > listed) __builtin_unreachable();  // (it never is: said for GCC 12, which warns otherwise)
    int exact_from = 0;
    WindowLowest lowest;
    if (at_once) {
      for (int i = blocks_across - 1; i < listed; i += blocks_across) prefetch_ahead(row_blocks[i], x);
      lowest = [&]() __attribute__((always_inline)) {
        if constexpr (sizeof(Cost) == 2) {
          if (screened) {
            exact_from = exact_lanes_from();
            const ScreenedPixel screen{window_estimates(A, ndisp), exact_from, A};
            float low;
            window_screen_here<1>(RowWindow<int16_t>{row_blocks, listed, x}, ndisp, &screen, &low);
            return WindowLowest{low, true, true, true};
          }
        }
        return window_sums_all_here(RowWindow<Cost>{row_blocks, listed, x}, ndisp, A);
      }();
    } else {
      lowest = window_sums_here(window, count, ndisp, whole, hint, A);
      if (sample) sum_all = lowest.most_summed;
    }
    finish_pending();
    pending[0] = Pending{x, A, window, count, lowest, exact_from};
    npending = 1;
    pending_group = group;
    ++x;
  }
  finish_pending();
}

// The aggregation of row y, on the context's cost rows (16-bit or int); the loop that screens
// pixels in pairs is its own, so that the others' loop keeps one pending pixel in registers.
void aggregate_row(const AggregationContext& c, AggregationScratch& s, int y, const RowOutputs& out) {
  if (c.narrow_cost_rows && c.max_disparity + 1 <= kPairedDisparities)
    aggregate_row_of<int16_t, true>(c, s, c.narrow_cost_rows, y, out);
  else if (c.narrow_cost_rows)
    aggregate_row_of<int16_t, false>(c, s, c.narrow_cost_rows, y, out);
  else
    aggregate_row_of<int, false>(c, s, c.cost_rows, y, out);
}
