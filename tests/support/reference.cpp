#include "tests/support/reference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <opencv2/core.hpp>

#include "tests/support/test_support.h"

namespace ondrel_test {

// ---------------------------------------------------------------------------------------
// 1. Tables

float reference_weight(int squared, float gamma) {
  const double distance = std::sqrt(static_cast<double>(squared));
  return std::exp(static_cast<float>(-(distance / static_cast<double>(gamma))));
}

std::vector<float> reference_spatial_weights(int r, int R, float gamma_space) {
  std::vector<float> spatial;
  for (int dy = r - R; dy <= R - r; dy += 2 * r + 1)
    for (int dx = r - R; dx <= R - r; dx += 2 * r + 1) spatial.push_back(reference_weight(dx * dx + dy * dy, gamma_space));
  return spatial;
}

// ---------------------------------------------------------------------------------------
// 2. Block means

std::vector<std::vector<unsigned char>> reference_block_means(const cv::Mat& left, const cv::Mat& right, int r) {
  const int W = left.cols, H = left.rows;
  std::vector<std::vector<unsigned char>> planes(kPlaneCount, std::vector<unsigned char>(static_cast<size_t>(W) * H, 0));
  for (int c = 0; c < 3; ++c)
    for (const bool is_left : {true, false}) {
      const cv::Mat& image = is_left ? left : right;
      std::vector<unsigned char>& plane = planes[is_left ? left_plane(c) : right_plane(c)];
      for (int y = r; y < H - r; ++y)
        for (int x = r; x < W - r; ++x) {
          int sum = 0;
          for (int yy = y - r; yy <= y + r; ++yy)
            for (int xx = x - r; xx <= x + r; ++xx) sum += image.at<cv::Vec3b>(yy, xx)[c];
          plane[static_cast<size_t>(y) * W + x] = static_cast<unsigned char>(sum / ((2 * r + 1) * (2 * r + 1)));
        }
    }
  return planes;
}

// ---------------------------------------------------------------------------------------
// 3. Cost volume

namespace {

// The census string of pixel (x, y): one bit per other pixel of its 5x5 window, set where that
// pixel's channel sum (clamped into the image) is below the centre's.
uint32_t census_of(const cv::Mat& image, int x, int y) {
  const auto grey = [&](int xx, int yy) {
    const cv::Vec3b p = image.at<cv::Vec3b>(std::clamp(yy, 0, image.rows - 1), std::clamp(xx, 0, image.cols - 1));
    return p[0] + p[1] + p[2];
  };
  uint32_t bits = 0;
  for (int dy = -2; dy <= 2; ++dy)
    for (int dx = -2; dx <= 2; ++dx)
      if (dx || dy) bits = bits << 1 | (grey(x + dx, y + dy) < grey(x, y) ? 1u : 0u);
  return bits;
}

}  // namespace

void reference_cost_volume(const cv::Mat& left, const cv::Mat& right, int d0, int r, int T, CostVolume* volume,
                           bool census) {
  const int W = volume->W, H = volume->H, D = volume->D;
  // the pixel costs, index (y * W + x) * D + k: min(|L - R| over the channels, T), or the
  // Hamming distance of the census strings, with R the right pixel at column x - d0 - k, or
  // column 0 where that is negative
  std::vector<int> pixel_costs(static_cast<size_t>(W) * H * D);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int k = 0; k < D; ++k) {
        const int xr = std::max(x - d0 - k, 0);
        const cv::Vec3b p = left.at<cv::Vec3b>(y, x), q = right.at<cv::Vec3b>(y, xr);
        const int tad = std::min(std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) + std::abs(p[2] - q[2]), T);
        pixel_costs[(static_cast<size_t>(y) * W + x) * D + k] =
            census ? __builtin_popcount(census_of(left, x, y) ^ census_of(right, xr, y)) : tad;
      }
  // each pixel's block costs: the sums over the block centred there, cut at the image border
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      std::vector<int>& block = volume->vectors[static_cast<size_t>(y) * W + x];
      std::fill(block.begin(), block.end(), 0);
      for (int yy = std::max(y - r, 0); yy <= std::min(y + r, H - 1); ++yy)
        for (int xx = std::max(x - r, 0); xx <= std::min(x + r, W - 1); ++xx)
          for (int k = 0; k < D; ++k) block[k] += pixel_costs[(static_cast<size_t>(yy) * W + xx) * D + k];
    }
}

// ---------------------------------------------------------------------------------------
// 4. Aggregation rows

namespace {

// Row y of the aggregation, with scratch of its own.
void reference_aggregate_row(const AggregationContext& c, int y, const RowOutputs& out) {
  const int W = c.W, H = c.H, r = c.r, nb = c.nblocks, n = blocks_per_axis(r, c.R);
  const auto dx = [&](int k) { return r - c.R + (k % n) * (2 * r + 1); };
  const auto dy = [&](int k) { return r - c.R + (k / n) * (2 * r + 1); };
  // the colour weight of the block centred at (bx, by) of one view for the pixel p
  const auto weight = [&](bool left_view, int bx, int by, const cv::Vec3b& p) {
    int sum = 0;
    for (int ch = 0; ch < 3; ++ch) {
      const int diff = c.planes[left_view ? left_plane(ch) : right_plane(ch)][static_cast<size_t>(by) * W + bx] - p[ch];
      sum += diff * diff;
    }
    return c.exp_lut[sum];
  };
  const auto pixel = [](const unsigned char* image, size_t stride, int x, int y) {
    const unsigned char* q = image + static_cast<size_t>(y) * stride + 3 * static_cast<size_t>(x);
    return cv::Vec3b(q[0], q[1], q[2]);
  };

  const size_t claims = static_cast<size_t>(c.max_disparity) + W + 1;
  std::vector<int> claimed_disparity(claims, ondrel::internal::kUnclaimedDisparity);
  std::vector<float> claimed_cost(claims, ondrel::internal::kUnclaimedCost);
  std::vector<double> costs(static_cast<size_t>(c.max_disparity) + 1);  // A(d)
  std::vector<float> right_weights(static_cast<size_t>(W) * nb);       // index xr * nblocks + k
  std::vector<float> left_weights(static_cast<size_t>(nb));             // spatial times the left colour weight
  for (int xr = 0; xr < W; ++xr)
    for (int k = 0; k < nb; ++k) {
      const int bx = xr + dx(k), by = y + dy(k);
      if (by - r < 0 || by + r >= H || bx - r < 0 || bx + r >= W) continue;
      right_weights[static_cast<size_t>(xr) * nb + k] = weight(false, bx, by, pixel(c.right, c.right_stride, xr, y));
    }

  for (int x = 0; x < W; ++x) out.disparity[x] = out.uniqueness[x] = out.right_disparity[x] = no_value();
  for (int x = 0; x < W; ++x) out.confidence[x] = 0.0f;
  for (int x = c.first_column; x < W; ++x) {
    if (y < c.border || y > H - c.border || x < c.border || x > W - c.border) continue;
    const cv::Vec3b p = pixel(c.left, c.left_stride, x, y);
    for (int d = 0; d <= c.max_disparity; ++d) {
      double weight_sum = 0.0, cost_sum = 0.0;
      for (int k = 0; k < nb; ++k) {
        const int bx = x + dx(k), by = y + dy(k);
        if (by - r < 0 || by + r >= H || bx - r - d < 0 || bx + r >= W || x - d < 0) continue;
        if (d == c.min_disparity) left_weights[k] = c.spatial[k] * weight(true, bx, by, p);
        const double w = static_cast<double>(left_weights[k]) *
                         static_cast<double>(right_weights[static_cast<size_t>(x - d) * nb + k]);
        weight_sum += w;
        cost_sum += w * static_cast<double>(c.cost_rows[by][bx][d]);
      }
      costs[d - c.min_disparity] = static_cast<float>(cost_sum / weight_sum);
    }
    const Winner winner = select_winner(costs.data(), c.max_disparity + 1 - c.min_disparity);
    if (!winner.found) continue;
    const int h = winner.h;
    const float value = static_cast<float>(h + c.value_offset) +
                        refine_winner(costs.data(), h, c.min_disparity, c.max_disparity, c.bounded_offsets);
    out.disparity[x] = value;
    // (the right view's column, in the view the caller gave)
    if (x - h - c.value_offset >= 0 && x - h - c.value_offset < W) out.right_disparity[x - h - c.value_offset] = value;
    apply_uniqueness(x, h, winner.m, value, claimed_disparity.data(), claimed_cost.data(), out.uniqueness);
    out.confidence[x] = winner_confidence(costs.data(), h, c.max_disparity + 1);
  }
  // a quarter where the uniqueness check drops the pixel
  for (int x = 0; x < W; ++x)
    if (std::isnan(out.uniqueness[x])) out.confidence[x] *= 0.25f;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The whole pipeline

namespace {

// The view the matcher matches for disparities min .. max: the right view shifted by min,
// column x holding column x - min, the nearest column inside where that is outside.
cv::Mat shifted(const cv::Mat& right, int min_disparity) {
  cv::Mat out(right.rows, right.cols, CV_8UC3);
  for (int y = 0; y < right.rows; ++y)
    for (int x = 0; x < right.cols; ++x)
      out.at<cv::Vec3b>(y, x) = right.at<cv::Vec3b>(y, std::clamp(x - min_disparity, 0, right.cols - 1));
  return out;
}

}  // namespace

ReferenceInputs::ReferenceInputs(const cv::Mat& l, const cv::Mat& r, const ondrel::Parameters& parameters)
    : left(l),
      right(parameters.min_disparity ? shifted(r, parameters.min_disparity) : r),
      p(parameters),
      lut(ondrel::internal::kExpLutSize, 0.0f),  // the colour weights, the first kExpLutFilled entries filled
      spatial(reference_spatial_weights(p.block_radius, p.support_radius, p.gamma_space)),
      means(reference_block_means(left, right, p.block_radius)),
      costs(l.cols, l.rows, p.max_disparity - p.min_disparity + 1) {
  for (int i = 0; i < ondrel::internal::kExpLutFilled; ++i) lut[i] = reference_weight(i, p.gamma_color);
  reference_cost_volume(left, right, 0, p.block_radius, p.tad_threshold, &costs, p.cost == ondrel::CostFunction::kCensus);
}

AggregationContext ReferenceInputs::context() const {
  AggregationContext c{};
  c.left = left.data, c.right = right.data, c.left_stride = left.step[0], c.right_stride = right.step[0];
  // disparities min .. max as 0 .. max - min of the shifted view; no value left of column max
  // (a right pixel outside) nor of max - min (one outside the shifted view)
  c.min_disparity = 0, c.max_disparity = p.max_disparity - p.min_disparity, c.value_offset = p.min_disparity;
  c.first_column = std::max(c.max_disparity, p.max_disparity), c.border = 0;
  c.r = p.block_radius, c.R = p.support_radius, c.W = left.cols, c.H = left.rows;
  c.nblocks = static_cast<int>(spatial.size()), c.spatial = spatial.data(), c.exp_lut = lut.data();
  c.cost_rows = costs.rows.data();
  c.bounded_offsets = bounded_offsets;
  for (int i = 0; i < kPlaneCount; ++i) c.planes[i] = means[i].data();
  return c;
}

Planes reference_match(const ReferenceInputs& in) {
  const AggregationContext c = in.context();
  Planes out;
  out.W = c.W, out.H = c.H;
  for (auto& plane : out.plane) plane.resize(static_cast<size_t>(c.W) * c.H);
  for (int y = 0; y < c.H; ++y) {
    const size_t row = static_cast<size_t>(y) * c.W;
    reference_aggregate_row(c, y, {&out.plane[0][row], &out.plane[1][row], &out.plane[2][row], &out.plane[3][row]});
  }
  return out;
}

Planes reference_match(const cv::Mat& left, const cv::Mat& right, const ondrel::Parameters& p,
                       bool bounded_offsets) {
  ReferenceInputs in(left, right, p);
  in.bounded_offsets = bounded_offsets;
  Planes out = reference_match(in);
  reference_confidence_from_map(&out);
  return out;
}

void reference_confidence_from_map(Planes* planes) {
  const int W = planes->W, H = planes->H;
  const auto at = [&](int i, int x, int y) { return planes->plane[i][static_cast<size_t>(y) * W + x]; };
  const auto near = [](float a, float b) { return std::fabs(a - b) <= 1.0f; };
  std::vector<float> looked = planes->plane[3];
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const float d = at(0, x, y);
      if (std::isnan(d)) continue;
      int agreeing = 0;
      for (int yy = y - 2; yy <= y + 2; ++yy)
        for (int xx = x - 2; xx <= x + 2; ++xx)
          agreeing += (xx != x || yy != y) && xx >= 0 && xx < W && yy >= 0 && yy < H && near(at(0, xx, yy), d);
      const int h = static_cast<int>(std::floor(d + 0.5f));  // halves up
      bool consistent = false;
      for (int xr = x - h - 1; xr <= x - h + 1; ++xr) consistent |= xr >= 0 && xr < W && near(at(2, xr, y), d);
      bool ordered = true;
      for (int later = x + 1; later < W; ++later)
        ordered &= !(static_cast<float>(later) - at(0, later, y) < static_cast<float>(x) - d - 1.0f);
      float& c = looked[static_cast<size_t>(y) * W + x];
      c *= static_cast<float>(agreeing) / 24.0f;
      if (!consistent) c *= 0.25f;
      if (!ordered) c *= 0.25f;
    }
  planes->plane[3] = looked;
}

// ---------------------------------------------------------------------------------------
// Comparisons

ondrel::Status match_planes(const cv::Mat& left, const cv::Mat& right, const ondrel::Parameters& p,
                            const ondrel::Options& options, Planes* out, int pad, bool confidence,
                            ondrel::Matcher* matcher) {
  constexpr float kMarker = -1234.5f;
  const int W = left.cols, H = left.rows;
  const int n = confidence ? 4 : 3;
  cv::Mat buffers[4];  // rows of W + pad floats
  ondrel::DisparityPlanes wanted;
  ondrel::FloatPlane* planes[4] = {&wanted.disparity, &wanted.uniqueness, &wanted.right_disparity, &wanted.confidence};
  for (int i = 0; i < n; ++i) {
    buffers[i] = cv::Mat(H, W + pad, CV_32FC1, cv::Scalar(kMarker));
    *planes[i] = {buffers[i].ptr<float>(), W, H, W + pad};
  }
  const ondrel::Status status = matcher ? matcher->compute(view_of(left), view_of(right), p, options, wanted)
                                        : ondrel::match(view_of(left), view_of(right), p, options, wanted);
  out->W = W, out->H = H;
  out->plane[3].clear();
  for (int i = 0; i < n; ++i) {
    const cv::Mat plane = buffers[i].colRange(0, W).clone(), spare = buffers[i].colRange(W, W + pad);
    out->plane[i].assign(plane.ptr<float>(), plane.ptr<float>() + plane.total());
    if (pad > 0 && cv::countNonZero(spare != kMarker) > 0) ADD_FAILURE() << "plane " << i << " written past its rows";
  }
  return status;
}

bool same_value(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

testing::AssertionResult same_floats(const std::vector<float>& got, const std::vector<float>& expected, int W) {
  if (got.size() != expected.size()) return testing::AssertionFailure() << "sizes differ";
  for (size_t j = 0; j < got.size(); ++j)
    if (!same_value(got[j], expected[j]))
      return testing::AssertionFailure() << "at (" << j % W << ", " << j / W << "): " << got[j] << " instead of "
                                         << expected[j];
  return testing::AssertionSuccess();
}

testing::AssertionResult same_planes(const Planes& got, const Planes& expected) {
  if (got.W != expected.W || got.H != expected.H) return testing::AssertionFailure() << "sizes differ";
  static const char* const kNames[4] = {"disparity", "uniqueness", "right disparity", "confidence"};
  for (int i = 0; i < 4; ++i)
    if (!got.plane[i].empty() && !expected.plane[i].empty())
      if (testing::AssertionResult same = same_floats(got.plane[i], expected.plane[i], got.W); !same)
      return same << " (" << kNames[i] << ")";
  return testing::AssertionSuccess();
}

std::vector<int> simd_widths() {
  ondrel_testing_limit_simd(0);
  std::vector<int> widths;
  for (int bits : {128, 256, 512})
    if (bits <= simd_width_bits()) widths.push_back(bits);
  return widths;
}

SimdLimit::SimdLimit(int bits) { ondrel_testing_limit_simd(bits); }
SimdLimit::~SimdLimit() { ondrel_testing_limit_simd(0); }

}  // namespace ondrel_test
