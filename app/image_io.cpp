#include "app/image_io.h"

#include <cstdio>
#include <string>

#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>

#include "util/image_file.h"
#include "util/png_file.h"

cv::Mat load_color_image(const char* file) { return read_image_file(file, cv::IMREAD_COLOR); }

bool create_image(cv::Mat& image, int rows, int cols, int type) {
  try {
    image.create(rows, cols, type);
    return true;
  } catch (const cv::Exception&) {
    image.release();
    return false;
  }
}

bool save_png(const char* file, const cv::Mat& image) {
  std::string reason;
  if (write_png_file(file, image, &reason)) return true;
  std::printf("\nERROR: cannot save \"%s\" (%s): any earlier file of that name is unchanged...\n", file,
              reason.c_str());
  return false;
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
