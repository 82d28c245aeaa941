#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#include <unistd.h>
#endif

#include <opencv2/core/utility.hpp>

#include "tests/support/test_support.h"
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
// The flags of the mapping that holds address `at`, from /proc/self/smaps ("" if none is found).
std::string mapping_flags(const void* at) {
  std::ifstream smaps("/proc/self/smaps");
  const uintptr_t a = reinterpret_cast<uintptr_t>(at);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long lo, hi;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2 && line.find(':') > line.find(' ')) inside = lo <= a && a < hi;
    if (inside && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}

// A block of 30 MiB, which glibc maps by default (and unmaps on release), comes from the
// heap; the heap that serves the next blocks is marked for huge pages where the kernel has
// them, and the part asked for is resident at once.
TEST(Process, FreedMemoryStaysWithTheProcessOnHugePages) {
  const long before = ondrel_test::resident_kib();
  keep_freed_memory_for_reuse(16 << 20);
  EXPECT_GE(ondrel_test::resident_kib() - before, 16 << 10);
  const size_t mapped = mallinfo2().hblks;
  void* block = std::malloc(30 << 20);
  EXPECT_EQ(mallinfo2().hblks, mapped);
  std::free(block);
  void* small = std::malloc(4 << 20);
  if (std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled")) {
    const std::string flags = mapping_flags(static_cast<char*>(small) + (2 << 20));  // past the unaligned start
    EXPECT_NE(flags.find(" hg"), std::string::npos) << flags;
  }
  std::free(small);
}
#endif
