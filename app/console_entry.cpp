// The console program's entry: the parameter report and the two timing lines around the
// library's call, with the 8-bit outputs the program saves.

#include "app/console_entry.h"

#include <climits>
#include <cstdio>

#include <ondrel/opencv.h>

#include "matcher/match.h"
#include "util/numbers.h"

namespace {

bool is_plane_of(const cv::Mat& m, int type, const cv::Mat& like) {
  return m.dims == 2 && m.type() == type && m.rows == like.rows && m.cols == like.cols && m.data;
}

// (rounded to float first, as the program always printed its times)
void print_seconds(const char* label, double seconds) {
  std::printf("%3.3f sec : %s\n", static_cast<double>(static_cast<float>(seconds)), label);
}

}  // namespace

int Ondrel_QUIRN(const cv::Mat& left, const cv::Mat& right, cv::Mat& disparity_map,
                 cv::Mat& right_disparity_map, cv::Mat& uniqueness_map, int min_disparity,
                 int max_disparity, int block_radius, int support_radius, float gamma_space,
                 float gamma_color, int TAD_threshold, int scale) {
  const int r = block_radius, R = support_radius;
  ondrel::Parameters p;
  p.max_disparity = max_disparity;
  p.support_radius = R;
  p.block_radius = r;
  p.gamma_space = gamma_space;
  p.gamma_color = gamma_color;
  p.tad_threshold = TAD_threshold;
  const bool views_ok = left.dims == 2 && left.type() == CV_8UC3 && !left.empty() && is_plane_of(right, CV_8UC3, left) &&
                        is_plane_of(disparity_map, CV_8UC1, left) && is_plane_of(right_disparity_map, CV_8UC1, left) &&
                        is_plane_of(uniqueness_map, CV_8UC1, left) && left.cols <= INT_MAX / 4 &&
                        left.rows <= INT_MAX / 4;
  ondrel::Status status;
  ondrel::internal::Report report;
  if (!ondrel::internal::check_arguments(ondrel::view_of(left), views_ok, min_disparity, p, &status, &report)) {
    std::fputs(report.text, stdout);
    return -1;
  }

  std::printf("\n\n\nOndrel is running with the following parameters:\n\n");
  std::printf("Radius of the supports\t: %d\t(support window %dx%d pixels)\n", R, 2 * R + 1, 2 * R + 1);
  std::printf("Radius of the blocks\t: %d\t(block size %dx%d pixels)\n", r, 2 * r + 1, 2 * r + 1);
  std::printf("Gamma_space\t\t: %d\n", truncate_to_int(gamma_space));
  std::printf("Gamma_color\t\t: %d\n", truncate_to_int(gamma_color));
  std::printf("TAD threshold\t\t: %d\n", TAD_threshold);
  std::printf("Subpixel interpolation\t: enabled\n");
  std::printf("Uniqueness constraint\t: enabled\n");

  ondrel::internal::ByteOutputs bytes;
  cv::Mat* maps[3] = {&disparity_map, &right_disparity_map, &uniqueness_map};
  for (int i = 0; i < 3; ++i) {
    bytes.data[i] = maps[i]->data;
    bytes.stride[i] = maps[i]->step[0];
  }
  bytes.scale = scale;
  status = ondrel::internal::run(ondrel::view_of(left), ondrel::view_of(right), p, ondrel::Options{}, nullptr, &bytes, &report);
  if (status.ok() || report.failed_in_matching) {
    std::printf("\n\nExecution time: \n");
    print_seconds("[*] Ondrel (initialization)", report.timings.initialization);
  }
  if (!status.ok()) {
    std::fputs(report.text, stdout);
    return -1;
  }
  print_seconds("[*] Ondrel", report.timings.matching);
  return 0;
}

int MaxOndrel_QUIRN(const cv::Mat&, const cv::Mat&, cv::Mat&, cv::Mat&, cv::Mat&, int, int, int, int, float,
                    float, int, int) {
  std::printf("Versione obsoleta (rimpiazzare con B...)\n");
  return 0;
}
