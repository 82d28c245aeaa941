#include "app/answers.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

bool read_word(FILE* in, char word[kAnswerSize]) {
  int ch;
  do ch = std::getc(in);
  while (ch != EOF && std::isspace(ch));
  if (ch == EOF) return false;
  int length = 0;
  for (; ch != EOF && !std::isspace(ch); ch = std::getc(in))
    if (length < kAnswerSize - 1) word[length++] = static_cast<char>(ch);
  word[length] = '\0';
  return true;
}

int number_of(const char* word) {
  errno = 0;
  const long long value = std::strtoll(word, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}
