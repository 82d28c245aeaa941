// The refined pipeline's semi-global stages against the straightforward versions of
// tests/support/reference_refine.h at every vector width with 1 and several threads, and
// match_refined's default pipeline on a synthetic pair.
#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <ondrel/refine.h>
#include <opencv2/core.hpp>

#include "matcher/dispatch.h"
#include "matcher/simd/kernel_table.h"
#include "refine/post_filters.h"
#include "refine/semi_global.h"
#include "refine/steps.h"
#include "tests/support/reference.h"
#include "tests/support/reference_refine.h"
#include "tests/support/test_support.h"

namespace {

namespace rf = ondrel::internal;
using namespace ondrel_test;

std::vector<int16_t> grey_of(const cv::Mat& view) {
  std::vector<int16_t> grey(static_cast<size_t>(view.cols) * view.rows);
  rf::grey_plane(view.data, static_cast<std::ptrdiff_t>(view.step[0]), view.cols, view.rows, grey.data());
  return grey;
}

// Odd sizes, one pixel, windows wider and higher than the image, rows of whole vectors and
// with a last part, ranges wider than the row, a negative and a positive first disparity.
TEST(SemiGlobal, CensusAndCostsEqualTheDefinition) {
  struct Case { int W, H, d_min, D; };
  uint32_t seed = 300;
  for (const Case& c : {Case{1, 1, 0, 1}, Case{3, 2, 0, 5}, Case{9, 7, 0, 9}, Case{23, 11, -3, 17}, Case{40, 5, 2, 33},
                        Case{17, 9, 0, 16}, Case{61, 3, -1, 24}}) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " d_min " << c.d_min << " D " << c.D);
    const cv::Mat left = random_image(c.W, c.H, CV_8UC3, seed++, 2), right = random_image(c.W, c.H, CV_8UC3, seed++);
    const std::vector<int16_t> gl = grey_of(left), gr = grey_of(right);
    const int Dp = (c.D + rf::kDisparityLanes - 1) / rf::kDisparityLanes * rf::kDisparityLanes;
    const std::vector<uint64_t> cl = reference_census(gl, c.W, c.H), cr = reference_census(gr, c.W, c.H);
    const std::vector<uint8_t> expected = reference_costs(cl, cr, c.W, c.H, c.d_min, c.D, Dp);
    for (int bits : simd_widths()) {
      SimdLimit limit(bits);
      std::vector<uint64_t> census_left(gl.size(), 7), census_right(gr.size(), 7);
      rf::census_rows(gl.data(), c.W, c.H, 0, c.H, census_left.data());
      for (int y = c.H - 1; y >= 0; --y) rf::census_rows(gr.data(), c.W, c.H, y, y + 1, census_right.data());
      ASSERT_EQ(census_left, cl) << bits << " bits";
      ASSERT_EQ(census_right, cr) << bits << " bits";
      // the widest path with and without the CPU's lane popcount
      for (bool popcount : {true, false}) {
        rf::ondrel_testing_allow_lane_popcount(popcount);
        std::vector<uint8_t> cost(expected.size(), 1);
        std::vector<uint64_t> extended(static_cast<size_t>(c.W) + c.D);
        for (int y = 0; y < c.H; ++y)
          rf::cost_row(cl.data(), cr.data(), c.W, y, c.d_min, c.D, Dp, extended.data(),
                       cost.data() + static_cast<size_t>(y) * c.W * Dp);
        EXPECT_EQ(cost, expected) << bits << " bits, lane popcount " << rf::lane_popcount();
      }
      rf::ondrel_testing_allow_lane_popcount(true);
    }
  }
}

// Random census strings (costs 0 .. 62, padding lanes 255), grey values and penalties, with
// and without the edge rule; bands of a few rows, the image in one band, a band of one row.
TEST(SemiGlobal, BandsEqualTheDefinitionAtEveryWidthAndThreadCount) {
  struct Case { int W, H, d_min, D, paths, body, margin; rf::Penalties penalties; int uniqueness, tolerance; };
  std::mt19937_64 rng(41);
  for (const Case& c : {Case{1, 1, 0, 3, 8, 4, 2, {10, 120, 0}, 5, 1}, Case{5, 3, 0, 16, 4, 2, 1, {10, 120, 0}, 5, 1},
                        Case{17, 9, -2, 20, 8, 3, 2, {3, 40, 50}, 0, 0}, Case{33, 20, 1, 47, 8, 6, 4, {10, 120, 0}, 5, 1},
                        Case{4, 31, 0, 33, 4, 7, 3, {7, 300, 20}, 30, -1}, Case{30, 2, 0, 5, 8, 1, 0, {1, 1000, 0}, 5, 2},
                        Case{24, 13, 0, 9, 4, 64, 16, {10, 120, 0}, 5, 1}}) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " D " << c.D << " paths " << c.paths << " body " << c.body);
    const int Dp = (c.D + rf::kDisparityLanes - 1) / rf::kDisparityLanes * rf::kDisparityLanes;
    const size_t n = static_cast<size_t>(c.W) * c.H;
    std::vector<uint64_t> left(n), right(n);
    // strings close to each other, so that sums tie and come near often
    for (size_t i = 0; i < n; ++i) left[i] = rng() & rng() & rng(), right[i] = rng() & rng() & rng();
    std::vector<int16_t> grey(n);
    for (auto& g : grey) g = static_cast<int16_t>(rng() % 766);
    const std::vector<float> expected = reference_rows(left, right, grey, c.W, c.H, c.d_min, c.D, Dp, c.paths,
                                                       c.penalties, c.uniqueness, c.tolerance, c.body, c.margin);
    std::vector<float> first_margins;
    for (int bits : simd_widths())
      for (int workers : {1, 2, 3}) {
        SimdLimit limit(bits);
        std::vector<unsigned char> scratch(workers * rf::band_scratch_bytes(c.W, c.D, Dp, c.body, c.paths, c.penalties));
        std::vector<float> got(n, 5.0f), margins(n, 5.0f);
        ASSERT_TRUE(rf::semi_global_rows(left.data(), right.data(), grey.data(), c.W, c.H, c.d_min, c.D, Dp, c.paths,
                                         c.penalties, c.uniqueness, c.tolerance, c.body, c.margin, workers,
                                         scratch.data(), nullptr, nullptr, got.data(), margins.data()));
        EXPECT_TRUE(same_floats(got, expected, c.W)) << bits << " bits, " << workers << " workers";
        for (size_t i = 0; i < n; ++i)
          ASSERT_TRUE(std::isnan(got[i]) ? margins[i] == 0 : margins[i] >= 0 && margins[i] <= 1) << i;
        if (first_margins.empty()) first_margins = margins;
        EXPECT_TRUE(same_floats(margins, first_margins, c.W)) << bits << " bits, " << workers << " workers";
      }
  }
}

// The kernels of a row's path steps against reference_path, the rows chained through the
// kernel's own output: 1 and 3 paths from the row before, with sums from 0 and added to sums;
// both paths along each row, added to sums. Random costs (the padding lanes 255), P2 the same
// everywhere or lowered at edges; Dp of one vector, with a 16-lane tail on wide units, and
// of several vectors; rows of one and two pixels.
TEST(SemiGlobal, PathStepsOfARowEqualTheDefinition) {
  struct Case { int W, H, D, Dp; rf::Penalties penalties; };
  std::mt19937 rng(77);
  for (const Case& c : {Case{1, 3, 5, 16, {10, 120, 0}}, Case{2, 4, 16, 16, {7, 300, 20}}, Case{37, 5, 40, 48, {10, 120, 0}},
                        Case{23, 4, 70, 80, {3, 40, 50}}, Case{9, 3, 100, 112, {10, 120, 0}}}) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " Dp " << c.Dp << " edge " << c.penalties.edge);
    const size_t n = static_cast<size_t>(c.W) * c.H, dp = static_cast<size_t>(c.Dp), row = c.W * dp;
    std::vector<uint8_t> cost(n * dp);
    for (size_t i = 0; i < cost.size(); ++i) cost[i] = i % dp < static_cast<size_t>(c.D) ? rng() % 63 : 255;
    std::vector<int16_t> grey(n), start(n * dp);
    for (auto& g : grey) g = static_cast<int16_t>(rng() % 766);
    for (auto& v : start) v = static_cast<int16_t>(rng() % 2000);
    // P2 between pixel (x, y) and (x - dx, y - dy)
    const auto large = [&](int x, int y, int dx, int dy) {
      if (c.penalties.edge <= 0) return c.penalties.p2;
      const int step = std::abs(grey[y * c.W + x] - grey[(y - dy) * c.W + x - dx]);
      return std::max(c.penalties.p1, c.penalties.p2 * c.penalties.edge / (c.penalties.edge + step));
    };
    const int dxs[3] = {0, 1, -1};
    std::vector<int> L[3];
    for (int j = 0; j < 3; ++j) L[j] = reference_path(cost, grey, c.W, c.H, c.Dp, dxs[j], 1, c.penalties);
    const std::vector<int> along = reference_path(cost, grey, c.W, c.H, c.Dp, 1, 0, c.penalties),
                           back = reference_path(cost, grey, c.W, c.H, c.Dp, -1, 0, c.penalties);
    for (int bits : simd_widths())
      for (int paths : {1, 3})
        for (int mode : {0, 1, 2}) {  // sums from 0, added to 16-bit sums, from and to bytes
          const bool add = mode == 1, bytes = mode == 2;
          SCOPED_TRACE(testing::Message() << bits << " bits, " << paths << " paths, mode " << mode);
          SimdLimit limit(bits);
          const size_t span = dp + 2;
          // path costs of every row, each pixel between two outside values
          std::vector<int16_t> rows[3], lowests[3], larges[3];
          for (int j = 0; j < 3; ++j) {
            rows[j].assign(n * span, rf::simd::kSemiGlobalOutside);
            lowests[j].assign(n, -1);
            larges[j].assign(static_cast<size_t>(c.W), -1);
          }
          std::vector<int16_t> sums(n * dp, 9), expected(n * dp), expected_rows[3];
          std::vector<uint8_t> start_bytes(n * dp), kept(n * dp, 9);
          for (size_t i = 0; i < start_bytes.size(); ++i) start_bytes[i] = static_cast<uint8_t>(start[i] % 256);
          for (int j = 0; j < 3; ++j) expected_rows[j].assign(n * span, rf::simd::kSemiGlobalOutside);
          for (int y = 0; y < c.H; ++y) {
            rf::simd::SemiGlobalColumns columns{};
            columns.paths = paths;
            columns.span = static_cast<int>(span);
            for (int j = 0; j < paths; ++j) {
              for (int x = 0; x < c.W; ++x)
                if (y > 0 && x - dxs[j] >= 0 && x - dxs[j] < c.W) larges[j][x] = static_cast<int16_t>(large(x, y, dxs[j], 1));
              columns.before[j] = y > 0 ? rows[j].data() + (y - 1) * c.W * span + 1 : nullptr;
              columns.lowest_before[j] = y > 0 ? lowests[j].data() + (y - 1) * c.W : nullptr;
              columns.large[j] = larges[j].data();
              columns.now[j] = rows[j].data() + y * c.W * span + 1;
              columns.lowest_now[j] = lowests[j].data() + y * c.W;
            }
            const size_t at = y * row;
            columns.add_bytes = bytes ? start_bytes.data() + at : nullptr;
            columns.keep_bytes = bytes ? kept.data() + at : nullptr;
            rf::simd::kernel_table().semi_global_column_paths(cost.data() + at, c.W, c.Dp, c.penalties.p1, columns,
                                                              add ? start.data() + at : nullptr,
                                                              bytes ? nullptr : sums.data() + at);
            for (size_t i = at; i < at + row; ++i) {
              int sum = add ? start[i] : bytes ? start_bytes[i] : 0;
              for (int j = 0; j < paths; ++j) sum += L[j][i];
              expected[i] = static_cast<int16_t>(bytes ? std::min(sum, 255) : sum);
            }
          }
          if (bytes)
            EXPECT_EQ(std::vector<int16_t>(kept.begin(), kept.end()), expected) << "column paths' sums in bytes";
          else
            EXPECT_EQ(sums, expected) << "column paths' sums";
          for (int j = 0; j < paths; ++j) {
            std::vector<int16_t> lowest(n);
            for (size_t p = 0; p < n; ++p) {
              lowest[p] = static_cast<int16_t>(*std::min_element(L[j].begin() + p * dp, L[j].begin() + (p + 1) * dp));
              for (size_t k = 0; k < dp; ++k) expected_rows[j][p * span + 1 + k] = static_cast<int16_t>(L[j][p * dp + k]);
            }
            EXPECT_EQ(rows[j], expected_rows[j]) << "path " << j;
            EXPECT_EQ(lowests[j], lowest) << "path " << j;
          }
          if (paths > 1 || mode > 0) continue;
          // both paths along each row, onto the starting sums
          std::vector<int16_t> scratch(4 * span), larges_along(static_cast<size_t>(c.W), -1);
          sums = start;
          for (int y = 0; y < c.H; ++y) {
            for (int x = 0; x + 1 < c.W; ++x) larges_along[x] = static_cast<int16_t>(large(x + 1, y, 1, 0));
            rf::simd::kernel_table().semi_global_row_paths(cost.data() + y * row, c.W, c.Dp, c.penalties.p1,
                                                           larges_along.data(), scratch.data(), sums.data() + y * row);
          }
          for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int16_t>(start[i] + along[i] + back[i]);
          EXPECT_EQ(sums, expected) << "row paths";
        }
  }
}

// Sums from a small range, so that ties and near ties are common (the padding lanes too: they
// must never win).
TEST(SemiGlobal, WinnersEqualTheDefinition) {
  std::mt19937 rng(5);
  struct Case { int W, H, d_min, D, uniqueness, tolerance; };
  for (const Case& c : {Case{1, 1, 0, 1, 5, 1}, Case{13, 3, 0, 7, 0, 1}, Case{20, 4, -2, 19, 5, 0}, Case{25, 2, 3, 16, 30, -1},
                        Case{9, 5, 0, 40, 5, 2}, Case{70, 2, -5, 45, 5, 1}, Case{50, 2, 12, 33, 10, 1}}) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " d_min " << c.d_min << " D " << c.D);
    const int Dp = (c.D + rf::kDisparityLanes - 1) / rf::kDisparityLanes * rf::kDisparityLanes;
    std::vector<int16_t> sums(static_cast<size_t>(c.W) * c.H * Dp);
    // every third pixel's sums below the lane numbers
    for (size_t i = 0; i < sums.size(); ++i) sums[i] = static_cast<int16_t>((i / Dp % 3 ? 20 : 0) + rng() % 12);
    const std::vector<float> expected = reference_winners(sums, c.W, c.H, c.d_min, c.D, Dp, c.uniqueness, c.tolerance);
    for (int bits : simd_widths()) {
      SimdLimit limit(bits);
      std::vector<float> got(static_cast<size_t>(c.W) * c.H, 5.0f);
      std::vector<int16_t> scratch(rf::winners_scratch_size(c.W));
      for (int y = 0; y < c.H; ++y)
        rf::winners_row(sums.data() + static_cast<size_t>(y) * c.W * Dp, c.W, c.d_min, c.D, Dp, c.uniqueness,
                        c.tolerance, scratch.data(), got.data() + static_cast<size_t>(y) * c.W, nullptr);
      EXPECT_TRUE(same_floats(got, expected, c.W)) << bits << " bits";
    }
  }
}

// The kernel alone, every output: sums from a small range (ties everywhere), or near the top of
// the 16-bit range; the padding lanes anything, lower ones too; rows of whole vectors and with
// a last part (a 16-lane tail on the wide units); images narrower than the range and first
// disparities that push the right view's range past either end of the row.
TEST(SemiGlobal, WinnersKernelEqualsTheDefinition) {
  std::mt19937 rng(8);
  struct Case { int W, d_min, D, base, spread; };
  for (const Case& c : {Case{1, 0, 1, 0, 5}, Case{13, 0, 7, 0, 3}, Case{20, -2, 19, 0, 12}, Case{9, 0, 40, 0, 12},
                        Case{70, -5, 45, 100, 6}, Case{50, 12, 33, 0, 12}, Case{64, 3, 64, 0, 4}, Case{40, 0, 80, 0, 40},
                        Case{37, -40, 16, 0, 12}, Case{30, 25, 20, 0, 12}, Case{45, -1, 48, 0x7FFE - 20, 21}}) {
    SCOPED_TRACE(testing::Message() << "W " << c.W << " d_min " << c.d_min << " D " << c.D << " base " << c.base);
    const int Dp = (c.D + rf::kDisparityLanes - 1) / rf::kDisparityLanes * rf::kDisparityLanes;
    std::vector<int16_t> sums(static_cast<size_t>(c.W) * Dp);
    for (size_t i = 0; i < sums.size(); ++i)
      sums[i] = static_cast<int16_t>(static_cast<int>(i % Dp) < c.D ? c.base + static_cast<int>(rng() % c.spread) : rng() % 0x7FFF);
    const WinnerLanes expected = reference_winner_lanes(sums.data(), c.W, c.d_min, c.D, Dp);
    const int pad = rf::simd::kSemiGlobalWinnersPad;
    for (int bits : simd_widths()) {
      SimdLimit limit(bits);
      std::vector<int16_t> right_low(c.W + 2 * pad, 3), right_best(right_low.size(), 3);
      WinnerLanes got{std::vector<int16_t>(c.W, 3), std::vector<int16_t>(c.W, 3), std::vector<int16_t>(c.W, 3), {}, {}};
      rf::simd::kernel_table().semi_global_winners(sums.data(), c.W, c.d_min, c.D, Dp, right_low.data(), right_best.data(),
                                                   got.best.data(), got.lowest.data(), got.second.data());
      // right_best and right_low hold right column c at pad + W - 1 - c
      for (int x = c.W - 1; x >= 0; --x) {
        got.right_best.push_back(right_best[static_cast<size_t>(pad + x)]);
        got.right_low.push_back(right_low[static_cast<size_t>(pad + x)]);
      }
      EXPECT_EQ(got.best, expected.best) << bits << " bits";
      EXPECT_EQ(got.lowest, expected.lowest) << bits << " bits";
      EXPECT_EQ(got.second, expected.second) << bits << " bits";
      EXPECT_EQ(got.right_best, expected.right_best) << bits << " bits";
      EXPECT_EQ(got.right_low, expected.right_low) << bits << " bits";
    }
  }
}

// The values of a row from its winners: every combination of the cases of the rules, lanes at
// both ends of the range, sums with no second (0x7FFF) or of 0, parabolas open either way,
// tolerances from none to 2; rows of whole vectors and with a last part, with and without
// margins.
TEST(SemiGlobal, PickEqualsTheDefinition) {
  std::mt19937 rng(13);
  for (int W : {1, 5, 16, 37, 64}) {
    for (int tolerance : {-1, 0, 2}) {
      const int d_min = tolerance - 1, D = 9, uniqueness = 5 + 10 * tolerance;
      SCOPED_TRACE(testing::Message() << "W " << W << " tolerance " << tolerance);
      std::vector<int16_t> best(W), lowest(W), second(W), below(W), above(W), match(W);
      std::vector<float> value(W), margin(W);
      for (int x = 0; x < W; ++x) {
        best[x] = static_cast<int16_t>(rng() % 3 ? rng() % D : rng() % 2 * (D - 1));
        lowest[x] = static_cast<int16_t>(rng() % 3 ? 200 + rng() % 40 : 0);
        const int kind = static_cast<int>(rng() % 6);
        second[x] = static_cast<int16_t>(kind == 0 ? 0x7FFF : kind == 1 ? lowest[x] : lowest[x] + rng() % 30);
        below[x] = static_cast<int16_t>(lowest[x] + rng() % 20 - (rng() % 4 == 0 ? 10 : 0));
        above[x] = static_cast<int16_t>(lowest[x] + rng() % 20);
        match[x] = static_cast<int16_t>(rng() % 5 == 0 ? -1 : best[x] + static_cast<int>(rng() % 7) - 3);
        reference_pick(best[x], lowest[x], second[x], below[x], above[x], match[x], d_min, D, uniqueness, tolerance,
                       &value[x], &margin[x]);
      }
      for (int bits : simd_widths()) {
        SimdLimit limit(bits);
        std::vector<float> got(W, 5.0f), got_margin(W, 5.0f), alone(W, 5.0f);
        const auto pick = rf::simd::kernel_table().semi_global_pick;
        pick(best.data(), lowest.data(), second.data(), below.data(), above.data(), match.data(), W, d_min, D, uniqueness,
             tolerance, got.data(), got_margin.data());
        pick(best.data(), lowest.data(), second.data(), below.data(), above.data(), match.data(), W, d_min, D, uniqueness,
             tolerance, alone.data(), nullptr);
        EXPECT_TRUE(same_floats(got, value, W)) << bits << " bits";
        EXPECT_TRUE(same_floats(got_margin, margin, W)) << bits << " bits";
        EXPECT_TRUE(same_floats(alone, value, W)) << bits << " bits";
      }
    }
  }
}

// Values in halves from below the range to beyond it, NaN one time in three or nearly
// everywhere (long holes); a plane of NaNs. Radius 3 sums in 32 bits, 1 and 2 in 16; up to 3
// the weights are shared between the two pixels of a pair, at 4 found for each. Rows that end
// in part vectors at every width; guides of low contrast (neighbours weigh about as much as
// the centre) and of full contrast (colour distances up to 765), with weights that end below
// 256 distances and beyond.
TEST(SemiGlobal, FillAndMedianEqualTheDefinition) {
  cv::RNG rng(9);
  // holes: NaN in that many of 100; the guide's bytes in low .. high - 1
  struct Case { int W, H, r, d_min, D; float gamma; int holes, low, high; };
  for (const Case& c :
       {Case{1, 1, 1, 0, 4, 12, 33, 100, 110}, Case{17, 11, 2, 0, 12, 12, 33, 100, 110}, Case{6, 20, 3, -2, 9, 5, 33, 100, 110},
        Case{9, 7, 1, 0, 5, 12, 100, 100, 110}, Case{40, 30, 2, 1, 6, 12, 95, 100, 110}, Case{31, 23, 2, 0, 4, 30, 10, 100, 110},
        Case{14, 12, 4, 0, 6, 12, 20, 100, 110}, Case{75, 9, 2, 0, 12, 23, 25, 0, 256}, Case{58, 13, 1, -3, 20, 50, 15, 0, 256}}) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " r " << c.r << " holes " << c.holes << " gamma " << c.gamma);
    std::vector<float> in(static_cast<size_t>(c.W) * c.H);
    for (float& v : in)
      v = rng.uniform(0, 100) < c.holes ? NAN : 0.5f * static_cast<float>(rng.uniform(2 * c.d_min - 2, 2 * (c.d_min + c.D) + 2));
    // the guide's rows padded
    cv::Mat padded(c.H, c.W + 2, CV_8UC3);
    rng.fill(padded, cv::RNG::UNIFORM, c.low, c.high);
    const cv::Mat guide = padded.colRange(1, c.W + 1);
    const std::vector<float> filled = reference_fill(in, c.W, c.H);
    const std::vector<float> median = reference_median(filled, c.W, c.H, guide, c.r, c.gamma, c.d_min, c.D);
    const std::vector<float> median_of_holes = reference_median(in, c.W, c.H, guide, c.r, c.gamma, c.d_min, c.D);
    int32_t weights[rf::kColourDistances];
    rf::median_weights(c.gamma, weights);
    for (int bits : simd_widths())
      for (int threads : {1, 3}) {
        SimdLimit limit(bits);
        std::vector<float> got(in.size(), 3.0f), got_median(in.size(), 3.0f);
        ASSERT_TRUE(rf::fill_holes(in.data(), c.W, c.H, threads, got.data()));
        EXPECT_TRUE(same_floats(got, filled, c.W)) << threads << " threads";
        ASSERT_TRUE(rf::median_rows(got.data(), c.W, c.H, guide.data, static_cast<std::ptrdiff_t>(guide.step[0]), c.r,
                                    weights, c.d_min, c.D, threads, got_median.data()));
        EXPECT_TRUE(same_floats(got_median, median, c.W)) << bits << " bits, " << threads << " threads";
        ASSERT_TRUE(rf::median_rows(in.data(), c.W, c.H, guide.data, static_cast<std::ptrdiff_t>(guide.step[0]), c.r,
                                    weights, c.d_min, c.D, threads, got_median.data()));
        EXPECT_TRUE(same_floats(got_median, median_of_holes, c.W)) << bits << " bits, " << threads << " threads, with holes";
      }
  }
}

// The default pipeline: dense, right nearly everywhere, the same bytes for every thread count
// and width; refused options leave the output untouched.
TEST(SemiGlobalMatch, DenseAccurateTheSameEverywhereAndRefusalsLeaveTheOutput) {
  const int W = 96, H = 64;
  cv::Mat left, right, truth;
  synthetic_pair(W, H, 3, 11, cv::Rect(30, 16, 36, 30), 5, &left, &right, &truth);
  ondrel::Parameters p;
  p.max_disparity = 15;
  std::vector<float> first, first_confidence;
  for (int bits : simd_widths())
    for (int threads : {1, 2, 3}) {
      SimdLimit limit(bits);
      std::vector<float> out(static_cast<size_t>(W) * H, -1.0f), confidence(out.size(), -1.0f);
      const ondrel::Status s = ondrel::match_refined(view_of(left), view_of(right), p, {}, ondrel::Options{threads},
                                                     {out.data(), W, H, W}, {confidence.data(), W, H, W});
      ASSERT_TRUE(s.ok()) << s.message;
      if (first.empty()) {
        first = out, first_confidence = confidence;
        EXPECT_TRUE(std::all_of(confidence.begin(), confidence.end(), [](float c) { return c >= 0 && c <= 1; }));
        EXPECT_GT(std::count_if(confidence.begin(), confidence.end(), [](float c) { return c > 0; }), W * H / 2);
        int bad = 0;
        for (int i = 0; i < W * H; ++i) bad += !(std::fabs(out[static_cast<size_t>(i)] - truth.data[i]) <= 1.0f);
        EXPECT_LT(bad, W * H / 20) << "pixels off by more than 1";
      }
      EXPECT_TRUE(same_floats(out, first, W)) << bits << " bits, " << threads << " threads";
      EXPECT_TRUE(same_floats(confidence, first_confidence, W)) << bits << " bits, " << threads << " threads";
    }

  const auto with = [](auto change) {
    ondrel::RefineOptions r;
    change(r);
    return r;
  };
  struct Refusal { ondrel::RefineOptions refine; int max_disparity, threads, width; const char* message; };
  for (const Refusal& c : {Refusal{with([](auto& r) { r.penalty_small = 120; }), 15, 1, W, "penalties"},
                           Refusal{with([](auto& r) { r.penalty_small = 0; }), 15, 1, W, "penalties"},
                           Refusal{with([](auto& r) { r.penalty_large = 1001; }), 15, 1, W, "penalties"},
                           Refusal{with([](auto& r) { r.paths = 6; }), 15, 1, W, "paths"},
                           Refusal{with([](auto& r) { r.uniqueness = 100; }), 15, 1, W, "uniqueness"},
                           Refusal{with([](auto& r) { r.median_radius = -2; }), 15, 1, W, "median_radius"},
                           Refusal{{}, -1, 1, W, "min_disparity must not exceed max_disparity"}, Refusal{{}, 15, -1, W, "threads"},
                           Refusal{{}, 15, 1, W - 1, "size"}}) {
    p.max_disparity = c.max_disparity;
    std::vector<float> out(static_cast<size_t>(W) * H, 42.0f);
    const ondrel::Status s = ondrel::match_refined(view_of(left), view_of(right), p, c.refine, ondrel::Options{c.threads},
                                                   {out.data(), c.width, H, W});
    EXPECT_EQ(s.code, ondrel::StatusCode::kInvalidArgument) << c.message;
    EXPECT_NE(std::string(s.message).find(c.message), std::string::npos) << s.message;
    EXPECT_EQ(std::count(out.begin(), out.end(), 42.0f), W * H) << c.message;
  }
}

}  // namespace
