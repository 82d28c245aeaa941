// Soak: many dialogue passes in one process over the four Middlebury pairs with varied
// answers. Every pass must give exactly the maps of a single run of the program, and the
// process must not grow: its resident size at the end stays within a few MiB of what it was
// after the first pass.

#include <gtest/gtest.h>

#include <malloc.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "app/dialogue.h"
#include "app/stereo_pairs.h"
#include "matcher/memory.h"
#include "tests/support/test_support.h"

using namespace ondrel_test;
using namespace ondrel::internal;  // the test hooks

namespace {

// The sanitizers make a pass 3 to 15 times slower and keep freed memory aside on purpose (so
// resident size says nothing there): under them every variant runs once, which is what
// their checks need, and the memory figure is not judged.
#ifdef ONDREL_SANITIZED
constexpr int kPasses = 8;
#else
constexpr int kPasses = 200;
#endif
// Growth of the resident size allowed from the end of the first pass to the end, and from
// the end of the first round of variants (each has then had its sizes once) to the end.
// Each figure is taken after the allocator has given back its free pages (malloc_trim): the
// memory the process holds, not the free heap the allocator keeps for reuse, which depends on
// where a few long-lived blocks happen to lie (6.8 MiB more after the second pass here).
[[maybe_unused]] constexpr long kAllowedGrowthKiB = 4 * 1024, kAllowedGrowthAfterRoundKiB = 2 * 1024;

// Varied answers over the four pairs (1 Tsukuba, 2 Venus, 3 Teddy, 4 Cones), wrong ones
// among them. The first has the largest working storage (Cones, 60 disparities), so the
// first pass reaches the peak.
const std::pair<int, const char*> kVariants[] = {
    {4, "4 19 6 14 23 53"}, {3, "0 abc 3 12 2 20 30 60"}, {1, "1 19 6 14 23 53"}, {2, "2 1 7 2 -4 10 20 0 40"},
    {3, "3 4 1 0 23 1"} /* gamma_space 0 */, {4, "4 22 7 5 0 255"} /* gamma_color 0 */,
    {1, "1 19 2 10 3 30 50 20"} /* a wrong block radius first */, {2, "2 19 19 14 23 53"} /* one block per window */};
constexpr int kVariantCount = sizeof kVariants / sizeof kVariants[0];

void link_views(const std::string& data, const TempDir& dir) {
  for (const StereoPair& pair : kStereoPairs)
    for (const char* view : {pair.left_file, pair.right_file})
      ASSERT_EQ(symlink((data + "/" + view).c_str(), dir.file(view).c_str()), 0) << view;
}

// Both result files of the variant's pair.
std::string maps_in(const TempDir& dir, int variant) {
  const StereoPair& pair = *find_stereo_pair(kVariants[variant].first);
  return read_file(dir.file(pair.disparity_file)) + "|" + read_file(dir.file(pair.uniqueness_file));
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(Soak, ManyPassesInOneProcessGiveTheMapsOfSingleRunsInConstantMemory) {
  const std::string data = data_dir();
  if (data.empty()) GTEST_SKIP() << "the Middlebury pairs are not there";
  // at least two threads, so that the thread sanitizer sees the parallel phases at work
  ondrel_testing_set_thread_count(std::max(2, omp_get_num_procs()));

  std::vector<std::string> reference;  // the maps of a single run of the program for each variant
  for (int v = 0; v < kVariantCount; ++v) {
    TempDir dir;
    link_views(data, dir);
    ASSERT_EQ(run_ondrel(std::string("n ") + kVariants[v].second + " q", dir.path).status, 0);
    reference.push_back(maps_in(dir, v));
    ASSERT_GT(reference.back().size(), 1000u) << kVariants[v].second;
  }

  TempDir work;
  link_views(data, work);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(work.path.c_str()), 0);
  long after_first = 0, after_round = 0, peak = 0, end = 0;
  int mismatches = 0;
  testing::internal::CaptureStdout();
  for (int pass = 0; pass < kPasses && mismatches <= 3; ++pass) {
    const int v = pass % kVariantCount;
    std::string answers = std::string("n ") + kVariants[v].second + " q";
    FILE* in = fmemopen(&answers[0], answers.size(), "r");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(run_dialogue(in), 0) << "pass " << pass;
    std::fclose(in);
    const bool same = maps_in(work, v) == reference[static_cast<size_t>(v)];
    EXPECT_TRUE(same) << "pass " << pass << " (" << kVariants[v].second << ") differs from a single run";
    mismatches += !same;
    malloc_trim(0);
    peak = std::max(peak, end = resident_kib());
    if (pass == 0) after_first = end;
    if (pass == kVariantCount - 1) after_round = end;
  }
  std::fflush(stdout);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(chdir(cwd), 0);
  ondrel_testing_set_thread_count(0);

  // every pass ran the matcher to its end and saved; nothing failed on the way
  EXPECT_EQ(count(out, " sec : [*] Ondrel\n"), static_cast<size_t>(kPasses));
  for (const char* failure : {"cannot", "could not", "ABORTING"}) EXPECT_EQ(count(out, failure), 0u) << failure;
  std::printf("[ soak     ] %d passes; resident size after the first %ld KiB, after the first %d %ld KiB, "
              "peak %ld KiB, end %ld KiB\n", kPasses, after_first, kVariantCount, after_round, peak, end);
#ifndef ONDREL_SANITIZED
  EXPECT_LE(end - after_first, kAllowedGrowthKiB) << "the process grew over the passes";
  EXPECT_LE(end - after_round, kAllowedGrowthAfterRoundKiB) << "the process grew over the passes";
#endif
}
