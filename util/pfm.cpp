#include "util/pfm.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <utility>
#include <vector>

#include "util/png_file.h"

namespace {

// The largest side we accept: far beyond any stereo image, small enough that width x height x 4
// cannot overflow.
constexpr long kMaxSide = 1L << 16;

bool little_endian_host() {
  const uint32_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

// Header tokens: white space, then a run of printable non-space bytes. A token longer than 32
// bytes is kept as its first 32 and "...", which no field takes (and which keeps messages short).
struct Header {
  const std::string& text;
  size_t at = 0;
  bool token(std::string* out) {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    const size_t begin = at;
    while (at < text.size() && std::isgraph(static_cast<unsigned char>(text[at]))) ++at;
    *out = at - begin > 32 ? text.substr(begin, 32) + "..." : text.substr(begin, at - begin);
    return !out->empty();
  }
};

bool fail(std::string* error, const std::string& what) {
  *error = what;
  return false;
}

}  // namespace

bool read_pfm(const std::string& path, cv::Mat* out, std::string* error, PfmValues values) {
  out->release();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return fail(error, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail(error, "not a regular file");
  // the header is short: read at most this much more than the largest image could need
  const long long limit = 4LL * kMaxSide * kMaxSide + 256;
  if (st.st_size > limit) return fail(error, "too large for a PFM file");
  std::ifstream file(path, std::ios::binary);
  std::string bytes(static_cast<size_t>(st.st_size), '\0');
  if (!file || !file.read(&bytes[0], static_cast<std::streamsize>(bytes.size())))
    return fail(error, "cannot be read");

  Header header{bytes};
  std::string magic, width_text, height_text, scale_text;
  if (!header.token(&magic) || (magic != "Pf" && magic != "PF")) return fail(error, "not a PFM file (no \"Pf\" header)");
  if (magic == "PF") return fail(error, "a colour PFM (\"PF\"), expected one channel (\"Pf\")");
  if (!header.token(&width_text) || !header.token(&height_text) || !header.token(&scale_text))
    return fail(error, "header cut short");
  long side[2];
  const std::string* texts[2] = {&width_text, &height_text};
  for (int k = 0; k < 2; ++k) {
    char* end = nullptr;
    errno = 0;
    side[k] = std::strtol(texts[k]->c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || side[k] < 1 || side[k] > kMaxSide)
      return fail(error, "bad size '" + width_text + " " + height_text + "' in the header");
  }
  char* end = nullptr;
  const double scale = std::strtod(scale_text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(scale) || scale == 0)
    return fail(error, "bad scale '" + scale_text + "' in the header (expected e.g. -1)");
  if (header.at >= bytes.size() || !std::isspace(static_cast<unsigned char>(bytes[header.at])))
    return fail(error, "header cut short");
  const size_t data = header.at + 1;

  const int width = static_cast<int>(side[0]), height = static_cast<int>(side[1]);
  const size_t expected = 4 * static_cast<size_t>(width) * static_cast<size_t>(height);
  const size_t have = bytes.size() - data;
  if (have != expected)
    return fail(error, (have < expected ? "cut short: " : "wrong length: ") + std::to_string(have) + " bytes of pixels, expected " +
                           std::to_string(expected) + " for " + width_text + "x" + height_text);

  const bool swap = (scale < 0) != little_endian_host(), as_nan = values == PfmValues::kNoValueAsNaN;
  cv::Mat m(height, width, CV_32FC1);
  for (int y = 0; y < height; ++y) {
    const unsigned char* row = reinterpret_cast<const unsigned char*>(bytes.data()) + data +
                               4 * static_cast<size_t>(height - 1 - y) * static_cast<size_t>(width);
    float* dst = m.ptr<float>(y);
    for (int x = 0; x < width; ++x) {
      unsigned char b[4];
      std::memcpy(b, row + 4 * static_cast<size_t>(x), 4);
      if (swap) {
        std::swap(b[0], b[3]);
        std::swap(b[1], b[2]);
      }
      std::memcpy(&dst[x], b, 4);
      if (as_nan && (std::isnan(dst[x]) || dst[x] == std::numeric_limits<float>::infinity()))
        dst[x] = std::numeric_limits<float>::quiet_NaN();
    }
  }
  *out = m;
  return true;
}

bool write_pfm(const std::string& path, const float* values, int width, int height, std::ptrdiff_t stride,
               std::string* error) {
  if (values == nullptr || width < 1 || height < 1 || stride < width) return fail(error, "not a float plane");
  std::string bytes = "Pf\n" + std::to_string(width) + " " + std::to_string(height) + "\n-1\n";
  const size_t data = bytes.size();
  bytes.resize(data + 4 * static_cast<size_t>(width) * static_cast<size_t>(height));
  const bool swap = !little_endian_host();
  const float no_value = std::numeric_limits<float>::infinity();
  for (int y = 0; y < height; ++y) {
    const float* src = values + static_cast<std::ptrdiff_t>(height - 1 - y) * stride;
    unsigned char* row =
        reinterpret_cast<unsigned char*>(&bytes[data]) + 4 * static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int x = 0; x < width; ++x) {
      unsigned char b[4];
      std::memcpy(b, std::isnan(src[x]) ? &no_value : &src[x], 4);
      if (swap) {
        std::swap(b[0], b[3]);
        std::swap(b[1], b[2]);
      }
      std::memcpy(row + 4 * static_cast<size_t>(x), b, 4);
    }
  }
  return write_file_completely(path, bytes.data(), bytes.size(), error);
}

bool write_pfm(const std::string& path, const cv::Mat& m, std::string* error) {
  if (m.empty() || m.type() != CV_32FC1) return fail(error, "not a 1-channel float image");
  return write_pfm(path, m.ptr<float>(), m.cols, m.rows, static_cast<std::ptrdiff_t>(m.step1()), error);
}
