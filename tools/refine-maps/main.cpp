// refine-maps: the refined disparity map of one pair as a PFM file (util/pfm.h), for scoring
// the refinements against ground truth (scripts/refine_eval.py). Prints the seconds the call
// took.
//   refine-maps LEFT RIGHT MAX_DISPARITY OUT.pfm [check=0|1] [tolerance=T] [fill=0|1]
//               [median=RADIUS] [gamma=G] [threads=N] [cost=tad|census]
// Without options: every refinement with its default settings.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <ondrel/refine.h>
#include <opencv2/imgcodecs.hpp>

#include "util/image_file.h"
#include "util/pfm.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: refine-maps LEFT RIGHT MAX_DISPARITY OUT.pfm [check=0|1] [fill=0|1] [median=RADIUS] "
                 "[gamma=G] [threads=N] [cost=tad|census]\n");
    return 2;
  }
  ondrel::Parameters p;
  p.max_disparity = std::atoi(argv[3]);
  ondrel::RefineOptions refine;
  ondrel::Options options;
  for (int i = 5; i < argc; ++i) {
    const char* a = argv[i];
    const char* eq = std::strchr(a, '=');
    if (!eq) return std::fprintf(stderr, "refine-maps: option %s is not NAME=VALUE\n", a), 2;
    const std::string name(a, eq);
    const double v = std::atof(eq + 1);
    if (name == "cost") {
      const std::string cost(eq + 1);
      if (cost != "tad" && cost != "census")
        return std::fprintf(stderr, "refine-maps: cost must be tad or census\n"), 2;
      p.cost = cost == "census" ? ondrel::CostFunction::kCensus : ondrel::CostFunction::kTad;
      continue;
    }
    if (name == "check") refine.consistency_check = v != 0;
    else if (name == "tolerance") refine.consistency_tolerance = static_cast<float>(v);
    else if (name == "fill") refine.fill = v != 0;
    else if (name == "median") refine.median_radius = static_cast<int>(v);
    else if (name == "gamma") refine.median_gamma_color = static_cast<float>(v);
    else if (name == "threads") options.threads = static_cast<int>(v);
    else return std::fprintf(stderr, "refine-maps: unknown option %s\n", name.c_str()), 2;
  }
  const cv::Mat left = read_image_file(argv[1], cv::IMREAD_COLOR), right = read_image_file(argv[2], cv::IMREAD_COLOR);
  if (left.empty() || right.empty()) return std::fprintf(stderr, "refine-maps: cannot read the views\n"), 1;
  cv::Mat out(left.size(), CV_32FC1);
  const auto start = std::chrono::steady_clock::now();
  const ondrel::Status s = ondrel::match_refined(
      {left.data, left.cols, left.rows, static_cast<std::ptrdiff_t>(left.step[0])},
      {right.data, right.cols, right.rows, static_cast<std::ptrdiff_t>(right.step[0])}, p, refine, options,
      {out.ptr<float>(), out.cols, out.rows, out.cols});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!s.ok()) return std::fprintf(stderr, "refine-maps: %s\n", s.message), 1;
  std::string error;
  if (!write_pfm(argv[4], out, &error))
    return std::fprintf(stderr, "refine-maps: %s cannot be written (%s)\n", argv[4], error.c_str()), 1;
  std::printf("%.3f\n", seconds);
  return 0;
}
