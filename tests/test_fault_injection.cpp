// Faults from outside: memory that cannot be had at each allocation of a matcher call, a
// result folder that is full or read-only, and standard input that closes at any question.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <set>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "matcher/memory.h"
#include "matcher/ondrel.h"
#include "tests/support/test_support.h"

using ondrel_test::random_image;
using ondrel_test::read_file;
using ondrel_test::run_ondrel;
using ondrel_test::run_program;
using ondrel_test::RunResult;
using ondrel_test::TempDir;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

// ---------------------------------------------------------------------------------------
// Allocation failures in the matcher

// The messages of the allocation sites of the tables, cost rows and block planes, in the order
// the matcher reaches them, and
// those of the rest of its working storage, which come after them.
const std::vector<std::string> kSiteMessages = {
    "ABORTING... CAN'T ALLOCATE SPACE_DISTANCE_WEIGHT\n\n",
    "ABORTING... CAN'T ALLOCATE DSI MATRIX\n\n",
    "ABORTING... CAN'T ALLOCATE DSI VECTORS \n\n",
    "\nABORTING... CAN'T ALLOCATE R_LEFT\n\n",
    "\nABORTING... CAN'T ALLOCATE G_LEFT\n\n",
    "\nABORTING... CAN'T ALLOCATE B_LEFT\n\n",
    "\nABORTING... CAN'T ALLOCATE R_RIGHT\n\n",
    "\nABORTING... CAN'T ALLOCATE G_RIGHT\n\n",
    "\nABORTING... CAN'T ALLOCATE B_RIGHT\n\n",
};
const std::vector<std::string> kOwnMessages = {
    "\nABORTING... CAN'T ALLOCATE AGGREGATION SCRATCH\n\n",
    "ABORTING... CAN'T ALLOCATE DSI WORKSPACE\n\n",
    "\nABORTING... CAN'T ALLOCATE BOX FILTER COLUMNS\n\n",
};

// Up to this many allocations per call every one is failed; above it, runs of allocations
// that fail with the same message (the per-pixel sites) are crossed in growing strides,
// while the first and last allocation of each site are still found and failed.
constexpr long kFailEveryAllocationUpTo = 600;

struct MatcherCall {
  cv::Mat left, right;
  cv::Mat maps[3];
  int max_disparity, r, R;
};

// Runs the call with standard output captured.
int run_call(MatcherCall& c, std::string* out) {
  testing::internal::CaptureStdout();
  const int status = Ondrel_QUIRN(c.left, c.right, c.maps[0], c.maps[1], c.maps[2], 0, c.max_disparity, c.r, c.R,
                                  14.0f, 23.0f, 20, 16);
  std::fflush(stdout);
  *out = testing::internal::GetCapturedStdout();
  return status;
}

// Padded output planes filled with a pattern that the matcher never writes as a whole.
void fill_maps(MatcherCall& c, uint32_t seed) {
  for (int i = 0; i < 3; ++i) c.maps[i] = random_image(c.left.cols, c.left.rows, CV_8UC1, seed + i, 3);
}

// Removes the head of the timing lines from the start of `text`, if there; true when it was.
// A buffer of the matching phase (the cost volume's running sums, the block sums' column
// buffers, which the phase's jobs allocate for themselves) can fail only after the
// initialization has been timed; its message then follows that line.
bool strip_initialization_time(std::string* text) {
  const std::string head = "\n\nExecution time: \n", label = " sec : [*] Ondrel (initialization)\n";
  if (text->compare(0, head.size(), head) != 0) return false;
  const size_t end = text->find(label, head.size());
  if (end == std::string::npos) return false;
  if (text->find_first_not_of("0123456789.", head.size()) != end) return false;
  text->erase(0, end + label.size());
  return true;
}

// Fails allocation i of the call (i = 1: its first) and checks that the call prints the
// report and exactly one site message (after the initialization's timing line for a site of
// the matching phase) but never the matching's timing line, returns -1, leaves the outputs as
// they were and releases every buffer it had. Returns the message and whether it came in the
// matching phase.
std::pair<std::string, bool> fail_allocation(MatcherCall& c, long i, const std::string& report) {
  SCOPED_TRACE(testing::Message() << "allocation " << i);
  fill_maps(c, 100 + static_cast<uint32_t>(i));
  cv::Mat pattern[3];
  for (int k = 0; k < 3; ++k) pattern[k] = c.maps[k].clone();
  const unsigned char* data = c.maps[0].data;
  const long live = ondrel_testing_live_allocations();
  ondrel_testing_fail_allocation(i);
  std::string out;
  const int status = run_call(c, &out);
  ondrel_testing_fail_allocation(0);
  // (in the sanitizer build the leak check at exit covers every other allocation too)
  EXPECT_EQ(ondrel_testing_live_allocations(), live) << "buffers kept after the failure";
  EXPECT_EQ(status, -1);
  EXPECT_EQ(out.compare(0, report.size(), report), 0) << out;
  std::string message = out.substr(std::min(out.size(), report.size()));
  const bool matching = strip_initialization_time(&message);
  const bool table_site = std::find(kSiteMessages.begin(), kSiteMessages.end(), message) != kSiteMessages.end();
  const bool own_site = std::find(kOwnMessages.begin(), kOwnMessages.end(), message) != kOwnMessages.end();
  EXPECT_TRUE(table_site || own_site) << "not exactly one site message: \"" << message << "\"";
  EXPECT_FALSE(table_site && matching) << "these sites are all had before the initialization ends";
  EXPECT_EQ(c.maps[0].data, data);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(cv::norm(c.maps[k], pattern[k], cv::NORM_INF), 0) << "output " << k;
  return {message, matching};
}

// Fails the allocations of a call in turn (every one, or see kFailEveryAllocationUpTo) with
// `threads` threads: each as fail_allocation checks; the sites come in the order of their
// messages, each site's allocations consecutive, every listed site reached, no site
// of the initialization after one of the matching; and a call afterwards gives the maps of
// one before.
void fail_each_allocation(MatcherCall c, int threads) {
  SCOPED_TRACE(testing::Message() << threads << " threads");
  ondrel_testing_set_thread_count(threads);
  fill_maps(c, 1);
  std::string out;
  ASSERT_EQ(run_call(c, &out), 0) << out;  // warm-up: the thread pool and the output buffer
  fill_maps(c, 1);
  const long before = ondrel_testing_allocation_count();
  ASSERT_EQ(run_call(c, &out), 0) << out;
  const long n = ondrel_testing_allocation_count() - before;
  const std::string report = out.substr(0, out.find("\n\nExecution time: \n"));
  ASSERT_NE(report, out);
  cv::Mat expected[3];
  for (int i = 0; i < 3; ++i) expected[i] = c.maps[i].clone();

  std::vector<std::pair<std::string, bool>> results;  // in allocation order, of those failed
  long failed = 0;
  if (n <= kFailEveryAllocationUpTo) {
    for (long i = 1; i <= n; ++i) results.push_back(fail_allocation(c, i, report));
    failed = n;
  } else {
    // stride through runs of one message; on a change step back and go one at a time
    long i = 1, stride = 1;
    results.push_back(fail_allocation(c, 1, report));
    ++failed;
    while (i < n) {
      const long j = std::min(i + stride, n);
      const auto next = fail_allocation(c, j, report);
      ++failed;
      if (next.first == results.back().first) {
        results.push_back(next);
        i = j;
        stride *= 2;
      } else if (stride > 1) {
        stride = 1;
      } else {
        results.push_back(next);
        i = j;
      }
    }
  }
  std::printf("[ fault    ] %ld allocations per call, %ld failed in turn, %d threads\n", n, failed, threads);

  std::vector<std::string> order;
  bool in_matching = false;
  for (const auto& [message, matching] : results) {
    if (order.empty() || order.back() != message) order.push_back(message);
    EXPECT_FALSE(in_matching && !matching) << "an initialization site after a matching one: " << message;
    in_matching = in_matching || matching;
  }
  const std::set<std::string> distinct(order.begin(), order.end());
  EXPECT_EQ(distinct.size(), order.size()) << "a site's allocations are not consecutive";
  std::vector<std::string> listed;
  for (const std::string& m : order)
    if (std::find(kSiteMessages.begin(), kSiteMessages.end(), m) != kSiteMessages.end()) listed.push_back(m);
  EXPECT_EQ(listed, kSiteMessages);
  EXPECT_EQ(order.front(), kSiteMessages.front());

  // nothing of the failures stays behind: the same call gives the same maps
  fill_maps(c, 1);
  ASSERT_EQ(run_call(c, &out), 0) << out;
  for (int k = 0; k < 3; ++k) EXPECT_EQ(cv::norm(c.maps[k], expected[k], cv::NORM_INF), 0) << "output " << k;
  ondrel_testing_set_thread_count(0);
}

MatcherCall small_call(int W, int H, int max_disparity, int r, int R) {
  MatcherCall c;
  c.left = random_image(W, H, CV_8UC3, 7, 2);
  c.right = random_image(W, H, CV_8UC3, 8, 1);
  c.max_disparity = max_disparity;
  c.r = r;
  c.R = R;
  return c;
}

// ---------------------------------------------------------------------------------------
// Result folders that cannot take the results

// One pass on a tiny Tsukuba pair; the second set of answers gives other maps.
const char kFirstAnswers[] = "n 1 4 1 10 12 20 q";
const char kSecondAnswers[] = "n 1 7 2 3 4 200 q";

void write_pair(const std::string& dir, int W, int H) {
  ASSERT_TRUE(cv::imwrite(dir + "/Tsukuba_L.png", random_image(W, H, CV_8UC3, 21)));
  ASSERT_TRUE(cv::imwrite(dir + "/Tsukuba_R.png", random_image(W, H, CV_8UC3, 22)));
}

std::vector<std::string> folder_names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string cannot_save(const std::string& file, const std::string& reason) {
  return "\nERROR: cannot save \"" + file + "\" (" + reason + "): any earlier file of that name is unchanged...\n";
}

std::string both_cannot_be_saved(const std::string& reason) {
  return cannot_save("Result_Tsukuba.png", reason) + cannot_save("Result_Tsukuba_SMP.png", reason) +
         "\nPress 'q' to quit or a different value to continue: ";
}

// The output after the matcher's last timing line.
std::string after_matching(const std::string& out) {
  const std::string last = " sec : [*] Ondrel\n";
  const size_t at = out.rfind(last);
  return at == std::string::npos ? out : out.substr(at + last.size());
}

// A small tmpfs mounted over a fresh folder for one test, unmounted after it. Mounting needs
// root (CAP_SYS_ADMIN); without it the test is skipped.
class SmallFileSystem : public testing::Test {
 protected:
  void mount_tmpfs(const char* size) {
    const std::string options = std::string("size=") + size + ",mode=0755";
    if (mount("tmpfs", dir_.path.c_str(), "tmpfs", 0, options.c_str()) != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(dir_.path.c_str(), MNT_DETACH);
  }
  // Writes to `name` in the folder until the file system is full.
  void fill_up(const char* name) {
    FILE* f = std::fopen(file(name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::setvbuf(f, nullptr, _IONBF, 0);
    const std::vector<char> block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {
    }
    EXPECT_EQ(errno, ENOSPC);
    std::fclose(f);
    // and the last bytes that fitted in a partial page
    f = std::fopen(file("filler2").c_str(), "wb");
    if (f) {
      std::setvbuf(f, nullptr, _IONBF, 0);
      while (std::fwrite(block.data(), 1, 1, f) == 1) {
      }
      std::fclose(f);
    }
  }
  std::string file(const std::string& name) const { return dir_.file(name); }
  TempDir dir_;
  bool mounted_ = false;
};

// ---------------------------------------------------------------------------------------
// Standard input that ends

const std::string kEndOfInput = "\nERROR: the input ended before the question was answered: exiting.\n";
const std::string kContinuePrompt = "\nPress 'q' to quit or a different value to continue: ";

// Runs ondrel with `input` written into a pipe that its writer then closes.
RunResult run_through_pipe(const std::string& input, const std::string& cwd) {
  return run_program({"/bin/bash", "-c", "printf '%s' \"$1\" | \"$0\"", ONDREL_BINARY, input}, "", cwd);
}

}  // namespace

TEST(FaultInjection, EachAllocationOfAMatcherCallFailsCleanly) {
  // 20x9 pixels, disparities 0 .. 4, nine 3x3 blocks per window: every allocation is failed
  fail_each_allocation(small_call(20, 9, 4, 1, 4), 1);
  fail_each_allocation(small_call(20, 9, 4, 1, 4), 3);
  // one block per window, one-pixel blocks
  fail_each_allocation(small_call(11, 6, 2, 0, 0), 2);
}

TEST(FaultInjection, AllocationFailuresInALargeCallAreSampled) {
  // 64x48 pixels: thousands of per-pixel allocations, of which a sample fails
  fail_each_allocation(small_call(64, 48, 15, 2, 7), 2);
}

// A file system without a free byte: both results are refused with the reason, the earlier
// files stay byte for byte, and no temporary file is left.
TEST_F(SmallFileSystem, AFullResultFolderKeepsTheEarlierResults) {
  mount_tmpfs("256k");
  if (IsSkipped()) return;
  write_pair(dir_.path, 96, 64);
  ASSERT_EQ(run_ondrel(kFirstAnswers, dir_.path).status, 0);
  const std::string disparity = read_file(file("Result_Tsukuba.png"));
  const std::string uniqueness = read_file(file("Result_Tsukuba_SMP.png"));
  ASSERT_FALSE(disparity.empty());
  ASSERT_FALSE(uniqueness.empty());
  fill_up("filler");

  const RunResult run = run_ondrel(kSecondAnswers, dir_.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(after_matching(run.out), both_cannot_be_saved("No space left on device"));
  EXPECT_EQ(read_file(file("Result_Tsukuba.png")), disparity);
  EXPECT_EQ(read_file(file("Result_Tsukuba_SMP.png")), uniqueness);
  EXPECT_EQ(folder_names(dir_.path), (std::vector<std::string>{"Result_Tsukuba.png", "Result_Tsukuba_SMP.png",
                                                                 "Tsukuba_L.png", "Tsukuba_R.png", "filler",
                                                                 "filler2"}));

  // with room again the same answers save
  ASSERT_EQ(unlink(file("filler").c_str()), 0);
  const RunResult again = run_ondrel(kSecondAnswers, dir_.path);
  EXPECT_EQ(after_matching(again.out), kContinuePrompt);
  EXPECT_NE(read_file(file("Result_Tsukuba.png")), disparity);
}

// A folder on a read-only file system: refused even for root.
TEST_F(SmallFileSystem, AReadOnlyResultFolderKeepsTheEarlierResults) {
  mount_tmpfs("1m");
  if (IsSkipped()) return;
  write_pair(dir_.path, 24, 10);
  ASSERT_EQ(run_ondrel(kFirstAnswers, dir_.path).status, 0);
  const std::string disparity = read_file(file("Result_Tsukuba.png"));
  ASSERT_FALSE(disparity.empty());
  ASSERT_EQ(mount(nullptr, dir_.path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << std::strerror(errno);

  const RunResult run = run_ondrel(kSecondAnswers, dir_.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(after_matching(run.out), both_cannot_be_saved("Read-only file system"));
  EXPECT_EQ(read_file(file("Result_Tsukuba.png")), disparity);
  EXPECT_EQ(folder_names(dir_.path).size(), 4u);
}

// The same without root: a file size limit makes every write past 1 KiB fail (the program
// ignores the signal that the limit raises, which would otherwise end it). Standard output
// goes through a pipe, which the limit does not bind.
TEST(FaultInjection, AFileSizeLimitKeepsTheEarlierResults) {
  if (kThreadSanitizer)  // seen with clang 14: a mutex lock in an image decoder faults
    GTEST_SKIP() << "the thread sanitizer's runtime dies of SIGBUS under a file size limit below about 1 MiB";
  TempDir dir;
  write_pair(dir.path, 96, 64);
  ASSERT_EQ(run_ondrel(kFirstAnswers, dir.path).status, 0);
  const std::string disparity = read_file(dir.file("Result_Tsukuba.png"));
  ASSERT_GT(disparity.size(), 1024u);
  const RunResult run = run_program({"/bin/bash", "-c",
                                     "set -o pipefail; (ulimit -f 1; exec \"$0\") <<<\"$1\" | cat",
                                     ONDREL_BINARY, kSecondAnswers},
                                    "", dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(after_matching(run.out), both_cannot_be_saved("File too large"));
  EXPECT_EQ(read_file(dir.file("Result_Tsukuba.png")), disparity);
  EXPECT_EQ(folder_names(dir.path).size(), 4u);
}

// The answers of two passes, with wrong answers at every question, are cut after each word
// in turn and the pipe closed: the program stops at the next question with its message and
// status 1, or at the continue question quietly with status 0, after saying exactly what
// the whole run says up to there; finished passes have saved their results.
TEST(FaultInjection, StandardInputClosedAtEveryQuestion) {
  TempDir dir;
  write_pair(dir.path, 24, 10);
  ASSERT_TRUE(cv::imwrite(dir.file("Venus_L.png"), random_image(30, 8, CV_8UC3, 23)));
  ASSERT_TRUE(cv::imwrite(dir.file("Venus_R.png"), random_image(30, 8, CV_8UC3, 24)));
  // first pass: display, pair, radii, gammas and threshold, each with wrong answers first;
  // second pass: a block too large for Venus and an unsuitable support radius
  const std::vector<std::string> words = {"yes", "0", "1", "1", "2", "4", "2", "4", "1", "-3", "10", "-1", "12", "0",
                                          "300", "20", "c", "2", "7", "7", "3", "4", "1", "5", "6", "7", "q"};
  std::string all;
  for (const std::string& w : words) all += w + "\n";
  const RunResult whole = run_through_pipe(all, dir.path);
  ASSERT_EQ(whole.status, 0);
  const std::string full = ondrel_test::without_times(whole.out);
  const std::set<size_t> continue_questions = {16, 26};  // words answered before each

  for (size_t k = 0; k < words.size(); ++k) {
    SCOPED_TRACE(testing::Message() << "input closed after " << k << " words");
    TempDir run_dir;
    write_pair(run_dir.path, 24, 10);
    ASSERT_TRUE(cv::imwrite(run_dir.file("Venus_L.png"), random_image(30, 8, CV_8UC3, 23)));
    ASSERT_TRUE(cv::imwrite(run_dir.file("Venus_R.png"), random_image(30, 8, CV_8UC3, 24)));
    std::string input;
    for (size_t i = 0; i < k; ++i) input += words[i] + (i % 3 == 2 ? "\n" : " ");
    const RunResult run = run_through_pipe(input, run_dir.path);
    const std::string out = ondrel_test::without_times(run.out);
    const bool at_continue = continue_questions.count(k) > 0;
    EXPECT_EQ(run.status, at_continue ? 0 : 1);
    const std::string said = at_continue ? out : out.substr(0, out.size() - std::min(out.size(), kEndOfInput.size()));
    if (!at_continue) {
      EXPECT_EQ(out.substr(said.size()), kEndOfInput);
    }
    EXPECT_EQ(full.compare(0, said.size(), said), 0) << out;
    EXPECT_EQ(said.substr(said.size() - 2), ": ") << "the last thing said is a question";
    EXPECT_EQ(read_file(run_dir.file("Result_Tsukuba.png")).empty(), k < 16);
    EXPECT_EQ(read_file(run_dir.file("Result_Venus.png")).empty(), k < 26);
  }
}

// Standard input closed before the program starts, or unreadable: as at the end of input.
TEST(FaultInjection, StandardInputClosedOrUnreadableFromTheStart) {
  TempDir dir;
  const std::string question = "If yes, press y and enter: ";
  for (const char* redirect : {"<&-", "<.", "</dev/null"}) {
    SCOPED_TRACE(redirect);
    const RunResult run = run_program({"/bin/bash", "-c", std::string("exec \"$0\" ") + redirect, ONDREL_BINARY}, "",
                                      dir.path);
    EXPECT_EQ(run.status, 1);
    ASSERT_GE(run.out.size(), question.size() + kEndOfInput.size());
    EXPECT_EQ(run.out.substr(run.out.size() - question.size() - kEndOfInput.size()), question + kEndOfInput);
  }
}
