// The refined map's weighted median kernels (see KernelTable::median_sums and median_weights):
// the window sums of a row of centres, every offset's weight kept in registers, and the
// weights of a row against one offset. Included by kernels.simd.h inside the unit's namespaces.

// The sums of M centres from x on (M 16-bit lanes; the float sums in two halves of M / 2).
// The weighted value of the float sums: float(w) * value masked by the bin, which adds +0
// where the old masked weight added 0 x value: the same sums (a sum that starts at +0 is
// never -0).
template <int M>
[[gnu::always_inline]] inline void median_lanes(const MedianWindow& window, int x, const MedianSums& out) {
  using Short = Vec<int16_t, M>;
  using Float = Vec<float, M / 2>;
  Short own, one, none, below{}, at{}, lower{}, upper{}, total{};
  load(own, window.own + x);
  splat<int16_t, M>(one, 1);
  splat<int16_t, M>(none, -1);
  const Short own_below = own - one, own_above = own + one;
  Float at_sum[2] = {}, lower_sum[2] = {}, upper_sum[2] = {};
  for (int k = 0; k < window.K; ++k) {
    Short b, w;
    load(b, window.bins[k] + x);
    load(w, window.weights[k] + x);
    w &= b > none;
    below += w & (b < own);
    at += w & (b == own);
    lower += w & (b == own_below);
    upper += w & (b == own_above);
    total += w;
    for (int h = 0; h < 2; ++h) {
      Float weight, value;
      widen_half<M / 2>(weight, w, h);
      load(value, window.values[k] + x + h * (M / 2));
      const Float product = weight * value;
      add_where_equal<M / 2>(at_sum[h], b, own, h, product);
      add_where_equal<M / 2>(lower_sum[h], b, own_below, h, product);
      add_where_equal<M / 2>(upper_sum[h], b, own_above, h, product);
    }
  }
  store(out.below + x, below);
  store(out.at + x, at);
  store(out.lower + x, lower);
  store(out.upper + x, upper);
  store(out.total + x, total);
  for (int h = 0; h < 2; ++h) {
    store(out.at_sum + x + h * (M / 2), at_sum[h]);
    store(out.lower_sum + x + h * (M / 2), lower_sum[h]);
    store(out.upper_sum + x + h * (M / 2), upper_sum[h]);
  }
}

// The window sums of a row (see KernelTable): N centres at a time, then 16 and 8 where N is
// wider, the last ones one by one.
template <int N>
void median_sums(const MedianWindow& window, int W, const MedianSums& out) {
  int x = 0;
  for (; x + N <= W; x += N) median_lanes<N>(window, x, out);
  if constexpr (N > 16)
    if (x + 16 <= W) median_lanes<16>(window, x, out), x += 16;
  if constexpr (N > 8)
    if (x + 8 <= W) median_lanes<8>(window, x, out), x += 8;
  for (; x < W; ++x) {
    const int own = window.own[x];
    int below = 0, at = 0, lower = 0, upper = 0, total = 0;
    float at_sum = 0.0f, lower_sum = 0.0f, upper_sum = 0.0f;
    for (int k = 0; k < window.K; ++k) {
      const int b = window.bins[k][x], w = b >= 0 ? window.weights[k][x] : 0;
      const float product = static_cast<float>(w) * window.values[k][x];
      below += b < own ? w : 0;
      total += w;
      if (b == own) at += w, at_sum += product;
      if (b == own - 1) lower += w, lower_sum += product;
      if (b == own + 1) upper += w, upper_sum += product;
    }
    out.below[x] = static_cast<int16_t>(below);
    out.at[x] = static_cast<int16_t>(at);
    out.lower[x] = static_cast<int16_t>(lower);
    out.upper[x] = static_cast<int16_t>(upper);
    out.total[x] = static_cast<int16_t>(total);
    out.at_sum[x] = at_sum;
    out.lower_sum[x] = lower_sum;
    out.upper_sum[x] = upper_sum;
  }
}

// The colour distances of K pixels from x on, in 16-bit lanes.
template <int K>
[[gnu::always_inline]] inline void colour_distances(const uint8_t* a, const uint8_t* b, size_t planes, int x,
                                                    Vec<int16_t, K>& distance) {
  distance = Vec<int16_t, K>{};
  for (int c = 0; c < 3; ++c) {
    Vec<uint8_t, K> p, q;
    load(p, a + c * planes + x);
    load(q, b + c * planes + x);
    const Vec<uint8_t, K> m = reinterpret_cast<Vec<uint8_t, K>>(p > q);
    distance += __builtin_convertvector(((p - q) & m) | ((q - p) & ~m), Vec<int16_t, K>);
  }
}

// The weights of a row against one offset (see KernelTable): K pixels at a time, looked up
// with permutes where the weights end below 256 and the unit has them, one by one elsewhere.
template <int K>
void median_weights(const uint8_t* a, const uint8_t* b, size_t planes, int W, const int16_t* weights, int reach,
                    int16_t* to) {
  int x = 0;
  Vec<int16_t, K> distance;
  if constexpr (kLooksUp256 && K == 32) {
    if (reach < 256) {
      Vec<int16_t, 32> table[8], last, w;
      for (int i = 0; i < 8; ++i) load(table[i], weights + 32 * i);
      splat<int16_t, 32>(last, 255);  // (weights[255] == 0 as every weight beyond)
      for (; x + K <= W; x += K) {
        colour_distances<K>(a, b, planes, x, distance);
        lower<K>(distance, distance, last);
        look_up256(w, table, distance);
        store(to + x, w);
      }
    }
  }
  for (; x + K <= W; x += K) {
    int16_t d[K];
    colour_distances<K>(a, b, planes, x, distance);
    store(d, distance);
    for (int j = 0; j < K; ++j) to[x + j] = weights[d[j]];
  }
  for (; x < W; ++x) {
    int d = 0;
    for (int c = 0; c < 3; ++c) {
      const int p = a[c * planes + x], q = b[c * planes + x];
      d += p > q ? p - q : q - p;
    }
    to[x] = weights[d];
  }
}
