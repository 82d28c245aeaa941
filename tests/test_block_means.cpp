#include <gtest/gtest.h>

#include <omp.h>

#include <vector>

#include "matcher/kernels.h"
#include "tests/support/test_support.h"

using ondrel_test::random_image;
using ondrel_test::with_padding;

namespace {

// Block sums straight from the definition: the full (2r+1)^2 block where it lies inside the
// image, 0 elsewhere.
std::vector<int> naive_sums(const cv::Mat& image, int c, int r) {
  const int W = image.cols, H = image.rows;
  std::vector<int> out(static_cast<size_t>(W) * H, 0);
  for (int y = r; y <= H - r - 1; ++y)
    for (int x = r; x <= W - r - 1; ++x) {
      int sum = 0;
      for (int yy = y - r; yy <= y + r; ++yy)
        for (int xx = x - r; xx <= x + r; ++xx) sum += image.at<cv::Vec3b>(yy, xx)[c];
      out[static_cast<size_t>(y) * W + x] = sum;
    }
  return out;
}

std::vector<int> kernel_sums(const cv::Mat& image, int c, int r) {
  std::vector<int> out(static_cast<size_t>(image.cols) * image.rows, 0);
  EXPECT_EQ(box_filtering_sum_QUIRN(image.cols, image.rows, static_cast<int>(image.step[0]), image.data, c,
                                    out.data(), r),
            0);
  return out;
}

// Runs both regions like the matcher does, with `threads` threads, and returns the six planes.
std::vector<std::vector<int>> block_means(const cv::Mat& left, const cv::Mat& right, int r, int threads) {
  const int W = left.cols, H = left.rows;
  std::vector<std::vector<int>> planes(kPlaneCount, std::vector<int>(static_cast<size_t>(W) * H, 0));
  BlockSumContext sums{left.data, right.data, static_cast<int>(left.step[0]), static_cast<int>(right.step[0]),
                       r, W, H, {}};
  BlockMeanContext means{W, H, {}, (2 * r + 1) * (2 * r + 1)};
  for (int i = 0; i < kPlaneCount; ++i) sums.planes[i] = means.planes[i] = planes[i].data();
  int failed[kPlaneCount] = {};
#pragma omp parallel num_threads(threads)
  block_sum_region_QUIRN(sums, omp_get_thread_num(), omp_get_num_threads(), failed);
#pragma omp parallel num_threads(threads)
  block_mean_region_QUIRN(means, omp_get_thread_num(), omp_get_num_threads());
  for (int f : failed) EXPECT_EQ(f, 0);
  return planes;
}

}  // namespace

TEST(BoxSum, EqualsTheDefinitionOnRandomImagesOfAwkwardShapes) {
  struct Shape {
    int W, H, r;
  } shapes[] = {{17, 11, 2}, {9, 7, 0}, {5, 9, 2}, {12, 5, 2}, {5, 5, 2}, {31, 20, 4}, {40, 9, 1}, {7, 13, 3}};
  uint32_t seed = 100;
  for (const Shape& s : shapes) {
    const cv::Mat image = random_image(s.W, s.H, CV_8UC3, seed++);
    for (int c = 0; c < 3; ++c)
      EXPECT_EQ(kernel_sums(image, c, s.r), naive_sums(image, c, s.r)) << s.W << "x" << s.H << " r " << s.r;
  }
}

TEST(BoxSum, SpareBytesAtTheRowEndsHaveNoEffect) {
  const cv::Mat image = random_image(14, 10, CV_8UC3, 7);
  for (int pad : {1, 3, 8}) EXPECT_EQ(kernel_sums(with_padding(image, pad, pad), 1, 2), kernel_sums(image, 1, 2));
}

TEST(BoxSum, OutsideItsDomainItWritesNothing) {
  const cv::Mat image = random_image(6, 4, CV_8UC3, 8);
  for (int r : {-1, -3, 2, 3}) {  // negative, or a block higher or wider than the image
    std::vector<int> out(24, 5);
    EXPECT_EQ(box_filtering_sum_QUIRN(6, 4, static_cast<int>(image.step[0]), image.data, 0, out.data(), r), 0);
    EXPECT_EQ(out, std::vector<int>(24, 5)) << r;
  }
}

TEST(BlockMeans, SixPlanesHoldTruncatedMeansInTheValidRegionAndZeroElsewhere) {
  const cv::Mat left = with_padding(random_image(19, 12, CV_8UC3, 9), 2, 10);
  const cv::Mat right = random_image(19, 12, CV_8UC3, 11);  // another stride than left
  const int r = 2, area = 25;
  const auto planes = block_means(left, right, r, 3);
  for (int c = 0; c < 3; ++c) {
    for (const bool is_left : {true, false}) {
      std::vector<int> expected = naive_sums(is_left ? left : right, c, r);
      for (int& v : expected) v /= area;
      EXPECT_EQ(planes[is_left ? left_plane(c) : right_plane(c)], expected) << "channel " << c << " left " << is_left;
    }
  }
}

TEST(BlockMeans, KnownValues) {
  // all 255 with r = 2: 6375 summed, 255 after the division
  const cv::Mat white(7, 9, CV_8UC3, cv::Scalar(255, 255, 255));
  EXPECT_EQ(kernel_sums(white, 2, 2)[3 * 9 + 4], 6375);
  const auto planes = block_means(white, white, 2, 2);
  EXPECT_EQ(planes[0][2 * 9 + 2], 255);
  EXPECT_EQ(planes[0][2 * 9 + 1], 0);  // just outside the valid region

  // a block summing to 17 with r = 1 has the mean 1: the fraction is dropped
  cv::Mat sparse(3, 3, CV_8UC3, cv::Scalar(0, 0, 0));
  sparse.at<cv::Vec3b>(0, 0)[0] = 10;
  sparse.at<cv::Vec3b>(2, 1)[0] = 7;
  EXPECT_EQ(block_means(sparse, sparse, 1, 1)[left_plane(0)][4], 1);
}

TEST(BlockMeans, ResultDoesNotDependOnTheThreadCount) {
  const cv::Mat left = random_image(23, 17, CV_8UC3, 12), right = random_image(23, 17, CV_8UC3, 13);
  const auto one = block_means(left, right, 3, 1);
  for (int threads : {2, 4, 7, 16}) EXPECT_EQ(block_means(left, right, 3, threads), one) << threads;
}

TEST(StaticSplit, ChunksOfCeilNOverTAndEmptyTails) {
  const auto range = [](long long n, int threads, int t) {
    const ItemRange r = static_split(n, threads, t);
    return std::make_pair(r.begin, r.end);
  };
  // 10 items on 4 threads: chunk 3
  EXPECT_EQ(range(10, 4, 0), std::make_pair(0LL, 3LL));
  EXPECT_EQ(range(10, 4, 1), std::make_pair(3LL, 6LL));
  EXPECT_EQ(range(10, 4, 2), std::make_pair(6LL, 9LL));
  EXPECT_EQ(range(10, 4, 3), std::make_pair(9LL, 10LL));
  // 2 items on 4 threads: chunk 1, threads 2 and 3 do nothing
  EXPECT_EQ(range(2, 4, 1), std::make_pair(1LL, 2LL));
  EXPECT_EQ(static_split(2, 4, 2).begin, static_split(2, 4, 2).end);
  EXPECT_EQ(static_split(2, 4, 3).begin, static_split(2, 4, 3).end);
  // every item exactly once, for many shapes
  for (long long n : {0LL, 1LL, 7LL, 100LL, 101LL})
    for (int threads = 1; threads <= 9; ++threads) {
      long long next = 0;
      for (int t = 0; t < threads; ++t) {
        const ItemRange r = static_split(n, threads, t);
        if (r.begin == r.end) continue;
        EXPECT_EQ(r.begin, next);
        next = r.end;
      }
      EXPECT_EQ(next, n);
    }
}
