// The stages of the refined pipeline (match_refined with RefineOptions::method kSemiGlobal)
// up to the winners, in the order it runs them (the filters after them: post_filters.h).
// Planes are W x H, index y * W + x; rows of costs and sums hold Dp values per pixel (D
// disparities d_min .. d_min + D - 1 padded to Dp, a multiple of kDisparityLanes), pixel x at
// x * Dp. The kernels trust their inputs: match_refined checks them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondrel::internal {

// Disparities per pixel of the volume are padded to a multiple of this.
constexpr int kDisparityLanes = 16;

// Grey values 0 .. 765 (the sum of the 3 channels) of a 3-channel view (stride in bytes).
void grey_plane(const unsigned char* view, std::ptrdiff_t stride, int W, int H, int16_t* grey);

// Census strings of a 9 x 7 window (width x height): bit k (k = 0 .. 61, the window's pixels
// row by row, the centre left out) set where that neighbour's grey value is below the
// centre's; a neighbour outside the image reads the nearest pixel inside it. Rows y0 .. y1-1.
void census_rows(const int16_t* grey, int W, int H, int y0, int y1, uint64_t* census);

// Pixel costs of row y into `cost` (W x Dp): lane k < D of pixel x the Hamming distance of
// the left census at x and the right one at column x - d_min - k clamped to 0 .. W-1, 255 on
// the padding lanes. `extended` is scratch of W + D - 1 strings.
void cost_row(const uint64_t* census_left, const uint64_t* census_right, int W, int y, int d_min, int D, int Dp,
              uint64_t* extended, uint8_t* cost);

// The penalties of the smoothness term: P1 for a change of one disparity between neighbours
// along a path, P2 for a larger one, lowered where the grey values of the two neighbours
// differ (an edge): P2' = max(P1, P2 * edge / (edge + |grey(p) - grey(q)|)), edge = 0: P2.
struct Penalties {
  int p1, p2, edge;
};

// Whether semi_global_rows keeps a band's path costs from above in bytes (4 paths, P2 small
// enough for them to fit one) rather than their sums in 16 bits: half the scratch.
bool keeps_bytes(int paths, const Penalties& penalties);

// Scratch bytes of one worker of semi_global_rows (bands of `body` rows, W x Dp volume rows).
size_t band_scratch_bytes(int W, int D, int Dp, int body, int paths, const Penalties& penalties);

// Called with the rows done so far and the height; false cancels.
using RowsDone = bool (*)(void* user, int rows_done, int rows_total);

// The winners (see winners_row) of every row of the left view into `disparity` (and the margins
// into `margins` unless null), W x H, from the census strings (W x H each) and the grey plane
// of the left view. The rows go in fixed bands: body rows y0 .. y1 - 1 (y0 a multiple of
// `body`) and `margin` rows above and below them (cut at the image). Within a band, the sum of
// a pixel (x, y) of the body adds the path costs (see ondrel::internal::simd::SemiGlobalRowPaths) of the
// paths that enter the band's rows v0 .. v1 - 1 (the band with its margins) at its edge and
// reach the pixel along (1, 0), (-1, 0), (0, 1), (0, -1) and with `paths` 8 (1, 1), (-1, 1),
// (1, -1), (-1, -1): the paths of every row from the row's ends; the others from the band's
// first or last row (or the image's side), so that the margins only warm them up. Bands are
// shared among `workers` workers, each with `scratch` + its number x band_scratch_bytes; every
// value is the same whichever. `progress` (may be null) hears from the first worker; false
// when it cancelled (the planes then partly written).
bool semi_global_rows(const uint64_t* census_left, const uint64_t* census_right, const int16_t* grey, int W, int H,
                      int d_min, int D, int Dp, int paths, const Penalties& penalties, int uniqueness, int tolerance,
                      int body, int margin, int workers, unsigned char* scratch, RowsDone progress,
                      void* progress_user, float* disparity, float* margins);

// Winners of one row of sums (left view): d_min + the index k of the lowest sum (the
// lowest k of equal ones), NaN where another disparity not next to it has a sum within
// `uniqueness` percent of the lowest (second * (100 - uniqueness) < lowest * 100), or, with
// tolerance >= 0, where the right view's winner at column x - d_min - k (the lowest of the sums
// of (x' + d_min + k', k') over the k' whose left column lies in the image, the lowest k' of
// equal ones) differs from k by more than `tolerance` (or lies outside the image). The value
// carries the sub-pixel offset (s[k-1] - s[k+1]) / (2 (s[k-1] + s[k+1] - 2 s[k])) of the
// parabola through the three sums (0 at the ends of the range or where it is flat).
// `scratch` holds winners_scratch_size(W) values. `margin` (may be null) gets the relative
// margin (second - lowest) / second of the kept pixels, 0 elsewhere.
size_t winners_scratch_size(int W);
void winners_row(const int16_t* sums, int W, int d_min, int D, int Dp, int uniqueness, int tolerance,
                 int16_t* scratch, float* disparity, float* margin);

}  // namespace ondrel::internal
