#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include <opencv2/core.hpp>

#include "matcher/memory.h"
#include "matcher/ondrel.h"
#include "tests/support/test_support.h"

using ondrel_test::random_image;
using ondrel_test::synthetic_pair;
using ondrel_test::without_times;

namespace {

struct Call {
  cv::Mat left, right;
  int min_disparity = 0, max_disparity = 15, r = 6, R = 19;
  float gamma_space = 14, gamma_color = 23;
  int TAD_threshold = 53, scale = 16;
};

struct Outcome {
  int status;
  std::string out;
  cv::Mat disparity, right_disparity, uniqueness;
};

// Runs the matcher on outputs that start as seeded noise, capturing what it prints.
Outcome run(const Call& c) {
  Outcome o;
  const int W = c.left.empty() ? 8 : c.left.cols, H = c.left.empty() ? 8 : c.left.rows;
  o.disparity = random_image(W, H, CV_8UC1, 1);
  o.right_disparity = random_image(W, H, CV_8UC1, 2);
  o.uniqueness = random_image(W, H, CV_8UC1, 3);
  testing::internal::CaptureStdout();
  o.status = Ondrel_QUIRN(c.left, c.right, o.disparity, o.right_disparity, o.uniqueness, c.min_disparity,
                          c.max_disparity, c.r, c.R, c.gamma_space, c.gamma_color, c.TAD_threshold, c.scale);
  o.out = testing::internal::GetCapturedStdout();
  return o;
}

bool untouched(const Outcome& o) {
  const auto same = [](const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF) == 0; };
  const int W = o.disparity.cols, H = o.disparity.rows;
  return same(o.disparity, random_image(W, H, CV_8UC1, 1)) &&
         same(o.right_disparity, random_image(W, H, CV_8UC1, 2)) && same(o.uniqueness, random_image(W, H, CV_8UC1, 3));
}

bool equal(const cv::Mat& a, const cv::Mat& b) { return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0; }

// The parameter report for the given answers.
std::string report(int R, int r, int gamma_space, int gamma_color, int TAD) {
  char text[512];
  std::snprintf(text, sizeof text,
                "\n\n\nOndrel is running with the following parameters:\n\n"
                "Radius of the supports\t: %d\t(support window %dx%d pixels)\n"
                "Radius of the blocks\t: %d\t(block size %dx%d pixels)\n"
                "Gamma_space\t\t: %d\n"
                "Gamma_color\t\t: %d\n"
                "TAD threshold\t\t: %d\n"
                "Subpixel interpolation\t: enabled\n"
                "Uniqueness constraint\t: enabled\n",
                R, 2 * R + 1, 2 * R + 1, r, 2 * r + 1, 2 * r + 1, gamma_space, gamma_color, TAD);
  return text;
}

Call example_call() {
  Call c;
  c.left = random_image(40, 30, CV_8UC3, 10);
  c.right = random_image(40, 30, CV_8UC3, 11);
  return c;
}

}  // namespace

TEST(MatcherEntry, ReportThenTwoTimingLines) {
  const Outcome o = run(example_call());
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(without_times(o.out), report(19, 6, 14, 23, 53) +
                                      "\n\nExecution time: \n"
                                      "T sec : [*] Ondrel (initialization)\n"
                                      "T sec : [*] Ondrel\n");
  // the left band of max_disparity columns has no value
  EXPECT_EQ(cv::countNonZero(o.disparity(cv::Rect(0, 0, 15, 30)) != 255), 0);
}

TEST(MatcherEntry, ReportTruncatesTheGammasAndSaturatesHugeOnes) {
  Call c = example_call();
  c.gamma_space = 14.9f;
  c.gamma_color = 3e9f;
  const Outcome o = run(c);
  EXPECT_NE(o.out.find("Gamma_space\t\t: 14\nGamma_color\t\t: 2147483647\n"), std::string::npos) << o.out;
}

TEST(MatcherEntry, RadiiThatDoNotTileAreRefusedBeforeTheReport) {
  for (const auto& radii : {std::make_pair(19, 2), std::make_pair(19, 4), std::make_pair(3, 4), std::make_pair(7, 1)}) {
    Call c = example_call();
    c.R = radii.first;
    c.r = radii.second;
    const Outcome o = run(c);
    if (radii == std::make_pair(7, 1)) {  // 15 / 3: tiles
      EXPECT_EQ(o.status, 0);
      continue;
    }
    EXPECT_EQ(o.status, -1);
    EXPECT_EQ(o.out, "Error: Something wrong with paprameters radius_macro and radius: aborting :-(...\n");
    EXPECT_TRUE(untouched(o));
  }
}

TEST(MatcherEntry, CallsOutsideThePhasesPreconditionsAreRefusedWithOneMessage) {
  struct Case {
    const char* what;
    Call call;
    const char* message;
  };
  Case cases[] = {
      {"negative block radius", example_call(), "Error: the radius of the blocks must not be negative (i.e. -1): aborting...\n"},
      {"support side above 4095", example_call(),
       "Error: the radius of the supports must lie in 0 ... 2047 (i.e. 2048): aborting...\n"},
      {"negative support radius", example_call(),
       "Error: the radius of the supports must lie in 0 ... 2047 (i.e. -1): aborting...\n"},
      {"block larger than the image", example_call(),
       "Error: the block (41x41 pixels) does not fit in the image (40x30 pixels): aborting...\n"},
      {"min_disparity", example_call(), "Error: min_disparity must be 0 (i.e. 2): aborting...\n"},
      {"max_disparity", example_call(), "Error: max_disparity must lie in 0 ... 536870911 (i.e. -1): aborting...\n"},
      {"TAD threshold", example_call(), "Error: TAD_threshold must not be negative (i.e. -5): aborting...\n"},
      {"right view of another size", example_call(),
       "Error: the views must be 3-channel 8-bit images of one size and the three outputs 1-channel 8-bit images of "
       "that size: aborting...\n"},
      {"grey left view", example_call(),
       "Error: the views must be 3-channel 8-bit images of one size and the three outputs 1-channel 8-bit images of "
       "that size: aborting...\n"},
      {"empty views", example_call(),
       "Error: the views must be 3-channel 8-bit images of one size and the three outputs 1-channel 8-bit images of "
       "that size: aborting...\n"},
  };
  cases[0].call.r = -1, cases[0].call.R = 1;  // 1 / 1 tiles: only the sign is wrong
  cases[1].call.r = 0, cases[1].call.R = 2048;
  cases[2].call.r = 0, cases[2].call.R = -1;  // (-1)^2 / 1 tiles
  cases[3].call.r = 20, cases[3].call.R = 20;
  cases[4].call.min_disparity = 2;
  cases[5].call.max_disparity = -1;
  cases[6].call.TAD_threshold = -5;
  cases[7].call.right = random_image(41, 30, CV_8UC3, 12);
  cases[8].call.left = random_image(40, 30, CV_8UC1, 13);
  cases[9].call.left = cv::Mat(), cases[9].call.right = cv::Mat();
  for (const Case& c : cases) {
    const Outcome o = run(c.call);
    EXPECT_EQ(o.status, -1) << c.what;
    EXPECT_EQ(o.out, c.message) << c.what;
    EXPECT_TRUE(untouched(o)) << c.what;
  }
}

TEST(MatcherEntry, BlockSumsThatWouldOverflowAreRefused) {
  // (2r+1)(2r+2) * 765 beyond 2^31 - 1 needs 2r+1 >= 1675: an image of 1675 x 1675 pixels
  Call c;
  c.left = cv::Mat(1675, 1675, CV_8UC3, cv::Scalar(1, 2, 3));
  c.right = c.left;
  c.r = c.R = 837;
  c.TAD_threshold = 765;
  c.max_disparity = 0;
  const Outcome o = run(c);
  EXPECT_EQ(o.status, -1);
  EXPECT_EQ(o.out, "Error: blocks of 1675x1675 pixels overflow the 32-bit block sums: aborting...\n");
}

TEST(MatcherEntry, ObsoleteEntryPrintsOneLineAndTouchesNothing) {
  cv::Mat left, right, a = random_image(3, 3, CV_8UC1, 1), b = a.clone(), u = a.clone();
  testing::internal::CaptureStdout();
  EXPECT_EQ(MaxOndrel_QUIRN(left, right, a, b, u, 0, -4, -1, 1000, -1, 0, 900, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Versione obsoleta (rimpiazzare con B...)\n");
  EXPECT_TRUE(equal(a, random_image(3, 3, CV_8UC1, 1)));
}

// A textured rectangle at disparity 10 over a textured background at disparity 4.
class SyntheticPair : public testing::Test {
 protected:
  static constexpr int kW = 96, kH = 64, kBack = 4, kFront = 10, kMax = 15, kScale = 16;
  const cv::Rect rect{40, 16, 32, 32};
  cv::Mat left, right, truth;
  void SetUp() override { synthetic_pair(kW, kH, kBack, kFront, rect, 7, &left, &right, &truth); }
  Call call() const {
    Call c;
    c.left = left;
    c.right = right;
    c.max_disparity = kMax;
    c.scale = kScale;
    c.R = 7;
    c.r = 2;
    return c;
  }
};

TEST_F(SyntheticPair, DisparityIsRightAwayFromBordersAndOcclusions) {
  const Outcome o = run(call());
  ASSERT_EQ(o.status, 0);
  int checked = 0, right_ones = 0;
  for (int y = 7; y < kH - 7; ++y)
    for (int x = kMax + 7; x < kW - 7; ++x) {
      const int d = truth.at<unsigned char>(y, x);
      if (d == 0) continue;  // occluded
      // away from the rectangle's outline, where windows straddle two depths
      const cv::Rect near_edge(rect.x - 8, rect.y - 8, rect.width + 16, rect.height + 16);
      const cv::Rect inside(rect.x + 8, rect.y + 8, rect.width - 16, rect.height - 16);
      if (near_edge.contains(cv::Point(x, y)) && !inside.contains(cv::Point(x, y))) continue;
      ++checked;
      const double found = o.disparity.at<unsigned char>(y, x) / static_cast<double>(kScale);
      if (o.disparity.at<unsigned char>(y, x) != 255 && std::abs(found - d) < 0.5) ++right_ones;
    }
  ASSERT_GT(checked, 1000);
  EXPECT_GE(right_ones, checked * 98 / 100) << right_ones << " of " << checked;
}

TEST_F(SyntheticPair, UniquenessRemovesTheOccludedBand) {
  const Outcome o = run(call());
  int band = 0, removed = 0;
  for (int y = rect.y; y < rect.y + rect.height; ++y)
    for (int x = rect.x - (kFront - kBack); x < rect.x; ++x) {
      ++band;
      removed += o.uniqueness.at<unsigned char>(y, x) == 255;
    }
  EXPECT_GE(removed, band * 9 / 10) << removed << " of " << band;
  // elsewhere the uniqueness map keeps the disparity map's values or has none
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const int u = o.uniqueness.at<unsigned char>(y, x);
      ASSERT_TRUE(u == 255 || u == o.disparity.at<unsigned char>(y, x));
    }
}

TEST_F(SyntheticPair, SameBytesWithOneTwoAndSevenThreads) {
  ondrel_testing_set_thread_count(1);
  const Outcome one = run(call());
  for (int threads : {2, 7}) {
    ondrel_testing_set_thread_count(threads);
    const Outcome many = run(call());
    EXPECT_TRUE(equal(many.disparity, one.disparity) && equal(many.right_disparity, one.right_disparity) &&
                equal(many.uniqueness, one.uniqueness))
        << threads;
  }
  ondrel_testing_set_thread_count(0);
}

TEST_F(SyntheticPair, PaddedStridesGiveTheSameBytes) {
  const Outcome plain = run(call());
  Call c = call();
  c.left = ondrel_test::with_padding(left, 3, 1);
  c.right = ondrel_test::with_padding(right, 9, 2);
  cv::Mat d = random_image(kW, kH, CV_8UC1, 4, 5), rd = random_image(kW, kH, CV_8UC1, 5, 1),
          u = random_image(kW, kH, CV_8UC1, 6, 7);
  testing::internal::CaptureStdout();
  ASSERT_EQ(Ondrel_QUIRN(c.left, c.right, d, rd, u, 0, c.max_disparity, c.r, c.R, c.gamma_space, c.gamma_color,
                         c.TAD_threshold, c.scale),
            0);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(equal(d, plain.disparity) && equal(rd, plain.right_disparity) && equal(u, plain.uniqueness));
}

TEST_F(SyntheticPair, OneDisparityMakesTheUniquenessMapEqualTheDisparityMap) {
  Call c = call();
  c.max_disparity = 0;
  const Outcome o = run(c);
  ASSERT_EQ(o.status, 0);
  EXPECT_TRUE(equal(o.uniqueness, o.disparity));
  EXPECT_EQ(cv::countNonZero((o.disparity != 0) & (o.disparity != 255)), 0);
}

TEST_F(SyntheticPair, ZeroColourGammaLeavesNoWinner) {
  Call c = call();
  c.gamma_color = 0;
  const Outcome o = run(c);
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(cv::countNonZero(o.disparity != 255), 0);
  EXPECT_EQ(cv::countNonZero(o.uniqueness != 255), 0);
}
