#include "tools/eval/scenes.h"

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <algorithm>

#include <opencv2/imgproc.hpp>

namespace ondrel_eval {

const double kThresholds[kThresholdCount] = {0.5, 1.0, 2.0, 4.0};

namespace {

double share(double part, long long whole) { return whole > 0 ? part / static_cast<double>(whole) : 0.0; }

bool has_value(float d, bool kitti) { return std::isfinite(d) && !(kitti && d == 0); }

// |d - truth| after the Middlebury evaluator's clipping of d to 0 .. ndisp (KITTI: none)
double error_of(float d, double truth, double ndisp) {
  const double v = static_cast<double>(d);
  return std::fabs((ndisp > 0 ? std::clamp(v, 0.0, ndisp) : v) - truth);
}

bool kitti_outlier(double error, double truth) { return error > 3.0 && error > 0.05 * truth; }

void add_pixel(Area& area, float d, double truth, bool kitti, double ndisp = 0) {
  ++area.pixels;
  if (!has_value(d, kitti)) {  // no value: bad at every threshold, a D1 outlier
    for (int k = 0; k < (kitti ? 1 : kThresholdCount); ++k) ++area.bad[k];
    return;
  }
  const double error = error_of(d, truth, ndisp);
  ++area.with_value;
  area.abs_sum += error;
  area.square_sum += error * error;
  if (kitti) {
    area.bad[0] += kitti_outlier(error, truth);
  } else {
    for (int k = 0; k < kThresholdCount; ++k) area.bad[k] += error > kThresholds[k];
  }
}

}  // namespace

double Area::bad_percent(int k) const { return 100.0 * share(static_cast<double>(bad[k]), pixels); }
double Area::density() const { return 100.0 * share(static_cast<double>(with_value), pixels); }
double Area::average_error() const { return share(abs_sum, with_value); }
double Area::rms() const { return std::sqrt(share(square_sum, with_value)); }

SceneScore score_middlebury(const cv::Mat& result, const cv::Mat& truth, const cv::Mat& mask, int ndisp) {
  SceneScore s;
  for (int y = 0; y < truth.rows; ++y) {
    const float* d = result.ptr<float>(y);
    const float* g = truth.ptr<float>(y);
    const unsigned char* m = mask.ptr<unsigned char>(y);
    for (int x = 0; x < truth.cols; ++x) {
      if (!std::isfinite(g[x]) || g[x] < 0 || m[x] == 0) continue;  // unknown truth
      add_pixel(s.area[kSceneAll], d[x], g[x], false, ndisp);
      if (m[x] == 255) add_pixel(s.area[kSceneNonocc], d[x], g[x], false, ndisp);
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

namespace {

// value (y, x) of a float map or of a KITTI map in disparities; NaN without a value
float disparity_at(const cv::Mat& map, int y, int x) {
  if (map.depth() == CV_16U) {
    const uint16_t v = map.ptr<uint16_t>(y)[x];
    return v == 0 ? NAN : static_cast<float>(v / 256.0);
  }
  return map.ptr<float>(y)[x];
}

cv::Mat grey_of(const cv::Mat& left, cv::Size size) {
  if (left.empty()) return cv::Mat(size, CV_8UC1, cv::Scalar(128));
  if (left.channels() == 1) return left;
  cv::Mat grey;
  cv::cvtColor(left, grey, left.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
  return grey;
}

// The error picture; kind(y, x): 0 not evaluated, 1 good, 2 bad, 3 no value.
template <class Kind>
cv::Mat error_picture(const cv::Mat& left, cv::Size size, Kind kind) {
  const cv::Mat grey = grey_of(left, size);
  cv::Mat view(size, CV_8UC3);
  for (int y = 0; y < size.height; ++y) {
    const unsigned char* l = grey.ptr<unsigned char>(y);
    cv::Vec3b* out = view.ptr<cv::Vec3b>(y);
    for (int x = 0; x < size.width; ++x) {
      const int k = kind(y, x);
      const unsigned char shade = k == 0 ? static_cast<unsigned char>(l[x] / 2) : l[x];
      out[x] = k == 3 ? cv::Vec3b(255, 0, 0) : k == 2 ? cv::Vec3b(0, 0, 255) : cv::Vec3b(shade, shade, shade);
    }
  }
  return view;
}

}  // namespace

cv::Mat float_color_view(const cv::Mat& map, double high) {
  cv::Mat index(map.size(), CV_8UC1), view;
  const double to_index = high > 0 ? 255.0 / high : 0.0;
  for (int y = 0; y < map.rows; ++y)
    for (int x = 0; x < map.cols; ++x) {
      const double i = static_cast<double>(disparity_at(map, y, x)) * to_index;  // NaN: false below
      index.ptr<unsigned char>(y)[x] = static_cast<unsigned char>(i > 0 ? (i < 255 ? std::lround(i) : 255) : 0);
    }
  cv::applyColorMap(index, view, cv::COLORMAP_TURBO);
  for (int y = 0; y < map.rows; ++y)
    for (int x = 0; x < map.cols; ++x)
      if (!std::isfinite(disparity_at(map, y, x))) view.ptr<cv::Vec3b>(y)[x] = cv::Vec3b(0, 0, 0);
  return view;
}

cv::Mat middlebury_error_view(const cv::Mat& left, const cv::Mat& result, const cv::Mat& truth, const cv::Mat& mask,
                              int ndisp, double threshold) {
  return error_picture(left, truth.size(), [&](int y, int x) {
    const float g = truth.ptr<float>(y)[x], d = result.ptr<float>(y)[x];
    if (!std::isfinite(g) || g < 0 || mask.ptr<unsigned char>(y)[x] != 255) return 0;
    if (!has_value(d, false)) return 3;
    return error_of(d, g, ndisp) > threshold ? 2 : 1;
  });
}

cv::Mat kitti_error_view(const cv::Mat& left, const cv::Mat& result, const cv::Mat& truth_noc) {
  return error_picture(left, truth_noc.size(), [&](int y, int x) {
    const uint16_t g = truth_noc.ptr<uint16_t>(y)[x], d = result.ptr<uint16_t>(y)[x];
    if (g == 0) return 0;
    if (d == 0) return 3;
    return kitti_outlier(std::fabs(d / 256.0 - g / 256.0), g / 256.0) ? 2 : 1;
  });
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
