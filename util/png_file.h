// Writing a file (a PNG, or any bytes) so that a failure never leaves a half-written file behind.
#pragma once

#include <cstddef>
#include <string>

#include <opencv2/core/mat.hpp>

// Writes `image` (8-bit, 1 or 3 channels) as PNG to `path` completely or not at all: the data
// goes to a temporary file beside it, is flushed to the disk, and then replaces `path`. On
// failure returns false with the reason in *reason (e.g. "No space left on device"), removes
// the temporary file and leaves any earlier file at `path` as it was.
bool write_png_file(const std::string& path, const cv::Mat& image, std::string* reason);

// Writes `size` bytes at `data` to `path` the same way: completely or not at all.
bool write_file_completely(const std::string& path, const void* data, size_t size, std::string* reason);
