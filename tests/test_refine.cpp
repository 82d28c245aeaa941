// The refinements: each step against a hand-made answer or a straightforward version, and
// match_refined on a synthetic pair (dense, closer to the truth, the same for 1 and 2 threads,
// outputs untouched when refused).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include <ondrel/refine.h>
#include <opencv2/core.hpp>

#include "refine/kernels.h"
#include "tests/support/test_support.h"

namespace {

using ondrel::refine::kColourDistances;
const float N = NAN;

// A plane from rows of values; the expected outputs compared bytewise (NaN equal to NaN).
void expect_planes_equal(const std::vector<float>& got, const std::vector<float>& want, const char* what) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_TRUE(std::memcmp(&got[i], &want[i], sizeof(float)) == 0 || (std::isnan(got[i]) && std::isnan(want[i])))
        << what << " at " << i << ": " << got[i] << " != " << want[i];
}

TEST(Refine, ConsistencyCheckAndFillGiveTheHandMadeAnswer) {
  const int W = 8, H = 4;
  // row 0: x 0..1 point outside the row (left border); x 5 disagrees with the right map
  // row 1: a foreground run (5) with no right match beside a background (1): filled from the
  //        background; x 6 differs by exactly the tolerance
  // row 2: nothing survives: stays without values;  row 3: NaN in, last pixels filled from the left
  const std::vector<float> left = {
      2, 2, 2, 2, 2, 2.4f, 2, 2,
      1, 1, N, 5, 5, 5, 1.5f, 1,
      7, 7, 7, 7, 7, 7, 7, 7,
      0, 0.5f, N, 3, 0, 0, 4, 4};
  const std::vector<float> right = {
      2, 2, 2, 0.5f, 2, 2, 2, 2,
      1, 1, 1, 1, 1, 2.5f, 1, 1,
      0, 0, 0, 0, 0, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<float> checked = {
      N, N, 2, 2, 2, N, 2, 2,
      N, 1, N, N, N, N, 1.5f, 1,
      N, N, N, N, N, N, N, N,
      0, 0.5f, N, N, 0, 0, N, N};
  const std::vector<float> filled = {
      2, 2, 2, 2, 2, 2, 2, 2,
      1, 1, 1, 1, 1, 1, 1.5f, 1,
      N, N, N, N, N, N, N, N,
      0, 0.5f, 0, 0, 0, 0, 0, 0};
  std::vector<float> plane = left;
  ondrel::refine::consistency_check(plane.data(), right.data(), W, H, 1.0f);
  expect_planes_equal(plane, checked, "checked");
  ondrel::refine::fill_from_background(plane.data(), W, H);
  expect_planes_equal(plane, filled, "filled");
}

TEST(Refine, MirroringTwiceGivesTheViewAndThePlaneBack) {
  const int W = 13, H = 5;
  const cv::Mat view = ondrel_test::random_image(W, H, CV_8UC3, 7, /*pad=*/3);
  std::vector<unsigned char> once(3 * W * H), twice(3 * W * H);
  ondrel::refine::mirror_view(view.data, static_cast<std::ptrdiff_t>(view.step[0]), W, H, once.data());
  ondrel::refine::mirror_view(once.data(), 3 * W, W, H, twice.data());
  for (int y = 0; y < H; ++y) {
    EXPECT_EQ(0, std::memcmp(view.ptr(y), &twice[3 * W * y], 3 * W)) << "row " << y;
    EXPECT_EQ(0, std::memcmp(view.ptr(y) + 3 * (W - 1), &once[3 * W * y], 3)) << "row " << y;
  }
  std::vector<float> plane(W * H);
  for (int i = 0; i < W * H; ++i) plane[i] = static_cast<float>(i);
  std::vector<float> mirrored = plane;
  ondrel::refine::mirror_plane(mirrored.data(), W, H);
  EXPECT_EQ(mirrored[0], static_cast<float>(W - 1));
  ondrel::refine::mirror_plane(mirrored.data(), W, H);
  expect_planes_equal(mirrored, plane, "mirrored twice");
}

// The weighted median straight from its definition: for every candidate value of the window,
// the weights of the values not above it.
float reference_median(const std::vector<float>& in, int W, int H, const cv::Mat& guide, int radius,
                       const int32_t* weights, int x, int y) {
  std::vector<std::pair<float, int64_t>> window;
  int64_t total = 0;
  for (int v = std::max(0, y - radius); v <= std::min(H - 1, y + radius); ++v)
    for (int u = std::max(0, x - radius); u <= std::min(W - 1, x + radius); ++u) {
      if (std::isnan(in[v * W + u])) continue;
      const cv::Vec3b a = guide.at<cv::Vec3b>(y, x), b = guide.at<cv::Vec3b>(v, u);
      const int distance = std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]);
      window.push_back({in[v * W + u], weights[distance]});
      total += weights[distance];
    }
  float best = NAN;
  for (const auto& candidate : window) {
    int64_t not_above = 0;
    for (const auto& e : window) not_above += e.first <= candidate.first ? e.second : 0;
    if (2 * not_above >= total && !(candidate.first >= best)) best = candidate.first;
  }
  return best;
}

TEST(Refine, WeightedMedianMatchesItsDefinition) {
  struct Case {
    int W, H, radius, threads;
    float gamma;
  };
  const Case cases[] = {{9, 7, 1, 1, 12.0f}, {17, 11, 3, 2, 5.0f}, {6, 20, 4, 2, 40.0f}, {1, 1, 2, 1, 12.0f}};
  for (const Case& c : cases) {
    const cv::Mat guide = ondrel_test::random_image(c.W, c.H, CV_8UC3, 11 + c.W, /*pad=*/2);
    std::vector<float> in(c.W * c.H);
    cv::RNG rng(c.H);
    for (float& v : in) v = rng.uniform(0, 6) == 0 ? NAN : static_cast<float>(rng.uniform(0, 8)) * 0.5f;
    int32_t weights[kColourDistances];
    ondrel::refine::median_weights(c.gamma, weights);
    std::vector<float> out(in.size()), want(in.size());
    ASSERT_TRUE(ondrel::refine::weighted_median(in.data(), c.W, c.H, guide.data,
                                                static_cast<std::ptrdiff_t>(guide.step[0]), c.radius, weights,
                                                c.threads, out.data()));
    for (int y = 0; y < c.H; ++y)
      for (int x = 0; x < c.W; ++x) want[y * c.W + x] = reference_median(in, c.W, c.H, guide, c.radius, weights, x, y);
    expect_planes_equal(out, want, "weighted median");
  }
}

ondrel::ImageView view_of(const cv::Mat& m) {
  return {m.data, m.cols, m.rows, static_cast<std::ptrdiff_t>(m.step[0])};
}

TEST(Refine, RefinedMapIsDenseCloserToTheTruthAndTheSameForAnyThreadCount) {
  const int W = 96, H = 64;
  cv::Mat left, right, truth;
  ondrel_test::synthetic_pair(W, H, 3, 11, cv::Rect(30, 16, 36, 30), 5, &left, &right, &truth);
  ondrel::Parameters p;
  p.max_disparity = 15;
  p.support_radius = 7;
  p.block_radius = 2;
  auto bad_pixels = [&](const std::vector<float>& d) {
    int bad = 0;
    for (int i = 0; i < W * H; ++i) bad += !(std::fabs(d[i] - truth.data[i]) <= 1.0f);
    return bad;
  };
  std::vector<float> runs[3];
  const int threads[3] = {1, 2, 1};
  for (int i = 0; i < 3; ++i) {
    ondrel::RefineOptions refine;
    if (i == 2) refine = {false, 1.0f, false, 0, 1.0f};  // every step off: the map of ondrel::match
    ondrel::Options options;
    options.threads = threads[i];
    runs[i].assign(W * H, -1.0f);
    const ondrel::Status s =
        ondrel::match_refined(view_of(left), view_of(right), p, refine, options, {runs[i].data(), W, H, W});
    ASSERT_TRUE(s.ok()) << s.message;
  }
  EXPECT_EQ(0, std::memcmp(runs[0].data(), runs[1].data(), sizeof(float) * W * H)) << "1 and 2 threads differ";
  for (float v : runs[0]) ASSERT_FALSE(std::isnan(v));
  EXPECT_LT(bad_pixels(runs[0]), bad_pixels(runs[2]));

  std::vector<float> designed(W * H);
  ondrel::DisparityPlanes planes;
  planes.disparity = {designed.data(), W, H, W};
  ASSERT_TRUE(ondrel::match(view_of(left), view_of(right), p, {}, planes).ok());
  expect_planes_equal(runs[2], designed, "every step off");
}

TEST(Refine, RefusedCallsSayWhyAndLeaveTheOutputUntouched) {
  const int W = 40, H = 30;
  const cv::Mat left = ondrel_test::random_image(W, H, CV_8UC3, 1), right = ondrel_test::random_image(W, H, CV_8UC3, 2);
  ondrel::Parameters p;
  p.max_disparity = 7;
  p.support_radius = 4;
  p.block_radius = 1;
  struct Case {
    ondrel::RefineOptions refine;
    int out_width;
    int max_disparity;
    const char* message;
  };
  const Case cases[] = {
      {{true, -1.0f, true, 4, 12.0f}, W, 7, "consistency_tolerance"},
      {{true, 1.0f, true, 33, 12.0f}, W, 7, "median_radius"},
      {{true, 1.0f, true, 2, 0.0f}, W, 7, "median_gamma_color"},
      {{}, W - 1, 7, "size"},
      {{}, W, -1, "disparity"},
  };
  for (const Case& c : cases) {
    std::vector<float> out(W * H, 42.0f);
    p.max_disparity = c.max_disparity;
    const ondrel::Status s =
        ondrel::match_refined(view_of(left), view_of(right), p, c.refine, {}, {out.data(), c.out_width, H, W});
    EXPECT_EQ(s.code, ondrel::StatusCode::kInvalidArgument) << c.message;
    EXPECT_NE(std::string(s.message).find(c.message), std::string::npos) << s.message;
    for (float v : out) ASSERT_EQ(v, 42.0f) << c.message;
  }
}

}  // namespace
