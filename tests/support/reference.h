// The matcher's stages written straight from their definitions, slow and plain, in the order
// the matcher runs them; the tests compare the fast kernels and the library entry with them.
// Images are 3-channel 8-bit cv::Mat views (any stride); the other conventions are those of
// matcher/stages.h.
#pragma once

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>
#include <ondrel/ondrel.h>
#include <opencv2/core/mat.hpp>

#include "matcher/stages.h"

namespace ondrel_test {

using namespace ondrel::internal;  // the matcher's stages, constants and test hooks

// The parameters of a call: these radii, disparities, threshold, colour gamma and cost, the
// default gamma_space.
inline ondrel::Parameters parameters(int r, int R, int max_disparity, int T = 53, float gamma_color = 23,
                                     ondrel::CostFunction cost = ondrel::CostFunction::kTad) {
  ondrel::Parameters p;
  p.block_radius = r, p.support_radius = R, p.max_disparity = max_disparity, p.tad_threshold = T;
  p.gamma_color = gamma_color, p.cost = cost;
  return p;
}

// 1. Tables. The weight of squared distance i: exp(-(sqrt(i) / gamma)), the root and the
// quotient in double, the quotient rounded to float, then the single-precision exponential.
float reference_weight(int squared, float gamma);
// The spatial weight of every block of a support window, row by row (dy outer, dx inner).
std::vector<float> reference_spatial_weights(int r, int R, float gamma_space);

// 2. Block means of both views, six W * H planes interleaved as row_aggregation.h has them
// (left_plane(c), right_plane(c)): the block sum divided by (2r+1)^2, truncated, where the
// block lies wholly inside the image; 0 elsewhere.
std::vector<std::vector<unsigned char>> reference_block_means(const cv::Mat& left, const cv::Mat& right, int r);

// A cost volume whose vectors are allocated one by one at exactly their length (so that the
// sanitizer builds catch any access past one), each filled with `marker`. pointers: W * H
// (index y * W + x); rows: H pointers into it, as AggregationContext::cost_rows and
// cost_stream_rows take them.
// T: the cost type, int or int16_t (the 16-bit rows of cost_stream_rows).
template <typename T>
struct CostVolumeOf {
  CostVolumeOf(int W_, int H_, int D_, int marker = -7)
      : W(W_), H(H_), D(D_), vectors(static_cast<size_t>(W_) * H_, std::vector<T>(D_, static_cast<T>(marker))) {
    for (auto& v : vectors) pointers.push_back(v.data());
    for (int y = 0; y < H; ++y) rows.push_back(pointers.data() + static_cast<size_t>(y) * W);
  }
  CostVolumeOf(const CostVolumeOf&) = delete;
  CostVolumeOf& operator=(const CostVolumeOf&) = delete;
  int W, H, D;
  std::vector<std::vector<T>> vectors;
  std::vector<T*> pointers;
  std::vector<T* const*> rows;
};
using CostVolume = CostVolumeOf<int>;

// 3. The block cost volume of cost_stream_rows' contract: every block's pixel costs summed
// one by one. Needs W, H >= 2r+1, r >= 0, D >= 1, d0 >= 0 and volume of W x H x D. census:
// the pixel cost is the Hamming distance of the two pixels' census strings
// (ondrel::CostFunction::kCensus), computed here from the views.
void reference_cost_volume(const cv::Mat& left, const cv::Mat& right, int d0, int r, int T, CostVolume* volume,
                           bool census = false);

// The float planes of one call, W * H each, no stride: disparity, uniqueness, right
// disparity, confidence (the order of ondrel::DisparityPlanes; the last may be left empty).
struct Planes {
  int W = 0, H = 0;
  std::vector<float> plane[4];
};

// Everything the aggregation reads, made by the stages above, and its context. For a range
// min_disparity .. max_disparity, `right` is the right view shifted by min_disparity (column
// x holds column x - min, the nearest one inside where that is outside), matched for 0 .. max - min.
struct ReferenceInputs {
  ReferenceInputs(const cv::Mat& left, const cv::Mat& right, const ondrel::Parameters& p);
  cv::Mat left, right;
  ondrel::Parameters p;
  std::vector<float> lut, spatial;
  std::vector<std::vector<unsigned char>> means;
  CostVolume costs;
  bool bounded_offsets = true;  // the library's float planes; false: the console program's values
  AggregationContext context() const;
};

// 4. The whole pipeline of the stages above, row by row. Each row straight from the
// aggregation's definition (AggregateRow's contract): for every pixel, disparity and valid
// block in turn, then select_winner, refine_winner and apply_uniqueness. From the inputs: the
// rows as the aggregation writes them (the confidence before the look at the finished map);
// from the views: what ondrel::match must write (reference_confidence_from_map applied).
Planes reference_match(const ReferenceInputs& in);
Planes reference_match(const cv::Mat& left, const cv::Mat& right, const ondrel::Parameters& p,
                       bool bounded_offsets = true);

// The confidence's look at the finished map (matcher/confidence.h), pixel by pixel, on the
// confidence plane of a whole match.
void reference_confidence_from_map(Planes* planes);

// ondrel::match into planes whose rows are `pad` floats longer than W, filled with a marker
// first; a write into the spare floats is a test failure. Returns the status. confidence:
// the confidence plane is asked for too (else out's stays empty). matcher: the call goes
// through it instead (Matcher::compute).
ondrel::Status match_planes(const cv::Mat& left, const cv::Mat& right, const ondrel::Parameters& p,
                            const ondrel::Options& options, Planes* out, int pad = 3, bool confidence = true,
                            ondrel::Matcher* matcher = nullptr);

// The same bits (NaN equals NaN); otherwise the first difference.
bool same_value(float a, float b);
// The same values (same_value), W to a row; otherwise the first difference.
testing::AssertionResult same_floats(const std::vector<float>& got, const std::vector<float>& expected, int W);
testing::AssertionResult same_planes(const Planes& got, const Planes& expected);  // (an empty plane is skipped)

// The widths to test: 128, then every wider one the CPU runs (ondrel_testing_limit_simd).
std::vector<int> simd_widths();
// Limits the vector width for one scope.
struct SimdLimit {
  explicit SimdLimit(int bits);
  ~SimdLimit();
};

}  // namespace ondrel_test
