// The designed-match refinement's steps against straightforward versions on seeded random
// planes, and match_refined with RefineMethod::kDesignedMatch on a synthetic pair: dense,
// closer to the truth, the same for 1 and 2 threads, the plain match with every step off, and
// refused calls that leave the output untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <ondrel/refine.h>
#include <opencv2/core.hpp>

#include "refine/steps.h"
#include "tests/support/reference.h"
#include "tests/support/test_support.h"

namespace {

namespace rf = ondrel::internal;
using Plane = std::vector<float>;
using namespace ondrel_test;

struct Steps { int W, H, radius, threads; float gamma, tolerance; };
void PrintTo(const Steps& c, std::ostream* os) { *os << c.W << "x" << c.H << " r" << c.radius << " t" << c.threads; }
class RefineSteps : public ::testing::TestWithParam<Steps> {};

// Values in halves from -1 (so that rounding and the tolerance meet ties), NaN one time in four.
TEST_P(RefineSteps, EachStepEqualsAStraightforwardVersion) {
  const auto [W, H, radius, threads, gamma, tolerance] = GetParam();
  cv::RNG rng(static_cast<uint64_t>(W * 100 + H));
  Plane left(static_cast<size_t>(W * H)), right = left, median = left, want[4] = {left, left, left, left};
  for (Plane* p : {&left, &right})
    for (float& v : *p) v = rng.uniform(0, 4) == 0 ? NAN : 0.5f * static_cast<float>(rng.uniform(-2, 16));
  const cv::Mat guide = random_image(W, H, CV_8UC3, static_cast<uint32_t>(W), /*pad=*/2);
  const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(guide.step[0]);
  std::vector<unsigned char> mirrored(3 * left.size());
  rf::mirror_view(guide.data, stride, W, H, mirrored.data());
  Plane flipped = left, checked = left;
  rf::mirror_plane(flipped.data(), W, H);
  rf::consistency_check(checked.data(), right.data(), W, H, tolerance);
  Plane filled = left;  // the check leaves too few values here to meet both neighbours often
  rf::fill_from_background(filled.data(), W, H);
  int32_t weights[rf::kColourDistances];
  rf::median_weights(gamma, weights);
  ASSERT_TRUE(rf::weighted_median(left.data(), W, H, guide.data, stride, radius, weights, threads, median.data()));

  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int i = y * W + x;
      EXPECT_EQ(0, std::memcmp(&mirrored[3 * static_cast<size_t>(i)], guide.ptr(y) + 3 * (W - 1 - x), 3));
      want[0][i] = left[y * W + W - 1 - x];
      const double d = left[i], xr = x - std::round(d);  // kept: a right value at x - round(d) close enough
      want[1][i] = xr >= 0 && xr < W && std::fabs(d - right[y * W + static_cast<int>(xr)]) <= tolerance ? left[i] : NAN;
      float before = NAN, after = NAN;  // the nearest values in the row; the fill takes the smaller
      for (int u = x; u >= 0 && std::isnan(before); --u) before = left[y * W + u];
      for (int u = x; u < W && std::isnan(after); ++u) after = left[y * W + u];
      want[2][i] = std::isnan(before) ? after : std::isnan(after) ? before : std::min(before, after);
      // the median: the smallest window value whose weights of values not above it reach half of all
      std::vector<std::pair<float, int64_t>> window;
      int64_t total = 0;
      for (int v = std::max(0, y - radius); v <= std::min(H - 1, y + radius); ++v)
        for (int u = std::max(0, x - radius); u <= std::min(W - 1, x + radius); ++u) {
          const cv::Vec3b a = guide.at<cv::Vec3b>(y, x), b = guide.at<cv::Vec3b>(v, u);
          const int32_t w = weights[std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2])];
          if (!std::isnan(left[v * W + u])) window.push_back({left[v * W + u], w}), total += w;
        }
      want[3][i] = NAN;
      for (const auto& [candidate, w] : window) {
        int64_t not_above = 0;
        for (const auto& e : window) not_above += e.first <= candidate ? e.second : 0;
        if (2 * not_above >= total && !(candidate >= want[3][i])) want[3][i] = candidate;
      }
    }
  EXPECT_TRUE(same_floats(flipped, want[0], W)) << "mirrored";
  EXPECT_TRUE(same_floats(checked, want[1], W)) << "checked";
  EXPECT_TRUE(same_floats(filled, want[2], W)) << "filled";
  EXPECT_TRUE(same_floats(median, want[3], W)) << "weighted median";
  // the confidence, from the checked plane, the filled one and the median's: the match's
  // confidence where the value is its own and the median moved it by 1 at most
  Plane matched(left.size()), confidence(left.size());
  for (float& v : matched) v = static_cast<float>(rng.uniform(0.0, 1.0));
  rf::refined_confidence(matched.data(), checked.data(), filled.data(), median.data(), W, H, confidence.data());
  for (size_t i = 0; i < left.size(); ++i) {
    const float own = std::isnan(checked[i]) ? 0.0f : matched[i];
    EXPECT_EQ(confidence[i], std::fabs(median[i] - filled[i]) <= 1.0f ? own : own / 2) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Planes, RefineSteps,
                         ::testing::Values(Steps{9, 7, 1, 1, 12, 1}, Steps{17, 11, 3, 2, 5, 0},
                                           Steps{6, 20, 4, 2, 40, 0.5f}, Steps{1, 1, 2, 1, 12, 1}));

// Options of the designed-match refinement.
ondrel::RefineOptions designed(bool check = true, float tolerance = 1, bool fill = true, int radius = 4, float gamma = 12) {
  ondrel::RefineOptions r;
  r.method = ondrel::RefineMethod::kDesignedMatch;
  r.consistency_check = check, r.consistency_tolerance = tolerance, r.fill = fill, r.median_radius = radius;
  r.median_gamma_color = gamma;
  return r;
}

// Refined with 1 and 2 threads, every step off, ondrel::match; then refused calls.
TEST(Refine, DenseCloserToTheTruthTheSameForAnyThreadCountAndRefusalsLeaveTheOutput) {
  const int W = 96, H = 64;
  cv::Mat left, right, truth;
  synthetic_pair(W, H, 3, 11, cv::Rect(30, 16, 36, 30), 5, &left, &right, &truth);
  ondrel::Parameters p = parameters(2, 7, 15);
  Plane runs[4];
  for (int i = 0; i < 4; ++i) {
    const ondrel::Options options{i == 1 ? 2 : 1};
    runs[i].assign(W * H, -1.0f);
    ondrel::DisparityPlanes planes;
    planes.disparity = {runs[i].data(), W, H, W};
    const ondrel::RefineOptions refine = i == 2 ? designed(false, 1, false, 0, 1) : designed();
    const ondrel::Status s = i == 3 ? ondrel::match(view_of(left), view_of(right), p, options, planes)
                                    : ondrel::match_refined(view_of(left), view_of(right), p, refine, options,
                                                            planes.disparity);
    ASSERT_TRUE(s.ok()) << s.message;
  }
  int bad[2] = {0, 0};  // refined, unrefined
  for (int i = 0; i < W * H; ++i)
    for (int k : {0, 1}) bad[k] += !(std::fabs(runs[2 * k][i] - truth.data[i]) <= 1.0f);
  EXPECT_EQ(0, std::count_if(runs[0].begin(), runs[0].end(), [](float v) { return std::isnan(v); }));
  EXPECT_LT(bad[0], bad[1]);
  EXPECT_TRUE(same_floats(runs[1], runs[0], W)) << "2 threads against 1";
  EXPECT_TRUE(same_floats(runs[2], runs[3], W)) << "every step off against ondrel::match";
  // the confidence changes no value: 0 where filled, the match's own where kept and unmoved
  Plane refined(W * H), confidence(W * H, -1.0f), matched(W * H);
  ondrel::DisparityPlanes planes;
  planes.disparity = {runs[3].data(), W, H, W};
  planes.confidence = {matched.data(), W, H, W};
  ASSERT_TRUE(ondrel::match(view_of(left), view_of(right), p, {}, planes).ok());
  ASSERT_TRUE(ondrel::match_refined(view_of(left), view_of(right), p, designed(), {}, {refined.data(), W, H, W},
                                    {confidence.data(), W, H, W}).ok());
  EXPECT_TRUE(same_floats(refined, runs[0], W)) << "with the confidence";
  int own = 0;
  for (int i = 0; i < W * H; ++i) {
    EXPECT_TRUE(confidence[i] >= 0 && confidence[i] <= matched[i]) << i;
    own += confidence[i] == matched[i] && matched[i] > 0;
  }
  EXPECT_GT(own, W * H / 2);

  for (const auto& [refine, width, max_disparity, message] :
       {std::tuple<ondrel::RefineOptions, int, int, const char*>{designed(true, -1, true, 4, 1), W, 15, "tolerance"},
        {designed(true, 1, true, 33, 1), W, 15, "median_radius"}, {designed(true, 1, true, 2, 0), W, 15, "median_gamma_color"},
        {designed(), W - 1, 15, "size"}, {designed(), W, -1, "disparity"}}) {
    p.max_disparity = max_disparity;
    Plane out(W * H, 42.0f);
    const ondrel::Status s =
        ondrel::match_refined(view_of(left), view_of(right), p, refine, {}, {out.data(), width, H, W});
    EXPECT_EQ(s.code, ondrel::StatusCode::kInvalidArgument) << message;
    EXPECT_NE(std::string(s.message).find(message), std::string::npos) << s.message;
    EXPECT_EQ(std::count(out.begin(), out.end(), 42.0f), W * H) << message;
  }
}

}  // namespace
