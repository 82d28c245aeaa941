#include "util/calib.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

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

// The white-space separated finite decimal numbers of `text` (no hexadecimal, inf or nan).
bool read_numbers(const std::string& text, std::vector<double>* out) {
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (word.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
    char* end = nullptr;
    const double v = std::strtod(word.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return false;
    out->push_back(v);
  }
  return true;
}

bool read_number(const std::string& value, double* out) {
  std::vector<double> v;
  if (!read_numbers(value, &v) || v.size() != 1) return false;
  *out = v[0];
  return true;
}

// "[f 0 cx; 0 f cy; 0 0 1]" (the rows' ';' optional): focal, cx and cy
bool read_camera(const std::string& value, Calibration* c) {
  if (value.size() < 2 || value.front() != '[' || value.back() != ']') return false;
  std::string inside = value.substr(1, value.size() - 2);
  for (char& ch : inside)
    if (ch == ';') ch = ' ';
  std::vector<double> m;
  if (!read_numbers(inside, &m) || m.size() != 9 || !(m[0] > 0)) return false;
  c->focal = m[0], c->cx = m[2], c->cy = m[5];
  c->has_camera = true;
  return true;
}

}  // namespace

bool parse_calib(const std::string& text, Calibration* calibration, std::string* reason) {
  enum Kind { kNdisp, kWidth, kHeight, kCamera, kBaseline, kDoffs };
  struct Key {
    const char* name;
    const char* form;  // for the message
    bool seen;
  } keys[] = {{"ndisp", "an integer in 1 .. 536870912", false},
              {"width", "an integer in 1 .. 2147483647", false},
              {"height", "an integer in 1 .. 2147483647", false},
              {"cam0", "a camera matrix [f 0 cx; 0 f cy; 0 0 1] with f > 0", false},
              {"baseline", "a number > 0", false},
              {"doffs", "a number", false}};
  Calibration c;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = trimmed(line.substr(0, eq)), value = trimmed(line.substr(eq + 1));
    for (int k = 0; k < 6; ++k) {
      Key& key = keys[k];
      if (name != key.name) continue;
      if (key.seen) {
        *reason = std::string(key.name) + " is given twice";
        return false;
      }
      key.seen = true;
      bool ok = false;
      switch (k) {
        case kNdisp: ok = read_integer(value, 536870912, &c.ndisp); break;
        case kWidth: ok = read_integer(value, 2147483647, &c.width); break;
        case kHeight: ok = read_integer(value, 2147483647, &c.height); break;
        case kCamera: ok = read_camera(value, &c); break;
        case kBaseline: ok = c.has_baseline = read_number(value, &c.baseline) && c.baseline > 0; break;
        case kDoffs: ok = read_number(value, &c.doffs); break;
      }
      if (!ok) {
        *reason = std::string(key.name) + " '" + value.substr(0, 60) + "' is not " + key.form;
        return false;
      }
    }
  }
  if (!keys[kNdisp].seen) {
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
