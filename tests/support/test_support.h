// Helpers shared by the tests: seeded images, temporary folders, running the program.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <ondrel/ondrel.h>
#include <ondrel/opencv.h>
#include <opencv2/core/mat.hpp>

namespace ondrel_test {

// W x H image of `type` (CV_8UC1 or CV_8UC3) with seeded random bytes. With pad > 0 the image
// is a view into a wider buffer, so that its row stride exceeds its row by pad pixels; the
// spare bytes are random too.
cv::Mat random_image(int W, int H, int type, uint32_t seed, int pad = 0);

using ondrel::view_of;  // the matcher's view of a CV_8UC3 image (not owned)

// A rectified pair with known disparity: a dark textured background at disparity `background`
// and a bright textured rectangle [rx, rx + rw) x [ry, ry + rh) of the left view at disparity
// `foreground` (> background). right(x, y) = left(x + d(x), y) where visible.
// Writes the left view's true disparity into *truth (CV_8UC1, pixels of disparity).
void synthetic_pair(int W, int H, int background, int foreground, cv::Rect rect, uint32_t seed,
                    cv::Mat* left, cv::Mat* right, cv::Mat* truth);

// A fresh, empty folder that is removed (with its contents) on destruction.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

struct RunResult {
  std::string out;  // standard output
  std::string err;  // standard error
  int status;       // exit status, or 128 + signal number
};

// Runs `argv` in folder `cwd` with `input` on standard input. A sanitizer report on the
// program's standard error is a test failure.
RunResult run_program(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd);

// The ondrel program of this build, run like run_program. With `shell`, that bash script runs
// instead, with the program's path as $0 and `args` as $1, $2, ... (e.g. "ulimit -v 1000; exec \"$0\"").
RunResult run_ondrel(const std::string& input, const std::string& cwd, const std::string& shell = "",
                     const std::vector<std::string>& args = {});

// Resident size of this process in KiB.
long resident_kib();

// Folder of the four Middlebury pairs (and gt/); empty when it does not exist.
std::string data_dir();

// The question after each pass of the program.
inline const std::string kContinuePrompt = "\nPress 'q' to quit or a different value to continue: ";

// `text` with the seconds of every timing line ("0.012 sec : label") replaced by "T".
std::string without_times(const std::string& text);

// The same size, type and pixels; otherwise what differs.
testing::AssertionResult same_image(const cv::Mat& got, const cv::Mat& expected);
// The bytes of `image` in the format of the file extension `ext`.
std::string encoded(const cv::Mat& image, const std::string& ext = ".png");
// The image file as it is stored (any depth and channels); empty when unreadable.
cv::Mat read_image(const std::string& path);

// The last n characters of `text` (all of it when shorter).
inline std::string tail_of(const std::string& text, size_t n) { return text.substr(text.size() - std::min(text.size(), n)); }

// The whole file as bytes; empty when unreadable.
std::string read_file(const std::string& path);
// Writes `bytes` as the whole file (a test failure when that fails).
void write_file(const std::string& path, const std::string& bytes);
// Names of the regular files in `dir` that start with `prefix`, sorted.
std::vector<std::string> files_in(const std::string& dir, const std::string& prefix = "");

// <pair>_L.png and <pair>_R.png in `dir`.
void write_views(const std::string& dir, const std::string& pair, const cv::Mat& left, const cv::Mat& right);

// The console entry Ondrel_QUIRN into maps[0 .. 2] (disparity, right disparity, uniqueness),
// what it prints taken off standard output into *out (when given). Returns its status.
int program_match(const cv::Mat& left, const cv::Mat& right, cv::Mat maps[3], int max_disparity, int r, int R,
                  float gamma_space, float gamma_color, int TAD, int scale, std::string* out = nullptr,
                  int min_disparity = 0);
// Three W x H byte maps whose rows are 3 bytes longer, random bytes from seeds seed .. seed + 2.
void random_maps(cv::Mat maps[3], int W, int H, uint32_t seed);

// The disparity and uniqueness maps of program_match; both empty when the call fails.
struct Maps {
  cv::Mat disparity, uniqueness;
};
Maps match_maps(const cv::Mat& left, const cv::Mat& right, int max_disparity, int r, int R, float gamma_space,
                float gamma_color, int TAD, int scale);

}  // namespace ondrel_test
