// File helpers of ondrel-eval shared by its three layouts: existence, folder listings, quiet
// image reading, and the messages that name a file.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace ondrel_eval {

bool exists(const std::string& path);
bool is_folder(const std::string& path);

// The names in folder `dir` (without "." and ".."), sorted; false when it cannot be listed.
bool list_folder(const std::string& dir, std::vector<std::string>* names);

// "dir/name" (no doubled slash).
std::string join(const std::string& dir, const std::string& name);

// cv::imread with the decoders' own complaints (libpng writes "libpng error: ..." to standard
// error) kept off standard error: our message names the file instead. Empty when unreadable;
// throws std::bad_alloc when the memory for its pixels cannot be had.
cv::Mat read_quietly(const std::string& path, int flags);

// Everything that went wrong is reported on one line naming the file; `skipped` remembers it.
struct Messages {
  bool skipped = false;
  void error(const std::string& file, const std::string& what);
};

// load() (which reads the file `path`), or an empty Mat after the message "not enough memory;
// <consequence>" when an allocation fails in it (std::bad_alloc, or the image library's
// out-of-memory exception): a file too large for the memory costs its scene, not the run.
cv::Mat within_memory(const std::string& path, const std::string& consequence, Messages& messages,
                      const std::function<cv::Mat()>& load);

// Whether `e` is the image library's out-of-memory exception.
bool out_of_memory(const cv::Exception& e);

// Writes `text` to `path` completely or not at all; a message when that fails.
void write_text(const std::string& path, const std::string& text, Messages& messages);

}  // namespace ondrel_eval
