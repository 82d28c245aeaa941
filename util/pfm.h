// Reading and writing single-channel PFM files (the float disparity maps of the Middlebury
// 2014 benchmark).
//
// The format: the text header "Pf", the width and the height, and a scale whose sign gives
// the byte order (negative: little-endian, positive: big-endian), separated by white space,
// with exactly one white-space byte after the scale; then width x height 32-bit floats, the
// bottom row first. Infinity marks a pixel without a value.
#pragma once

#include <string>

#include <opencv2/core/mat.hpp>

// Reads the PFM file `path` into *out (CV_32FC1, top row first, values as stored: only the
// sign of the scale is used, like the benchmark's own tools do). On failure
// returns false with the reason in *error (e.g. "cut short: 1200 bytes of pixels, expected
// 4800 for 40x30") and
// leaves *out empty. A colour PFM ("PF") is refused.
bool read_pfm(const std::string& path, cv::Mat* out, std::string* error);

// Writes `m` (CV_32FC1, not empty) to `path` with the header "Pf\n<width> <height>\n-1\n",
// little-endian, rows bottom to top; completely or not at all (see util/png_file.h).
bool write_pfm(const std::string& path, const cv::Mat& m, std::string* error);
