#include "tests/support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "app/console_entry.h"

namespace ondrel_test {

cv::Mat random_image(int W, int H, int type, uint32_t seed, int pad) {
  std::mt19937 rng(seed);
  cv::Mat buffer(H, W + pad, type);
  for (int y = 0; y < H; ++y) {
    unsigned char* row = buffer.ptr<unsigned char>(y);
    for (size_t i = 0; i < buffer.step[0]; ++i) row[i] = static_cast<unsigned char>(rng() >> 24);
  }
  return buffer(cv::Rect(0, 0, W, H));
}

void synthetic_pair(int W, int H, int background, int foreground, cv::Rect rect, uint32_t seed, cv::Mat* left,
                    cv::Mat* right, cv::Mat* truth) {
  // textures wide enough for every shifted read, in two palettes (dark and bright) so that
  // colour tells the surfaces apart as in a real scene
  cv::Mat back = random_image(W + background + 1, H, CV_8UC3, seed);
  cv::Mat front = random_image(W + foreground + 1, H, CV_8UC3, seed + 1);
  back = back / 2;
  front = front / 2 + cv::Scalar(128, 128, 128);
  *left = cv::Mat(H, W, CV_8UC3);
  *right = cv::Mat(H, W, CV_8UC3);
  *truth = cv::Mat(H, W, CV_8UC1);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const bool in_front = rect.contains(cv::Point(x, y));
      left->at<cv::Vec3b>(y, x) = in_front ? front.at<cv::Vec3b>(y, x) : back.at<cv::Vec3b>(y, x);
      const bool right_front = rect.contains(cv::Point(x + foreground, y));
      right->at<cv::Vec3b>(y, x) =
          right_front ? front.at<cv::Vec3b>(y, x + foreground) : back.at<cv::Vec3b>(y, x + background);
      // a background pixel of the left view is hidden in the right one when the rectangle,
      // shifted by its disparity, covers its match
      const bool occluded = !in_front && rect.contains(cv::Point(x - background + foreground, y));
      truth->at<unsigned char>(y, x) = static_cast<unsigned char>(occluded ? 0 : in_front ? foreground : background);
    }
  }
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/ondrel-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data())) path = buffer.data();
}

TempDir::~TempDir() {
  if (path.empty()) return;
  const std::string command = "chmod -R u+w '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
  if (std::system(command.c_str()) != 0) return;  // nothing more to do; the folder is left behind
}

std::string without_times(const std::string& text) {
  std::string out;
  for (size_t start = 0, end; start < text.size(); start = end) {  // line by line, each with its '\n'
    end = std::min(text.find('\n', start), text.size() - 1) + 1;
    const size_t sec = text.find(" sec : ", start);
    const bool timed = sec < end && sec > start && text.find_first_not_of("0123456789.", start) == sec;
    out += timed ? "T" + text.substr(sec, end - sec) : text.substr(start, end - start);
  }
  return out;
}

testing::AssertionResult same_image(const cv::Mat& got, const cv::Mat& expected) {
  if (got.size() != expected.size() || got.type() != expected.type())
    return testing::AssertionFailure() << got.cols << "x" << got.rows << " of type " << got.type() << " instead of "
                                       << expected.cols << "x" << expected.rows << " of type " << expected.type();
  if (got.empty() || cv::norm(got, expected, cv::NORM_INF) == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "pixels differ by up to " << cv::norm(got, expected, cv::NORM_INF);
}

std::string encoded(const cv::Mat& image, const std::string& ext) {
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(cv::imencode(ext, image, bytes)) << ext;
  return std::string(bytes.begin(), bytes.end());
}

cv::Mat read_image(const std::string& path) { return cv::imread(path, cv::IMREAD_UNCHANGED); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  out.close();
  EXPECT_TRUE(out) << "cannot write " << path;
}

std::vector<std::string> files_in(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error))
    if (entry.is_regular_file() && entry.path().filename().string().rfind(prefix, 0) == 0)
      names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void write_views(const std::string& dir, const std::string& pair, const cv::Mat& left, const cv::Mat& right) {
  EXPECT_TRUE(cv::imwrite(dir + "/" + pair + "_L.png", left));
  EXPECT_TRUE(cv::imwrite(dir + "/" + pair + "_R.png", right));
}

int program_match(const cv::Mat& left, const cv::Mat& right, cv::Mat maps[3], int max_disparity, int r, int R,
                  float gamma_space, float gamma_color, int TAD, int scale, std::string* out, int min_disparity) {
  testing::internal::CaptureStdout();
  const int status = Ondrel_QUIRN(left, right, maps[0], maps[1], maps[2], min_disparity, max_disparity, r, R,
                                  gamma_space, gamma_color, TAD, scale);
  std::fflush(stdout);
  const std::string printed = testing::internal::GetCapturedStdout();
  if (out) *out = printed;
  return status;
}

void random_maps(cv::Mat maps[3], int W, int H, uint32_t seed) {
  for (uint32_t i = 0; i < 3; ++i) maps[i] = random_image(W, H, CV_8UC1, seed + i, 3);
}

Maps match_maps(const cv::Mat& left, const cv::Mat& right, int max_disparity, int r, int R, float gamma_space,
                float gamma_color, int TAD, int scale) {
  cv::Mat maps[3];
  for (cv::Mat& map : maps) map.create(left.size(), CV_8UC1);
  if (program_match(left, right, maps, max_disparity, r, R, gamma_space, gamma_color, TAD, scale) != 0) return {};
  return {maps[0], maps[2]};
}

RunResult run_program(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd) {
  TempDir io;
  write_file(io.file("stdin"), input);
  const auto quoted = [](std::string word) {  // one word of the shell, in single quotes
    for (size_t at = 0; (at = word.find('\'', at)) != std::string::npos; at += 4) word.replace(at, 1, "'\\''");
    return "'" + word + "'";
  };
  std::string command = "cd " + quoted(cwd) + " && exec";
  for (const std::string& word : argv) command += " " + quoted(word);
  command += " <" + quoted(io.file("stdin")) + " >" + quoted(io.file("stdout")) + " 2>" + quoted(io.file("stderr"));
  const int wstatus = std::system(command.c_str());
  RunResult result{read_file(io.file("stdout")), read_file(io.file("stderr")),
                   WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus)};
  // a sanitizer report from the program fails the test that ran it, whatever that test checks
  if (result.err.find("Sanitizer") != std::string::npos || result.err.find("runtime error:") != std::string::npos)
    ADD_FAILURE() << "sanitizer report from " << argv[0] << ":\n" << result.err;
  return result;
}

RunResult run_ondrel(const std::string& input, const std::string& cwd, const std::string& shell,
                     const std::vector<std::string>& args) {
  if (shell.empty()) return run_program({ONDREL_BINARY}, input, cwd);
  std::vector<std::string> argv = {"/bin/bash", "-c", shell, ONDREL_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, input, cwd);
}

long resident_kib() {
  long size = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string data_dir() {
  const std::string dir = ONDREL_DATA_DIR;
  return std::filesystem::exists(dir + "/Tsukuba_L.png") ? dir : std::string();
}

}  // namespace ondrel_test
