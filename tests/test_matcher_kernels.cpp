// The matcher's fast kernels against the straightforward versions of tests/support, stage by
// stage, at every vector width this CPU runs; and the worked examples of the winner search,
// the sub-pixel refinement, the uniqueness test and the output byte.

#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "matcher/stages.h"
#include "tests/support/reference.h"
#include "tests/support/test_support.h"

namespace {

using namespace ondrel_test;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(WeightTables, FastFillEqualsTheScalarDefinitionInAnyRanges) {
  const int N = ondrel::internal::kExpLutSize;
  for (float gamma : {23.0f, 14.0f, 2.0f, 0.5f, 0.0f, -3.0f, 1e-30f}) {
    std::vector<float> whole(N, -1.0f), pieces(N, -1.0f);
    EXPECT_EQ(init_exponential_lut_QUIRN(whole.data(), gamma, 0, N), 0);
    // odd and even ends, out of order, clamped at both ends; empty ranges fill nothing
    const int cuts[][2] = {{1001, 65535}, {-5, 1}, {4, 7}, {7, 1001}, {1, 4}, {65535, N + 9}, {9, 9}, {30, 3}};
    for (const auto& cut : cuts) init_exponential_lut_QUIRN(pieces.data(), gamma, cut[0], cut[1]);
    for (int i = 0; i < N; ++i) {
      ASSERT_TRUE(same_value(whole[i], reference_weight(i, gamma))) << "gamma " << gamma << ", entry " << i;
      ASSERT_TRUE(same_value(pieces[i], whole[i])) << "gamma " << gamma << ", entry " << i << " in pieces";
    }
  }
  for (auto [r, R] : {std::pair{6, 19}, std::pair{0, 2}, std::pair{4, 4}}) {
    const std::vector<float> expected = reference_spatial_weights(r, R, 14.0f);
    std::vector<float> got(expected.size(), -1.0f);
    ASSERT_EQ(blocks_per_axis(r, R) * blocks_per_axis(r, R), static_cast<int>(expected.size()));
    fill_spatial_weights_QUIRN(got.data(), r, R, 14.0f);
    EXPECT_EQ(got, expected) << r << ", " << R;
  }
}

TEST(BlockMeans, RegionsEqualTheDefinitionWithAnyThreadCount) {
  // random views (one padded); views of 255 alone, whose sums are the largest for their block
  // and whose quotients fall on the division's edge (255 (2r+1)^2 / (2r+1)^2); blocks wider or
  // higher than the view (no mean at all). The planes start as garbage: the regions write
  // every byte, 0 where no mean is.
  const int shapes[][4] = {{17, 11, 2, 0}, {9, 7, 0, 0}, {5, 9, 2, 0}, {12, 5, 2, 0}, {5, 5, 2, 0},
                           {31, 20, 4, 0}, {7, 13, 3, 0}, {90, 85, 40, 255}, {30, 27, 13, 255}, {8, 9, 1, 255},
                           {4, 9, 2, 0},   {9, 3, 2, 0}};
  uint32_t seed = 100;
  for (const auto& s : shapes) {
    const int W = s[0], H = s[1], r = s[2];
    cv::Mat left = random_image(W, H, CV_8UC3, seed++, 2), right = random_image(W, H, CV_8UC3, seed++);
    if (s[3]) left.setTo(cv::Scalar::all(s[3])), right.setTo(cv::Scalar::all(s[3]));
    const auto expected = reference_block_means(left, right, r);
    for (int threads : {1, 2, 3, 7}) {
      std::vector<std::vector<unsigned char>> planes(kPlaneCount, std::vector<unsigned char>(static_cast<size_t>(W) * H, 0xA5));
      BlockMeanContext means{left.data, right.data, left.step[0], right.step[0], r, W, H, {}};
      for (int i = 0; i < kPlaneCount; ++i) means.planes[i] = planes[i].data();
      bool ok = true;
#pragma omp parallel num_threads(threads) reduction(&& : ok)
      ok = block_mean_region_QUIRN(means, omp_get_thread_num(), omp_get_num_threads());
      EXPECT_TRUE(ok);
      EXPECT_EQ(planes, expected) << W << "x" << H << " r " << r << ", " << threads << " threads";
    }
  }
  // outside its domain (r negative, a block wider or higher than the image) nothing is written
  const cv::Mat image = random_image(6, 4, CV_8UC3, 8);
  for (int r : {-1, 2, 3}) {
    std::vector<unsigned char> out(24, 5);
    std::vector<int> columns(18);
    unsigned char* const planes[3] = {out.data(), out.data(), out.data()};
    block_means_rows(image.data, image.step[0], 6, 4, r, planes, 0, 4, columns.data());
    EXPECT_EQ(out, std::vector<unsigned char>(24, 5)) << r;
  }
}

TEST(CostStream, RowRangesInAnyOrderEqualTheReferenceVolume) {
  struct Case { int W, H, D, d0, r, T, left_pad, right_pad; bool flat = false; };  // flat: every pixel cost is T
  std::vector<Case> cases = {
      {7, 5, 3, 0, 1, 53, 0, 0},     {1, 1, 1, 0, 0, 10, 0, 0},    {3, 3, 4, 0, 1, 765, 1, 2},   {5, 9, 12, 0, 2, 255, 3, 1},
      {23, 17, 9, 2, 3, 0, 0, 5},    {31, 12, 40, 0, 0, 1000, 2, 0}, {64, 9, 60, 0, 4, 53, 0, 0}, {17, 33, 17, 1, 8, 100, 1, 1},
      {50, 21, 33, 0, 2, 30, 4, 0},  {29, 14, 21, 0, 4, 765, 1, 0}, {40, 16, 70, 3, 5, 300, 0, 3},
      // 49 pixels per block: 49 * 668 = 32732 still fits 16 bits, 49 * 669 does not
      {21, 12, 37, 0, 3, 668, 0, 0, true}, {21, 12, 37, 0, 3, 669, 0, 0, true}, {21, 12, 37, 0, 3, 765, 0, 0, true},
      // rows too long to keep their pixel costs (kKeptPixelCostBytes): worked out again as they leave
      {2000, 11, 60, 0, 5, 53, 0, 0}};
  // the smallest images: W, H = 2r+1 or 2r+2, more disparities than columns, d0 > 0 on odd r
  for (int r = 0; r <= 3; ++r)
    for (int W = 2 * r + 1; W <= 2 * r + 2; ++W)
      for (int H = 2 * r + 1; H <= 2 * r + 2; ++H) cases.push_back({W, H, W + 3, r % 2, r, 200, 1, 0});
  std::mt19937 rng(17);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " D " << c.D << " d0 " << c.d0 << " r " << c.r << " T " << c.T);
    cv::Mat left = random_image(c.W, c.H, CV_8UC3, rng(), c.left_pad), right = random_image(c.W, c.H, CV_8UC3, rng(), c.right_pad);
    if (c.flat) left.setTo(255), right.setTo(0);
    CostVolume expected(c.W, c.H, c.D);
    reference_cost_volume(left, right, c.d0, c.r, c.T, &expected);
    for (int bits : simd_widths()) {
      SimdLimit limit(bits);
      CostStream stream;
      ASSERT_TRUE(cost_stream_open(&stream, c.W, c.H, c.D, c.d0, left.data, left.step[0], right.data, right.step[0], c.r, c.T));
      // the rows are of 16-bit costs where every block cost fits
      const auto check = [&](auto&& got) {
        // every other range resumes where the last one ended; the others start anywhere
        int end = 0;
        for (int call = 0; call < 12; ++call) {
          const int begin = call == 11 ? 0 : call % 2 && end < c.H ? end : static_cast<int>(rng() % c.H);
          end = call == 11 ? c.H : call == 4 ? begin : begin + 1 + static_cast<int>(rng() % (c.H - begin));
          for (auto& v : got.vectors) std::fill(v.begin(), v.end(), -7);
          cost_stream_rows(&stream, begin, end, got.rows.data());
          for (size_t i = 0; i < got.vectors.size(); ++i) {
            const int y = static_cast<int>(i) / c.W;
            ASSERT_EQ(std::vector<int>(got.vectors[i].begin(), got.vectors[i].end()),
                      begin <= y && y < end ? expected.vectors[i] : std::vector<int>(c.D, -7))
                << bits << "-bit path, rows " << begin << " .. " << end << ", pixel " << i % c.W << ", " << y;
          }
        }
      };
      if (cost_rows_narrow(c.r, c.T, false)) check(CostVolumeOf<int16_t>(c.W, c.H, c.D));
      else check(CostVolume(c.W, c.H, c.D));
      cost_stream_close(&stream);
    }
  }
}

TEST(AggregationRows, FastRowsEqualTheReferenceRows) {
  enum Costs { kVolume, kSigned, kFlat, kNear, kHuge, kAroundStart, kSteps };
  struct Case { int W, H, r, R, max_disparity; float gamma_space, gamma_color; int left_pad, right_pad; Costs costs; };
  // 9 blocks; r = R = 0: one pixel block; r = R, W = 2r+1; 25 blocks, one disparity; max_disparity >= W: no
  // pixel; a disparity count off the chunks; chunks overlapping at the end; whole chunks only; weight sums near
  // underflow; steep spatial weights; gamma_color 0: NaN weights; gamma_space 0. Where the bound lets most
  // chunks through (flat and near costs, negative ones), the row sums every chunk at once: with 71
  // disparities, in more than one pass of vectors at every width
  const Case cases[] = {
      {9, 7, 1, 4, 3, 14, 23, 0, 0, kVolume},    {12, 6, 0, 0, 5, 14, 23, 1, 2, kVolume},
      {5, 9, 2, 2, 2, 14, 23, 0, 3, kVolume},    {14, 10, 0, 2, 0, 14, 23, 2, 0, kVolume},
      {6, 8, 1, 4, 8, 14, 23, 0, 0, kVolume},    {40, 11, 1, 4, 17, 14, 23, 1, 1, kVolume},
      {61, 13, 2, 7, 33, 5, 12, 0, 2, kVolume},  {80, 15, 1, 4, 63, 14, 23, 3, 0, kVolume},
      {47, 13, 1, 4, 20, 14, 2, 0, 0, kVolume},  {47, 13, 1, 4, 20, 1, 23, 0, 0, kVolume},
      {33, 12, 1, 4, 9, 14, 0, 0, 0, kVolume},   {33, 12, 1, 4, 9, 0, 23, 0, 0, kVolume},
      // costs not from the cost kernel: negative window costs take another route in the fast
      // winner search; ties, costs within one unit, costs that never win, costs around the
      // running minimum's start: the fast search works exact costs out only where they may win
      {37, 14, 1, 4, 21, 14, 23, 0, 0, kSigned},  {41, 15, 1, 4, 25, 14, 23, 0, 0, kFlat},
      {41, 15, 1, 4, 25, 14, 23, 0, 0, kNear},    {41, 15, 1, 4, 25, 14, 23, 0, 0, kHuge},
      {41, 15, 1, 4, 25, 14, 23, 0, 0, kAroundStart}, {100, 12, 1, 4, 70, 14, 23, 0, 1, kNear},
      // the same integer cost at every block of many disparities far apart, and a higher one
      // first: the lowest window cost is that integer, lanes apart
      {41, 15, 1, 4, 25, 14, 23, 0, 0, kSteps}, {100, 12, 1, 4, 70, 14, 23, 0, 0, kSteps}};
  std::mt19937 rng(73);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " r " << c.r << " R " << c.R << " max_disparity "
                                    << c.max_disparity << " gammas " << c.gamma_space << ", " << c.gamma_color << " costs " << c.costs);
    ondrel::Parameters p = parameters(c.r, c.R, c.max_disparity, 53, c.gamma_color);
    p.gamma_space = c.gamma_space;
    const uint32_t seed = rng();
    ReferenceInputs in(random_image(c.W, c.H, CV_8UC3, seed, c.left_pad),
                       random_image(c.W, c.H, CV_8UC3, seed + 1, c.right_pad), p);
    for (auto& v : in.costs.vectors) {
      const int base = 1000 + static_cast<int>(rng() % 5);
      for (size_t d = 0; d < v.size(); ++d) {
        int& cost = v[d];
        cost = c.costs == kSigned ? static_cast<int>(rng() % 3000) - 1000 : c.costs == kFlat ? 3000
               : c.costs == kNear ? base : c.costs == kHuge ? 2000000000 - static_cast<int>(rng() % 100)
               : c.costs == kAroundStart ? (rng() % 2 ? 999999 : 1000001)
               : c.costs == kSteps ? (d < 6 ? 1001 : d % 3 == 0 ? 1000 : 1003) : cost;
      }
    }
    const Planes expected = reference_match(in);
    // the same costs in 16 bits too where they fit, as the matcher keeps them then (and
    // screens in single precision the pixels whose blocks are all valid)
    CostVolumeOf<int16_t> narrow(c.W, c.H, c.max_disparity + 1);
    bool fits = true;
    for (size_t i = 0; i < in.costs.vectors.size(); ++i)
      for (size_t d = 0; d < in.costs.vectors[i].size(); ++d) {
        const int cost = in.costs.vectors[i][d];
        fits = fits && cost >= -32768 && cost <= 32767;
        narrow.vectors[i][d] = static_cast<int16_t>(cost);
      }
    std::vector<int> order(static_cast<size_t>(c.H));
    std::iota(order.begin(), order.end(), 0);
    for (int run = 0; run < (fits ? 2 : 1) * static_cast<int>(simd_widths().size()); ++run) {
      const int bits = simd_widths()[static_cast<size_t>(run) % simd_widths().size()];
      AggregationContext ctx = in.context();
      if (run >= static_cast<int>(simd_widths().size())) ctx.cost_rows = nullptr, ctx.narrow_cost_rows = narrow.rows.data();
      SimdLimit limit(bits);
      AggregationScratch scratch;
      ASSERT_TRUE(aggregation_scratch_alloc(&scratch, ctx));
      std::shuffle(order.begin(), order.end(), rng);  // one scratch for every row, in any order
      for (int y : order) {
        // the fast version reads only the weight columns it wrote for this row: a NaN read
        // anywhere else would show in the outputs
        const size_t weights = static_cast<size_t>(c.W) * static_cast<size_t>(ctx.nblocks);
        std::fill(scratch.right_weights_reversed, scratch.right_weights_reversed + weights, std::nan(""));
        std::fill(scratch.right_float_weights_reversed, scratch.right_float_weights_reversed + weights, kNaN);
        std::fill(scratch.left_weights_by_block, scratch.left_weights_by_block + weights, kNaN);
        std::vector<float> rows[4];
        for (auto& row : rows) row.assign(c.W, 77.0f);  // every element must be written
        ondrel::internal::simd::kernel_table().aggregate_row(ctx, scratch, y,
                                                   {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data()});
        // (the row holds the winners' confidence; the entry lowers that of the pixels the
        // uniqueness check drops, as the reference does)
        for (int x = 0; x < c.W; ++x)
          if (std::isnan(rows[1][x])) rows[3][x] *= 0.25f;
        for (int i = 0; i < 4; ++i)
          for (int x = 0; x < c.W; ++x)
            ASSERT_TRUE(same_value(rows[i][x], expected.plane[i][static_cast<size_t>(y) * c.W + x]))
                << bits << "-bit path, " << (ctx.cost_rows ? "int" : "16-bit") << " costs, plane " << i << " at " << x
                << ", " << y << ": " << rows[i][x];
      }
      aggregation_scratch_free(&scratch);
    }
  }
}

TEST(WorkedExamples, WinnerRefinementUniquenessAndBytes) {
  // winner: an integer running minimum, the lower disparity on ties, never a NaN or 1e6
  // offset: refine_winner of h; bounded: the same within one pixel (0 where the parabola is flat or opens downward)
  struct Search { std::vector<double> costs; int h, m; float offset, bounded; };
  // 10.2 is not below 10, 9.9 is; equal costs keep the lower d; nothing wins; a NaN beside the winner: no
  // offset; the parabola's vertex; none at 0 and at max_disparity; none when a + c - 2b = 0; truncation toward
  // zero, b < 0; a vertex 1.5 to the right of the winner
  const Search searches[] = {
      {{20, 15, 11, 10.7, 10.2, 12}, 3, 10, -2.0f, 0.0f}, {{20, 15, 11, 10.7, 9.9, 12}, 4, 9, -0.2241379f, -0.2241379f},
      {{5, 3, 3, 3}, 1, 3, 0.5f, 0.5f}, {{kNaN, 1000000, 2e9, kNaN}, -1, 1000000, 0.0f, 0.0f},
      {{kNaN, 999999.5, kNaN}, 1, 999999, 0.0f, 0.0f}, {{15, 14, 13, 13, 12, 10, 11, 14}, 5, 10, 1.0f / 6, 1.0f / 6},
      {{1, 5, 9}, 0, 1, 0.0f, 0.0f}, {{9, 5, 1}, 2, 1, 0.0f, 0.0f}, {{3, 2.5, 2, 9}, 1, 2, 0.0f, 0.0f},
      {{5, -1.5, -1.2, 4}, 2, -1, 0.0f, 0.0f}, {{20, 11.5, 10.5, 10.0, 14}, 2, 10, 1.5f, 1.0f}};
  for (const Search& s : searches) {
    const Winner w = select_winner(s.costs.data(), static_cast<int>(s.costs.size()));
    EXPECT_TRUE(w.found == (s.h >= 0) && w.h == s.h) << s.costs[1] << ": " << w.found << ", " << w.h;
    if (!w.found) continue;
    EXPECT_EQ(w.m, s.m) << s.costs[1];
    const int last = static_cast<int>(s.costs.size()) - 1;
    EXPECT_NEAR(refine_winner(s.costs.data(), w.h, 0, last), s.offset, 1e-6);
    EXPECT_NEAR(refine_winner(s.costs.data(), w.h, 0, last, true), s.bounded, 1e-6);
  }
  // uniqueness: the first claim of a right column stands; claims of disparity 0 block nothing
  // afterwards: row[x], row[other], and the claim of column 15
  struct Step { bool fresh; int x, h, m; float value, expected, other_expected; int other, claim_disparity; float claim_cost; };
  // column 15 free; worse than the claim; a tie wins and knocks out pixel 20; compared with the first claim: 23
  // stays; a claim of disparity 0, then one that finds it free
  const Step steps[] = {
      {true, 20, 5, 30, 80, 80, 80, 20, 5, 30},     {false, 22, 7, 40, 112, kNaN, 80, 20, 5, 30},
      {false, 23, 8, 30, 128, 128, kNaN, 20, 5, 30}, {false, 25, 10, 28, 160, 160, 128, 23, 5, 30},
      {true, 15, 0, 3, 0, 0, 0, 15, 0, 3},          {false, 20, 5, 90, 40, 40, 0, 15, 5, 90}};
  std::vector<int> claimed;
  std::vector<float> cost, row;
  for (const Step& s : steps) {
    if (s.fresh) claimed.assign(60, -1), cost.assign(60, 5e8f), row.assign(40, kNaN);
    apply_uniqueness(s.x, s.h, s.m, s.value, claimed.data(), cost.data(), row.data());
    EXPECT_TRUE(same_value(row[s.x], s.expected) && same_value(row[s.other], s.other_expected))
        << s.x << ": " << row[s.x] << ", pixel " << s.other << ": " << row[s.other];
    EXPECT_TRUE(claimed[15] == s.claim_disparity && cost[15] == s.claim_cost) << s.x << ": " << claimed[15] << ", " << cost[15];
  }
}

// The confidence's look at the finished map, on a map of one surface at disparity 5 (columns
// 0 .. 4 without a value, the right plane as the left pass writes it) with confidence 1: a
// speckle of 8 keeps nothing and hides the pixel left of it in the right view; a pixel whose
// right column holds another value keeps a quarter; one beside the valueless columns the share
// of its neighbours with a value. Any split of the rows gives the same floats as the reference.
TEST(WorkedExamples, TheConfidenceLowersSpecklesAndPixelsTheRightViewContradicts) {
  const int W = 14, H = 10;
  Planes map;
  map.W = W, map.H = H;
  map.plane[0].assign(W * H, kNaN), map.plane[2].assign(W * H, kNaN), map.plane[3].assign(W * H, 0.0f);
  const auto at = [&](int plane, int x, int y) -> float& { return map.plane[plane][static_cast<size_t>(y) * W + x]; };
  for (int y = 0; y < H; ++y)
    for (int x = 5; x < W; ++x) at(0, x, y) = 5.0f, at(2, x - 5, y) = 5.0f, at(3, x, y) = 1.0f;
  at(0, 10, 3) = 8.0f, at(2, 2, 3) = 8.0f;                     // the speckle, consistent with its right column
  for (int xr = 2; xr <= 4; ++xr) at(2, xr, 7) = 9.0f;          // (8, 7)'s right columns show another surface
  Planes whole = map, split = map;
  reference_confidence_from_map(&map);
  confidence_from_map(whole.plane[0].data(), W, whole.plane[2].data(), W, W, H, 0, H, whole.plane[3].data(), W);
  for (auto [begin, end] : {std::pair{4, H}, std::pair{0, 4}})
    confidence_from_map(split.plane[0].data(), W, split.plane[2].data(), W, W, H, begin, end, split.plane[3].data(), W);
  EXPECT_TRUE(same_floats(whole.plane[3], map.plane[3], W));
  EXPECT_TRUE(same_floats(split.plane[3], map.plane[3], W));
  EXPECT_EQ(at(3, 7, 5), 1.0f);                        // inside the surface
  EXPECT_EQ(at(3, 10, 3), 0.0f);                       // the speckle
  EXPECT_EQ(at(3, 9, 3), 23.0f / 24.0f * 0.25f);       // hidden by it: x - 5 = 4 > 10 - 8 + 1
  EXPECT_EQ(at(3, 8, 3), 23.0f / 24.0f);               // 3 is not more than 1 right of 2
  EXPECT_EQ(at(3, 8, 7), 0.25f);                       // contradicted by the right view
  EXPECT_EQ(at(3, 5, 5), 14.0f / 24.0f);               // beside the valueless columns
  EXPECT_EQ(at(3, 4, 5), 0.0f);                        // no value: left alone
}

}  // namespace
