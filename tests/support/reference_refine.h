// The refined pipeline's stages (refine/semi_global.h, refine/post_filters.h) written straight
// from their definitions, slow and plain; tests/test_semi_global.cpp compares the kernels with
// them.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "refine/post_filters.h"
#include "refine/semi_global.h"

namespace ondrel_test {

// Census strings of the grey plane (W x H), 9 x 7 windows, clamped neighbours.
std::vector<uint64_t> reference_census(const std::vector<int16_t>& grey, int W, int H);

// The cost volume, Dp lanes per pixel, 255 on the padding lanes.
std::vector<uint8_t> reference_costs(const std::vector<uint64_t>& left, const std::vector<uint64_t>& right, int W,
                                     int H, int d_min, int D, int Dp);

// The path costs L of every pixel (Dp lanes each) along direction (dx, dy): each scanline
// walked from where it enters the image, one pixel after another, the recurrence over all Dp
// lanes.
std::vector<int> reference_path(const std::vector<uint8_t>& cost, const std::vector<int16_t>& grey, int W, int H, int Dp,
                                int dx, int dy, const ondrel::internal::Penalties& penalties);

// The sums of reference_path along the first `paths` directions: (1, 0), (-1, 0), (0, 1),
// (0, -1), then the diagonals.
std::vector<int16_t> reference_paths(const std::vector<uint8_t>& cost, const std::vector<int16_t>& grey, int W, int H,
                                     int Dp, int paths, const ondrel::internal::Penalties& penalties);

// The kernel table's semi_global_winners on one row of sums, by its definition: per pixel x
// best, lowest and second; per right column c the right view's lowest lane and sum
// (right_best[c], right_low[c]: -1 and 0x7FFF where no left column meets c).
struct WinnerLanes {
  std::vector<int16_t> best, lowest, second, right_best, right_low;
};
WinnerLanes reference_winner_lanes(const int16_t* row, int W, int d_min, int D, int Dp);

// The kernel table's semi_global_pick on one pixel, by its definition: the value (NaN: none)
// and its margin.
void reference_pick(int best, int lowest, int second, int below, int above, int match, int d_min, int D, int uniqueness,
                    int tolerance, float* value, float* margin);

// Winners of every row (NaN: none), by the definition of winners_row.
std::vector<float> reference_winners(const std::vector<int16_t>& sums, int W, int H, int d_min, int D, int Dp,
                                     int uniqueness, int tolerance);

// semi_global_rows by its definition: each band's rows with its margins taken as an image of
// their own (costs, paths, winners), the winners of its body rows kept.
std::vector<float> reference_rows(const std::vector<uint64_t>& left, const std::vector<uint64_t>& right,
                                  const std::vector<int16_t>& grey, int W, int H, int d_min, int D, int Dp, int paths,
                                  const ondrel::internal::Penalties& penalties, int uniqueness, int tolerance, int body,
                                  int margin);

// fill_holes and median_rows by their definitions.
std::vector<float> reference_fill(const std::vector<float>& in, int W, int H);
std::vector<float> reference_median(const std::vector<float>& in, int W, int H, const cv::Mat& guide, int r,
                                    float gamma, int d_min, int D);

}  // namespace ondrel_test
