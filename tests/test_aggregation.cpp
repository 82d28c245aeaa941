#include <gtest/gtest.h>

#include <omp.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "matcher/kernels.h"
#include "tests/support/test_support.h"

using ondrel_test::random_image;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Inputs of one aggregation run: images, a random cost volume and random block means.
struct Inputs {
  int W, H, r, R, max_disparity, scale;
  cv::Mat left, right;
  std::vector<int> costs;
  std::vector<int*> cost_pointers;
  std::vector<std::vector<int>> planes;
  std::vector<float> spatial;
};

Inputs make_inputs(int W, int H, int r, int R, int max_disparity, int scale, uint32_t seed) {
  Inputs in{W, H, r, R, max_disparity, scale, random_image(W, H, CV_8UC3, seed),
            random_image(W, H, CV_8UC3, seed + 1), {}, {}, {}, {}};
  std::mt19937 rng(seed + 2);
  const int D = max_disparity + 1;
  in.costs.resize(static_cast<size_t>(W) * H * D);
  for (int& c : in.costs) c = static_cast<int>(rng() % 4000);
  in.cost_pointers.resize(static_cast<size_t>(W) * H);
  for (size_t i = 0; i < in.cost_pointers.size(); ++i) in.cost_pointers[i] = &in.costs[i * D];
  // block means exist where the block lies inside the image; the rest stays 0
  in.planes.assign(kPlaneCount, std::vector<int>(static_cast<size_t>(W) * H, 0));
  for (auto& plane : in.planes)
    for (int y = r; y < H - r; ++y)
      for (int x = r; x < W - r; ++x) plane[static_cast<size_t>(y) * W + x] = static_cast<int>(rng() % 256);
  const int n = blocks_per_axis(r, R);
  in.spatial.resize(static_cast<size_t>(n) * n);
  fill_spatial_weights_QUIRN(in.spatial.data(), r, R, 14.0f);
  return in;
}

struct Maps {
  cv::Mat disparity, right_disparity, uniqueness;
  bool operator==(const Maps& o) const {
    const auto same = [](const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF) == 0; };
    return same(disparity, o.disparity) && same(right_disparity, o.right_disparity) &&
           same(uniqueness, o.uniqueness);
  }
};

Maps run_region(const Inputs& in, int threads, int out_pad = 0) {
  Maps m;
  for (cv::Mat* plane : {&m.disparity, &m.right_disparity, &m.uniqueness}) {
    *plane = random_image(in.W, in.H, CV_8UC1, 5, out_pad);
    plane->setTo(255);
  }
  AggregationContext c{};
  c.left = in.left.data;
  c.right = in.right.data;
  c.left_stride = in.left.step[0];
  c.right_stride = in.right.step[0];
  c.disparity_map = m.disparity.data;
  c.right_disparity_map = m.right_disparity.data;
  c.uniqueness_map = m.uniqueness.data;
  c.disparity_stride = m.disparity.step[0];
  c.right_disparity_stride = m.right_disparity.step[0];
  c.uniqueness_stride = m.uniqueness.step[0];
  c.min_disparity = 0;
  c.max_disparity = in.max_disparity;
  c.r = in.r;
  c.R = in.R;
  c.scale = in.scale;
  c.first_column = in.max_disparity;
  c.border = 0;
  c.W = in.W;
  c.H = in.H;
  c.nblocks = static_cast<int>(in.spatial.size());
  c.spatial = in.spatial.data();
  c.cost_volume = in.cost_pointers.data();
  for (int i = 0; i < kPlaneCount; ++i) c.planes[i] = in.planes[i].data();
  std::vector<AggregationScratch> scratch(threads);
  for (auto& s : scratch) EXPECT_TRUE(aggregation_scratch_alloc(&s, c));
#pragma omp parallel num_threads(threads)
  aggregation_region_QUIRN(c, omp_get_thread_num(), omp_get_num_threads(), scratch[omp_get_thread_num()]);
  for (auto& s : scratch) aggregation_scratch_free(&s);
  return m;
}

// The aggregation written from its definition, pixel by pixel, with nothing cached.
Maps naive_aggregation(const Inputs& in) {
  const int W = in.W, H = in.H, r = in.r, n = blocks_per_axis(r, in.R), D = in.max_disparity + 1;
  Maps m{cv::Mat(H, W, CV_8UC1, cv::Scalar(255)), cv::Mat(H, W, CV_8UC1, cv::Scalar(255)),
         cv::Mat(H, W, CV_8UC1, cv::Scalar(255))};
  const auto weight = [&](const cv::Mat& image, int plane_base, int px, int py, int bx, int by) {
    int sum = 0;
    for (int c = 0; c < 3; ++c) {
      const int diff = in.planes[2 * c + plane_base][static_cast<size_t>(by) * W + bx] - image.at<cv::Vec3b>(py, px)[c];
      sum += diff * diff;
    }
    return EXP_LUT_QUIRN[sum];
  };
  for (int y = 0; y < H; ++y) {
    std::vector<int> claim_d(W, -1);
    std::vector<float> claim_m(W, 5e8f);
    for (int x = in.max_disparity; x < W; ++x) {
      std::vector<double> A(D);
      for (int d = 0; d < D; ++d) {
        double ws = 0, cs = 0;
        for (int k = 0; k < n * n; ++k) {
          const int dx = r - in.R + (k % n) * (2 * r + 1), dy = r - in.R + (k / n) * (2 * r + 1);
          const int bx = x + dx, by = y + dy;
          if (by - r < 0 || by + r >= H || bx - r - d < 0 || bx + r >= W) continue;
          const float left_part = in.spatial[k] * weight(in.left, 0, x, y, bx, by);
          const double w = static_cast<double>(left_part) * static_cast<double>(weight(in.right, 1, x - d, y, bx - d, by));
          ws += w;
          cs += w * in.costs[(static_cast<size_t>(by) * W + bx) * D + d];
        }
        A[d] = static_cast<float>(cs / ws);
      }
      int best = 1000000, h = -1;
      for (int d = 0; d < D; ++d)
        if (A[d] < best) best = static_cast<int>(A[d]), h = d;
      if (h < 0) continue;  // stays 255
      float v = 0;
      if (h > 0 && h < D - 1 && A[h - 1] >= 0 && A[h] >= 0 && A[h + 1] >= 0 && A[h - 1] + A[h + 1] - 2 * A[h] != 0)
        v = static_cast<float>((A[h - 1] - A[h + 1]) / (2 * (A[h - 1] + A[h + 1] - 2 * A[h])));
      const float value = (static_cast<float>(h) + v) * static_cast<float>(in.scale);
      const unsigned char byte = std::fabs(value) < 32768 ? static_cast<unsigned char>(static_cast<int>(value) & 255) : 0;
      m.disparity.at<unsigned char>(y, x) = byte;
      m.right_disparity.at<unsigned char>(y, x - h) = byte;
      const int xr = x - h;
      if (claim_d[xr] <= 0) {
        claim_d[xr] = h;
        claim_m[xr] = static_cast<float>(best);
        m.uniqueness.at<unsigned char>(y, x) = byte;
      } else if (best > claim_m[xr]) {
        m.uniqueness.at<unsigned char>(y, x) = 255;
      } else {
        m.uniqueness.at<unsigned char>(y, x) = byte;
        m.uniqueness.at<unsigned char>(y, xr + claim_d[xr]) = 255;
      }
    }
  }
  return m;
}

struct Shape {
  int W, H, r, R, max_disparity, scale;
};

}  // namespace

TEST(Aggregation, EqualsTheDefinitionOnRandomVolumes) {
  init_exponential_lut_QUIRN(23.0f, ondrel::kExpLutFilled);
  const Shape shapes[] = {
      {29, 17, 1, 4, 6, 16},   // 3 x 3 blocks, odd sizes
      {21, 13, 2, 2, 5, 8},    // r = R: one block per window
      {15, 11, 0, 2, 4, 4},    // one-pixel blocks, 25 per window
      {7, 9, 3, 3, 2, 16},     // W = 2r + 1
      {16, 5, 2, 7, 3, 30},    // H = 2r + 1, window taller than the image
      {12, 8, 1, 4, 0, 16},    // one disparity
      {9, 6, 0, 1, 12, 20},    // max_disparity beyond the width: nothing processed
      {40, 12, 1, 10, 9, 25},  // 7 x 7 blocks; scale 25 wraps past 255
  };
  uint32_t seed = 500;
  for (const Shape& s : shapes) {
    const Inputs in = make_inputs(s.W, s.H, s.r, s.R, s.max_disparity, s.scale, seed += 10);
    EXPECT_TRUE(run_region(in, 1) == naive_aggregation(in))
        << s.W << "x" << s.H << " r " << s.r << " R " << s.R << " max_disparity " << s.max_disparity;
  }
}

TEST(Aggregation, StridesAndThreadCountsDoNotChangeTheBytes) {
  init_exponential_lut_QUIRN(23.0f, ondrel::kExpLutFilled);
  const Inputs plain = make_inputs(33, 19, 1, 4, 7, 16, 900);
  const Maps one = run_region(plain, 1);
  Inputs padded = plain;
  padded.left = ondrel_test::with_padding(plain.left, 3, 1);
  padded.right = ondrel_test::with_padding(plain.right, 6, 2);
  EXPECT_TRUE(run_region(padded, 1, 5) == one);
  for (int threads : {2, 7, 25}) EXPECT_TRUE(run_region(plain, threads) == one) << threads;
}

TEST(Aggregation, OneBlockWindowsLeaveTheBorderWithoutValue) {
  init_exponential_lut_QUIRN(23.0f, ondrel::kExpLutFilled);
  const int r = 2, W = 20, H = 12, max_disparity = 3;
  const Maps m = run_region(make_inputs(W, H, r, r, max_disparity, 16, 77), 2);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const bool outside = y < r || y >= H - r || x >= W - r || x < max_disparity;
      if (outside) {
        EXPECT_EQ(m.disparity.at<unsigned char>(y, x), 255) << x << "," << y;
        EXPECT_EQ(m.uniqueness.at<unsigned char>(y, x), 255) << x << "," << y;
      }
      if (y < r || y >= H - r) {
        EXPECT_EQ(m.right_disparity.at<unsigned char>(y, x), 255);
      }
    }
}

TEST(WinnerSearch, IntegerRunningMinimumDecidesTies) {
  // 10.7 at d = 3 wins; 10.2 at d = 4 is not below 10
  const double a[] = {20, 15, 11, 10.7, 10.2, 12};
  Winner w = select_winner(a, 6);
  EXPECT_TRUE(w.found);
  EXPECT_EQ(w.h, 3);
  EXPECT_EQ(w.m, 10);
  // 9.9 is: the winner is 4 and m becomes 9
  const double b[] = {20, 15, 11, 10.7, 9.9, 12};
  w = select_winner(b, 6);
  EXPECT_EQ(w.h, 4);
  EXPECT_EQ(w.m, 9);
  // equal costs keep the lower disparity
  const double c[] = {5, 3, 3, 3};
  EXPECT_EQ(select_winner(c, 4).h, 1);
  // 1000000 or more never wins, nor does a NaN
  const double d[] = {kNaN, 1000000, 2e9, kNaN};
  w = select_winner(d, 4);
  EXPECT_FALSE(w.found);
  EXPECT_EQ(w.h, -1);
  const double e[] = {kNaN, 999999.5, kNaN};
  EXPECT_EQ(select_winner(e, 3).h, 1);
}

TEST(SubpixelRefinement, ParabolaVertexUnclampedAndItsGuards) {
  EXPECT_DOUBLE_EQ(get_subpixel_adjustment_min(12, 10, 11), 1.0 / 6.0);
  EXPECT_EQ(get_subpixel_adjustment_min(1, 2, 3), 0.0);  // a + c - 2b = 0
  EXPECT_NEAR(get_subpixel_adjustment_min(12, 10.7, 10.2), 1.125, 1e-12);

  const double costs[] = {15, 14, 13, 13, 12, 10, 11, 14};  // A(4) = 12, A(5) = 10, A(6) = 11
  const float v = refine_winner(costs, 5, 0, 7);
  EXPECT_EQ(v, static_cast<float>(1.0 / 6.0));
  EXPECT_EQ(disparity_byte(5, v, 16), 82);  // (5 + 1/6) * 16 = 82.67
  // winners at 0 and at max_disparity are not refined
  EXPECT_EQ(refine_winner(costs, 0, 0, 7), 0.0f);
  EXPECT_EQ(refine_winner(costs, 7, 0, 7), 0.0f);
  EXPECT_EQ(disparity_byte(7, 0.0f, 16), 112);
  // a NaN among the three costs leaves v = 0
  const double with_nan[] = {12, 10, kNaN};
  EXPECT_EQ(refine_winner(with_nan, 1, 0, 2), 0.0f);
}

TEST(OutputByte, SixteenBitTruncationThenLowEightBits) {
  EXPECT_EQ(disparity_byte(16, 0.09375f, 16), 1);   // 257.5 wraps to 1
  EXPECT_EQ(disparity_byte(16, 0.0f, 16), 0);       // 256 stores 0
  EXPECT_EQ(disparity_byte(0, -0.1875f, 16), 253);  // -3 stores 253
  EXPECT_EQ(disparity_byte(0, -0.01f, 16), 0);      // -0.16 truncates to 0
  EXPECT_EQ(disparity_byte(3, 5000.0f, 16), 0);     // beyond 16 bits
  EXPECT_EQ(disparity_byte(3, -5000.0f, 16), 0);
  EXPECT_EQ(disparity_byte(0, std::numeric_limits<float>::quiet_NaN(), 16), 0);
  EXPECT_EQ(disparity_byte(0, std::numeric_limits<float>::infinity(), 16), 0);
}

TEST(Uniqueness, FirstClaimOfARightColumnStands) {
  std::vector<int> claimed(60, -1);
  std::vector<float> cost(60, 5e8f);
  std::vector<unsigned char> row(40, 255);
  // x = 20 wins h = 5 with m = 30: column 15 is free
  apply_uniqueness(20, 5, 30, 80, claimed.data(), cost.data(), row.data());
  EXPECT_EQ(row[20], 80);
  EXPECT_EQ(claimed[15], 5);
  EXPECT_EQ(cost[15], 30.0f);
  // x = 22, h = 7, m = 40: worse than the claim
  apply_uniqueness(22, 7, 40, 112, claimed.data(), cost.data(), row.data());
  EXPECT_EQ(row[22], 255);
  // x = 23, h = 8, m = 30: ties win and knock out pixel 20
  apply_uniqueness(23, 8, 30, 128, claimed.data(), cost.data(), row.data());
  EXPECT_EQ(row[23], 128);
  EXPECT_EQ(row[20], 255);
  // x = 25, h = 10, m = 28: compared with the first claim (5, 30), pixel 23 keeps its value
  apply_uniqueness(25, 10, 28, 160, claimed.data(), cost.data(), row.data());
  EXPECT_EQ(row[25], 160);
  EXPECT_EQ(row[23], 128);
  EXPECT_EQ(claimed[15], 5);
  EXPECT_EQ(cost[15], 30.0f);
}

TEST(Uniqueness, AClaimWithDisparityZeroBlocksNothing) {
  std::vector<int> claimed(40, -1);
  std::vector<float> cost(40, 5e8f);
  std::vector<unsigned char> row(30, 255);
  apply_uniqueness(15, 0, 3, 0, claimed.data(), cost.data(), row.data());
  apply_uniqueness(20, 5, 90, 40, claimed.data(), cost.data(), row.data());
  EXPECT_EQ(row[15], 0);
  EXPECT_EQ(row[20], 40);
  EXPECT_EQ(claimed[15], 5);
}
