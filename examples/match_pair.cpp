// Disparity map of a rectified pair with the Ondrel library: match_pair LEFT RIGHT MAX_DISPARITY
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <ondrel/ondrel.h>
#include <opencv2/imgcodecs.hpp>

int main(int argc, char** argv) {
  if (argc != 4) return std::fprintf(stderr, "usage: match_pair LEFT RIGHT MAX_DISPARITY\n"), 2;
  const cv::Mat left = cv::imread(argv[1], cv::IMREAD_COLOR), right = cv::imread(argv[2], cv::IMREAD_COLOR);
  if (left.empty() || right.empty()) return std::fprintf(stderr, "cannot read the views\n"), 1;
  ondrel::Parameters p;  // the example answers: R 19, r 6, gamma_space 14, gamma_color 23, TAD 53
  p.max_disparity = std::atoi(argv[3]);
  cv::Mat disparity(left.size(), CV_32FC1);  // NaN where there is no value
  ondrel::DisparityPlanes out;
  out.disparity = {disparity.ptr<float>(), disparity.cols, disparity.rows, disparity.cols};
  const ondrel::Status s = ondrel::match({left.data, left.cols, left.rows, static_cast<std::ptrdiff_t>(left.step[0])},
                                         {right.data, right.cols, right.rows, static_cast<std::ptrdiff_t>(right.step[0])},
                                         p, ondrel::Options{}, out);
  if (!s.ok()) return std::fprintf(stderr, "%s\n", s.message), 1;
  std::printf("disparity at the centre: %.2f\n", disparity.at<float>(disparity.rows / 2, disparity.cols / 2));
  return 0;
}
