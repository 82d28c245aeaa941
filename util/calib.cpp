#include "util/calib.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

std::string trimmed(const std::string& s) {
  const size_t begin = s.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  return s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

// value as a decimal integer in 1 .. largest
bool read_integer(const std::string& value, long long largest, int* out) {
  if (value.empty() || value.size() > 10 || value.find_first_not_of("0123456789") != std::string::npos) return false;
  const long long v = std::strtoll(value.c_str(), nullptr, 10);
  if (v < 1 || v > largest) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

bool parse_calib(const std::string& text, Calibration* calibration, std::string* reason) {
  struct Key {
    const char* name;
    long long largest;
    int Calibration::*field;
    bool seen;
  } keys[] = {{"ndisp", 536870912, &Calibration::ndisp, false},
              {"width", 2147483647, &Calibration::width, false},
              {"height", 2147483647, &Calibration::height, false}};
  Calibration c;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = trimmed(line.substr(0, eq)), value = trimmed(line.substr(eq + 1));
    for (Key& key : keys) {
      if (name != key.name) continue;
      if (key.seen) {
        *reason = std::string(key.name) + " is given twice";
        return false;
      }
      key.seen = true;
      if (!read_integer(value, key.largest, &(c.*key.field))) {
        *reason = std::string(key.name) + " '" + value.substr(0, 40) + "' is not an integer in 1 .. " +
                  std::to_string(key.largest);
        return false;
      }
    }
  }
  if (!keys[0].seen) {
    *reason = "no ndisp (the number of disparities)";
    return false;
  }
  *calibration = c;
  return true;
}

bool read_calib(const std::string& path, Calibration* calibration, std::string* reason) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *reason = errno == ENOENT ? "missing" : std::string("cannot be read (") + std::strerror(errno) + ")";
    return false;
  }
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() < (1u << 20)) text.append(buffer, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    *reason = "cannot be read (it is a folder or a read failed)";
    return false;
  }
  if (text.size() >= (1u << 20)) {
    *reason = "larger than 1 MiB, not a calib.txt";
    return false;
  }
  return parse_calib(text, calibration, reason);
}
