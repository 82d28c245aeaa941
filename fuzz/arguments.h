// The fuzz targets' command lines: arbitrary bytes as arguments, one a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// `program` and then the arguments of `data`: one per line, an empty line an empty argument, a
// last line without its newline an argument too; NUL bytes are dropped (no argv holds them).
inline std::vector<std::string> arguments_of(const char* program, const uint8_t* data, size_t size) {
  std::vector<std::string> words = {program};
  std::string word;
  for (size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\n') {
      words.push_back(word);
      word.clear();
    } else if (c != '\0') {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

// The argv of `words`, ended by a null pointer; valid while `words` lives.
inline std::vector<const char*> argv_of(const std::vector<std::string>& words) {
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);
  return argv;
}
