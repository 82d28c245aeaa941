// The per-pixel rules after the window costs: the winner search, the sub-pixel offset, the
// uniqueness test and "no value". One body, included inside a namespace of its user:
// row_aggregation.cpp (the portable definitions that matcher/row_aggregation.h declares) and, through
// matcher/simd/kernels.simd.h, every SIMD unit, whose row loop then inlines them (out of
// line, the calls of every pixel cost a share of the matching). Plain scalar code, the same
// operations wherever it is compiled (no fused multiply-add: -ffp-contract=off).
// Includes nothing itself: needs matcher/constants.h and matcher/row_aggregation.h (Winner).

// No value in a float output: a quiet NaN.
inline float no_value_here() { return __builtin_nanf(""); }

// The integer part of a cost below the running minimum; the clamp only guards the type.
inline int truncate_cost(float a) {
  if (a <= -2147483648.0f) return -2147483647 - 1;
  return static_cast<int>(a);
}

inline Winner select_winner_here(const double* costs, int ndisp) {
  Winner w{kInitialRunningMin, -1, false};
  for (int d = 0; d < ndisp; ++d) {
    const float a = static_cast<float>(costs[d]);
    if (static_cast<double>(a) < static_cast<double>(w.m)) {  // exact; false for a NaN
      w.m = truncate_cost(a);
      w.h = d;
      w.found = true;
    }
  }
  return w;
}

inline double subpixel_offset_here(double a, double b, double c) {
  const double curvature = a + c - 2.0 * b;
  if (curvature == 0.0) return 0.0;
  return (a - c) / (2.0 * curvature);
}

inline double bounded_offset_here(double a, double b, double c) {
  const double curvature = a + c - 2.0 * b;
  if (!(curvature > 0.0)) return 0.0;
  const double offset = (a - c) / (2.0 * curvature);
  return offset < -1.0 ? -1.0 : offset > 1.0 ? 1.0 : offset;
}

inline float refine_winner_here(const double* costs, int h, int min_disparity, int max_disparity, bool bounded) {
  if (!(min_disparity < h && h < max_disparity)) return 0.0f;
  const double a = costs[h - 1 - min_disparity], b = costs[h - min_disparity], c = costs[h + 1 - min_disparity];
  if (!(a >= 0.0 && b >= 0.0 && c >= 0.0)) return 0.0f;  // a NaN fails too
  return static_cast<float>(bounded ? bounded_offset_here(a, b, c) : subpixel_offset_here(a, b, c));
}

// The sharpness of the cost minimum: the rise to the nearer neighbour over the winner's
// cost, t / (t + b + 1) for a rise t = min(a, c) - b at or above 0, so that flat minima and
// dear winners both get little. A winner at either end of the range is no proven minimum (the
// costs may fall on outside it): a sixteenth of that, from its one neighbour.
inline float winner_confidence_here(const double* costs, int h, int ndisp) {
  const double b = costs[h];
  double next = __builtin_inf();
  if (h > 0) next = costs[h - 1];
  if (h + 1 < ndisp && costs[h + 1] < next) next = costs[h + 1];
  if (!(b >= 0.0) || !(next < __builtin_inf())) return 0.0f;  // NaN, or a range of one
  const double rise = next > b ? next - b : 0.0;
  const double sharpness = rise / (rise + b + 1.0);
  return static_cast<float>(h > 0 && h + 1 < ndisp ? sharpness : sharpness / 16.0);
}

inline void apply_uniqueness_here(int x, int h, int m, float value, int* claimed_disparity, float* claimed_cost,
                                  float* uniqueness) {
  const int xr = x - h;
  assert(h >= 0 && xr >= 0);  // the claim table starts at right-view column 0
  if (claimed_disparity[xr] <= 0) {
    claimed_disparity[xr] = h;
    claimed_cost[xr] = static_cast<float>(m);
    uniqueness[x] = value;
  } else if (static_cast<double>(m) > static_cast<double>(claimed_cost[xr])) {
    uniqueness[x] = no_value_here();
  } else {
    // the claim stays the first claimant's: later pixels are compared with it too
    uniqueness[x] = value;
    uniqueness[xr + claimed_disparity[xr]] = no_value_here();
  }
}
