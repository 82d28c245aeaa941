// Fuzz target: arbitrary bytes as an input image, loaded and matched as the dialogue does.
// The bytes become both views of the first pair, and two passes run: block radius 0, which
// fits any image, then block radius 1. The image library's size limit is lowered to
// kFuzzLargestImagePixels for this process (see there).

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/stereo_pairs.h"
#include "fuzz/fuzz_support.h"

namespace {

const char kAnswers[] = "n 1 4 0 14 23 53 c 1 4 1 14 23 53 q\n";
const char kPixelLimitVariable[] = "OPENCV_IO_MAX_IMAGE_PIXELS";

bool write_file(const char* name, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(name, "wb");
  if (!f) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;  // data may be null when empty
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  // the image library reads its limit once, when it is loaded: start again with it set
  if (!std::getenv(kPixelLimitVariable)) {
    setenv(kPixelLimitVariable, std::to_string(kFuzzLargestImagePixels).c_str(), 1);
    execv("/proc/self/exe", *argv);
    std::perror("ondrel fuzz: cannot restart with the image size limit");
    std::exit(1);
  }
  enter_fuzz_work_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const StereoPair& pair = kStereoPairs[0];
  if (!write_file(pair.left_file, data, size) || !write_file(pair.right_file, data, size)) {
    std::perror("ondrel fuzz: cannot write the input image");
    std::abort();
  }
  run_dialogue_on_bytes(reinterpret_cast<const uint8_t*>(kAnswers), sizeof kAnswers - 1);
  remove_result_files();
  return 0;
}
