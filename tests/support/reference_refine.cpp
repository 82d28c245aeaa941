// The refined pipeline's semi-global stages from their definitions (see reference_refine.h).

#include "tests/support/reference_refine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "matcher/simd/kernel_table.h"
#include "refine/steps.h"

namespace ondrel_test {
namespace {

int clamped(int v, int lo, int hi) { return std::max(lo, std::min(hi, v)); }

}  // namespace

std::vector<uint64_t> reference_census(const std::vector<int16_t>& grey, int W, int H) {
  std::vector<uint64_t> out(grey.size());
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      uint64_t bits = 0;
      int k = 0;
      for (int dy = -3; dy <= 3; ++dy)
        for (int dx = -4; dx <= 4; ++dx) {
          if (dx == 0 && dy == 0) continue;
          const int q = clamped(y + dy, 0, H - 1) * W + clamped(x + dx, 0, W - 1);
          if (grey[q] < grey[y * W + x]) bits |= uint64_t{1} << k;
          ++k;
        }
      out[y * W + x] = bits;
    }
  return out;
}

std::vector<uint8_t> reference_costs(const std::vector<uint64_t>& left, const std::vector<uint64_t>& right, int W,
                                     int H, int d_min, int D, int Dp) {
  std::vector<uint8_t> cost(static_cast<size_t>(W) * H * Dp, 255);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int k = 0; k < D; ++k) {
        const uint64_t a = left[y * W + x], b = right[y * W + clamped(x - d_min - k, 0, W - 1)];
        int bits = 0;
        for (int i = 0; i < 64; ++i) bits += static_cast<int>((a ^ b) >> i & 1);
        cost[(static_cast<size_t>(y) * W + x) * Dp + k] = static_cast<uint8_t>(bits);
      }
  return cost;
}

std::vector<int> reference_path(const std::vector<uint8_t>& cost, const std::vector<int16_t>& grey, int W, int H, int Dp,
                                int dx, int dy, const ondrel::internal::Penalties& penalties) {
  // computed in an order where q comes before p: rows in the path's order, the pixels of a row
  // likewise
  std::vector<int> L(cost.size());
  std::vector<int> lowest(static_cast<size_t>(W) * H);
  for (int t = 0; t < W * H; ++t) {
    const int row = t / W, column = t % W;
    const int y = dy >= 0 ? row : H - 1 - row, x = dx >= 0 ? column : W - 1 - column;
    const int qx = x - dx, qy = y - dy, p = y * W + x;
    const bool first = qx < 0 || qx >= W || qy < 0 || qy >= H;
    int penalty = penalties.p2;
    if (!first && penalties.edge > 0)
      penalty = std::max(penalties.p1, penalties.p2 * penalties.edge /
                                           (penalties.edge + std::abs(grey[p] - grey[qy * W + qx])));
    int low = 1 << 30;
    for (int k = 0; k < Dp; ++k) {
      const size_t at = static_cast<size_t>(p) * Dp + k;
      int v = 0;
      if (!first) {
        const size_t q = static_cast<size_t>(qy * W + qx) * Dp;
        const int m = lowest[qy * W + qx];
        const int before = k > 0 ? L[q + k - 1] : ondrel::internal::simd::kSemiGlobalOutside;
        const int after = k + 1 < Dp ? L[q + k + 1] : ondrel::internal::simd::kSemiGlobalOutside;
        v = std::min({L[q + k], before + penalties.p1, after + penalties.p1, m + penalty}) - m;
      }
      L[at] = cost[at] + v;
      low = std::min(low, L[at]);
    }
    lowest[p] = low;
  }
  return L;
}

std::vector<int16_t> reference_paths(const std::vector<uint8_t>& cost, const std::vector<int16_t>& grey, int W, int H,
                                     int Dp, int paths, const ondrel::internal::Penalties& penalties) {
  const int directions[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {-1, -1}, {1, -1}, {-1, 1}};
  std::vector<int> sums(cost.size(), 0);
  for (int i = 0; i < paths; ++i) {
    const std::vector<int> L = reference_path(cost, grey, W, H, Dp, directions[i][0], directions[i][1], penalties);
    for (size_t j = 0; j < sums.size(); ++j) sums[j] += L[j];
  }
  return std::vector<int16_t>(sums.begin(), sums.end());
}

WinnerLanes reference_winner_lanes(const int16_t* row, int W, int d_min, int D, int Dp) {
  WinnerLanes w;
  const auto sum = [&](int x, int k) { return row[static_cast<size_t>(x) * Dp + k]; };
  for (int x = 0; x < W; ++x) {
    int best = 0, second = 0x7FFF;
    for (int k = 0; k < D; ++k)
      if (sum(x, k) < sum(x, best)) best = k;
    for (int k = 0; k < D; ++k)
      if (std::abs(k - best) > 1) second = std::min<int>(second, sum(x, k));
    w.best.push_back(static_cast<int16_t>(best));
    w.lowest.push_back(sum(x, best));
    w.second.push_back(static_cast<int16_t>(second));
  }
  for (int c = 0; c < W; ++c) {
    int best = -1, low = 0x7FFF;
    for (int k = 0; k < D; ++k) {
      const int x = c + d_min + k;
      if (x >= 0 && x < W && (best < 0 || sum(x, k) < low)) best = k, low = sum(x, k);
    }
    w.right_best.push_back(static_cast<int16_t>(best));
    w.right_low.push_back(static_cast<int16_t>(low));
  }
  return w;
}

void reference_pick(int best, int lowest, int second, int below, int above, int match, int d_min, int D, int uniqueness,
                    int tolerance, float* value, float* margin) {
  const bool unique = second == 0x7FFF || second * (100 - uniqueness) >= lowest * 100;
  const bool consistent = tolerance < 0 || (match >= 0 && std::abs(match - best) <= tolerance);
  *value = NAN, *margin = 0;
  if (!unique || !consistent) return;
  float offset = 0;
  if (best > 0 && best < D - 1 && below + above - 2 * lowest > 0)
    offset = static_cast<float>(below - above) / static_cast<float>(2 * (below + above - 2 * lowest));
  *value = static_cast<float>(d_min + best) + offset;
  *margin = second == 0x7FFF || second == 0 ? 1.0f : static_cast<float>(second - lowest) / static_cast<float>(second);
}

std::vector<float> reference_winners(const std::vector<int16_t>& sums, int W, int H, int d_min, int D, int Dp,
                                     int uniqueness, int tolerance) {
  std::vector<float> out(static_cast<size_t>(W) * H, NAN);
  const auto sum = [&](int x, int y, int k) { return static_cast<int>(sums[(static_cast<size_t>(y) * W + x) * Dp + k]); };
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      int best = 0;
      for (int k = 0; k < D; ++k)
        if (sum(x, y, k) < sum(x, y, best)) best = k;
      bool unique = true;
      for (int k = 0; k < D; ++k)
        if (std::abs(k - best) > 1 && sum(x, y, k) * (100 - uniqueness) < sum(x, y, best) * 100) unique = false;
      bool consistent = tolerance < 0;
      const int xr = x - d_min - best;
      if (!consistent && xr >= 0 && xr < W) {
        int right_best = -1;
        for (int k = 0; k < D; ++k) {
          const int xl = xr + d_min + k;
          if (xl >= 0 && xl < W && (right_best < 0 || sum(xl, y, k) < sum(xr + d_min + right_best, y, right_best)))
            right_best = k;
        }
        consistent = right_best >= 0 && std::abs(right_best - best) <= tolerance;
      }
      if (!unique || !consistent) continue;
      float offset = 0;
      if (best > 0 && best < D - 1) {
        const int a = sum(x, y, best - 1), b = sum(x, y, best), c = sum(x, y, best + 1);
        if (a + c - 2 * b > 0) offset = static_cast<float>(a - c) / static_cast<float>(2 * (a + c - 2 * b));
      }
      out[static_cast<size_t>(y) * W + x] = static_cast<float>(d_min + best) + offset;
    }
  return out;
}

std::vector<float> reference_rows(const std::vector<uint64_t>& left, const std::vector<uint64_t>& right,
                                  const std::vector<int16_t>& grey, int W, int H, int d_min, int D, int Dp, int paths,
                                  const ondrel::internal::Penalties& penalties, int uniqueness, int tolerance, int body,
                                  int margin) {
  const std::vector<uint8_t> cost = reference_costs(left, right, W, H, d_min, D, Dp);
  std::vector<float> out(static_cast<size_t>(W) * H);
  for (int y0 = 0; y0 < H; y0 += body) {
    const int y1 = std::min(H, y0 + body), v0 = std::max(0, y0 - margin), v1 = std::min(H, y1 + margin);
    const size_t row = static_cast<size_t>(W) * Dp;
    const std::vector<uint8_t> band_cost(cost.begin() + v0 * row, cost.begin() + v1 * row);
    const std::vector<int16_t> band_grey(grey.begin() + v0 * W, grey.begin() + v1 * W);
    const std::vector<float> winners =
        reference_winners(reference_paths(band_cost, band_grey, W, v1 - v0, Dp, paths, penalties), W, v1 - v0, d_min, D,
                          Dp, uniqueness, tolerance);
    std::copy(winners.begin() + (y0 - v0) * W, winners.begin() + (y1 - v0) * W, out.begin() + y0 * W);
  }
  return out;
}

std::vector<float> reference_fill(const std::vector<float>& in, int W, int H) {
  std::vector<float> out = in;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      if (!std::isnan(in[y * W + x])) continue;
      std::vector<float> found;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          if (dx == 0 && dy == 0) continue;
          for (int u = x + dx, v = y + dy; u >= 0 && u < W && v >= 0 && v < H; u += dx, v += dy)
            if (!std::isnan(in[v * W + u])) {
              found.push_back(in[v * W + u]);
              break;
            }
        }
      std::sort(found.begin(), found.end());
      out[y * W + x] = found.empty() ? NAN : found[found.size() > 1 ? 1 : 0];
    }
  return out;
}

std::vector<float> reference_median(const std::vector<float>& in, int W, int H, const cv::Mat& guide, int r,
                                    float gamma, int d_min, int D) {
  int32_t weights[ondrel::internal::kColourDistances];
  ondrel::internal::median_weights(gamma, weights);
  const auto bin = [&](float f) {
    return static_cast<int>(std::max(0.0f, std::min(static_cast<float>(D - 1), std::round(f) - static_cast<float>(d_min))));
  };
  std::vector<float> out(in.size());
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      // the window's entries in the order of its rows and columns
      struct Entry { int bin, w; float f; };
      std::vector<Entry> window;
      std::vector<int64_t> weight(static_cast<size_t>(D), 0);
      int64_t total = 0;
      for (int v = std::max(0, y - r); v <= std::min(H - 1, y + r); ++v)
        for (int u = std::max(0, x - r); u <= std::min(W - 1, x + r); ++u) {
          const float f = in[v * W + u];
          if (std::isnan(f)) continue;
          const unsigned char *a = guide.ptr(y) + 3 * x, *b = guide.ptr(v) + 3 * u;
          const int w = weights[std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2])];
          window.push_back({bin(f), w, f});
          weight[static_cast<size_t>(bin(f))] += w;
          total += w;
        }
      out[y * W + x] = in[y * W + x];
      if (total == 0) continue;
      int64_t below = 0;
      int b = 0;
      while (2 * (below + weight[static_cast<size_t>(b)]) < total) below += weight[static_cast<size_t>(b++)];
      float sum = 0.0f;
      for (const Entry& e : window)
        if (e.bin == b) sum += static_cast<float>(e.w) * e.f;
      out[y * W + x] = sum / static_cast<float>(weight[static_cast<size_t>(b)]);
    }
  return out;
}

}  // namespace ondrel_test
