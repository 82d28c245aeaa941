#include "app/image_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>

cv::Mat load_color_image(const char* file) {
  try {
    return cv::imread(file, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    return cv::Mat();
  }
}

bool create_image(cv::Mat& image, int rows, int cols, int type) {
  try {
    image.create(rows, cols, type);
    return true;
  } catch (const cv::Exception&) {
    image.release();
    return false;
  }
}

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

bool save_png(const char* file, const cv::Mat& image) {
  std::vector<unsigned char> png;
  bool encoded = false;
  try {
    encoded = cv::imencode(".png", image, png);
  } catch (const cv::Exception&) {
    encoded = false;
  }
  if (!encoded) {
    std::printf("\nERROR: cannot encode \"%s\" as PNG: the file is not written...\n", file);
    return false;
  }

  const std::string temporary = std::string(file) + ".tmp" + std::to_string(::getpid());
  int error = 0;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = errno;
  } else {
    if (!write_all(fd, png.data(), png.size())) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), file) != 0) error = errno;
    if (error != 0) ::unlink(temporary.c_str());
  }
  if (error != 0) {
    std::printf("\nERROR: cannot save \"%s\" (%s): any earlier file of that name is unchanged...\n", file,
                std::strerror(error));
    return false;
  }
  return true;
}

bool show_until_key(const char* title, const cv::Mat& image) {
  try {
    cv::namedWindow(title, cv::WINDOW_AUTOSIZE);
    cv::imshow(title, image);
    cv::waitKey(0);
    cv::destroyWindow(title);
    return true;
  } catch (const cv::Exception&) {
    return false;
  }
}
