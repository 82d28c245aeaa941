#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include <opencv2/core/utility.hpp>

#include "util/timing.h"

TEST(Timing, ElapsedTimeIsTheModularTickDifferenceInSeconds) {
  const double f = cv::getTickFrequency();
  EXPECT_EQ(ElapsedTime(1000, 1000), 0.0f);
  EXPECT_EQ(ElapsedTime(0, static_cast<uint64_t>(3 * f)), static_cast<float>(3.0));
  // an end below the start wraps around modulo 2^64: huge, never negative
  const float wrapped = ElapsedTime(10, 5);
  EXPECT_EQ(wrapped, static_cast<float>(static_cast<double>(UINT64_MAX - 4) / f));
  EXPECT_GT(wrapped, 0.0f);
  // the quotient is rounded to the nearest float
  const uint64_t odd_ticks = 123456789;
  EXPECT_EQ(ElapsedTime(5, 5 + odd_ticks), static_cast<float>(static_cast<double>(odd_ticks) / f));
}

TEST(Timing, GetTimeIsMonotonicOverAShortWait) {
  const uint64_t a = Get_Time();
  const uint64_t b = Get_Time();
  EXPECT_GE(b, a);
}

TEST(Timing, PrintedLinesPutSecondsAndLabelInTheirOrder) {
  testing::internal::CaptureStdout();
  PrintElapsedTime("[*] Ondrel", 7, 7);
  PrintElapsedTime("label", 0, static_cast<uint64_t>(1234.5678 * cv::getTickFrequency()));
  GetTimeAndPrintElapsedTime("[*] Ondrel", Get_Time());
  const std::string out = testing::internal::GetCapturedStdout();
  // "%3.3f": at least three characters, exactly three decimals
  const std::string first = "[*] Ondrel : 0.000 sec\nlabel : 1234.568 sec\n";
  ASSERT_EQ(out.compare(0, first.size(), first), 0) << out;
  const std::string last = out.substr(first.size());
  const size_t point = last.find('.');
  ASSERT_NE(point, std::string::npos) << out;
  EXPECT_GE(point, 1u);
  EXPECT_EQ(last.find_first_not_of("0123456789"), point) << out;
  EXPECT_EQ(last.substr(point + 1), std::string(last.substr(point + 1, 3)) + " sec : [*] Ondrel\n") << out;
  EXPECT_EQ(last.substr(point + 1, 3).find_first_not_of("0123456789"), std::string::npos) << out;
}
