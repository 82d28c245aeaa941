// Disparity maps (floats, NaN for no value) as files, chosen by the file name's extension:
//   .pfm  32-bit float PFM as Middlebury 2014 stores disparities (util/pfm.h: no value as +inf).
//   .png  16-bit grey PNG as KITTI stores disparities: a value d as round(256 d) clamped to
//         1 .. 65535 (so a negative d, which the unclamped sub-pixel offset can give near
//         disparity 0, is stored as 1, and d >= 256 as 65535), no value (or an infinite d) as 0.
// The extension is compared without regard to case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <opencv2/core/mat.hpp>

enum class DisparityFormat { kNone, kPfm, kPng16 };

// The format `path` names by its extension; kNone for any other.
DisparityFormat disparity_format_of(const std::string& path);

// The 16-bit PNG sample of disparity d, as above.
uint16_t png16_sample_of(float d);

// Writes the width x height map (element (x, y) at values[y * stride + x]) to `path` in its
// format, completely or not at all; false with *reason on failure (also for an unknown
// extension).
bool write_disparity_file(const std::string& path, const float* values, int width, int height,
                          std::ptrdiff_t stride, std::string* reason);

// A colour view of the map: (value - min_disparity) / (max_disparity - min_disparity) through OpenCV's turbo colour map (values
// outside min_disparity .. max_disparity take the colour of the nearer end), black where there is no value.
// 8-bit, 3 channels (B, G, R).
cv::Mat disparity_color_view(const float* values, int width, int height, std::ptrdiff_t stride, int max_disparity,
                             int min_disparity = 0);
