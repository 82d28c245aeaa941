// Optional adapter from OpenCV's cv::Mat to the library's views (header-only: the library
// itself does not use OpenCV). A Mat of another type or shape gives an empty view, which the
// library refuses with a status naming the views, so a wrong image cannot be read as if it
// were right:
//
//   cv::Mat left = cv::imread(a, cv::IMREAD_COLOR), right = cv::imread(b, cv::IMREAD_COLOR);
//   cv::Mat disparity(left.size(), CV_32FC1);
//   ondrel::DisparityPlanes out;
//   out.disparity = ondrel::plane_of(disparity);
//   ondrel::Status s = ondrel::match(ondrel::view_of(left), ondrel::view_of(right), p, {}, out);
#pragma once

#include <cstddef>

#include <ondrel/ondrel.h>
#include <opencv2/core/mat.hpp>

namespace ondrel {

// The view of a 2-D CV_8UC3 Mat (rows of 3 interleaved channels, any row step); an empty view
// for any other Mat.
inline ImageView view_of(const cv::Mat& m) {
  if (m.dims != 2 || m.type() != CV_8UC3 || m.empty()) return {};
  return {m.data, m.cols, m.rows, static_cast<std::ptrdiff_t>(m.step[0])};
}

// The plane of a 2-D CV_32FC1 Mat, written through by the library; an empty plane (not
// written) for any other Mat, an empty one included.
inline FloatPlane plane_of(cv::Mat& m) {
  if (m.dims != 2 || m.type() != CV_32FC1 || m.empty() || m.step[0] % sizeof(float) != 0) return {};
  return {m.ptr<float>(), m.cols, m.rows, static_cast<std::ptrdiff_t>(m.step[0] / sizeof(float))};
}

}  // namespace ondrel
