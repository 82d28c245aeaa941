// Fuzz target: arbitrary bytes as a PFM file. A refusal must say why in one line. A map that
// reads must write back to a file that reads as the same map bit for bit, and when the input
// was already in the form we write (header "Pf\n<w> <h>\n-1\n", little-endian), to the very
// same bytes.

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <opencv2/core/mat.hpp>

#include "util/pfm.h"

namespace {

std::string in_path, out_path;  // this process's two files, removed at exit

void remove_files() {
  std::remove(in_path.c_str());
  std::remove(out_path.c_str());
}

std::string bytes_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool same_bits(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return false;
  for (int y = 0; y < a.rows; ++y)
    if (std::memcmp(a.ptr(y), b.ptr(y), a.elemSize() * static_cast<size_t>(a.cols)) != 0) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/ondrel_fuzz_pfm." + std::to_string(getpid());
  in_path = base + ".in.pfm";
  out_path = base + ".out.pfm";
  std::atexit(remove_files);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(in_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) std::abort();
  }
  cv::Mat map;
  std::string error;
  if (!read_pfm(in_path, &map, &error)) {
    if (error.empty() || error.find('\n') != std::string::npos || !map.empty()) std::abort();
    return 0;
  }
  if (map.empty() || map.type() != CV_32FC1 || !map.isContinuous()) std::abort();
  // NaN is written as +inf; read with kNoValueAsNaN, +inf and NaN are the one NaN
  cv::Mat stored = map.clone(), as_nan = map.clone();
  for (int y = 0; y < map.rows; ++y)
    for (int x = 0; x < map.cols; ++x) {
      const float v = map.at<float>(y, x);
      if (std::isnan(v)) stored.at<float>(y, x) = INFINITY;
      if (std::isnan(v) || v == INFINITY) as_nan.at<float>(y, x) = NAN;
    }
  if (!write_pfm(out_path, map, &error)) std::abort();
  cv::Mat again, nan_read;
  if (!read_pfm(out_path, &again, &error) || !same_bits(stored, again)) std::abort();
  if (!read_pfm(in_path, &nan_read, &error, PfmValues::kNoValueAsNaN) || !same_bits(as_nan, nan_read)) std::abort();
  const std::string written = bytes_of(out_path);
  const std::string header = "Pf\n" + std::to_string(map.cols) + " " + std::to_string(map.rows) + "\n-1\n";
  if (written.compare(0, header.size(), header) != 0) std::abort();
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (input.compare(0, header.size(), header) == 0 && same_bits(map, stored) && input != written) std::abort();
  return 0;
}
