// The fast cost volume and aggregation against the straightforward versions kept beside
// them, byte for byte, at every SIMD width this CPU runs; and the whole matcher against a
// pipeline of the straightforward kernels, on random pairs and on the four stereo pairs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "matcher/kernels.h"
#include "matcher/memory.h"
#include "matcher/ondrel.h"
#include "tests/support/test_support.h"

namespace {

using ondrel_test::random_image;

// The vector widths to test: 128 always, then every wider one the CPU runs.
std::vector<int> simd_widths() {
  ondrel_testing_limit_simd(0);
  const int widest = simd_width_bits();
  std::vector<int> widths;
  for (int bits : {128, 256, 512})
    if (bits <= widest) widths.push_back(bits);
  return widths;
}

// Limits the SIMD width for one scope.
struct SimdLimit {
  explicit SimdLimit(int bits) { ondrel_testing_limit_simd(bits); }
  ~SimdLimit() { ondrel_testing_limit_simd(0); }
};

// A cost volume whose vectors are allocated one by one, at exactly their length, so that
// the sanitizer builds catch any access past a vector. Filled with a marker first.
struct CostVolume {
  std::vector<std::vector<int>> vectors;
  std::vector<int*> pointers;
  CostVolume(int W, int H, int D, int marker = -7) : vectors(static_cast<size_t>(W) * H, std::vector<int>(D, marker)) {
    for (auto& v : vectors) pointers.push_back(v.data());
  }
};

// ---------------------------------------------------------------------------------------
// Cost volume

struct CostCase {
  int W, H, D, d0, r, T, left_pad, right_pad;
};

void PrintTo(const CostCase& c, std::ostream* os) {
  *os << c.W << "x" << c.H << " D" << c.D << " d0 " << c.d0 << " r" << c.r << " T" << c.T << " pads " << c.left_pad
      << "," << c.right_pad;
}

class FastCostVolume : public testing::TestWithParam<CostCase> {};

TEST_P(FastCostVolume, EqualsTheReferenceAtEveryWidth) {
  const CostCase c = GetParam();
  const uint32_t seed = static_cast<uint32_t>(c.W * 131 + c.H * 17 + c.D + c.r);
  const cv::Mat left = random_image(c.W, c.H, CV_8UC3, seed, c.left_pad);
  const cv::Mat right = random_image(c.W, c.H, CV_8UC3, seed + 1, c.right_pad);
  CostVolume expected(c.W, c.H, c.D);
  ASSERT_EQ(box_filtering_stereo_color_TAD_single_channel_reference_QUIRN(c.W, c.H, c.D, c.d0, left, right,
                                                                          expected.pointers.data(), c.r, c.T),
            0);
  for (int bits : simd_widths()) {
    SimdLimit limit(bits);
    CostVolume got(c.W, c.H, c.D, 12345);
    ASSERT_EQ(box_filtering_stereo_color_TAD_single_channel_QUIRN(c.W, c.H, c.D, c.d0, left, right, got.pointers.data(),
                                                                  c.r, c.T),
              0);
    EXPECT_EQ(got.vectors, expected.vectors) << bits << "-bit path";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FastCostVolume,
    testing::Values(CostCase{7, 5, 3, 0, 1, 53, 0, 0},      // small, odd
                    CostCase{1, 1, 1, 0, 0, 10, 0, 0},      // one pixel, r = 0
                    CostCase{3, 3, 4, 0, 1, 765, 1, 2},     // W = H = 2r+1, no truncation
                    CostCase{5, 9, 12, 0, 2, 255, 3, 1},    // more disparities than columns
                    CostCase{23, 17, 9, 2, 3, 0, 0, 5},     // T = 0, first disparity 2
                    CostCase{31, 12, 40, 0, 0, 1000, 2, 0}, // r = 0, T above any pixel cost
                    CostCase{64, 9, 60, 0, 4, 53, 0, 0},    // the pairs' disparity count
                    CostCase{17, 33, 17, 1, 8, 100, 1, 1},  // W = 2r+1, an odd disparity count
                    CostCase{50, 21, 33, 0, 2, 30, 4, 0},   // several full vectors and a tail
                    CostCase{29, 14, 21, 0, 4, 765, 1, 0},  // sums beyond 16 bits
                    CostCase{40, 16, 70, 3, 5, 300, 0, 3})); // the same, over several vectors

// Views whose every pixel cost is the cut T, so that the block sums reach (2r+1)^2 T: on
// either side of the largest that 16 bits hold, the fast kernel must still agree.
TEST(FastCostVolume, BlockSumsAtTheLimitOfSixteenBits) {
  const int W = 21, H = 12, D = 37, r = 3;  // 49 pixels per block; 49 * 668 = 32732
  cv::Mat left(H, W, CV_8UC3, cv::Scalar(255, 255, 255)), right(H, W, CV_8UC3, cv::Scalar(0, 0, 0));
  for (int T : {668, 669, 765}) {
    CostVolume expected(W, H, D);
    ASSERT_EQ(box_filtering_stereo_color_TAD_single_channel_reference_QUIRN(W, H, D, 0, left, right,
                                                                            expected.pointers.data(), r, T),
              0);
    EXPECT_EQ(expected.vectors[static_cast<size_t>(6) * W + 10][0], 49 * T);  // a block inside
    for (int bits : simd_widths()) {
      SimdLimit limit(bits);
      CostVolume got(W, H, D, 12345);
      ASSERT_EQ(box_filtering_stereo_color_TAD_single_channel_QUIRN(W, H, D, 0, left, right, got.pointers.data(), r, T),
                0);
      EXPECT_EQ(got.vectors, expected.vectors) << "T " << T << ", " << bits << "-bit path";
    }
  }
}

// ---------------------------------------------------------------------------------------
// Colour weight table: two entries at a time, the same bits as one at a time

TEST(FastWeightTable, EqualsTheEntryByEntryDefinition) {
  for (float gamma : {23.0f, 14.0f, 1.0f, 0.5f, 0.0f, -3.0f, 1e-30f}) {
    init_exponential_lut_QUIRN(gamma, ondrel::kExpLutFilled);
    for (int i = 0; i < ondrel::kExpLutFilled; ++i) {
      const float expected = std::exp(static_cast<float>(-(std::sqrt(static_cast<double>(i)) / gamma)));
      // 0/0 (gamma 0, entry 0): a NaN either way; its sign bit depends on how the compiler
      // evaluates the expression here, and no result reads it
      if (std::isnan(expected)) {
        ASSERT_TRUE(std::isnan(EXP_LUT_QUIRN[i])) << "gamma " << gamma << ", entry " << i;
        continue;
      }
      uint32_t a, b;
      std::memcpy(&a, &EXP_LUT_QUIRN[i], sizeof a);
      std::memcpy(&b, &expected, sizeof b);
      ASSERT_EQ(a, b) << "gamma " << gamma << ", entry " << i;
    }
  }
  init_exponential_lut_QUIRN(2.0f, 7);  // an odd count leaves the tail to the one-by-one loop
  EXPECT_EQ(EXP_LUT_QUIRN[6], std::exp(static_cast<float>(-(std::sqrt(6.0) / 2.0))));
}

// ---------------------------------------------------------------------------------------
// Block means: the division by the block area is a multiplication and a shift

TEST(FastBlockMeans, DivisionEqualsTheIntDivision) {
  std::vector<int> values = {0, 1, -1, 2, 7, 8, 9, 168, 169, 170, 254, 255, 6375, 43095, 2147483647, -2147483647 - 1,
                             2147483646, -2147483647, 1 << 30, -(1 << 30), 1000000007, -1000000007};
  std::mt19937 rng(5);
  for (int i = 0; i < 2000; ++i) values.push_back(static_cast<int>(rng()));
  for (int area : {1, 2, 3, 9, 25, 49, 169, 1521, 4095 * 4095, 65536, 65537, 2147483647}) {
    std::vector<std::vector<int>> planes(kPlaneCount, values);
    BlockMeanContext ctx{static_cast<int>(values.size()), 1, {}, area};
    for (int i = 0; i < kPlaneCount; ++i) ctx.planes[i] = planes[i].data();
    for (int t = 0; t < 3; ++t) block_mean_region_QUIRN(ctx, t, 3);
    for (size_t i = 0; i < values.size(); ++i)
      ASSERT_EQ(planes[kPlaneCount - 1][i], values[i] / area) << values[i] << " / " << area;
    for (int p = 0; p < kPlaneCount - 1; ++p) EXPECT_EQ(planes[p], planes[kPlaneCount - 1]);
  }
}

// ---------------------------------------------------------------------------------------
// Aggregation, and the whole matcher

// The matcher's inputs and the tables, planes and cost volume it builds, made with the
// straightforward kernels in the order Ondrel_QUIRN runs them.
struct Pipeline {
  cv::Mat left, right;
  int max_disparity = 0, r = 0, R = 0, T = 53, scale = 4;
  float gamma_space = 14, gamma_color = 23;

  std::vector<float> spatial;
  std::unique_ptr<CostVolume> costs;
  std::vector<std::vector<int>> planes;

  void prepare() {
    const int W = left.cols, H = left.rows, n = blocks_per_axis(r, R);
    init_exponential_lut_QUIRN(gamma_color, ondrel::kExpLutFilled);
    spatial.assign(static_cast<size_t>(n) * n, 0.0f);
    fill_spatial_weights_QUIRN(spatial.data(), r, R, gamma_space);
    costs = std::make_unique<CostVolume>(W, H, max_disparity + 1);
    ASSERT_EQ(box_filtering_stereo_color_TAD_single_channel_reference_QUIRN(W, H, max_disparity + 1, 0, left, right,
                                                                            costs->pointers.data(), r, T),
              0);
    planes.assign(kPlaneCount, std::vector<int>(static_cast<size_t>(W) * H, 0));
    BlockSumContext sums{left.data, right.data, static_cast<int>(left.step[0]), static_cast<int>(right.step[0]),
                         r, W, H, {}};
    BlockMeanContext means{W, H, {}, (2 * r + 1) * (2 * r + 1)};
    for (int i = 0; i < kPlaneCount; ++i) sums.planes[i] = means.planes[i] = planes[i].data();
    int failed[kPlaneCount] = {};
    block_sum_region_QUIRN(sums, 0, 1, failed);
    block_mean_region_QUIRN(means, 0, 1);
  }
  // The three output planes (row stride padded by 3 bytes, spare bytes random) after the
  // aggregation region ran with `threads` thread numbers, one after the other.
  std::vector<cv::Mat> aggregate(bool fast, int threads) const {
    std::vector<cv::Mat> out;
    for (uint32_t i = 0; i < 3; ++i) {
      out.push_back(random_image(left.cols, left.rows, CV_8UC1, 900 + i, 3));
      out.back().setTo(ondrel::kNoValue);
    }
    AggregationContext c{};
    c.left = left.data;
    c.right = right.data;
    c.left_stride = left.step[0];
    c.right_stride = right.step[0];
    c.disparity_map = out[0].data;
    c.right_disparity_map = out[1].data;
    c.uniqueness_map = out[2].data;
    c.disparity_stride = out[0].step[0];
    c.right_disparity_stride = out[1].step[0];
    c.uniqueness_stride = out[2].step[0];
    c.min_disparity = 0;
    c.max_disparity = max_disparity;
    c.r = r;
    c.R = R;
    c.scale = scale;
    c.first_column = max_disparity;
    c.border = 0;
    c.W = left.cols;
    c.H = left.rows;
    c.nblocks = static_cast<int>(spatial.size());
    c.spatial = spatial.data();
    c.cost_volume = costs->pointers.data();
    for (int i = 0; i < kPlaneCount; ++i) c.planes[i] = planes[i].data();
    for (int t = 0; t < threads; ++t) {
      AggregationScratch s;
      EXPECT_TRUE(aggregation_scratch_alloc(&s, c));
      // the fast version writes the weight columns a pixel can use and reads no others: a NaN
      // read anywhere else would show in the outputs
      const size_t weights = static_cast<size_t>(c.W) * static_cast<size_t>(c.nblocks);
      std::fill(s.right_weights_reversed, s.right_weights_reversed + weights, std::nan(""));
      std::fill(s.left_weights_by_block, s.left_weights_by_block + weights, std::nanf(""));
      if (fast)
        aggregation_region_QUIRN(c, t, threads, s);
      else
        aggregation_region_reference_QUIRN(c, t, threads, s);
      aggregation_scratch_free(&s);
    }
    return out;
  }
};

// Every byte of the buffers behind two images, the spare bytes of the rows included.
bool same_buffer(const cv::Mat& a, const cv::Mat& b) {
  const size_t bytes = a.step[0] * static_cast<size_t>(a.rows - 1) + static_cast<size_t>(a.cols) * a.elemSize();
  return a.size() == b.size() && a.step[0] == b.step[0] && std::memcmp(a.data, b.data, bytes) == 0;
}

struct AggregationCase {
  int W, H, r, R, max_disparity;
  float gamma_space, gamma_color;
  int left_pad, right_pad;
};

void PrintTo(const AggregationCase& c, std::ostream* os) {
  *os << c.W << "x" << c.H << " r" << c.r << " R" << c.R << " max_disparity " << c.max_disparity << " gammas "
      << c.gamma_space << "," << c.gamma_color << " pads " << c.left_pad << "," << c.right_pad;
}

class FastAggregation : public testing::TestWithParam<AggregationCase> {};

TEST_P(FastAggregation, EqualsTheReferenceAtEveryWidthAndThreadCount) {
  const AggregationCase c = GetParam();
  Pipeline p;
  const uint32_t seed = static_cast<uint32_t>(c.W * 7 + c.H * 3 + c.max_disparity);
  p.left = random_image(c.W, c.H, CV_8UC3, seed, c.left_pad);
  p.right = random_image(c.W, c.H, CV_8UC3, seed + 1, c.right_pad);
  p.r = c.r, p.R = c.R, p.max_disparity = c.max_disparity;
  p.gamma_space = c.gamma_space, p.gamma_color = c.gamma_color;
  p.prepare();
  const std::vector<cv::Mat> expected = p.aggregate(false, 1);
  for (int bits : simd_widths()) {
    SimdLimit limit(bits);
    for (int threads : {1, 3}) {
      const std::vector<cv::Mat> got = p.aggregate(true, threads);
      for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(same_buffer(got[i], expected[i])) << "plane " << i << ", " << bits << "-bit path, " << threads
                                                      << " threads";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FastAggregation,
    testing::Values(AggregationCase{9, 7, 1, 4, 3, 14, 23, 0, 0},     // 9 blocks
                    AggregationCase{12, 6, 0, 0, 5, 14, 23, 1, 2},    // r = R = 0: one pixel block
                    AggregationCase{5, 9, 2, 2, 2, 14, 23, 0, 3},     // r = R, W = 2r+1
                    AggregationCase{14, 10, 0, 2, 0, 14, 23, 2, 0},   // 25 blocks, max_disparity 0
                    AggregationCase{6, 8, 1, 4, 8, 14, 23, 0, 0},     // max_disparity >= W: no pixel
                    AggregationCase{40, 11, 1, 4, 17, 14, 23, 1, 1},  // a disparity count off the chunks
                    AggregationCase{61, 13, 2, 7, 33, 5, 12, 0, 2},   // chunks overlap at the end
                    AggregationCase{80, 15, 1, 4, 63, 14, 23, 3, 0},  // whole chunks only
                    AggregationCase{47, 13, 1, 4, 20, 14, 2, 0, 0},   // weight sums near underflow
                    AggregationCase{47, 13, 1, 4, 20, 1, 23, 0, 0},   // steep spatial weights
                    AggregationCase{33, 12, 1, 4, 9, 14, 0, 0, 0},    // gamma_color 0: NaN weights
                    AggregationCase{33, 12, 1, 4, 9, 0, 23, 0, 0}));  // gamma_space 0

// The fast aggregation of p's costs, at every vector width with 2 threads, against the
// straightforward one; `label` names the case in failures.
void expect_fast_aggregation_matches(const Pipeline& p, const std::string& label) {
  const std::vector<cv::Mat> expected = p.aggregate(false, 1);
  for (int bits : simd_widths()) {
    SimdLimit limit(bits);
    const std::vector<cv::Mat> got = p.aggregate(true, 2);
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(same_buffer(got[i], expected[i])) << "plane " << i << ", " << label << bits << "-bit path";
  }
}

// Costs of either sign, not from the cost volume kernel: the fast winner search takes another
// route when a window cost is negative, and must still agree.
TEST(FastAggregation, EqualsTheReferenceForArbitraryCosts) {
  Pipeline p;
  p.left = random_image(37, 14, CV_8UC3, 71);
  p.right = random_image(37, 14, CV_8UC3, 72);
  p.r = 1, p.R = 4, p.max_disparity = 21;
  p.prepare();
  std::mt19937 rng(73);
  for (auto& v : p.costs->vectors)
    for (int& cost : v) cost = static_cast<int>(rng() % 3000) - 1000;
  expect_fast_aggregation_matches(p, "");
}

// Costs that make many window costs tie or come within one unit of each other, and costs
// so large that no window cost wins: the fast winner search works out exact costs only for
// the disparities that may win, and must still agree.
TEST(FastAggregation, EqualsTheReferenceForTiesAndHugeCosts) {
  Pipeline p;
  p.left = random_image(41, 15, CV_8UC3, 81);
  p.right = random_image(41, 15, CV_8UC3, 82);
  p.r = 1, p.R = 4, p.max_disparity = 25;
  p.prepare();
  std::mt19937 rng(83);
  for (int kind = 0; kind < 4; ++kind) {
    for (auto& v : p.costs->vectors) {
      const int base = 1000 + static_cast<int>(rng() % 5);
      for (int& cost : v) {
        if (kind == 0) cost = 3000;                                        // flat: every d ties
        if (kind == 1) cost = base;                                        // within a few units
        if (kind == 2) cost = 2000000000 - static_cast<int>(rng() % 100);  // above any winner
        if (kind == 3) cost = rng() % 2 ? 999999 : 1000001;  // around the running minimum's start
      }
    }
    expect_fast_aggregation_matches(p, "kind " + std::to_string(kind) + ", ");
  }
}

// The three planes of a matcher call, its report swallowed.
std::vector<cv::Mat> run_matcher(const Pipeline& p) {
  std::vector<cv::Mat> out;
  for (uint32_t i = 0; i < 3; ++i) out.push_back(random_image(p.left.cols, p.left.rows, CV_8UC1, 900 + i, 3));
  testing::internal::CaptureStdout();
  const int status = Ondrel_QUIRN(p.left, p.right, out[0], out[1], out[2], 0, p.max_disparity, p.r, p.R,
                                  p.gamma_space, p.gamma_color, p.T, p.scale);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0);
  return out;
}

// Ondrel_QUIRN against the straightforward pipeline, at every width, with `threads`.
void expect_matcher_equals_reference(Pipeline& p, const std::vector<int>& thread_counts, const std::string& what) {
  p.prepare();
  const std::vector<cv::Mat> expected = p.aggregate(false, 1);
  for (int bits : simd_widths()) {
    SimdLimit limit(bits);
    for (int threads : thread_counts) {
      ondrel_testing_set_thread_count(threads);
      const std::vector<cv::Mat> got = run_matcher(p);
      ondrel_testing_set_thread_count(0);
      for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(same_buffer(got[i], expected[i]))
            << what << ": plane " << i << ", " << bits << "-bit path, " << threads << " threads";
    }
  }
}

TEST(FastMatcher, EqualsTheStraightforwardPipelineOnRandomPairs) {
  struct Case {
    int W, H, r, R, max_disparity, T, left_pad, right_pad;
  };
  const Case cases[] = {
      {21, 13, 1, 4, 6, 53, 1, 2},   {9, 9, 4, 4, 3, 20, 0, 0},   {15, 11, 0, 2, 0, 255, 2, 0},
      {7, 19, 1, 1, 9, 53, 0, 1},    {45, 23, 2, 7, 19, 30, 3, 3}, {3, 5, 1, 1, 1, 53, 0, 0},
  };
  for (const Case& c : cases) {
    Pipeline p;
    const uint32_t seed = static_cast<uint32_t>(c.W * 5 + c.H + c.R);
    p.left = random_image(c.W, c.H, CV_8UC3, seed, c.left_pad);
    p.right = random_image(c.W, c.H, CV_8UC3, seed + 1, c.right_pad);
    p.r = c.r, p.R = c.R, p.max_disparity = c.max_disparity, p.T = c.T;
    expect_matcher_equals_reference(p, {1, 3}, std::to_string(c.W) + "x" + std::to_string(c.H));
  }
}

// The four stereo pairs with the example answers (R 19, r 6, gamma_space 14, gamma_color 23,
// TAD threshold 53).
TEST(FastMatcher, EqualsTheStraightforwardPipelineOnTheFourPairs) {
  const std::string data = ondrel_test::data_dir();
  if (data.empty()) GTEST_SKIP() << "no stereo pairs";
  struct Pair {
    const char* name;
    int max_disparity, scale;
  };
  for (const Pair& pair : {Pair{"Tsukuba", 15, 16}, Pair{"Venus", 19, 8}, Pair{"Teddy", 59, 4}, Pair{"Cones", 59, 4}}) {
    Pipeline p;
    p.left = cv::imread(data + "/" + pair.name + "_L.png", cv::IMREAD_COLOR);
    p.right = cv::imread(data + "/" + pair.name + "_R.png", cv::IMREAD_COLOR);
    ASSERT_FALSE(p.left.empty() || p.right.empty()) << pair.name;
    p.r = 6, p.R = 19, p.max_disparity = pair.max_disparity, p.scale = pair.scale;
    expect_matcher_equals_reference(p, {2}, pair.name);
  }
}

}  // namespace
