#include "tools/eval/scene_runs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tools/eval/files.h"
#include "tools/eval/html.h"
#include "tools/eval/scenes.h"
#include "util/calib.h"
#include "util/pfm.h"
#include "util/png_file.h"

namespace ondrel_eval {

namespace {

bool ends_with(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The float map `path` (CV_32FC1 of `size`, or any size when size is empty), else an empty Mat
// after a message ending in `consequence` (load_pfm: also when it does not fit in memory).
cv::Mat read_checked_pfm(const std::string& path, cv::Size size, const std::string& consequence, Messages& messages) {
  cv::Mat m;
  std::string error;
  if (!exists(path)) {
    messages.error(path, "missing; " + consequence);
  } else if (!read_pfm(path, &m, &error)) {
    messages.error(path, error + "; " + consequence);
  } else if (!size.empty() && m.size() != size) {
    messages.error(path, type_mismatch(m, CV_32FC1, size) + " like the ground truth; " + consequence);
    m.release();
  }
  return m;
}

cv::Mat load_pfm(const std::string& path, cv::Size size, const std::string& consequence, Messages& messages) {
  return within_memory(path, consequence, messages, [&] { return read_checked_pfm(path, size, consequence, messages); });
}

// The PNG `path` of `type` and `size` (any size when empty), else an empty Mat after a message
// (load_png: also when it does not fit in memory).
cv::Mat read_checked_png(const std::string& path, int type, cv::Size size, const std::string& consequence,
                         Messages& messages) {
  if (!exists(path)) {
    messages.error(path, "missing; " + consequence);
    return cv::Mat();
  }
  cv::Mat m = read_quietly(path, cv::IMREAD_UNCHANGED);
  if (m.empty()) {
    messages.error(path, "not a readable image; " + consequence);
    return m;
  }
  const std::string mismatch = type_mismatch(m, type, size.empty() ? m.size() : size);
  if (!mismatch.empty()) {
    messages.error(path, mismatch + "; " + consequence);
    m.release();
  }
  return m;
}

cv::Mat load_png(const std::string& path, int type, cv::Size size, const std::string& consequence,
                 Messages& messages) {
  return within_memory(path, consequence, messages,
                       [&] { return read_checked_png(path, type, size, consequence, messages); });
}

// The seconds in `path` (one number >= 0, white space around it allowed); -1 when the file is
// absent, and -1 after a message when it holds anything else.
double load_seconds(const std::string& path, Messages& messages) {
  if (!exists(path)) return -1;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  char text[64] = {};
  const size_t n = f != nullptr ? std::fread(text, 1, sizeof text - 1, f) : 0;
  if (f != nullptr) std::fclose(f);
  text[n] = '\0';
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text, &end);
  while (end != nullptr && *end != '\0' && std::isspace(static_cast<unsigned char>(*end))) ++end;
  if (n == 0 || n == sizeof text - 1 || end == text || *end != '\0' || errno != 0 || !std::isfinite(seconds) ||
      seconds < 0) {
    messages.error(path, "not a time in seconds; the time is left out");
    return -1;
  }
  return seconds;
}

// Counts the NaN and negative values of a ground truth (+inf is its mark for unknown).
long long damaged_values(const cv::Mat& truth) {
  long long n = 0;
  for (int y = 0; y < truth.rows; ++y) {
    const float* g = truth.ptr<float>(y);
    for (int x = 0; x < truth.cols; ++x) n += std::isnan(g[x]) || g[x] < 0;
  }
  return n;
}

void save(const std::string& path, const cv::Mat& image, Messages& messages) {
  std::string reason;
  if (!write_png_file(path, image, &reason)) messages.error(path, "cannot be written (" + reason + ")");
}

// The left view `path` when it is readable and of `size`; else empty (the error picture is
// drawn on grey: a folder of ground truth alone is fine).
cv::Mat left_view(const std::string& path, cv::Size size) {
  if (!exists(path)) return cv::Mat();
  cv::Mat left;
  try {
    left = read_quietly(path, cv::IMREAD_COLOR);
  } catch (const std::bad_alloc&) {  // (grey too)
  }
  if (left.size() != size) left.release();
  return left;
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string link(const RunOutputs& outputs, const std::string& target) {
  return target.empty() || outputs.html.empty() ? std::string() : relative_link(folder_of(outputs.html), target);
}

// Whether some pixel is in the nonocc area of score_middlebury: a known truth where the mask is 255.
bool any_evaluable(const cv::Mat& truth, const cv::Mat& mask) {
  for (int y = 0; y < truth.rows; ++y) {
    const float* g = truth.ptr<float>(y);
    const unsigned char* m = mask.ptr<unsigned char>(y);
    for (int x = 0; x < truth.cols; ++x)
      if (std::isfinite(g[x]) && g[x] >= 0 && m[x] == 255) return true;
  }
  return false;
}

void finish(const std::string& title, const std::vector<SceneEntry>& entries, const std::string& table,
            const std::string& csv, const RunOutputs& outputs, const std::vector<std::string>& settings,
            const std::vector<PageRow>& rows, Messages& messages) {
  if (!entries.empty()) {
    std::printf("%s\n\n%s", title.c_str(), table.c_str());
    std::fflush(stdout);
  }
  if (!outputs.csv.empty()) write_text(outputs.csv, csv, messages);
  if (!outputs.html.empty()) {
    std::vector<std::string> all = {"command: " + outputs.command, title};
    all.insert(all.end(), settings.begin(), settings.end());
    write_text(outputs.html, html_page("ondrel-eval", all, csv, rows), messages);
  }
}

}  // namespace

int run_middlebury(const std::string& scenes, const std::string& out, const std::vector<std::string>& methods,
                   const RunOutputs& outputs) {
  Messages messages;
  std::vector<std::string> names;
  if (!list_folder(out, &names)) {
    messages.error(out, "not a readable folder");
    return 1;
  }
  std::vector<SceneEntry> entries;
  std::vector<PageRow> rows;
  bool any_scene = false;
  for (const std::string& scene : names) {
    const std::string dir = join(out, scene), scene_dir = join(scenes, scene);
    if (!is_folder(dir)) continue;
    std::vector<std::string> wanted = methods;
    if (wanted.empty()) {
      std::vector<std::string> files;
      list_folder(dir, &files);
      for (const std::string& f : files)
        if (f.size() > 9 && f.compare(0, 5, "disp0") == 0 && ends_with(f, ".pfm") && f != "disp0GT.pfm")
          wanted.push_back(f.substr(5, f.size() - 9));
      if (wanted.empty()) continue;  // a folder without results is not a scene of OUT
    }
    any_scene = true;
    const std::string consequence = scene + " not evaluated";
    const std::string gt_path = join(scene_dir, "disp0GT.pfm");
    const cv::Mat truth = load_pfm(gt_path, cv::Size(), consequence, messages);
    if (truth.empty()) continue;
    if (const long long n = damaged_values(truth)) {
      messages.error(gt_path, std::to_string(n) + " NaN or negative disparities (unknown is +inf); " + consequence);
      continue;
    }
    const cv::Mat mask = load_png(join(scene_dir, "mask0nocc.png"), CV_8UC1, truth.size(), consequence, messages);
    if (mask.empty()) continue;
    if (!any_evaluable(truth, mask)) {
      messages.error(gt_path, "no pixel to evaluate (the ground truth is unknown wherever mask0nocc.png is 255); " +
                                  consequence + " and left out of the means");
      continue;
    }
    Calibration calib;
    std::string reason;
    if (!read_calib(join(scene_dir, "calib.txt"), &calib, &reason)) {
      messages.error(join(scene_dir, "calib.txt"), reason + "; " + consequence);
      continue;
    }
    const std::string truth_picture = join(dir, "disp0GT_color.png"), left_path = join(scene_dir, "im0.png");
    save(truth_picture, float_color_view(truth, calib.ndisp), messages);
    const cv::Mat left = left_view(left_path, truth.size());
    for (const std::string& method : wanted) {
      const std::string base = join(dir, "disp0" + method);
      const cv::Mat result = load_pfm(base + ".pfm", truth.size(), method + " on " + scene + " not evaluated", messages);
      if (result.empty()) continue;
      entries.push_back({scene, method, score_middlebury(result, truth, mask, calib.ndisp),
                         load_seconds(join(dir, "time" + method + ".txt"), messages)});
      save(base + "_color.png", float_color_view(result, calib.ndisp), messages);
      save(base + "_errors.png", middlebury_error_view(left, result, truth, mask, calib.ndisp, 2.0), messages);
      rows.push_back({scene, method, link(outputs, left.empty() ? "" : left_path), link(outputs, truth_picture),
                      link(outputs, base + "_color.png"), link(outputs, base + "_errors.png")});
    }
  }
  if (!any_scene) {
    messages.error(out, "no scene folders with disp0<Name>.pfm");
    return 1;
  }
  finish("Scenes of " + out + " against " + scenes +
             ": bad = |d - d_gt| > 0.5, 1, 2, 4 px; values clipped to 0 .. ndisp first (as the Middlebury evaluator "
             "does); a pixel without a value is bad and left out of avg and rms.",
         entries, format_middlebury_table(entries), format_middlebury_csv(entries), outputs,
         {"pictures: turbo colours on 0 .. ndisp (calib.txt), black without a value; errors on the left view: red "
          "bad at 2 px, blue without a value, darker where not evaluated (occluded or unknown)"},
         rows, messages);
  return messages.skipped ? 1 : 0;
}

int run_kitti(const std::string& gt_noc, const std::string& gt_occ, const std::string& results,
              const RunOutputs& outputs) {
  Messages messages;
  std::vector<std::string> names;
  if (!list_folder(gt_noc, &names)) {
    messages.error(gt_noc, "not a readable folder");
    return 1;
  }
  std::string method = results;
  while (method.size() > 1 && method.back() == '/') method.pop_back();
  method = method.substr(method.rfind('/') + 1);
  std::vector<SceneEntry> entries;
  std::vector<PageRow> rows;
  bool any_image = false;
  for (const std::string& file : names) {
    if (!ends_with(file, ".png")) continue;
    any_image = true;
    const std::string image = file.substr(0, file.size() - 4), consequence = image + " not evaluated";
    const cv::Mat noc = load_png(join(gt_noc, file), CV_16UC1, cv::Size(), consequence, messages);
    if (noc.empty()) continue;
    if (cv::countNonZero(noc) == 0) {
      messages.error(join(gt_noc, file), "no pixel to evaluate (every disparity is 0, unknown); " + consequence +
                                             " and left out of the means");
      continue;
    }
    const cv::Mat occ = load_png(join(gt_occ, file), CV_16UC1, noc.size(), consequence, messages);
    if (occ.empty()) continue;
    const cv::Mat result = load_png(join(results, file), CV_16UC1, noc.size(), consequence, messages);
    if (result.empty()) continue;
    entries.push_back({image, method, score_kitti(result, noc, occ), -1});
    double largest = 0;
    cv::minMaxLoc(occ, nullptr, &largest);
    const double high = std::max(1.0, largest / 256.0);
    const std::string base = join(results, image), left_path = join(join(gt_noc, "../image_2"), file);
    const cv::Mat left = left_view(left_path, noc.size());
    save(base + "_gt_color.png", float_color_view(occ, high), messages);
    save(base + "_color.png", float_color_view(result, high), messages);
    save(base + "_errors.png", kitti_error_view(left, result, noc), messages);
    rows.push_back({image, method, link(outputs, left.empty() ? "" : left_path), link(outputs, base + "_gt_color.png"),
                    link(outputs, base + "_color.png"), link(outputs, base + "_errors.png")});
  }
  if (!any_image) {
    messages.error(gt_noc, "no ground-truth PNG files");
    return 1;
  }
  finish("Images of " + results + " against " + gt_noc + " (noc) and " + gt_occ +
             " (all): D1 = |d - d_gt| > 3 px and > 5 % of d_gt; a pixel without a value (0) is an outlier.",
         entries, format_kitti_table(entries), format_kitti_csv(entries), outputs,
         {"pictures: turbo colours on 0 .. the largest true disparity, black without a value; errors on the left "
          "view: red D1 outlier, blue without a value, darker where the truth (noc) is unknown"},
         rows, messages);
  return messages.skipped ? 1 : 0;
}

}  // namespace ondrel_eval
