// Soak: many dialogue passes in one process over the four Middlebury pairs with varied
// answers. Every pass must give exactly the maps of a single run of the program, and the
// process must not grow: its resident size at the end stays within a few MiB of what it was
// after the first pass.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/dialogue.h"
#include "matcher/memory.h"
#include "tests/support/test_support.h"

using ondrel_test::read_file;
using ondrel_test::TempDir;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The sanitizers make a pass 3 to 15 times slower and keep freed memory aside on purpose (so
// resident size says nothing there): under them every variant runs once, which is what
// their checks need, and the memory figure is not judged.
constexpr int kPasses = kSanitized ? 8 : 200;
// Growth of the resident size allowed from the end of the first pass to the end, and from
// the end of the first round of variants (each has then had its sizes once) to the end.
// Each figure is taken after the allocator has given back its free pages (malloc_trim): the
// memory the process holds, not the free heap the allocator keeps for reuse, which depends on
// where a few long-lived blocks happen to lie (6.8 MiB more after the second pass here).
constexpr long kAllowedGrowthKiB = 4 * 1024;
constexpr long kAllowedGrowthAfterRoundKiB = 2 * 1024;

struct Variant {
  const char* name;     // disparity map of its pair
  const char* answers;  // one whole pass, from the pair to the TAD threshold
};

// Varied answers over the four pairs, wrong ones among them. The first variant has the
// largest working storage (Cones, 60 disparities), so the first pass reaches the peak.
const Variant kVariants[] = {
    {"Cones", "4 19 6 14 23 53"},
    {"Teddy", "0 abc 3 12 2 20 30 60"},
    {"Tsukuba", "1 19 6 14 23 53"},
    {"Venus", "2 1 7 2 -4 10 20 0 40"},
    {"Teddy", "3 4 1 0 23 1"},        // gamma_space 0
    {"Cones", "4 22 7 5 0 255"},      // gamma_color 0
    {"Tsukuba", "1 19 2 10 3 30 50 20"},  // a wrong block radius first
    {"Venus", "2 19 19 14 23 53"},    // one block per window
};
constexpr int kVariantCount = sizeof kVariants / sizeof kVariants[0];
const char* const kViews[] = {"Tsukuba_L.png", "Tsukuba_R.png", "Venus_L.png", "Venus_R.png",
                              "Teddy_L.png",   "Teddy_R.png",   "Cones_L.png", "Cones_R.png"};

long resident_kib() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  long size = 0, resident = 0;
  if (f) {
    if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void link_views(const std::string& data, const TempDir& dir) {
  for (const char* view : kViews)
    ASSERT_EQ(symlink((data + "/" + view).c_str(), dir.file(view).c_str()), 0) << view;
}

struct Maps {
  std::string disparity, uniqueness;  // file contents
};

Maps maps_in(const TempDir& dir, const Variant& v) {
  return {read_file(dir.file(std::string("Result_") + v.name + ".png")),
          read_file(dir.file(std::string("Result_") + v.name + "_SMP.png"))};
}

// Standard output of this process into a file, for a while.
class StdoutToFile {
 public:
  explicit StdoutToFile(const std::string& path) {
    std::fflush(stdout);
    saved_ = dup(1);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
  }
  ~StdoutToFile() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(Soak, ManyPassesInOneProcessGiveTheMapsOfSingleRunsInConstantMemory) {
  const std::string data = ondrel_test::data_dir();
  if (data.empty()) GTEST_SKIP() << "the Middlebury pairs are not there";
  // at least two threads, so that the thread sanitizer sees the parallel phases at work
  ondrel_testing_set_thread_count(std::max(2, omp_get_num_procs()));

  // the maps of a single run of the program for each variant
  std::vector<Maps> reference;
  for (const Variant& v : kVariants) {
    TempDir dir;
    link_views(data, dir);
    const ondrel_test::RunResult run = ondrel_test::run_ondrel(std::string("n ") + v.answers + " q", dir.path);
    ASSERT_EQ(run.status, 0) << run.out;
    reference.push_back(maps_in(dir, v));
    ASSERT_FALSE(reference.back().disparity.empty()) << v.answers;
    ASSERT_FALSE(reference.back().uniqueness.empty()) << v.answers;
  }

  TempDir work, log;
  link_views(data, work);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(work.path.c_str()), 0);

  long after_first = 0, after_cycle = 0, peak = 0, end = 0;
  int mismatches = 0;
  {
    StdoutToFile quiet(log.file("stdout"));
    for (int pass = 0; pass < kPasses; ++pass) {
      const Variant& v = kVariants[pass % kVariantCount];
      const std::string answers = std::string("n ") + v.answers + " q";
      FILE* in = fmemopen(const_cast<char*>(answers.data()), answers.size(), "r");
      ASSERT_NE(in, nullptr);
      const int status = run_dialogue(in);
      std::fclose(in);
      EXPECT_EQ(status, 0) << "pass " << pass;
      const Maps got = maps_in(work, v);
      const Maps& want = reference[pass % kVariantCount];
      if (got.disparity != want.disparity || got.uniqueness != want.uniqueness) {
        ADD_FAILURE() << "pass " << pass << " (" << v.answers << ") differs from a single run";
        if (++mismatches > 3) break;
      }
      malloc_trim(0);
      const long rss = resident_kib();
      if (pass == 0) after_first = rss;
      if (pass == kVariantCount - 1) after_cycle = rss;
      peak = std::max(peak, rss);
      end = rss;
    }
  }
  ASSERT_EQ(chdir(cwd), 0);
  ondrel_testing_set_thread_count(0);

  // every pass ran the matcher to its end and saved; nothing failed on the way
  const std::string out = read_file(log.file("stdout"));
  EXPECT_EQ(count(out, " sec : [*] Ondrel\n"), static_cast<size_t>(kPasses));
  EXPECT_EQ(count(out, "cannot"), 0u);
  EXPECT_EQ(count(out, "could not"), 0u);
  EXPECT_EQ(count(out, "ABORTING"), 0u);

  std::printf("[ soak     ] %d passes; resident size after the first %ld KiB, after the first %d %ld KiB, "
              "peak %ld KiB, end %ld KiB\n",
              kPasses, after_first, kVariantCount, after_cycle, peak, end);
  if (!kSanitized) {
    EXPECT_LE(end - after_first, kAllowedGrowthKiB) << "the process grew over the passes";
    EXPECT_LE(end - after_cycle, kAllowedGrowthAfterRoundKiB) << "the process grew over the passes";
  }
}
