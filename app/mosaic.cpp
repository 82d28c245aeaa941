#include "app/mosaic.h"

#include <cassert>

int MosaicTwoHorizontalGreyscale(const cv::Mat& first, const cv::Mat& second, cv::Mat& mosaic) {
  const int W = first.cols, H = first.rows;
  assert(second.cols >= W && second.rows >= H && mosaic.cols >= 2 * W && mosaic.rows >= H);
  for (int y = 0; y < H; ++y) {
    const unsigned char* a = first.ptr<unsigned char>(y);
    const unsigned char* b = second.ptr<unsigned char>(y);
    unsigned char* out = mosaic.ptr<unsigned char>(y);
    for (int x = 0; x < W; ++x) {
      out[x] = a[x];
      out[W + x] = b[x];
    }
  }
  return 0;
}

// Pixel x of a source row as three bytes: copied, or one grey byte repeated.
static inline void put_pixel(unsigned char* dst, const unsigned char* row, int x, bool is_color) {
  for (int k = 0; k < 3; ++k) dst[k] = is_color ? row[3 * x + k] : row[x];
}

int MosaicTwoHorizontalColor(const cv::Mat& first, bool first_is_color, const cv::Mat& second,
                             bool second_is_color, cv::Mat& mosaic) {
  const int W = first.cols, H = first.rows;
  assert(second.cols >= W && second.rows >= H && mosaic.cols >= 2 * W && mosaic.rows >= H);
  for (int y = 0; y < H; ++y) {
    const unsigned char* a = first.ptr<unsigned char>(y);
    const unsigned char* b = second.ptr<unsigned char>(y);
    unsigned char* out = mosaic.ptr<unsigned char>(y);
    for (int x = 0; x < W; ++x) {
      put_pixel(out + 3 * x, a, x, first_is_color);
      put_pixel(out + 3 * W + 3 * x, b, x, second_is_color);
    }
  }
  return 0;
}
