#include "tools/eval/evaluation.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace ondrel_eval {

const char* const kRegionNames[kRegionCount] = {"nonocc", "all", "disc"};

double Score::density() const {
  const long long pixels = region[kNonocc].pixels;
  return pixels > 0 ? 100.0 * static_cast<double>(valid.pixels) / static_cast<double>(pixels) : 0.0;
}

double Score::average() const {
  return (region[kNonocc].percent() + region[kAll].percent() + region[kDisc].percent()) / kRegionCount;
}

bool is_bad(unsigned char v, unsigned char g, int scale, double threshold) {
  if (v == kNoValue) return true;
  return std::abs(static_cast<double>(v) - static_cast<double>(g)) > threshold * scale;
}

Score score(const cv::Mat& result, const GroundTruth& truth, double threshold) {
  Score s;
  for (int y = 0; y < result.rows; ++y) {
    const unsigned char* v = result.ptr<unsigned char>(y);
    const unsigned char* g = truth.disparity.ptr<unsigned char>(y);
    const unsigned char* m[kRegionCount];
    for (int r = 0; r < kRegionCount; ++r) m[r] = truth.mask[r].ptr<unsigned char>(y);
    for (int x = 0; x < result.cols; ++x) {
      if (g[x] == kUnknown) continue;
      const bool bad = is_bad(v[x], g[x], truth.scale, threshold);
      for (int r = 0; r < kRegionCount; ++r) {
        if (m[r][x] != kInMask) continue;
        ++s.region[r].pixels;
        s.region[r].bad += bad;
      }
      if (m[kNonocc][x] == kInMask && v[x] != kNoValue) {
        ++s.valid.pixels;
        s.valid.bad += bad;
      }
    }
  }
  return s;
}

cv::Mat grey_levels_of(const cv::Mat& map, int scale) {
  if (map.channels() != 1 || (map.depth() != CV_32F && map.depth() != CV_16U)) return map;
  cv::Mat levels(map.size(), CV_8UC1);
  for (int y = 0; y < map.rows; ++y)
    for (int x = 0; x < map.cols; ++x) {
      const double d = map.depth() == CV_32F ? static_cast<double>(map.ptr<float>(y)[x])
                       : map.ptr<uint16_t>(y)[x] == 0 ? NAN
                                                      : map.ptr<uint16_t>(y)[x] / 256.0;
      levels.ptr<unsigned char>(y)[x] =
          std::isfinite(d) ? static_cast<unsigned char>(std::clamp(std::trunc(d * scale), 0.0, 254.0)) : kNoValue;
    }
  return levels;
}

std::string image_mismatch(const cv::Mat& image, cv::Size size) {
  if (image.empty()) return "no pixels";
  if (image.depth() != CV_8U) {
    const int bits = image.depth() == CV_16U || image.depth() == CV_16S ? 16 : 32;
    return std::to_string(bits) + "-bit samples, expected 8-bit grey";
  }
  if (image.channels() != 1) return std::to_string(image.channels()) + " channels, expected 1 (8-bit grey)";
  if (image.size() != size)
    return std::to_string(image.cols) + "x" + std::to_string(image.rows) + " pixels, expected " +
           std::to_string(size.width) + "x" + std::to_string(size.height);
  return "";
}

ColorScale pair_color_scale(const GroundTruth& truth, int max_disparity) {
  double truth_max = 0;
  cv::minMaxLoc(truth.disparity, nullptr, &truth_max);
  ColorScale scale;
  scale.low = 0;
  scale.high = std::max({static_cast<int>(truth_max), max_disparity * truth.scale, 1});
  return scale;
}

cv::Mat color_view(const cv::Mat& grey, unsigned char no_value, ColorScale scale) {
  // the turbo index of every grey level, then OpenCV's colour map
  cv::Mat lut(1, 256, CV_8UC1);
  const double span = static_cast<double>(scale.high - scale.low);
  for (int v = 0; v < 256; ++v) {
    const double t = std::clamp((v - scale.low) / span, 0.0, 1.0);
    lut.at<unsigned char>(v) = static_cast<unsigned char>(std::lround(255.0 * t));
  }
  cv::Mat index, colored;
  cv::LUT(grey, lut, index);
  cv::applyColorMap(index, colored, cv::COLORMAP_TURBO);
  colored.setTo(cv::Scalar(0, 0, 0), grey == no_value);
  return colored;
}

cv::Mat error_view(const cv::Mat& left, const cv::Mat& result, const GroundTruth& truth, double threshold) {
  cv::Mat grey;
  if (left.channels() == 3)
    cv::cvtColor(left, grey, cv::COLOR_BGR2GRAY);
  else
    grey = left;
  cv::Mat view(grey.size(), CV_8UC3);
  for (int y = 0; y < grey.rows; ++y) {
    const unsigned char* l = grey.ptr<unsigned char>(y);
    const unsigned char* v = result.ptr<unsigned char>(y);
    const unsigned char* g = truth.disparity.ptr<unsigned char>(y);
    const unsigned char* m = truth.mask[kNonocc].ptr<unsigned char>(y);
    cv::Vec3b* out = view.ptr<cv::Vec3b>(y);
    for (int x = 0; x < grey.cols; ++x) {
      const bool evaluated = m[x] == kInMask && g[x] != kUnknown;
      if (evaluated && v[x] == kNoValue)
        out[x] = cv::Vec3b(255, 0, 0);
      else if (evaluated && is_bad(v[x], g[x], truth.scale, threshold))
        out[x] = cv::Vec3b(0, 0, 255);
      else {
        const unsigned char shade = evaluated ? l[x] : static_cast<unsigned char>(l[x] / 2);
        out[x] = cv::Vec3b(shade, shade, shade);
      }
    }
  }
  return view;
}

}  // namespace ondrel_eval
