#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <opencv2/core/utility.hpp>

#include "util/process.h"
#include "util/timing.h"

TEST(Timing, ElapsedTimeIsTheModularTickDifferenceInSeconds) {
  const double f = cv::getTickFrequency();
  EXPECT_EQ(ElapsedTime(1000, 1000), 0.0f);
  // an end below the start wraps around modulo 2^64: huge, never negative; the quotient is
  // rounded to the nearest float
  EXPECT_EQ(ElapsedTime(10, 5), static_cast<float>(static_cast<double>(UINT64_MAX - 4) / f));
  EXPECT_EQ(ElapsedTime(5, 5 + 123456789), static_cast<float>(123456789 / f));
}

TEST(Timing, PrintedLinesPutSecondsAndLabelInTheirOrder) {
  testing::internal::CaptureStdout();
  PrintElapsedTime("[*] Ondrel", 7, 7);
  PrintElapsedTime("label", 0, static_cast<uint64_t>(1234.5678 * cv::getTickFrequency()));
  const uint64_t start = Get_Time() - static_cast<uint64_t>(12 * cv::getTickFrequency());
  GetTimeAndPrintElapsedTime("[*] Ondrel", start);
  const std::string out = testing::internal::GetCapturedStdout();
  // "%3.3f": at least three characters, exactly three decimals; the last line's time is 12
  // seconds and a little
  const std::string first = "[*] Ondrel : 0.000 sec\nlabel : 1234.568 sec\n12.";
  ASSERT_EQ(out.compare(0, first.size(), first), 0) << out;
  EXPECT_EQ(out.find_first_not_of("0123456789", first.size()), first.size() + 3) << out;
  EXPECT_EQ(out.substr(first.size() + 3), " sec : [*] Ondrel\n") << out;
}

#if defined(__GLIBC__) && !defined(ONDREL_SANITIZED)  // the sanitizers bring their own allocator
// A block of 30 MiB, which glibc maps by default (and unmaps on release), comes from the heap.
TEST(Process, FreedMemoryStaysWithTheProcess) {
  keep_freed_memory_for_reuse();
  const size_t mapped = mallinfo2().hblks;
  void* block = std::malloc(30 << 20);
  EXPECT_EQ(mallinfo2().hblks, mapped);
  std::free(block);
}
#endif
