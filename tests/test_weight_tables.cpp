#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "matcher/kernels.h"

using ondrel::kExpLutFilled;
using ondrel::kExpLutSize;

TEST(ColourWeightTable, EntriesAreExpOfMinusDistanceOverGamma) {
  EXP_LUT_QUIRN[kExpLutFilled] = 0.0f;
  EXPECT_EQ(init_exponential_lut_QUIRN(23.0f, kExpLutFilled), 0);
  EXPECT_EQ(EXP_LUT_QUIRN[0], 1.0f);
  EXPECT_NEAR(EXP_LUT_QUIRN[529], std::exp(-1.0), 1e-7);  // distance 23
  for (int i = 0; i < kExpLutFilled; i += 97) {
    // the root and the quotient in double, rounded once to float, then exp in float
    const float a = static_cast<float>(-(std::sqrt(static_cast<double>(i)) / 23.0));
    ASSERT_EQ(EXP_LUT_QUIRN[i], std::exp(a)) << i;
  }
  for (int i = 1; i < kExpLutFilled; ++i) ASSERT_LE(EXP_LUT_QUIRN[i], EXP_LUT_QUIRN[i - 1]) << i;
  // from 3 * 255^2 on the table is never written, so the extreme distance weighs 0
  for (int i = kExpLutFilled; i < kExpLutSize; ++i) ASSERT_EQ(EXP_LUT_QUIRN[i], 0.0f) << i;
}

TEST(ColourWeightTable, CountLimitsTheFillAndKeepsTheRest) {
  init_exponential_lut_QUIRN(23.0f, kExpLutFilled);
  const float kept = EXP_LUT_QUIRN[100];
  EXPECT_EQ(init_exponential_lut_QUIRN(5.0f, 100), 0);
  EXPECT_EQ(EXP_LUT_QUIRN[99], std::exp(static_cast<float>(-(std::sqrt(99.0) / 5.0))));
  EXPECT_EQ(EXP_LUT_QUIRN[100], kept);
  EXPECT_EQ(init_exponential_lut_QUIRN(7.0f, 0), 0);
  EXPECT_EQ(init_exponential_lut_QUIRN(7.0f, -5), 0);
  EXPECT_EQ(EXP_LUT_QUIRN[0], 1.0f);  // still the gamma 5 value
}

TEST(ColourWeightTable, ZeroGammaGivesNaNAtDistanceZeroAndZeroElsewhere) {
  init_exponential_lut_QUIRN(0.0f, kExpLutFilled);
  EXPECT_TRUE(std::isnan(EXP_LUT_QUIRN[0]));
  for (int i = 1; i < kExpLutFilled; i += 1001) ASSERT_EQ(EXP_LUT_QUIRN[i], 0.0f);
}

TEST(SpatialWeights, ThreeByThreeBlocksOfTheExampleWindow) {
  ASSERT_EQ(blocks_per_axis(6, 19), 3);
  std::vector<float> ws(9, -1.0f);
  fill_spatial_weights_QUIRN(ws.data(), 6, 19, 14.0f);
  // offsets -13, 0, 13 on each axis, row by row
  const auto weight = [](int dx, int dy) {
    return std::exp(static_cast<float>(-(std::sqrt(static_cast<double>(dx * dx + dy * dy)) / 14.0)));
  };
  const int offsets[3] = {-13, 0, 13};
  for (int iy = 0; iy < 3; ++iy)
    for (int ix = 0; ix < 3; ++ix) EXPECT_EQ(ws[iy * 3 + ix], weight(offsets[ix], offsets[iy]));
  EXPECT_EQ(ws[4], 1.0f);
  EXPECT_TRUE(ws[0] == ws[2] && ws[2] == ws[6] && ws[6] == ws[8]);
  EXPECT_TRUE(ws[1] == ws[3] && ws[3] == ws[5] && ws[5] == ws[7]);
  EXPECT_LT(ws[0], ws[1]);
}

TEST(SpatialWeights, OneBlockWindowAndOnePixelBlocks) {
  float single = -1.0f;
  fill_spatial_weights_QUIRN(&single, 4, 4, 14.0f);
  EXPECT_EQ(single, 1.0f);

  // r = 0, R = 2: 25 one-pixel blocks at offsets -2 .. 2
  ASSERT_EQ(blocks_per_axis(0, 2), 5);
  std::vector<float> ws(25);
  fill_spatial_weights_QUIRN(ws.data(), 0, 2, 3.0f);
  for (int k = 0; k < 25; ++k) {
    const int dx = k % 5 - 2, dy = k / 5 - 2;
    EXPECT_EQ(ws[k], std::exp(static_cast<float>(-(std::sqrt(static_cast<double>(dx * dx + dy * dy)) / 3.0))));
  }
}
