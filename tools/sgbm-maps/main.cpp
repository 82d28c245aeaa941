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
//
// With --middlebury SCENES OUT it runs on every SCENES/<scene> with im0.png, im1.png and
// calib.txt instead (numDisparities = ndisp rounded up to a multiple of 16, the checks on
// unless --no-filters) and writes OUT/<scene>/disp0SGBM.pfm (disparity in pixels, +inf = no
// value) and OUT/<scene>/timeSGBM.txt (seconds of the matching itself), for ondrel-eval
// --middlebury.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "app/stereo_pairs.h"
#include "util/image_file.h"
#include "util/pfm.h"
#include "util/png_file.h"

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

cv::Ptr<cv::StereoSGBM> make_sgbm(int disparities, bool checks) {
  const int block = 5, channels = 3;
  return cv::StereoSGBM::create(0, disparities, block, 8 * channels * block * block, 32 * channels * block * block,
                                checks ? 1 : -1,   // disp12MaxDiff
                                63,                // preFilterCap
                                checks ? 10 : 0,   // uniquenessRatio
                                checks ? 100 : 0,  // speckleWindowSize
                                checks ? 2 : 0,    // speckleRange
                                cv::StereoSGBM::MODE_SGBM_3WAY);
}

// ndisp of a Middlebury calib.txt, 0 when it has none.
int read_ndisp(const std::string& path) {
  std::ifstream calib(path);
  std::string line;
  while (std::getline(calib, line))
    if (line.compare(0, 6, "ndisp=") == 0) {
      char* end = nullptr;
      const long n = std::strtol(line.c_str() + 6, &end, 10);
      return n > 0 && n <= 4096 && (*end == '\0' || *end == '\r') ? static_cast<int>(n) : 0;
    }
  return 0;
}

int run_four_pairs(const std::string& out_dir, const std::string& data_dir) {
  int status = 0;
  for (const StereoPair& pair : kStereoPairs) {
    const cv::Mat left = read_image_file(data_dir + "/" + pair.left_file, cv::IMREAD_COLOR);
    const cv::Mat right = read_image_file(data_dir + "/" + pair.right_file, cv::IMREAD_COLOR);
    if (left.empty() || right.empty() || left.size() != right.size()) {
      std::fprintf(stderr, "sgbm-maps: %s/%s or %s unreadable or of different sizes\n", data_dir.c_str(),
                   pair.left_file, pair.right_file);
      status = 1;
      continue;
    }
    const int disparities = (pair.max_disparity + 1 + 15) / 16 * 16;
    for (int checks = 0; checks < 2; ++checks) {
      cv::Mat disparity16;
      make_sgbm(disparities, checks)->compute(left, right, disparity16);
      const std::string file = out_dir + "/" + (checks ? pair.uniqueness_file : pair.disparity_file);
      std::string reason;
      if (!write_png_file(file, to_result_format(disparity16, pair.scale), &reason)) {
        std::fprintf(stderr, "sgbm-maps: %s cannot be written (%s)\n", file.c_str(), reason.c_str());
        status = 1;
      }
    }
  }
  return status;
}

int run_middlebury(const std::string& scenes, const std::string& out, bool checks) {
  std::vector<std::string> found;  // the scene folders: those with a calib.txt
  if (DIR* d = ::opendir(scenes.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      struct stat st;
      if (name != "." && name != ".." && ::stat((scenes + "/" + name + "/calib.txt").c_str(), &st) == 0)
        found.push_back(name);
    }
    ::closedir(d);
  }
  if (found.empty()) {
    std::fprintf(stderr, "sgbm-maps: %s: no scene folders with calib.txt\n", scenes.c_str());
    return 1;
  }
  std::sort(found.begin(), found.end());
  int status = 0;
  for (const std::string& scene : found) {
    const std::string dir = scenes + "/" + scene, calib = dir + "/calib.txt";
    const int ndisp = read_ndisp(calib);
    const cv::Mat left = read_image_file(dir + "/im0.png", cv::IMREAD_COLOR);
    const cv::Mat right = read_image_file(dir + "/im1.png", cv::IMREAD_COLOR);
    if (ndisp == 0 || left.empty() || right.empty() || left.size() != right.size()) {
      std::fprintf(stderr, "sgbm-maps: %s: %s; %s skipped\n", dir.c_str(),
                   ndisp == 0 ? "no ndisp=N in calib.txt" : "im0.png or im1.png unreadable or of different sizes",
                   scene.c_str());
      status = 1;
      continue;
    }
    cv::Mat disparity16;
    const auto start = std::chrono::steady_clock::now();
    make_sgbm((ndisp + 15) / 16 * 16, checks)->compute(left, right, disparity16);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cv::Mat disparity(disparity16.size(), CV_32FC1);
    for (int y = 0; y < disparity.rows; ++y)
      for (int x = 0; x < disparity.cols; ++x) {
        const short d = disparity16.at<short>(y, x);
        disparity.at<float>(y, x) = d < 0 ? std::numeric_limits<float>::infinity() : d / 16.0f;
      }
    const std::string target = out + "/" + scene;
    ::mkdir(target.c_str(), 0777);
    char time_text[32];
    std::snprintf(time_text, sizeof time_text, "%.3f\n", seconds);
    std::string reason;
    const std::string map_file = target + "/disp0SGBM.pfm", time_file = target + "/timeSGBM.txt";
    const bool map_written = write_pfm(map_file, disparity, &reason);
    if (!map_written || !write_file_completely(time_file, time_text, std::strlen(time_text), &reason)) {
      std::fprintf(stderr, "sgbm-maps: %s: cannot be written (%s)\n", (map_written ? time_file : map_file).c_str(),
                   reason.c_str());
      status = 1;
    }
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const char* const usage =
      "usage: sgbm-maps OUT_DIR [DATA_DIR]                    the four pairs (DATA_DIR default: %s)\n"
      "       sgbm-maps [--no-filters] --middlebury SCENES OUT  Middlebury 2014 scenes\n";
  bool middlebury = false, checks = true;
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--middlebury") {
      middlebury = true;
    } else if (arg == "--no-filters") {
      checks = false;
    } else if (arg == "-h" || arg == "--help") {
      std::printf(usage, ONDREL_DATA_DIR);
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "sgbm-maps: unknown option %s\n", arg.c_str());
      std::fprintf(stderr, usage, ONDREL_DATA_DIR);
      return 2;
    } else {
      folders.push_back(arg);
    }
  }
  const bool fits = middlebury ? folders.size() == 2 : checks && !folders.empty() && folders.size() <= 2;
  if (!fits) {
    std::fprintf(stderr, usage, ONDREL_DATA_DIR);
    return 2;
  }
  if (middlebury) return run_middlebury(folders[0], folders[1], checks);
  return run_four_pairs(folders[0], folders.size() == 2 ? folders[1] : ONDREL_DATA_DIR);
}
