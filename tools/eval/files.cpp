#include "tools/eval/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>

#include <opencv2/imgcodecs.hpp>

#include "util/image_file.h"
#include "util/png_file.h"

namespace ondrel_eval {

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool is_folder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool list_folder(const std::string& dir, std::vector<std::string>* names) {
  names->clear();
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(d);
  std::sort(names->begin(), names->end());
  return true;
}

std::string join(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

cv::Mat read_quietly(const std::string& path, int flags) {
  std::fflush(stderr);
  const int saved = ::dup(2), null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0) ::dup2(null, 2);
  const auto restore = [&] {
    std::fflush(stderr);
    if (saved >= 0 && null >= 0) ::dup2(saved, 2);
    if (saved >= 0) ::close(saved);
    if (null >= 0) ::close(null);
  };
  cv::Mat image;
  try {
    image = read_image_file(path, flags);
  } catch (...) {  // std::bad_alloc: the caller's message goes to standard error again
    restore();
    throw;
  }
  restore();
  return image;
}

cv::Mat within_memory(const std::string& path, const std::string& consequence, Messages& messages,
                      const std::function<cv::Mat()>& load) {
  try {
    return load();
  } catch (const std::bad_alloc&) {
  } catch (const cv::Exception& e) {
    if (!out_of_memory(e)) throw;
  }
  messages.error(path, "not enough memory; " + consequence);
  return cv::Mat();
}

bool out_of_memory(const cv::Exception& e) { return e.code == cv::Error::StsNoMem; }

void Messages::error(const std::string& file, const std::string& what) {
  std::fprintf(stderr, "ondrel-eval: %s: %s\n", file.c_str(), what.c_str());
  skipped = true;
}

void write_text(const std::string& path, const std::string& text, Messages& messages) {
  std::string reason;
  if (!write_file_completely(path, text.data(), text.size(), &reason))
    messages.error(path, "cannot be written (" + reason + ")");
}

}  // namespace ondrel_eval
