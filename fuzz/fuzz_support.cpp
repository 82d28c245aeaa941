#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/answers.h"
#include "app/dialogue.h"
#include "app/stereo_pairs.h"
#include "matcher/memory.h"

namespace {

// Largest support radius the dialogue accepts; above it answers are refused at once.
constexpr int kDialogueLargestRadius = 2047;

std::string g_work_dir;

void remove_work_dir() {
  if (g_work_dir.empty()) return;
  const std::string command = "rm -rf '" + g_work_dir + "'";
  if (std::system(command.c_str()) != 0) {
    // nothing more to do: the folder is left behind
  }
}

cv::Mat random_bgr(int W, int H, uint32_t seed) {
  std::mt19937 rng(seed);
  cv::Mat image(H, W, CV_8UC3);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < 3 * W; ++x) image.ptr<unsigned char>(y)[x] = static_cast<unsigned char>(rng() >> 24);
  return image;
}

// right(x) = left(x + shift): a pair whose every pixel has disparity `shift`.
void write_shifted_pair(const StereoPair& pair, int W, int H, int shift, uint32_t seed) {
  const cv::Mat wide = random_bgr(W + shift, H, seed);
  cv::imwrite(pair.left_file, wide(cv::Rect(0, 0, W, H)));
  cv::imwrite(pair.right_file, wide(cv::Rect(shift, 0, W, H)));
}

}  // namespace

std::string enter_fuzz_work_dir() {
  // a folder in memory when there is one: every pass saves its results with fsync, which
  // costs more on a disk than the rest of a tiny pass
  const char* base = std::getenv("TMPDIR");
  if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/ondrel-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data()) || chdir(buffer.data()) != 0) {
    std::perror("ondrel fuzz: cannot make a working folder");
    std::exit(1);
  }
  g_work_dir = buffer.data();
  std::atexit(remove_work_dir);
  unsetenv("DISPLAY");
  if (!std::freopen("/dev/null", "w", stdout)) {
    std::perror("ondrel fuzz: cannot silence standard output");
    std::exit(1);
  }
  ondrel::internal::ondrel_testing_set_thread_count(2);
  // the image decoders' complaints about damaged files would bury the fuzzer's own output
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  return g_work_dir;
}

void write_fixture_pairs() {
  write_shifted_pair(kStereoPairs[0], 20, 7, 3, 1);
  write_shifted_pair(kStereoPairs[1], 12, 9, 2, 2);
  write_shifted_pair(kStereoPairs[2], 64, 5, 7, 3);
  cv::Mat grey;
  cv::cvtColor(random_bgr(16, 8, 4), grey, cv::COLOR_BGR2GRAY);
  cv::imwrite(kStereoPairs[3].left_file, grey);
  cv::imwrite(kStereoPairs[3].right_file, random_bgr(17, 8, 5));
}

int run_dialogue_on_bytes(const uint8_t* data, size_t size) {
  // fmemopen refuses an empty buffer; an empty file is the same input
  FILE* in = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "r") : std::fopen("/dev/null", "r");
  if (!in) {
    std::perror("ondrel fuzz: cannot open the input");
    std::abort();
  }
  const int status = run_dialogue(in);
  std::fclose(in);
  return status;
}

void remove_result_files() {
  for (const StereoPair& pair : kStereoPairs) {
    unlink(pair.disparity_file);
    unlink(pair.uniqueness_file);
  }
}

bool has_costly_number(const uint8_t* data, size_t size) {
  char word[kAnswerSize];
  int length = 0;
  for (size_t i = 0; i <= size; ++i) {
    // the dialogue's word boundaries: the C locale's white space
    const bool space = i == size || (data[i] != '\0' && std::strchr(" \t\n\v\f\r", data[i]) != nullptr);
    if (!space) {
      if (length < kAnswerSize - 1) word[length++] = static_cast<char>(data[i]);
      continue;
    }
    if (length == 0) continue;
    word[length] = '\0';
    length = 0;
    const int value = number_of(word);
    if (value > kFuzzLargestRadius && value <= kDialogueLargestRadius) return true;
  }
  return false;
}
