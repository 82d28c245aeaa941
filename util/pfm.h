// Reading and writing single-channel PFM files (the float disparity maps of the Middlebury
// 2014 benchmark).
//
// The format: the text header "Pf", the width and the height, and a scale whose sign gives
// the byte order (negative: little-endian, positive: big-endian), separated by white space,
// with exactly one white-space byte after the scale; then width x height 32-bit floats, the
// bottom row first. +inf marks a pixel without a value in the file, as the benchmark's tools
// expect; in the library's planes and Python's arrays NaN does: the writer writes NaN as
// +inf, and the reader gives either the values as stored (what ondrel-eval judges a ground
// truth by) or NaN for +inf and any NaN (what Python's read_pfm gives). The one reader and
// writer of the format for the programs, the tools and Python.
#pragma once

#include <cstddef>
#include <string>

#include <opencv2/core/mat.hpp>

enum class PfmValues { kAsStored, kNoValueAsNaN };

// Reads the PFM file `path` into *out (CV_32FC1, top row first; only the sign of the scale is
// used, like the benchmark's own tools do; with kNoValueAsNaN every +inf and NaN read as the
// one quiet NaN). On failure returns false with the reason in *error (e.g. "cut short: 1200
// bytes of pixels, expected 4800 for 40x30") and leaves *out empty. A colour PFM ("PF") is
// refused.
bool read_pfm(const std::string& path, cv::Mat* out, std::string* error,
              PfmValues values = PfmValues::kAsStored);

// Writes the width x height plane (element (x, y) at values[y * stride + x], width and height
// >= 1) to `path` with the header "Pf\n<width> <height>\n-1\n", little-endian, rows bottom to
// top, NaN as +inf; completely or not at all (see util/png_file.h).
bool write_pfm(const std::string& path, const float* values, int width, int height, std::ptrdiff_t stride,
               std::string* error);

// The same for `m` (CV_32FC1, not empty).
bool write_pfm(const std::string& path, const cv::Mat& m, std::string* error);
