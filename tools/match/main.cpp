// ondrel-match: the disparity map of one rectified pair (and its depth and points), or of every
// scene of a Middlebury 2014 or KITTI layout folder, from the command line.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <ondrel/ondrel.h>
#include <ondrel/opencv.h>
#include <ondrel/refine.h>
#include <opencv2/imgcodecs.hpp>

#include "tools/match/disparity_files.h"
#include "tools/match/options.h"
#include "util/calib.h"
#include "util/image_file.h"
#include "util/pfm.h"
#include "util/png_file.h"
#include "app/process.h"
#include "util/reproject.h"
#include "util/scenes.h"

namespace {

// Exit statuses.
constexpr int kDone = 0, kInputOutput = 1, kUsage = 2;

// Ctrl-C and SIGTERM in a batch: the running match is cancelled through its progress hook, and
// the batch ends after the scenes written so far.
volatile std::sig_atomic_t interrupted = 0;
extern "C" void on_interrupt(int) { interrupted = 1; }

struct Progress {
  bool shown = false;
  std::string label;
  // in a batch: the scenes of this run and the ones done, for the whole run's bar
  int scenes = 0, done = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now(), drawn{};
};

bool draw_progress(void* user, int rows_done, int rows_total) {
  Progress* p = static_cast<Progress*>(user);
  if (interrupted) return false;
  if (!p->shown || rows_total <= 0) return true;
  const int width = 40;
  if (p->scenes == 0) {
    const int filled = static_cast<int>(static_cast<long long>(width) * rows_done / rows_total);
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", p->label.c_str(), filled, "########################################",
                 width - filled, "", static_cast<int>(100LL * rows_done / rows_total));
    if (rows_done >= rows_total) std::fputs("\r\033[K", stderr);
    return true;
  }
  // scenes done and time left, from the share of this run done so far, ten times a second
  const auto now = std::chrono::steady_clock::now();
  if (now - p->drawn < std::chrono::milliseconds(100)) return true;
  p->drawn = now;
  const double share = (p->done + static_cast<double>(rows_done) / rows_total) / p->scenes;
  const double elapsed = std::chrono::duration<double>(now - p->start).count();
  const int filled = static_cast<int>(width * share);
  std::fprintf(stderr, "\r\033[K%d/%d scenes [%.*s%*s] %3d%% ", p->done, p->scenes, filled,
               "########################################", width - filled, "", static_cast<int>(100 * share));
  if (share > 0.02) {
    const long left = std::lround(elapsed * (1 - share) / share);
    std::fprintf(stderr, "%ld:%02ld left ", left / 60, left % 60);
  }
  std::fprintf(stderr, "%s", p->label.c_str());
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

// The camera of --depth and --ply: calib.txt's, each value the command line gives in its place.
struct CameraChoice {
  const MatchOptions* options = nullptr;
  Calibration calib;
  bool have_calib = false;
};

// The camera for a view of width x height; false with the reason when a value is missing.
bool camera_of(const CameraChoice& c, int width, int height, Camera* camera, std::string* reason) {
  const MatchOptions& o = *c.options;
  const bool calib_camera = c.have_calib && c.calib.has_camera;
  camera->focal = o.have_focal ? o.focal : calib_camera ? c.calib.focal : 0;
  camera->baseline = o.have_baseline ? o.baseline : c.have_calib && c.calib.has_baseline ? c.calib.baseline : 0;
  camera->doffs = o.have_doffs ? o.doffs : c.have_calib ? c.calib.doffs : 0;
  camera->cx = o.have_centre ? o.cx : calib_camera ? c.calib.cx : (width - 1) / 2.0;
  camera->cy = o.have_centre ? o.cy : calib_camera ? c.calib.cy : (height - 1) / 2.0;
  if (camera->focal > 0 && camera->baseline > 0) return true;
  *reason = o.calib + ": no " + (camera->focal > 0 ? "baseline" : "cam0") + " for --depth and --ply (or give --" +
            (camera->focal > 0 ? "baseline" : "focal") + ")";
  return false;
}

// Matches one pair and writes every file asked for; false with one line in *reason.
struct Job {
  std::string left, right;
  ondrel::Parameters parameters;
  int threads = 0;
  std::string output, uniqueness, color, time, depth, ply, confidence;
  CameraChoice camera;
  Progress* progress = nullptr;  // null: none shown
  bool refine = false;
  bool refine_designed = false;
};

// run_job's work; an allocation that fails throws std::bad_alloc or the image library's
// exception.
bool match_and_write(const Job& job, double* seconds, std::string* reason) {
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
  // the columns x < max(max_disparity, max_disparity - min_disparity) have no value
  const long long first_column = std::max<long long>(
      job.parameters.max_disparity, static_cast<long long>(job.parameters.max_disparity) - job.parameters.min_disparity);
  if (first_column >= left.cols)
    std::fprintf(stderr,
                 "ondrel-match: warning: %s: the columns left of %lld (the largest disparity%s) have no value and the "
                 "views are %d wide: the map has none\n",
                 job.left.c_str(), first_column, first_column > job.parameters.max_disparity ? " minus the least" : "",
                 left.cols);
  cv::Mat disparity(left.size(), CV_32FC1), uniqueness, confidence;
  ondrel::DisparityPlanes out;
  out.disparity = {disparity.ptr<float>(), disparity.cols, disparity.rows, disparity.cols};
  if (!job.confidence.empty()) {
    confidence.create(left.size(), CV_32FC1);
    out.confidence = {confidence.ptr<float>(), confidence.cols, confidence.rows, confidence.cols};
  }
  if (!job.uniqueness.empty()) {
    uniqueness.create(left.size(), CV_32FC1);
    out.uniqueness = {uniqueness.ptr<float>(), uniqueness.cols, uniqueness.rows, uniqueness.cols};
  }
  Progress single{false, job.left};
  ondrel::Options options;
  options.threads = job.threads;
  options.progress = draw_progress;
  options.progress_user = job.progress ? job.progress : &single;
  ondrel::Timings timings;
  const ondrel::ImageView left_view = ondrel::view_of(left), right_view = ondrel::view_of(right);
  ondrel::Status status;
  if (job.refine) {
    const auto start = std::chrono::steady_clock::now();
    ondrel::RefineOptions refine;
    if (job.refine_designed) refine.method = ondrel::RefineMethod::kDesignedMatch;
    status = ondrel::match_refined(left_view, right_view, job.parameters, refine, options, out.disparity,
                                   out.confidence);
    timings.matching = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  } else {
    status = ondrel::match(left_view, right_view, job.parameters, options, out, &timings);
  }
  if (!status.ok()) {
    *reason = status.code == ondrel::StatusCode::kCancelled && interrupted ? "interrupted"
              : status.code == ondrel::StatusCode::kOutOfMemory
                  ? job.left + ": not enough memory to match it (" + status.message + ")"
                  : std::string(status.message);
    return false;
  }
  *seconds = timings.matching;
  Camera camera;
  if ((!job.depth.empty() || !job.ply.empty()) && !camera_of(job.camera, left.cols, left.rows, &camera, reason))
    return false;
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
  if (!job.confidence.empty() && !write_disparity_file(job.confidence, confidence.ptr<float>(), confidence.cols,
                                                       confidence.rows, confidence.cols, &why))
    return failed(job.confidence);
  if (!job.color.empty() &&
      !write_png_file(job.color,
                      disparity_color_view(disparity.ptr<float>(), disparity.cols, disparity.rows, disparity.cols,
                                           job.parameters.max_disparity, job.parameters.min_disparity),
                      &why))
    return failed(job.color);
  if (!job.depth.empty()) {
    cv::Mat depth(disparity.size(), CV_32FC1);
    for (int y = 0; y < depth.rows; ++y)
      for (int x = 0; x < depth.cols; ++x) depth.at<float>(y, x) = depth_of(disparity.at<float>(y, x), camera);
    if (!write_disparity_file(job.depth, depth.ptr<float>(), depth.cols, depth.rows, depth.cols, &why))
      return failed(job.depth);
  }
  if (!job.ply.empty() && !write_ply(job.ply, disparity.ptr<float>(), disparity.cols, disparity.rows, disparity.cols,
                                     left.data, static_cast<std::ptrdiff_t>(left.step[0]), camera, &why))
    return failed(job.ply);
  if (!job.time.empty()) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%.6f\n", timings.matching);
    if (!write_file_completely(job.time, text, static_cast<size_t>(n), &why)) return failed(job.time);
  }
  return true;
}

bool run_job(const Job& job, double* seconds, std::string* reason) {
  try {
    return match_and_write(job, seconds, reason);
  } catch (const std::bad_alloc&) {
  } catch (const cv::Exception& e) {
    if (e.code != cv::Error::StsNoMem) {
      *reason = job.left + ": the image library failed (" + e.err + ")";
      return false;
    }
  }
  *reason = job.left + ": not enough memory";
  return false;
}

bool folder_writable(const std::string& folder, std::string* reason) {
  if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    *reason = folder + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// One pair of a batch: its views, its files and where its largest disparity comes from.
struct Item {
  std::string name, left, right, calib;  // calib "": -d
  std::string folder;                    // created for its files ("": OUT itself)
  std::string output, time;              // time "": none
};

// Whether the files of `item` are complete: the map reads back whole (and the time file holds
// a time). Files are written completely or not at all, so this only looks for a damaged one.
bool complete(const Item& item) {
  if (!file_exists(item.output)) return false;
  if (disparity_format_of(item.output) == DisparityFormat::kPfm) {
    cv::Mat map;
    std::string error;
    if (!read_pfm(item.output, &map, &error)) return false;
  } else if (read_image_file(item.output, cv::IMREAD_UNCHANGED).type() != CV_16UC1) {
    return false;
  }
  if (item.time.empty()) return true;
  std::FILE* f = std::fopen(item.time.c_str(), "rb");
  if (!f) return false;
  char text[64] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  return n > 0 && end != text && std::isfinite(seconds) && seconds >= 0;
}

// The pairs of the --middlebury or --kitti folder; false after a message when there is none.
bool items_of(const MatchOptions& o, std::vector<Item>* items) {
  std::vector<std::string> names;
  std::string reason;
  if (!(o.kitti ? find_kitti_pairs(o.scenes, &names, &reason) : find_scenes(o.scenes, &names, &reason))) {
    std::fprintf(stderr, "ondrel-match: %s%s: %s\n", o.scenes.c_str(), o.kitti ? "/image_2" : "", reason.c_str());
    return false;
  }
  for (const std::string& name : names) {
    Item item;
    item.name = name;
    if (o.kitti) {
      item.left = o.scenes + "/image_2/" + name + ".png";
      item.right = o.scenes + "/image_3/" + name + ".png";
      item.folder = o.out + "/disp_0";
      item.output = item.folder + "/" + name + ".png";
    } else {
      const std::string in = o.scenes + "/" + name;
      item.left = in + "/im0.png";
      item.right = in + "/im1.png";
      item.calib = in + "/calib.txt";
      item.folder = o.out + "/" + name;
      item.output = item.folder + "/disp0" + o.method + ".pfm";
      item.time = item.folder + "/time" + o.method + ".txt";
    }
    items->push_back(item);
  }
  if (items->empty()) {
    std::fprintf(stderr, o.kitti ? "ondrel-match: %s: no pair (image_2/<image>.png with image_3/<image>.png)\n"
                                 : "ondrel-match: %s: no scene folder (im0.png, im1.png, calib.txt)\n",
                 o.scenes.c_str());
    return false;
  }
  return true;
}

// --middlebury and --kitti: every pair of the folder, one after the other.
int run_batch(const MatchOptions& o) {
  std::vector<Item> items;
  if (!items_of(o, &items)) return kInputOutput;
  std::string reason;
  if (!folder_writable(o.out, &reason) || (o.kitti && !folder_writable(o.out + "/disp_0", &reason))) {
    std::fprintf(stderr, "ondrel-match: %s\n", reason.c_str());
    return kInputOutput;
  }
  std::vector<const Item*> todo;
  for (const Item& item : items)
    if (!o.skip_existing || !complete(item)) todo.push_back(&item);
  if (!o.quiet && todo.size() < items.size())
    std::fprintf(stderr, "ondrel-match: %zu of %zu scenes are complete already and kept\n", items.size() - todo.size(),
                 items.size());
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  Progress progress{!o.quiet && isatty(2), ""};
  progress.scenes = static_cast<int>(todo.size());
  int failed = 0, written = 0;
  for (const Item* item : todo) {
    if (interrupted) break;
    progress.label = item->name;
    Job job;
    job.parameters = o.parameters;
    job.threads = o.threads;
    job.refine = o.refine;
    job.refine_designed = o.refine_designed;
    job.progress = &progress;
    job.left = item->left;
    job.right = item->right;
    job.output = item->output;
    job.time = item->time;
    double seconds = 0;
    bool ok = true;
    if (!item->calib.empty()) {
      Calibration calib;
      ok = read_calib(item->calib, &calib, &reason);
      if (!ok) reason = item->calib + ": " + reason;
      job.parameters.max_disparity = calib.ndisp - 1;
    }
    ok = ok && folder_writable(item->folder, &reason) && run_job(job, &seconds, &reason);
    if (progress.shown) std::fputs("\r\033[K", stderr);
    if (!ok && interrupted) break;  // the scene is not written: nothing of it is half done
    ++progress.done;
    if (!ok) {
      ++failed;
      // no earlier map or time of this scene is left to be taken for this run's
      ::unlink(item->output.c_str());
      if (!item->time.empty()) ::unlink(item->time.c_str());
      std::fprintf(stderr, "ondrel-match: scene %s skipped: %s\n", item->name.c_str(), reason.c_str());
      continue;
    }
    ++written;
    if (!o.quiet)
      std::fprintf(stderr, "ondrel-match: %s: disparities 0 .. %d, %.3f s\n", item->name.c_str(),
                   job.parameters.max_disparity, seconds);
  }
  const int kept = static_cast<int>(items.size() - todo.size());
  if (interrupted) {
    std::fprintf(stderr, "interrupted: %d of %zu scenes written; run again with --skip-existing to go on\n",
                 kept + written, items.size());
    return 128 + SIGINT;
  }
  if (!o.quiet)
    std::fprintf(stderr, "ondrel-match: %d of %zu scenes matched into %s\n", kept + written, items.size(),
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
  if (o.middlebury || o.kitti) return run_batch(o);

  Job job;
  job.parameters = o.parameters;
  job.camera.options = &o;
  if (!o.calib.empty()) {
    Calibration& calib = job.camera.calib;
    if (!read_calib(o.calib, &calib, &message)) {
      std::fprintf(stderr, "ondrel-match: %s: %s\n", o.calib.c_str(), message.c_str());
      return kInputOutput;
    }
    job.camera.have_calib = true;
    job.parameters.max_disparity = calib.ndisp - 1;
  }
  job.left = o.left;
  job.right = o.right;
  job.threads = o.threads;
  job.refine = o.refine;
  job.refine_designed = o.refine_designed;
  job.output = o.output;
  job.uniqueness = o.uniqueness;
  job.color = o.color;
  job.time = o.time;
  job.depth = o.depth;
  job.ply = o.ply;
  job.confidence = o.confidence;
  Progress progress{!o.quiet && isatty(2), o.left};
  job.progress = &progress;
  double seconds = 0;
  if (!run_job(job, &seconds, &message)) {
    std::fprintf(stderr, "ondrel-match: %s\n", message.c_str());
    return kInputOutput;
  }
  if (!o.quiet)
    std::fprintf(stderr, "ondrel-match: %s: disparities %d .. %d, %.3f s of matching\n", o.left.c_str(),
                 job.parameters.min_disparity, job.parameters.max_disparity, seconds);
  return kDone;
}
