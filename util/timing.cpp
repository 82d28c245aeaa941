#include "util/timing.h"

#include <cstdio>

#include <opencv2/core/utility.hpp>

uint64_t Get_Time() { return static_cast<uint64_t>(cv::getTickCount()); }

static float seconds_between(uint64_t start, uint64_t end, double frequency) {
  const uint64_t ticks = end - start;  // modulo 2^64
  return static_cast<float>(static_cast<double>(ticks) / frequency);
}

float ElapsedTime(uint64_t start, uint64_t end) {
  return seconds_between(start, end, cv::getTickFrequency());
}

void GetTimeAndPrintElapsedTime(const char* label, uint64_t start) {
  // the counter first, the frequency afterwards
  const uint64_t end = Get_Time();
  const float seconds = seconds_between(start, end, cv::getTickFrequency());
  std::printf("%3.3f sec : %s\n", static_cast<double>(seconds), label);
}

void PrintElapsedTime(const char* label, uint64_t start, uint64_t end) {
  std::printf("%s : %3.3f sec\n", label, static_cast<double>(ElapsedTime(start, end)));
}
