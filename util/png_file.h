// Writing a file (a PNG, or any bytes) so that a failure never leaves a half-written file behind.
#pragma once

#include <cstddef>
#include <string>

#include <opencv2/core/mat.hpp>

// Writes `image` (8-bit, 1 or 3 channels) as PNG to `path` completely or not at all: the data
// goes to a file without a name in the same folder (O_TMPFILE), is flushed to the disk, and is
// then linked as `path` (or, where `path` exists, under a short temporary name renamed over it
// with SIGINT, SIGTERM and SIGHUP held back for those two calls). A file system without
// O_TMPFILE gets a named temporary beside `path` instead, which those signals remove before
// they end the program (a program that handles or ignores them sees the write finish). Either way no temporary outlives the process, and any name up to the
// file-name limit can be written. On failure returns false with the reason in *reason (e.g.
// "No space left on device") and leaves any earlier file at `path` as it was.
bool write_png_file(const std::string& path, const cv::Mat& image, std::string* reason);

// Writes `size` bytes at `data` to `path` the same way: completely or not at all.
bool write_file_completely(const std::string& path, const void* data, size_t size, std::string* reason);

// For tests: named temporaries even where O_TMPFILE works, and a function called once the
// temporary exists (before the first byte is written); null for none.
void set_file_writing_for_tests(bool named_temporaries_only, void (*after_create)());
