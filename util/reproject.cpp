#include "util/reproject.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "util/png_file.h"

namespace {

double depth(float d, const Camera& camera) {
  if (!std::isfinite(d)) return std::numeric_limits<double>::quiet_NaN();
  const double shifted = static_cast<double>(d) + camera.doffs;
  return shifted > 0 ? camera.baseline * camera.focal / shifted : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

float depth_of(float d, const Camera& camera) { return static_cast<float>(depth(d, camera)); }

bool point_of(float d, int u, int v, const Camera& camera, float xyz[3]) {
  const double z = depth(d, camera);
  xyz[0] = static_cast<float>((u - camera.cx) * z / camera.focal);
  xyz[1] = static_cast<float>((v - camera.cy) * z / camera.focal);
  xyz[2] = static_cast<float>(z);
  return !std::isnan(z);
}

bool write_ply(const std::string& path, const float* d, int width, int height, std::ptrdiff_t stride,
               const unsigned char* bgr, std::ptrdiff_t bgr_stride, const Camera& camera, std::string* reason) {
  static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "PLY floats are IEEE singles");
  constexpr size_t kVertex = 3 * 4 + 3;
  size_t count = 0;
  for (int v = 0; v < height; ++v)
    for (int u = 0; u < width; ++u) count += !std::isnan(depth(d[v * stride + u], camera));
  const std::string header = "ply\nformat binary_little_endian 1.0\ncomment ondrel-match: points of a disparity map\n"
                             "element vertex " + std::to_string(count) +
                             "\nproperty float x\nproperty float y\nproperty float z\n"
                             "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
  std::vector<unsigned char> bytes;
  try {
    bytes.resize(header.size() + count * kVertex);
  } catch (const std::bad_alloc&) {
    *reason = "not enough memory";
    return false;
  }
  std::memcpy(bytes.data(), header.data(), header.size());
  unsigned char* out = bytes.data() + header.size();
  for (int v = 0; v < height; ++v)
    for (int u = 0; u < width; ++u) {
      float xyz[3];
      if (!point_of(d[v * stride + u], u, v, camera, xyz)) continue;
      for (const float f : xyz) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        for (int b = 0; b < 4; ++b) *out++ = static_cast<unsigned char>(bits >> (8 * b));  // little-endian
      }
      const unsigned char* pixel = bgr + v * bgr_stride + 3 * static_cast<std::ptrdiff_t>(u);
      *out++ = pixel[2];
      *out++ = pixel[1];
      *out++ = pixel[0];
    }
  return write_file_completely(path, bytes.data(), bytes.size(), reason);
}
