#include "util/png_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <opencv2/imgcodecs.hpp>

// Writes all of data to fd, then flushes it to the disk; false with errno set on failure.
static bool write_all(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return ::fsync(fd) == 0;
}

bool write_png_file(const std::string& path, const cv::Mat& image, std::string* reason) {
  std::vector<unsigned char> png;
  bool encoded = false;
  try {  // the image library reports some failures by exception
    encoded = cv::imencode(".png", image, png);
  } catch (const cv::Exception&) {
    encoded = false;
  }
  if (!encoded) {
    *reason = "cannot be encoded as PNG";
    return false;
  }
  return write_file_completely(path, png.data(), png.size(), reason);
}

bool write_file_completely(const std::string& path, const void* data, size_t size, std::string* reason) {
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  int error = 0;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = errno;
  } else {
    if (!write_all(fd, static_cast<const unsigned char*>(data), size)) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temporary.c_str());
  }
  if (error != 0) {
    *reason = std::strerror(error);
    return false;
  }
  return true;
}
