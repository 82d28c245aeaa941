#include "tools/match/disparity_files.h"

#include <cctype>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "util/pfm.h"
#include "util/png_file.h"

DisparityFormat disparity_format_of(const std::string& path) {
  const size_t dot = path.rfind('.'), slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return DisparityFormat::kNone;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "pfm") return DisparityFormat::kPfm;
  if (ext == "png") return DisparityFormat::kPng16;
  return DisparityFormat::kNone;
}

uint16_t png16_sample_of(float d) {
  if (!std::isfinite(d)) return 0;
  const double scaled = std::round(256.0 * static_cast<double>(d));
  return static_cast<uint16_t>(scaled < 1 ? 1 : scaled > 65535 ? 65535 : scaled);
}

bool write_disparity_file(const std::string& path, const float* values, int width, int height,
                          std::ptrdiff_t stride, std::string* reason) {
  switch (disparity_format_of(path)) {
    case DisparityFormat::kPfm:
      return write_pfm(path, values, width, height, stride, reason);
    case DisparityFormat::kPng16: {
      cv::Mat samples(height, width, CV_16UC1);
      for (int y = 0; y < height; ++y) {
        const float* row = values + static_cast<std::ptrdiff_t>(y) * stride;
        uint16_t* out = samples.ptr<uint16_t>(y);
        for (int x = 0; x < width; ++x) out[x] = png16_sample_of(row[x]);
      }
      return write_png_file(path, samples, reason);
    }
    case DisparityFormat::kNone:
      break;
  }
  *reason = "unknown format (the name must end in .pfm or .png)";
  return false;
}

cv::Mat disparity_color_view(const float* values, int width, int height, std::ptrdiff_t stride, int max_disparity,
                             int min_disparity) {
  cv::Mat levels(height, width, CV_8UC1), view;
  const float range = static_cast<float>(static_cast<double>(max_disparity) - min_disparity);
  const float to_level = range > 0 ? 255.0f / range : 0.0f, least = static_cast<float>(min_disparity);
  for (int y = 0; y < height; ++y) {
    const float* row = values + static_cast<std::ptrdiff_t>(y) * stride;
    unsigned char* out = levels.ptr<unsigned char>(y);
    for (int x = 0; x < width; ++x) {
      const float level = (row[x] - least) * to_level;  // NaN compares false: level 0, made black below
      out[x] = static_cast<unsigned char>(level > 0 ? (level < 255 ? std::lround(level) : 255) : 0);
    }
  }
  cv::applyColorMap(levels, view, cv::COLORMAP_TURBO);
  for (int y = 0; y < height; ++y) {
    const float* row = values + static_cast<std::ptrdiff_t>(y) * stride;
    cv::Vec3b* out = view.ptr<cv::Vec3b>(y);
    for (int x = 0; x < width; ++x)
      if (!std::isfinite(row[x])) out[x] = cv::Vec3b(0, 0, 0);
  }
  return view;
}
