// The measures of ondrel-eval for float disparity maps: Middlebury 2014 scenes (PFM maps,
// mask0nocc.png) and KITTI images (16-bit PNG maps), as plain functions.
//
// Middlebury: a pixel is evaluated when its true disparity is finite and >= 0 and its mask
// byte is not 0; it belongs to `nonocc` when the mask byte is 255 and to `all` in any case
// (128 marks an occluded pixel). A result without a value (+inf or NaN) counts as bad at every
// threshold and is left out of the average error and the RMS, which are taken over the
// evaluated pixels that have a value. As the benchmark's own evaluator does, a value d is
// clipped to 0 .. ndisp first (a few wild values would otherwise rule the average error and
// the RMS); a pixel is bad at threshold t when |clipped d - d_gt| > t.
//
// KITTI: a true disparity of 0 means unknown; every other pixel of GT_NOC is in `noc` and of
// GT_OCC in `all`. A result of 0 has no value and counts as an outlier (D1); a result with a
// value is an outlier when |d - d_gt| > 3 and |d - d_gt| > 0.05 d_gt.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

namespace ondrel_eval {

constexpr int kThresholdCount = 4;
extern const double kThresholds[kThresholdCount];  // 0.5, 1, 2, 4 pixels

// The figures of one area (nonocc or all, noc or all) of one map.
struct Area {
  long long pixels = 0;                // evaluated pixels
  long long with_value = 0;            // of those, the ones the result has a value for
  long long bad[kThresholdCount] = {};  // Middlebury: bad at kThresholds[k]; KITTI: bad[0] = D1 outliers
  double abs_sum = 0, square_sum = 0;  // of |d - d_gt| over the pixels with a value

  double bad_percent(int k) const;  // 100 x bad[k] / pixels (0 without pixels), likewise below
  double density() const;           // 100 x with_value / pixels
  double average_error() const;     // abs_sum / with_value (0 without one)
  double rms() const;               // sqrt(square_sum / with_value)
};

enum SceneArea { kSceneNonocc = 0, kSceneAll = 1 };  // KITTI: noc, all

struct SceneScore {
  Area area[2];
};

// `result`, `truth`: CV_32FC1; `mask`: CV_8UC1; all of one size (checked by the caller);
// ndisp >= 1 (calib.txt's).
SceneScore score_middlebury(const cv::Mat& result, const cv::Mat& truth, const cv::Mat& mask, int ndisp);

// CV_16UC1 images of one size (value / 256 = disparity, 0 = none).
SceneScore score_kitti(const cv::Mat& result, const cv::Mat& truth_noc, const cv::Mat& truth_occ);

// The pictures of one map (all 8-bit B, G, R of the map's size). The colour view of a float
// map (CV_32FC1, or KITTI's CV_16UC1 decoded as value / 256 with 0 no value) on the scale
// 0 .. high through the turbo colours (values outside take the nearer end), black without a
// value. The error picture: `left` (8-bit, 1 or 3 channels; empty: a mid grey) in grey, where
// inside the evaluated area (Middlebury: mask 255 and a known truth; KITTI: a true disparity
// in `truth_noc`) a pixel without a value is blue (255, 0, 0) and a bad one red (0, 0, 255)
// (Middlebury: bad at `threshold` after the clipping; KITTI: a D1 outlier); the grey is halved
// outside that area.
cv::Mat float_color_view(const cv::Mat& map, double high);
cv::Mat middlebury_error_view(const cv::Mat& left, const cv::Mat& result, const cv::Mat& truth, const cv::Mat& mask,
                              int ndisp, double threshold);
cv::Mat kitti_error_view(const cv::Mat& left, const cv::Mat& result, const cv::Mat& truth_noc);

// "" when `image` has `type` and `size`; otherwise the reason, e.g. "8-bit samples, expected
// 16-bit grey" or "400x300 pixels, expected 450x375".
std::string type_mismatch(const cv::Mat& image, int type, cv::Size size);

struct SceneEntry {
  std::string scene;   // "Motorcycle", "000000_10", ...
  std::string method;  // "Ondrel", "SGBM", ... (KITTI: the results folder's name)
  SceneScore score;
  double seconds = -1;  // time of the run, < 0 when unknown
};

// The table for standard output and the CSV lines: one line per entry, then per method (in
// the order the methods first occur) a "mean" line whose figures are the plain means over
// that method's entries (each scene weighs the same); its time is the mean over the entries
// with a time ("-" when none has one). Tables with two decimals, CSV with four.
std::string format_middlebury_table(const std::vector<SceneEntry>& entries);
std::string format_middlebury_csv(const std::vector<SceneEntry>& entries);
std::string format_kitti_table(const std::vector<SceneEntry>& entries);
std::string format_kitti_csv(const std::vector<SceneEntry>& entries);

}  // namespace ondrel_eval
