// The evaluation measure of ondrel-eval and its two pictures, as plain functions.
//
// Images, all 8-bit, 1 channel unless said otherwise, all of one size (the caller checks
// this with image_mismatch(); the functions below assume it):
// - a result map: grey level = disparity x scale, 255 = no value (kNoValue);
// - the ground truth: grey level = disparity x scale (the same scale), 0 = unknown;
// - the masks nonocc, all and disc: a pixel belongs to a region exactly when its mask byte is
//   255 and its ground truth is not 0. Any other mask byte (0, 128 in disc, ...) excludes it.
//
// The measure (Scharstein and Szeliski's bad-pixel percentage): a pixel of a region is bad
// when it has no value, or when |v - g| > threshold x scale for its result byte v and ground
// truth byte g (computed in double; v, g and scale are integers, so for the scales 16, 8, 4
// and thresholds like 0.5, 1 or 2 the comparison is exact). The percentage of a region is
// 100 x bad / pixels, and 0 for a region without pixels.
//
// Beside it, over the nonocc region: the density is 100 x (pixels with a value) / pixels,
// and the error over valid pixels is 100 x (bad pixels with a value) / (pixels with a value),
// i.e. the same measure on the pixels that have a value only (0 when none has one).
#pragma once

#include <string>

#include <opencv2/core/mat.hpp>

namespace ondrel_eval {

constexpr unsigned char kNoValue = 255;  // result byte of a pixel without a value
constexpr unsigned char kUnknown = 0;    // ground-truth byte of a pixel without a truth
constexpr unsigned char kInMask = 255;   // mask byte of an evaluated pixel

enum Region { kNonocc = 0, kAll = 1, kDisc = 2, kRegionCount = 3 };
extern const char* const kRegionNames[kRegionCount];  // "nonocc", "all", "disc"

struct GroundTruth {
  cv::Mat disparity;             // grey level = disparity x scale, 0 = unknown
  cv::Mat mask[kRegionCount];    // nonocc, all, disc
  int scale = 1;                 // grey levels per pixel of disparity (> 0)
};

struct Count {
  long long pixels = 0;  // pixels of the region
  long long bad = 0;     // of those: no value, or an error above the threshold
  double percent() const { return pixels > 0 ? 100.0 * static_cast<double>(bad) / static_cast<double>(pixels) : 0.0; }
};

struct Score {
  Count region[kRegionCount];  // bad pixels per region (a no-value pixel is bad)
  Count valid;                 // nonocc pixels with a value, and the bad ones among them
  double density() const;      // 100 x valid.pixels / region[kNonocc].pixels (0 when that is 0)
  double valid_error() const { return valid.percent(); }
  double average() const;      // mean of the three region percentages
};

// The bad-pixel counts of `result` against `truth` with `threshold` (>= 0, in pixels).
Score score(const cv::Mat& result, const GroundTruth& truth, double threshold);

// Whether one nonocc pixel with result byte v and truth byte g is bad (v == 255 counts as bad).
bool is_bad(unsigned char v, unsigned char g, int scale, double threshold);

// A map in another encoding as such grey levels: a float map (CV_32FC1, +inf or NaN without a
// value) or a KITTI map (CV_16UC1, value / 256, 0 without a value) becomes d x scale truncated
// toward zero as the console program's bytes are, clamped to 0 .. 254, and kNoValue without a
// value. Any other image is returned as it is (image_mismatch() then says what is wrong).
cv::Mat grey_levels_of(const cv::Mat& map, int scale);

// "" when `image` is an 8-bit 1-channel image of `size`; otherwise the reason, e.g.
// "3 channels, expected 1 (8-bit grey)" or "400x300 pixels, expected 450x375".
std::string image_mismatch(const cv::Mat& image, cv::Size size);

// The colour scale of one pair, shared by its map, its uniqueness map and its ground truth:
// grey level `low` gets the first colour of OpenCV's turbo colour map and `high` the last;
// levels in between are spread linearly (index round(255 (v - low) / (high - low))), levels
// outside are clamped. high > low.
struct ColorScale {
  int low = 0;
  int high = 254;
};

// The colour scale of a pair: from 0 to the larger of max_disparity x scale and the largest
// known grey level of the ground truth (so every true disparity and every value the matcher
// can produce gets a colour of its own).
ColorScale pair_color_scale(const GroundTruth& truth, int max_disparity);

// `grey` in turbo colours on `scale` (3 channels, BGR); pixels whose byte is `no_value` are
// black (0, 0, 0). Results use kNoValue, the ground truth kUnknown.
cv::Mat color_view(const cv::Mat& grey, unsigned char no_value, ColorScale scale);

// The left image (1 or 3 channels, 8 bit) in grey (BGR, 3 channels), where inside the nonocc
// region a pixel without a value is blue (255, 0, 0) and any other bad pixel red (0, 0, 255).
// Outside the nonocc region the grey is halved (v / 2), so the pixels that are not evaluated
// (occluded, unknown truth, border) stand out as a darker area. Grey pixels have three equal
// bytes, so red and blue occur exactly at the pixels named.
cv::Mat error_view(const cv::Mat& left, const cv::Mat& result, const GroundTruth& truth, double threshold);

}  // namespace ondrel_eval
