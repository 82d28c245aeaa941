// Runs a fuzz target once on every file of the folders (or files) named on the command line,
// in name order, without the fuzzing engine: the seed corpus and every input that once made
// a target fail are replayed this way by the test suite, in every build.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void collect(const std::string& path, std::vector<std::string>& files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "replay: %s does not exist\n", path.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return;
  }
  DIR* dir = opendir(path.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (const dirent* e = readdir(dir))
    if (e->d_name[0] != '.') names.push_back(path + "/" + e->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) collect(name, files);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], files);  // before the target changes folder
  if (files.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  std::vector<std::vector<char>> inputs;
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  LLVMFuzzerInitialize(&argc, &argv);
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::fprintf(stderr, "replay: %s\n", files[i].c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(inputs[i].data()), inputs[i].size());
  }
  std::fprintf(stderr, "replay: %zu inputs, no failure\n", inputs.size());
  return 0;
}
