#include "util/image_file.h"

#include <cstdio>
#include <cstring>
#include <new>

#include <opencv2/imgcodecs.hpp>

namespace {

bool starts_with(const unsigned char* head, size_t n, const char* magic, size_t length) {
  return n >= length && std::memcmp(head, magic, length) == 0;
}

// Whether the first bytes are those of a format read_image_file takes. A file OpenCV would
// also recognise as DICOM ("DICM" at byte 128) is refused whatever it begins with: where the
// first decoder turns it down, OpenCV tries the others in turn.
bool known_format(const unsigned char* head, size_t n) {
  if (n >= 132 && std::memcmp(head + 128, "DICM", 4) == 0) return false;
  if (starts_with(head, n, "\x89PNG\r\n\x1a\n", 8) || starts_with(head, n, "\xff\xd8\xff", 3) ||
      starts_with(head, n, "II*\0", 4) || starts_with(head, n, "MM\0*", 4) || starts_with(head, n, "II+\0", 4) ||
      starts_with(head, n, "MM\0+", 4) || starts_with(head, n, "BM", 2))
    return true;
  if (n >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0) return true;
  // Netpbm (P1 .. P7) and PFM (PF, Pf)
  return n >= 2 && head[0] == 'P' && ((head[1] >= '1' && head[1] <= '7') || head[1] == 'F' || head[1] == 'f');
}

}  // namespace

cv::Mat read_image_file(const std::string& path, int flags) {
  unsigned char head[132];
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return cv::Mat();
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  if (!known_format(head, n)) return cv::Mat();
  try {
    return cv::imread(path, flags);
  } catch (const cv::Exception& e) {
    if (e.code == cv::Error::StsNoMem) throw std::bad_alloc();  // the image's pixels: not a damaged file
    return cv::Mat();
  }
}
