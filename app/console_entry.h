// The Ondrel stereo matcher: block-based adaptive-weight cost aggregation.
#pragma once

#include <ondrel/ondrel.h>
#include <opencv2/core/mat.hpp>

// Computes the disparity maps of a rectified colour pair.
//
// left, right: 3-channel 8-bit images of the same size W x H, any row strides.
// disparity_map, right_disparity_map, uniqueness_map: 1-channel 8-bit images of W x H,
//   owned by the caller; on success every byte is a disparity times `scale` (low 8 bits of
//   the value truncated to 16 bits) or 255 for "no value". On failure they are untouched.
// min_disparity must be 0; disparities 0 .. max_disparity are examined.
// block_radius r, support_radius R: 2r+1 must divide 2R+1, 0 <= r, 2R+1 <= 4095, and a block
//   must fit in the image (2r+1 <= W, H). gamma_space, gamma_color: weight constants.
// TAD_threshold: truncation of the per-pixel colour difference, >= 0.
//
// Prints a parameter report and two timing lines on standard output. Returns 0, or -1 after
// printing exactly one message when the arguments are refused or memory cannot be had;
// nothing is leaked either way. The values are those of ondrel::match (<ondrel/ondrel.h>) but
// for the sub-pixel offsets, which are the designed ones (not clamped to -1 .. 1), each turned
// into a byte by disparity_byte_of. Calls may overlap.
int Ondrel_QUIRN(const cv::Mat& left, const cv::Mat& right, cv::Mat& disparity_map,
                 cv::Mat& right_disparity_map, cv::Mat& uniqueness_map, int min_disparity,
                 int max_disparity, int block_radius, int support_radius, float gamma_space,
                 float gamma_color, int TAD_threshold, int scale);

// Obsolete entry point, kept for old callers: prints one line and returns 0.
int MaxOndrel_QUIRN(const cv::Mat& left, const cv::Mat& right, cv::Mat& disparity_map,
                    cv::Mat& right_disparity_map, cv::Mat& uniqueness_map, int min_disparity,
                    int max_disparity, int block_radius, int support_radius, float gamma_space,
                    float gamma_color, int TAD_threshold, int scale);

// The byte the program writes for a disparity value: (value * scale) in float, truncated
// toward zero to 16 bits, low 8 bits (0 outside the 16-bit range); 255 for no value (NaN).
unsigned char disparity_byte_of(float value, int scale);
