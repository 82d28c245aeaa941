// sgbm-maps: runs OpenCV's StereoSGBM on the four pairs and writes its disparity maps in
// ondrel's result format (grey level = disparity x scale, 255 = no value), so that
// ondrel-eval scores them exactly like ondrel's own results. Two maps per pair:
//   Result_<Pair>.png      SGBM without its validity checks (dense, like ondrel's map)
//   Result_<Pair>_SMP.png  SGBM with its left-right check, uniqueness ratio and speckle filter
// Settings (both): MODE_SGBM_3WAY, minDisparity 0, numDisparities = max disparity + 1 of the
// pair rounded up to a multiple of 16 (Tsukuba 16, Venus 32, Teddy and Cones 64), block size 5,
// P1 = 8 x 3 x 5^2 = 600, P2 = 32 x 3 x 5^2 = 2400, preFilterCap 63. Without checks:
// disp12MaxDiff -1 (off), uniquenessRatio 0, speckleWindowSize 0. With checks:
// disp12MaxDiff 1, uniquenessRatio 10, speckleWindowSize 100, speckleRange 2.
// SGBM's 1/16-pixel disparities are rounded to the nearest grey level.
#include <cmath>
#include <cstdio>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "app/stereo_pairs.h"

namespace {

cv::Mat to_result_format(const cv::Mat& disparity16, int scale) {
  cv::Mat out(disparity16.size(), CV_8UC1);
  for (int y = 0; y < out.rows; ++y)
    for (int x = 0; x < out.cols; ++x) {
      const short d = disparity16.at<short>(y, x);
      // SGBM marks a pixel without a value with (minDisparity - 1) x 16, i.e. a negative number
      if (d < 0) {
        out.at<unsigned char>(y, x) = 255;
        continue;
      }
      const long grey = std::lround(d * scale / 16.0);  // below 255 for the four pairs' ranges
      out.at<unsigned char>(y, x) = static_cast<unsigned char>(grey > 254 ? 254 : grey);
    }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: sgbm-maps OUT_DIR [DATA_DIR]  (DATA_DIR default: %s)\n", ONDREL_DATA_DIR);
    return 2;
  }
  const std::string out_dir = argv[1];
  const std::string data_dir = argc == 3 ? argv[2] : ONDREL_DATA_DIR;
  int status = 0;
  for (const StereoPair& pair : kStereoPairs) {
    const cv::Mat left = cv::imread(data_dir + "/" + pair.left_file, cv::IMREAD_COLOR);
    const cv::Mat right = cv::imread(data_dir + "/" + pair.right_file, cv::IMREAD_COLOR);
    if (left.empty() || right.empty() || left.size() != right.size()) {
      std::fprintf(stderr, "sgbm-maps: %s/%s or %s unreadable or of different sizes\n", data_dir.c_str(),
                   pair.left_file, pair.right_file);
      status = 1;
      continue;
    }
    const int block = 5, channels = 3;
    const int disparities = (pair.max_disparity + 1 + 15) / 16 * 16;
    for (int checks = 0; checks < 2; ++checks) {
      cv::Ptr<cv::StereoSGBM> sgbm = cv::StereoSGBM::create(
          0, disparities, block, 8 * channels * block * block, 32 * channels * block * block,
          checks ? 1 : -1,  // disp12MaxDiff
          63,               // preFilterCap
          checks ? 10 : 0,  // uniquenessRatio
          checks ? 100 : 0, // speckleWindowSize
          checks ? 2 : 0,   // speckleRange
          cv::StereoSGBM::MODE_SGBM_3WAY);
      cv::Mat disparity16;
      sgbm->compute(left, right, disparity16);
      const std::string file = out_dir + "/" + (checks ? pair.uniqueness_file : pair.disparity_file);
      if (!cv::imwrite(file, to_result_format(disparity16, pair.scale))) {
        std::fprintf(stderr, "sgbm-maps: %s cannot be written\n", file.c_str());
        status = 1;
      }
    }
  }
  return status;
}
