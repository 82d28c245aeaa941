#include "tools/eval/scenes.h"

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <algorithm>

namespace ondrel_eval {

const double kThresholds[kThresholdCount] = {0.5, 1.0, 2.0, 4.0};

namespace {

double share(double part, long long whole) { return whole > 0 ? part / static_cast<double>(whole) : 0.0; }

void add_pixel(Area& area, float d, double truth, bool kitti) {
  ++area.pixels;
  if (!std::isfinite(d) || (kitti && d == 0)) {  // no value: bad at every threshold, a D1 outlier
    for (int k = 0; k < (kitti ? 1 : kThresholdCount); ++k) ++area.bad[k];
    return;
  }
  const double error = std::fabs(static_cast<double>(d) - truth);
  ++area.with_value;
  area.abs_sum += error;
  area.square_sum += error * error;
  if (kitti) {
    area.bad[0] += error > 3.0 && error > 0.05 * truth;
  } else {
    for (int k = 0; k < kThresholdCount; ++k) area.bad[k] += error > kThresholds[k];
  }
}

}  // namespace

double Area::bad_percent(int k) const { return 100.0 * share(static_cast<double>(bad[k]), pixels); }
double Area::density() const { return 100.0 * share(static_cast<double>(with_value), pixels); }
double Area::average_error() const { return share(abs_sum, with_value); }
double Area::rms() const { return std::sqrt(share(square_sum, with_value)); }

SceneScore score_middlebury(const cv::Mat& result, const cv::Mat& truth, const cv::Mat& mask) {
  SceneScore s;
  for (int y = 0; y < truth.rows; ++y) {
    const float* d = result.ptr<float>(y);
    const float* g = truth.ptr<float>(y);
    const unsigned char* m = mask.ptr<unsigned char>(y);
    for (int x = 0; x < truth.cols; ++x) {
      if (!std::isfinite(g[x]) || g[x] < 0 || m[x] == 0) continue;  // unknown truth
      add_pixel(s.area[kSceneAll], d[x], g[x], false);
      if (m[x] == 255) add_pixel(s.area[kSceneNonocc], d[x], g[x], false);
    }
  }
  return s;
}

SceneScore score_kitti(const cv::Mat& result, const cv::Mat& truth_noc, const cv::Mat& truth_occ) {
  SceneScore s;
  const cv::Mat* truths[2] = {&truth_noc, &truth_occ};
  for (int a = 0; a < 2; ++a)
    for (int y = 0; y < result.rows; ++y) {
      const uint16_t* d = result.ptr<uint16_t>(y);
      const uint16_t* g = truths[a]->ptr<uint16_t>(y);
      for (int x = 0; x < result.cols; ++x)
        if (g[x] != 0) add_pixel(s.area[a], static_cast<float>(d[x] / 256.0), g[x] / 256.0, true);
    }
  return s;
}

std::string type_mismatch(const cv::Mat& image, int type, cv::Size size) {
  if (image.empty()) return "no pixels";
  const char* wanted = type == CV_32FC1 ? "32-bit float" : type == CV_16UC1 ? "16-bit grey" : "8-bit grey";
  if (image.channels() != CV_MAT_CN(type))
    return std::to_string(image.channels()) + " channels, expected " + std::to_string(CV_MAT_CN(type)) + " (" +
           wanted + ")";
  if (image.depth() != CV_MAT_DEPTH(type)) {
    const int depth = image.depth();
    const std::string got = depth == CV_8U ? "8-bit" : depth == CV_16U ? "16-bit" : depth == CV_32F ? "float" : "other";
    return got + " samples, expected " + wanted;
  }
  if (image.size() != size)
    return std::to_string(image.cols) + "x" + std::to_string(image.rows) + " pixels, expected " +
           std::to_string(size.width) + "x" + std::to_string(size.height);
  return "";
}

namespace {

// The figures of an entry in table order; the time last (< 0: unknown; KITTI has none to show).
std::vector<double> figures(const SceneEntry& e, bool kitti) {
  std::vector<double> f;
  for (const Area& a : e.score.area) {
    if (kitti) {
      f.push_back(a.bad_percent(0));
      continue;
    }
    for (int k = 0; k < kThresholdCount; ++k) f.push_back(a.bad_percent(k));
    f.insert(f.end(), {a.average_error(), a.rms(), a.density()});
  }
  if (kitti) f.insert(f.end(), {e.score.area[0].density(), e.score.area[1].density()});
  f.push_back(e.seconds);
  return f;
}

struct Line {
  std::string scene, method;
  std::vector<double> f;
};

// The entries' lines, then the means per method.
std::vector<Line> lines_with_means(const std::vector<SceneEntry>& entries, bool kitti) {
  std::vector<Line> lines, means;
  std::vector<int> counts, timed;
  for (const SceneEntry& e : entries) {
    lines.push_back({e.scene, e.method, figures(e, kitti)});
    size_t m = 0;
    while (m < means.size() && means[m].method != e.method) ++m;
    if (m == means.size()) {
      means.push_back({"mean", e.method, std::vector<double>(lines.back().f.size(), 0.0)});
      counts.push_back(0);
      timed.push_back(0);
    }
    const std::vector<double>& f = lines.back().f;
    for (size_t k = 0; k + 1 < f.size(); ++k) means[m].f[k] += f[k];
    if (f.back() >= 0) {
      means[m].f.back() += f.back();
      ++timed[m];
    }
    ++counts[m];
  }
  for (size_t m = 0; m < means.size(); ++m) {
    std::vector<double>& f = means[m].f;
    for (size_t k = 0; k + 1 < f.size(); ++k) f[k] /= counts[m];
    f.back() = timed[m] > 0 ? f.back() / timed[m] : -1.0;
    lines.push_back(means[m]);
  }
  return lines;
}

std::string printed(const char* format, double v) {
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

std::string padded(const std::string& s, size_t width) { return s + std::string(width > s.size() ? width - s.size() : 0, ' '); }

// Columns of 8 characters, right-aligned; above them a line naming groups of `span` columns.
struct Group {
  const char* label;
  int span;
};

std::string table(const std::vector<SceneEntry>& entries, bool kitti, const char* first,
                  const std::vector<Group>& groups, const std::vector<std::string>& columns) {
  const std::vector<Line> lines = lines_with_means(entries, kitti);
  size_t w0 = std::string(first).size(), w1 = std::string("method").size();
  for (const Line& l : lines) {
    w0 = std::max(w0, l.scene.size());
    w1 = std::max(w1, l.method.size());
  }
  const auto right = [](const std::string& s) { return std::string(s.size() < 8 ? 8 - s.size() : 1, ' ') + s; };
  std::string out = std::string(w0 + 2 + w1, ' ');
  for (const Group& g : groups) out += padded(std::string("  ") + g.label, 8 * static_cast<size_t>(g.span));
  while (!out.empty() && out.back() == ' ') out.pop_back();
  out += "\n" + padded(first, w0 + 2) + padded("method", w1);
  for (const std::string& c : columns) out += right(c);
  out += "\n";
  for (const Line& l : lines) {
    out += padded(l.scene, w0 + 2) + padded(l.method, w1);
    for (size_t k = 0; k < l.f.size() - kitti; ++k)
      out += right(k + 1 == l.f.size() && l.f[k] < 0 ? "-" : printed("%.2f", l.f[k]));
    out += "\n";
  }
  return out;
}

std::string csv(const std::vector<SceneEntry>& entries, bool kitti, const std::string& header) {
  std::string out = header + "\n";
  for (const Line& l : lines_with_means(entries, kitti)) {
    out += l.scene + "," + l.method;
    for (size_t k = 0; k < l.f.size() - kitti; ++k)
      out += "," + (k + 1 == l.f.size() && l.f[k] < 0 ? std::string() : printed("%.4f", l.f[k]));
    out += "\n";
  }
  return out;
}

const std::vector<std::string> kAreaColumns = {"bad0.5", "bad1", "bad2", "bad4", "avg", "rms", "density"};

}  // namespace

std::string format_middlebury_table(const std::vector<SceneEntry>& entries) {
  std::vector<std::string> columns = kAreaColumns;
  columns.insert(columns.end(), kAreaColumns.begin(), kAreaColumns.end());
  columns.push_back("time/s");
  return table(entries, false, "scene", {{"nonocc: bad pixels (%), error (px), density (%)", 7}, {"all", 7}},
               columns);
}

std::string format_middlebury_csv(const std::vector<SceneEntry>& entries) {
  std::string header = "scene,method";
  for (const char* area : {"nonocc", "all"})
    for (const std::string& c : kAreaColumns) header += std::string(",") + area + "_" + c;
  return csv(entries, false, header + ",seconds");
}

std::string format_kitti_table(const std::vector<SceneEntry>& entries) {
  return table(entries, true, "image", {{"D1 (%)", 2}, {"density (%)", 2}}, {"noc", "all", "noc", "all"});
}

std::string format_kitti_csv(const std::vector<SceneEntry>& entries) {
  return csv(entries, true, "image,method,noc_d1,all_d1,noc_density,all_density");
}

}  // namespace ondrel_eval
