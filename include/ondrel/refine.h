// Ondrel refinements: a dense, more accurate disparity map than ondrel::match gives. Off
// unless asked for: ondrel::match and its outputs do not change.
//
// match_refined runs one of two pipelines (RefineOptions::method):
//
// kSemiGlobal (the default): the matcher's own semi-global pipeline, in about the time of
// ondrel::match. Of the parameters it takes max_disparity alone.
//   1. costs: the Hamming distance of 9 x 7 census strings of the grey views (sum of the
//      3 channels), in a volume of 8-bit costs;
//   2. aggregation: semi-global paths along `paths` directions (4: rows and columns, 8: and
//      diagonals), penalties P1 = penalty_small, P2 = penalty_large, 16-bit sums. Pairs whose
//      volume exceeds a fixed budget (about 512 MiB) are aggregated in bands of rows that
//      overlap, the same bands for every thread count;
//   3. winners of the left view (lowest sum, parabola sub-pixel offset), dropped when another
//      disparity not next to it comes within `uniqueness` percent, or, with the consistency
//      check, when the right view's winner, read from the same sums along the other
//      diagonal, differs by more than consistency_tolerance;
//   4. fill: a pixel without a value takes the second lowest of the nearest values along the
//      8 directions (the background side of an occlusion);
//   5. weighted median over a (2 * median_radius + 1)^2 window guided by the left view (as
//      below), over bins of one disparity: the value of the median's bin closest to the
//      pixel's own.
//
// kDesignedMatch: ondrel::match of both views with the given parameters (its cost, --cost in
// the console program), at two to six times its time:
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
// Results are exact: the same bytes for every thread count and vector width. Reentrant,
// prints nothing, throws nothing.
#pragma once

#include <ondrel/ondrel.h>

namespace ondrel {

enum class RefineMethod { kSemiGlobal, kDesignedMatch };

struct RefineOptions {
  RefineMethod method = RefineMethod::kSemiGlobal;
  bool consistency_check = true;       // kDesignedMatch: matches the right view too (twice the time)
  float consistency_tolerance = 1.0f;  // largest |dL(x) - dR(x - round(dL(x)))| kept, >= 0
  bool fill = true;
  int median_radius = -1;              // -1: the method's own (kSemiGlobal 2, kDesignedMatch 4); 0: off; <= 32
  float median_gamma_color = 12.0f;    // > 0
  // kSemiGlobal only:
  int penalty_small = 10;   // P1, 1 .. penalty_large - 1
  int penalty_large = 120;  // P2, at most kMaxPenalty
  int paths = 4;            // 4 or 8
  int uniqueness = 5;       // percent, 0 .. 99
};
constexpr int kMaxPenalty = 1000;

// The refined disparity map of the left view into `out` (width x height of the views; NaN
// where there is no value: with the fill, only where the designed match leaves a whole row
// without one, or the semi-global one the whole image), and when `confidence` has data, how
// likely each value is right, 0 .. 1. kDesignedMatch: the left match's confidence
// (DisparityPlanes::confidence) where the value is its own and passed the consistency check,
// 0 where it was filled, half of that where the median moved it by more than 1. kSemiGlobal:
// the relative margin (second lowest - lowest) / second lowest of the path sums where the
// value is its own and passed the checks, 0 where it was filled, half of that where the
// median moved it by more than 1. The views, parameters and options are checked like
// ondrel::match's; on failure (status and message) `out` is untouched, a cancelled call
// included. Options::progress sees the rows of both matches (kDesignedMatch: rows_total is
// 2 x height with the consistency check, height without) or of the bands (kSemiGlobal:
// rows_total is the height).
Status match_refined(const ImageView& left, const ImageView& right, const Parameters& parameters,
                     const RefineOptions& refine, const Options& options, const FloatPlane& out,
                     const FloatPlane& confidence = FloatPlane{});

}  // namespace ondrel
