// Reading an image file through OpenCV in the formats stereo views and maps come in, and no
// others.
#pragma once

#include <string>

#include <opencv2/core/mat.hpp>

// cv::imread(path, flags) for a file that begins as PNG, JPEG, TIFF, BMP, WebP, a Netpbm
// format (P1-P7) or PFM does; an empty image for any other file, for one that cannot be
// opened, and for one OpenCV fails to decode (its exceptions are caught). Throws std::bad_alloc
// when the memory for the image's pixels cannot be had. OpenCV picks its
// decoder by a file's bytes, not by its name, and some of its other decoders abort the
// whole process on a damaged file (DICOM, through GDCM, asserts).
cv::Mat read_image_file(const std::string& path, int flags);
