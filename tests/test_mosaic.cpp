#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "tests/support/test_support.h"
#include "util/mosaic.h"

using ondrel_test::random_image;

namespace {

// The mosaic by its definition: the first source on the left, the second on the right, a
// 1-channel source repeated into the three channels.
cv::Mat expected_color(const cv::Mat& first, bool first_color, const cv::Mat& second, bool second_color) {
  const int W = first.cols;
  cv::Mat out(first.rows, 2 * W, CV_8UC3);
  for (int y = 0; y < first.rows; ++y)
    for (int x = 0; x < W; ++x)
      for (int k = 0; k < 3; ++k) {
        out.at<cv::Vec3b>(y, x)[k] = first_color ? first.at<cv::Vec3b>(y, x)[k] : first.at<unsigned char>(y, x);
        out.at<cv::Vec3b>(y, W + x)[k] = second_color ? second.at<cv::Vec3b>(y, x)[k] : second.at<unsigned char>(y, x);
      }
  return out;
}

bool equal(const cv::Mat& a, const cv::Mat& b) { return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0; }

}  // namespace

TEST(Mosaic, ColourMosaicOfEveryFlagCombinationAndGreyMosaicWithPaddedStrides) {
  for (int flags = 0; flags < 4; ++flags) {
    const bool first_color = flags & 1, second_color = flags & 2;
    // each image with its own spare bytes at the end of its rows
    const cv::Mat first = random_image(13, 7, first_color ? CV_8UC3 : CV_8UC1, 1 + flags, 3);
    const cv::Mat second = random_image(13, 7, second_color ? CV_8UC3 : CV_8UC1, 11 + flags, 5);
    cv::Mat mosaic = random_image(26, 7, CV_8UC3, 21, 2);
    EXPECT_EQ(MosaicTwoHorizontalColor(first, first_color, second, second_color, mosaic), 0);
    EXPECT_TRUE(equal(mosaic, expected_color(first, first_color, second, second_color))) << "flags " << flags;
  }
  const cv::Mat a = random_image(11, 6, CV_8UC1, 7, 1), b = random_image(11, 6, CV_8UC1, 8, 4);
  cv::Mat mosaic = random_image(22, 6, CV_8UC1, 9, 3), expected;
  EXPECT_EQ(MosaicTwoHorizontalGreyscale(a, b, mosaic), 0);
  cv::hconcat(a, b, expected);
  EXPECT_TRUE(equal(mosaic, expected)) << "grey";
}

TEST(Mosaic, OnlyTheFirstSourcesSizeIsWrittenAndAnEmptyOneWritesNothing) {
  const cv::Mat first = random_image(6, 5, CV_8UC3, 5);
  const cv::Mat second = random_image(10, 8, CV_8UC1, 6);  // only its first 6 x 5 pixels count
  cv::Mat mosaic(9, 15, CV_8UC3, cv::Scalar(7, 7, 7));
  MosaicTwoHorizontalColor(first, true, second, false, mosaic);
  EXPECT_TRUE(equal(mosaic(cv::Rect(0, 0, 12, 5)), expected_color(first, true, second(cv::Rect(0, 0, 6, 5)), false)));
  // rows below H and columns from 2W on are not touched
  EXPECT_EQ(cv::countNonZero(mosaic(cv::Rect(12, 0, 3, 9)).reshape(1) != 7), 0);
  EXPECT_EQ(cv::countNonZero(mosaic(cv::Rect(0, 5, 15, 4)).reshape(1) != 7), 0);
  const cv::Mat before = mosaic.clone();
  for (const cv::Size size : {cv::Size(0, 4), cv::Size(4, 0)}) {
    EXPECT_EQ(MosaicTwoHorizontalColor(cv::Mat(size, CV_8UC3), true, second, false, mosaic), 0);
    cv::Mat grey(4, 8, CV_8UC1, cv::Scalar(9));
    EXPECT_EQ(MosaicTwoHorizontalGreyscale(cv::Mat(size, CV_8UC1), second, grey), 0);
    EXPECT_EQ(cv::countNonZero(grey != 9), 0);
  }
  EXPECT_TRUE(equal(mosaic, before));
}
