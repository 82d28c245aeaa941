// Ondrel refinements: a denser, cleaner disparity map than ondrel::match gives, at two to six
// times its time. Off unless asked for: ondrel::match and its outputs do not change.
//
// match_refined runs these steps, each of which can be turned off:
//   1. the left view matched with ondrel::match (the given parameters, unchanged);
//   2. consistency check: the right view matched the same way (both views mirrored and
//      swapped, the result mirrored back); a left value dL(x) is kept only where the right
//      map holds a value at x - round(dL(x)) within `consistency_tolerance` of it;
//   3. fill: every pixel without a value takes the smaller of the nearest values to its left
//      and right in its row (the background side of an occlusion), or the only one there is;
//   4. filter: a weighted median over a (2 * median_radius + 1)^2 window guided by the left
//      view, weight round(1024 * exp(-colour distance / median_gamma_color)) with the
//      colour distance the sum of the 3 channel differences. It smooths the filled values
//      into the surfaces around them and keeps the edges of the left view.
// Typical use:
//
//   ondrel::Parameters p;
//   p.max_disparity = 106;
//   std::vector<float> d(w * h);
//   ondrel::Status s = ondrel::match_refined(left, right, p, ondrel::RefineOptions{}, {}, {d.data(), w, h, w});
//
// Results are exact: the same bytes for every thread count. Reentrant, prints nothing,
// throws nothing.
#pragma once

#include <ondrel/ondrel.h>

namespace ondrel {

struct RefineOptions {
  bool consistency_check = true;      // step 2 (matches the right view too: twice the time)
  float consistency_tolerance = 1.0f;  // largest |dL(x) - dR(x - round(dL(x)))| kept, >= 0
  bool fill = true;                   // step 3
  int median_radius = 4;              // step 4: 0 turns it off; at most 32
  float median_gamma_color = 12.0f;   // step 4, > 0
};

// The refined disparity map of the left view into `out` (width x height of the views; NaN
// where there is no value: only where a whole row has none, when fill is on), and when
// `confidence` has data, how likely each value is right, 0 .. 1: the left match's confidence
// (DisparityPlanes::confidence) where the value is its own and passed the consistency check,
// 0 where it was filled, half of that where the median moved it by more than 1. The views,
// parameters and options are checked like ondrel::match's; on failure (status and message)
// `out` is untouched, a cancelled call included. Options::progress sees the rows of both
// matches: rows_total is 2 x height with the consistency check, height without.
Status match_refined(const ImageView& left, const ImageView& right, const Parameters& parameters,
                     const RefineOptions& refine, const Options& options, const FloatPlane& out,
                     const FloatPlane& confidence = FloatPlane{});

}  // namespace ondrel
