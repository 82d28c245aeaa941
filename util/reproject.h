// Depth and 3-D points of a disparity map: the pinhole camera of a rectified pair as a
// Middlebury calib.txt gives it (cam0's focal length f and principal point cx, cy in pixels,
// the baseline in the file's unit, doffs the x-difference of the two principal points).
//
// A pixel (u, v) with disparity d has the depth Z = baseline * f / (d + doffs), in the unit of
// the baseline, and the point x = (u - cx) * Z / f, y = (v - cy) * Z / f, z = Z (x to the right,
// y down, z away from the camera). Each is computed in double and rounded to float once. A
// pixel has no point (NaN) where d has no value (NaN or infinite) or d + doffs <= 0 (a point at
// or behind infinity).
#pragma once

#include <cstddef>
#include <string>

struct Camera {
  double focal = 0;     // > 0
  double baseline = 0;  // > 0
  double doffs = 0;
  double cx = 0, cy = 0;
};

// Z of disparity d, NaN where there is none.
float depth_of(float d, const Camera& camera);

// The point of pixel (u, v) into xyz[0 .. 2] (all NaN where there is none); true when it has one.
bool point_of(float d, int u, int v, const Camera& camera, float xyz[3]);

// Writes a binary little-endian PLY file of the points of the width x height map `d` (element
// (u, v) at d[v * stride + u]) with the colours of the left view `bgr` (3 bytes B, G, R per
// pixel, rows `bgr_stride` bytes apart): one vertex "float x, y, z, uchar red, green, blue" per
// pixel with a point, in row order. Completely or not at all; false with *reason on failure.
bool write_ply(const std::string& path, const float* d, int width, int height, std::ptrdiff_t stride,
               const unsigned char* bgr, std::ptrdiff_t bgr_stride, const Camera& camera, std::string* reason);
