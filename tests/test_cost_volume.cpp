#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "matcher/kernels.h"
#include "tests/support/test_support.h"

using ondrel_test::random_image;
using ondrel_test::with_padding;

namespace {

// The cost volume as a flat array with its pointer array, like the matcher's.
struct CostVolume {
  std::vector<int> data;
  std::vector<int*> pixels;
  CostVolume(int W, int H, int D, int fill) : data(static_cast<size_t>(W) * H * D, fill), pixels(W * H) {
    for (int i = 0; i < W * H; ++i) pixels[i] = &data[static_cast<size_t>(i) * D];
  }
};

// Block cost straight from the definition: the TAD cost summed over the block cut at the
// border, the right pixel at x - d0 - k or column 0.
std::vector<int> naive_costs(const cv::Mat& L, const cv::Mat& R, int D, int d0, int r, int T) {
  const int W = L.cols, H = L.rows;
  std::vector<int> out(static_cast<size_t>(W) * H * D);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int k = 0; k < D; ++k) {
        int sum = 0;
        for (int yy = std::max(0, y - r); yy <= std::min(H - 1, y + r); ++yy)
          for (int xx = std::max(0, x - r); xx <= std::min(W - 1, x + r); ++xx) {
            const int xr = std::max(0, xx - d0 - k);
            const cv::Vec3b p = L.at<cv::Vec3b>(yy, xx), q = R.at<cv::Vec3b>(yy, xr);
            const int s = std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) + std::abs(p[2] - q[2]);
            sum += std::min(s, T);
          }
        out[(static_cast<size_t>(y) * W + x) * D + k] = sum;
      }
  return out;
}

std::vector<int> kernel_costs(const cv::Mat& L, const cv::Mat& R, int D, int d0, int r, int T) {
  CostVolume volume(L.cols, L.rows, D, -7);  // earlier contents must be overwritten
  EXPECT_EQ(box_filtering_stereo_color_TAD_single_channel_QUIRN(L.cols, L.rows, D, d0, L, R,
                                                                volume.pixels.data(), r, T),
            0);
  return volume.data;
}

struct Shape {
  int W, H, D, d0, r, T;
};

}  // namespace

TEST(CostVolume, EqualsTheBlockSumsOfTheDefinitionOnRandomImages) {
  const Shape shapes[] = {
      {17, 11, 5, 0, 2, 53},   // odd sizes
      {9, 7, 4, 0, 0, 40},     // r = 0: the pixel cost itself
      {5, 9, 3, 0, 2, 255},    // W = 2r + 1: the middle loop runs zero times
      {12, 5, 6, 0, 2, 30},    // H = 2r + 1: no row has both an entering and a leaving row
      {5, 5, 2, 0, 2, 100},    // both
      {23, 14, 16, 0, 3, 765}, // no truncation at all
      {13, 10, 7, 3, 1, 20},   // a first disparity above 0
      {6, 6, 1, 0, 1, 0},      // T = 0
      {10, 8, 30, 0, 1, 60},   // more disparities than columns
  };
  uint32_t seed = 1;
  for (const Shape& s : shapes) {
    const cv::Mat L = random_image(s.W, s.H, CV_8UC3, seed++), R = random_image(s.W, s.H, CV_8UC3, seed++);
    EXPECT_EQ(kernel_costs(L, R, s.D, s.d0, s.r, s.T), naive_costs(L, R, s.D, s.d0, s.r, s.T))
        << "W " << s.W << " H " << s.H << " D " << s.D << " d0 " << s.d0 << " r " << s.r << " T " << s.T;
  }
}

TEST(CostVolume, EachImageIsAddressedWithItsOwnStride) {
  const cv::Mat L = random_image(15, 9, CV_8UC3, 31), R = random_image(15, 9, CV_8UC3, 32);
  const std::vector<int> plain = kernel_costs(L, R, 6, 0, 2, 53);
  EXPECT_EQ(kernel_costs(with_padding(L, 3, 33), with_padding(R, 7, 34), 6, 0, 2, 53), plain);
  EXPECT_EQ(kernel_costs(with_padding(L, 5, 35), R, 6, 0, 2, 53), plain);
}

TEST(CostVolume, KnownValues) {
  const cv::Mat L = random_image(8, 6, CV_8UC3, 41);
  // identical views: disparity 0 costs nothing anywhere
  const std::vector<int> same = kernel_costs(L, L, 3, 0, 1, 53);
  for (size_t i = 0; i < same.size(); i += 3) ASSERT_EQ(same[i], 0);

  // T = 0: every element is 0
  const cv::Mat R = random_image(8, 6, CV_8UC3, 42);
  const std::vector<int> zero = kernel_costs(L, R, 4, 0, 1, 0);
  EXPECT_TRUE(std::all_of(zero.begin(), zero.end(), [](int v) { return v == 0; }));

  // r = 0 in column 0: every disparity compares with right column 0, so the vector is flat
  const std::vector<int> pixel = kernel_costs(L, R, 5, 0, 0, 765);
  for (int y = 0; y < 6; ++y)
    for (int k = 1; k < 5; ++k) ASSERT_EQ(pixel[y * 8 * 5 + k], pixel[y * 8 * 5]);

  // flat colours differing by (10, 20, 30): a corner block of r = 1 holds 4 pixel costs,
  // an inner one 9, each 60 or truncated
  const cv::Mat dark(6, 8, CV_8UC3, cv::Scalar(100, 100, 100)), light(6, 8, CV_8UC3, cv::Scalar(110, 120, 130));
  const std::vector<int> flat = kernel_costs(dark, light, 2, 0, 1, 50);
  EXPECT_EQ(flat[0], 4 * 50);
  EXPECT_EQ(flat[(1 * 8 + 1) * 2], 9 * 50);
  EXPECT_EQ(kernel_costs(dark, light, 2, 0, 1, 765)[(1 * 8 + 1) * 2 + 1], 9 * 60);
}
