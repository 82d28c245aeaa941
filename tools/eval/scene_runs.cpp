#include "tools/eval/scene_runs.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <opencv2/imgcodecs.hpp>

#include "tools/eval/files.h"
#include "tools/eval/scenes.h"
#include "util/pfm.h"

namespace ondrel_eval {

namespace {

bool ends_with(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The float map `path` (CV_32FC1 of `size`, or any size when size is empty), else an empty Mat
// after a message ending in `consequence`.
cv::Mat load_pfm(const std::string& path, cv::Size size, const std::string& consequence, Messages& messages) {
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

// The PNG `path` of `type` and `size` (any size when empty), else an empty Mat after a message.
cv::Mat load_png(const std::string& path, int type, cv::Size size, const std::string& consequence,
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

void finish(const std::string& title, const std::vector<SceneEntry>& entries, const std::string& table,
            const std::string& csv_path, const std::string& csv, Messages& messages) {
  if (!entries.empty()) {
    std::printf("%s\n\n%s", title.c_str(), table.c_str());
    std::fflush(stdout);
  }
  if (!csv_path.empty()) write_text(csv_path, csv, messages);
}

}  // namespace

int run_middlebury(const std::string& scenes, const std::string& out, const std::vector<std::string>& methods,
                   const std::string& csv) {
  Messages messages;
  std::vector<std::string> names;
  if (!list_folder(out, &names)) {
    messages.error(out, "not a readable folder");
    return 1;
  }
  std::vector<SceneEntry> entries;
  bool any_scene = false;
  for (const std::string& scene : names) {
    const std::string dir = join(out, scene);
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
    const std::string gt_path = join(join(scenes, scene), "disp0GT.pfm");
    const cv::Mat truth = load_pfm(gt_path, cv::Size(), consequence, messages);
    if (truth.empty()) continue;
    if (const long long n = damaged_values(truth)) {
      messages.error(gt_path, std::to_string(n) + " NaN or negative disparities (unknown is +inf); " + consequence);
      continue;
    }
    const cv::Mat mask =
        load_png(join(join(scenes, scene), "mask0nocc.png"), CV_8UC1, truth.size(), consequence, messages);
    if (mask.empty()) continue;
    for (const std::string& method : wanted) {
      const cv::Mat result = load_pfm(join(dir, "disp0" + method + ".pfm"), truth.size(),
                                      method + " on " + scene + " not evaluated", messages);
      if (result.empty()) continue;
      entries.push_back({scene, method, score_middlebury(result, truth, mask),
                         load_seconds(join(dir, "time" + method + ".txt"), messages)});
    }
  }
  if (!any_scene) {
    messages.error(out, "no scene folders with disp0<Name>.pfm");
    return 1;
  }
  finish("Scenes of " + out + " against " + scenes +
             ": bad = |d - d_gt| > 0.5, 1, 2, 4 px; a pixel without a value is bad and left out of avg and rms.",
         entries, format_middlebury_table(entries), csv, format_middlebury_csv(entries), messages);
  return messages.skipped ? 1 : 0;
}

int run_kitti(const std::string& gt_noc, const std::string& gt_occ, const std::string& results,
              const std::string& csv) {
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
  bool any_image = false;
  for (const std::string& file : names) {
    if (!ends_with(file, ".png")) continue;
    any_image = true;
    const std::string image = file.substr(0, file.size() - 4), consequence = image + " not evaluated";
    const cv::Mat noc = load_png(join(gt_noc, file), CV_16UC1, cv::Size(), consequence, messages);
    if (noc.empty()) continue;
    const cv::Mat occ = load_png(join(gt_occ, file), CV_16UC1, noc.size(), consequence, messages);
    if (occ.empty()) continue;
    const cv::Mat result = load_png(join(results, file), CV_16UC1, noc.size(), consequence, messages);
    if (result.empty()) continue;
    entries.push_back({image, method, score_kitti(result, noc, occ), -1});
  }
  if (!any_image) {
    messages.error(gt_noc, "no ground-truth PNG files");
    return 1;
  }
  finish("Images of " + results + " against " + gt_noc + " (noc) and " + gt_occ +
             " (all): D1 = |d - d_gt| > 3 px and > 5 % of d_gt; a pixel without a value (0) is an outlier.",
         entries, format_kitti_table(entries), csv, format_kitti_csv(entries), messages);
  return messages.skipped ? 1 : 0;
}

}  // namespace ondrel_eval
