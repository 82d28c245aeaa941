// ondrel-match: the disparity map of one rectified pair, or of every scene of a Middlebury
// 2014 layout folder, from the command line.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <ondrel/ondrel.h>
#include <ondrel/refine.h>
#include <opencv2/imgcodecs.hpp>

#include "tools/match/disparity_files.h"
#include "tools/match/options.h"
#include "util/calib.h"
#include "util/image_file.h"
#include "util/png_file.h"
#include "util/process.h"
#include "util/scenes.h"

namespace {

// Exit statuses.
constexpr int kDone = 0, kInputOutput = 1, kUsage = 2;

struct Progress {
  bool shown = false;
  std::string label;
};

bool draw_progress(void* user, int done, int total) {
  const Progress* p = static_cast<const Progress*>(user);
  if (!p->shown || total <= 0) return true;
  const int width = 40, filled = static_cast<int>(static_cast<long long>(width) * done / total);
  std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", p->label.c_str(), filled, "########################################",
               width - filled, "", static_cast<int>(100LL * done / total));
  if (done >= total) std::fputs("\r\033[K", stderr);
  return true;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Reads one view as the console program does (colour, 8 bits); false with the reason.
bool read_view(const std::string& path, cv::Mat* view, std::string* reason) {
  if (!file_exists(path)) {
    *reason = path + ": " + std::strerror(ENOENT);
    return false;
  }
  if (access(path.c_str(), R_OK) != 0) {
    *reason = path + ": " + std::strerror(errno);
    return false;
  }
  *view = read_image_file(path, cv::IMREAD_COLOR);
  if (view->empty()) {
    *reason = path + ": not an image file this program can read";
    return false;
  }
  return true;
}

// Matches one pair and writes every file asked for; false with one line in *reason.
struct Job {
  std::string left, right;
  ondrel::Parameters parameters;
  int threads = 0;
  std::string output, uniqueness, color, time;
  bool progress = false;
  bool refine = false;
};

bool run_job(const Job& job, double* seconds, std::string* reason) {
  cv::Mat left, right;
  if (!read_view(job.left, &left, reason) || !read_view(job.right, &right, reason)) return false;
  if (left.size() != right.size()) {
    *reason = "the views have different sizes: " + job.left + " is " + std::to_string(left.cols) + "x" +
              std::to_string(left.rows) + ", " + job.right + " is " + std::to_string(right.cols) + "x" +
              std::to_string(right.rows);
    return false;
  }
  const int side = 2 * job.parameters.block_radius + 1;
  if (side > left.cols || side > left.rows) {
    *reason = "the block (" + std::to_string(side) + "x" + std::to_string(side) + " pixels) is larger than the image (" +
              std::to_string(left.cols) + "x" + std::to_string(left.rows) + ")";
    return false;
  }
  if (job.parameters.max_disparity >= left.cols)
    std::fprintf(stderr,
                 "ondrel-match: warning: %s: the largest disparity %d is not below the width %d of the views: the "
                 "columns left of it have no value, so the map has none\n",
                 job.left.c_str(), job.parameters.max_disparity, left.cols);
  cv::Mat disparity(left.size(), CV_32FC1), uniqueness;
  ondrel::DisparityPlanes out;
  out.disparity = {disparity.ptr<float>(), disparity.cols, disparity.rows, disparity.cols};
  if (!job.uniqueness.empty()) {
    uniqueness.create(left.size(), CV_32FC1);
    out.uniqueness = {uniqueness.ptr<float>(), uniqueness.cols, uniqueness.rows, uniqueness.cols};
  }
  Progress progress{job.progress, job.left};
  ondrel::Options options;
  options.threads = job.threads;
  options.progress = draw_progress;
  options.progress_user = &progress;
  ondrel::Timings timings;
  const ondrel::ImageView left_view{left.data, left.cols, left.rows, static_cast<std::ptrdiff_t>(left.step[0])};
  const ondrel::ImageView right_view{right.data, right.cols, right.rows, static_cast<std::ptrdiff_t>(right.step[0])};
  ondrel::Status status;
  if (job.refine) {
    const auto start = std::chrono::steady_clock::now();
    status = ondrel::match_refined(left_view, right_view, job.parameters, ondrel::RefineOptions{}, options,
                                   out.disparity);
    timings.matching = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  } else {
    status = ondrel::match(left_view, right_view, job.parameters, options, out, &timings);
  }
  if (!status.ok()) {
    *reason = status.message;
    return false;
  }
  *seconds = timings.matching;
  std::string why;
  const auto failed = [&](const std::string& path) {
    *reason = path + ": " + why;
    return false;
  };
  if (!job.output.empty() &&
      !write_disparity_file(job.output, disparity.ptr<float>(), disparity.cols, disparity.rows, disparity.cols, &why))
    return failed(job.output);
  if (!job.uniqueness.empty() && !write_disparity_file(job.uniqueness, uniqueness.ptr<float>(), uniqueness.cols,
                                                       uniqueness.rows, uniqueness.cols, &why))
    return failed(job.uniqueness);
  if (!job.color.empty() &&
      !write_png_file(job.color,
                      disparity_color_view(disparity.ptr<float>(), disparity.cols, disparity.rows, disparity.cols,
                                           job.parameters.max_disparity),
                      &why))
    return failed(job.color);
  if (!job.time.empty()) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%.6f\n", timings.matching);
    if (!write_file_completely(job.time, text, static_cast<size_t>(n), &why)) return failed(job.time);
  }
  return true;
}

bool folder_writable(const std::string& folder, std::string* reason) {
  if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    *reason = folder + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

int run_middlebury(const MatchOptions& o) {
  std::vector<std::string> scenes;
  std::string reason;
  if (!find_scenes(o.scenes, &scenes, &reason)) {
    std::fprintf(stderr, "ondrel-match: %s: %s\n", o.scenes.c_str(), reason.c_str());
    return kInputOutput;
  }
  if (scenes.empty()) {
    std::fprintf(stderr, "ondrel-match: %s: no scene folder (im0.png, im1.png, calib.txt)\n", o.scenes.c_str());
    return kInputOutput;
  }
  if (!folder_writable(o.out, &reason)) {
    std::fprintf(stderr, "ondrel-match: %s\n", reason.c_str());
    return kInputOutput;
  }
  const bool tty = !o.quiet && isatty(2);
  int failed = 0;
  for (size_t i = 0; i < scenes.size(); ++i) {
    const std::string in = o.scenes + "/" + scenes[i], out = o.out + "/" + scenes[i];
    if (tty) std::fprintf(stderr, "\r\033[Kscene %zu/%zu %s\n", i + 1, scenes.size(), scenes[i].c_str());
    Calibration calib;
    Job job;
    job.parameters = o.parameters;
    job.threads = o.threads;
    job.refine = o.refine;
    job.progress = tty;
    job.left = in + "/im0.png";
    job.right = in + "/im1.png";
    job.output = out + "/disp0Ondrel.pfm";
    job.time = out + "/timeOndrel.txt";
    double seconds = 0;
    bool ok = read_calib(in + "/calib.txt", &calib, &reason);
    if (!ok) reason = in + "/calib.txt: " + reason;
    if (ok) {
      job.parameters.max_disparity = calib.ndisp - 1;
      ok = folder_writable(out, &reason) && run_job(job, &seconds, &reason);
    }
    if (!ok) {
      ++failed;
      std::fprintf(stderr, "ondrel-match: scene %s skipped: %s\n", scenes[i].c_str(), reason.c_str());
    } else if (!o.quiet) {
      std::fprintf(stderr, "ondrel-match: %s: %d disparities, %.3f s\n", scenes[i].c_str(), calib.ndisp, seconds);
    }
  }
  if (!o.quiet)
    std::fprintf(stderr, "ondrel-match: %zu of %zu scenes matched into %s\n", scenes.size() - failed, scenes.size(),
                 o.out.c_str());
  return failed ? kInputOutput : kDone;
}

}  // namespace

int main(int argc, char** argv) {
  keep_freed_memory_for_reuse();  // a folder of scenes, one after the other
  MatchOptions o;
  std::string message;
  switch (parse_match_options(argc, argv, &o, &message)) {
    case ParseOutcome::kHelp:
      std::fputs(kMatchHelp, stdout);
      return kDone;
    case ParseOutcome::kVersion:
      std::printf("ondrel-match %s\n", ondrel::version());
      return kDone;
    case ParseOutcome::kUsageError:
      std::fprintf(stderr, "ondrel-match: %s\n%s", message.c_str(), kMatchUsage);
      return kUsage;
    case ParseOutcome::kRun:
      break;
  }
  if (o.middlebury) return run_middlebury(o);

  Job job;
  job.parameters = o.parameters;
  if (!o.calib.empty()) {
    Calibration calib;
    if (!read_calib(o.calib, &calib, &message)) {
      std::fprintf(stderr, "ondrel-match: %s: %s\n", o.calib.c_str(), message.c_str());
      return kInputOutput;
    }
    job.parameters.max_disparity = calib.ndisp - 1;
  }
  job.left = o.left;
  job.right = o.right;
  job.threads = o.threads;
  job.refine = o.refine;
  job.output = o.output;
  job.uniqueness = o.uniqueness;
  job.color = o.color;
  job.time = o.time;
  job.progress = !o.quiet && isatty(2);
  double seconds = 0;
  if (!run_job(job, &seconds, &message)) {
    std::fprintf(stderr, "ondrel-match: %s\n", message.c_str());
    return kInputOutput;
  }
  if (!o.quiet)
    std::fprintf(stderr, "ondrel-match: %s: disparities 0 .. %d, %.3f s of matching\n", o.left.c_str(),
                 job.parameters.max_disparity, seconds);
  return kDone;
}
