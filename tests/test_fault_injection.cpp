// Faults from outside: memory that cannot be had at each allocation of a matcher call, a
// result folder that is full, read-only or beyond a file size limit, and standard input that
// closes at any question; and the way results reach the disk (synced, then renamed).

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <ondrel/refine.h>
#include <opencv2/core.hpp>

#include "matcher/memory.h"
#include "tests/support/reference.h"
#include "tests/support/test_support.h"

using namespace ondrel_test;

namespace {

// The messages of the allocation sites of the tables, cost rows and block planes, in the order
// the matcher reaches them, and those of the rest of its working storage. A buffer of the
// matching phase, which its jobs allocate for themselves, fails after the initialization has
// been timed: its message follows that line.
const std::string kAbort = "ABORTING... CAN'T ALLOCATE ";
const std::vector<std::string> kSiteMessages = {kAbort + "EXP_LUT\n\n", kAbort + "SPACE_DISTANCE_WEIGHT\n\n",
    kAbort + "DSI MATRIX\n\n",
    kAbort + "DSI VECTORS \n\n", "\n" + kAbort + "R_LEFT\n\n", "\n" + kAbort + "G_LEFT\n\n", "\n" + kAbort + "B_LEFT\n\n",
    "\n" + kAbort + "R_RIGHT\n\n", "\n" + kAbort + "G_RIGHT\n\n", "\n" + kAbort + "B_RIGHT\n\n"};
const std::vector<std::string> kOwnMessages = {"\n" + kAbort + "AGGREGATION SCRATCH\n\n",
    kAbort + "DSI WORKSPACE\n\n", "\n" + kAbort + "BOX FILTER COLUMNS\n\n"};
const std::string kInitializationTimed = "\n\nExecution time: \nT sec : [*] Ondrel (initialization)\n";

struct Call { int W, H, max_disparity, r, R, threads; };

int run_call(const Call& c, cv::Mat maps[3], std::string* out) {
  const cv::Mat left = random_image(c.W, c.H, CV_8UC3, 7, 2), right = random_image(c.W, c.H, CV_8UC3, 8, 1);
  return program_match(left, right, maps, c.max_disparity, c.r, c.R, 14, 23, 20, 16, out);
}

bool listed(const std::vector<std::string>& list, const std::string& m) {
  return std::find(list.begin(), list.end(), m) != list.end();
}

const char kFirstAnswers[] = "n 1 4 1 10 12 20 q";  // one pass on Tsukuba
const char kSecondAnswers[] = "n 1 7 2 3 4 200 q";  // another one, with other maps
const std::string kEndOfInput = "\nERROR: the input ended before the question was answered: exiting.\n";

// What the program says after the matcher's last timing line.
std::string after_matching(const std::string& out) {
  const size_t at = out.rfind(" sec : [*] Ondrel\n");
  return at == std::string::npos ? out : out.substr(at + 18);
}

}  // namespace

// Every allocation of a call is failed in turn: the call prints its report and exactly one site
// message, returns -1, leaves the outputs as they were and releases every buffer it had. Each
// site's allocations are consecutive, every listed site is reached in its order; and a call
// afterwards gives the maps of one before.
TEST(FaultInjection, EachAllocationOfAMatcherCallFailsCleanly) {
  // nine 3x3 blocks per window; one block per window of one pixel; a larger call
  const Call calls[] = {{20, 9, 4, 1, 4, 1}, {20, 9, 4, 1, 4, 3}, {11, 6, 2, 0, 0, 2}, {64, 48, 15, 2, 7, 2}};
  for (const Call& c : calls) {
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << ", r " << c.r << ", R " << c.R << ", " << c.threads);
    ondrel_testing_set_thread_count(c.threads);
    cv::Mat maps[3], pattern[3], expected[3]; std::string out;
    random_maps(maps, c.W, c.H, 1);
    ASSERT_EQ(run_call(c, maps, &out), 0) << out;  // warm-up: the thread pool and the output buffer
    random_maps(expected, c.W, c.H, 1);
    const long before = ondrel_testing_allocation_count();
    ASSERT_EQ(run_call(c, expected, &out), 0) << out;
    const long n = ondrel_testing_allocation_count() - before;
    const std::string report = out.substr(0, out.find("\n\nExecution time: \n"));
    ASSERT_NE(report, out);
    std::vector<std::string> order, sites;  // each site's message once, as met; those of the tables
    for (long i = 1; i <= n; ++i) {
      SCOPED_TRACE(testing::Message() << "allocation " << i << " of " << n);
      random_maps(maps, c.W, c.H, 100 + static_cast<uint32_t>(i));
      random_maps(pattern, c.W, c.H, 100 + static_cast<uint32_t>(i));
      const unsigned char* data = maps[0].data;
      const long live = ondrel_testing_live_allocations();
      ondrel_testing_fail_allocation(i);
      const int status = run_call(c, maps, &out);
      ondrel_testing_fail_allocation(0);
      // (in the sanitizer build the leak check at exit covers every other allocation too)
      EXPECT_EQ(ondrel_testing_live_allocations(), live) << "buffers kept after the failure";
      EXPECT_EQ(status, -1);
      EXPECT_EQ(maps[0].data, data);
      for (int k = 0; k < 3; ++k) EXPECT_TRUE(same_image(maps[k], pattern[k])) << "output " << k;
      ASSERT_EQ(out.compare(0, report.size(), report), 0) << out;
      std::string message = without_times(out.substr(report.size()));
      if (message.rfind(kInitializationTimed, 0) == 0) message.erase(0, kInitializationTimed.size());
      EXPECT_TRUE(listed(kSiteMessages, message) || listed(kOwnMessages, message))
          << "not exactly one site message: \"" << message << "\"";
      if (!order.empty() && order.back() == message) continue;
      EXPECT_FALSE(listed(order, message)) << "a site's allocations are not consecutive: " << message;
      order.push_back(message);
      if (listed(kSiteMessages, message)) sites.push_back(message);
    }
    EXPECT_EQ(sites, kSiteMessages);
    // the library's call fails at the same allocations, in plain words
    Planes planes;
    const ondrel::Parameters p = parameters(c.r, c.R, c.max_disparity);
    for (long i = 1; i <= n; ++i) {
      ondrel_testing_fail_allocation(i);
      const ondrel::Status status = match_planes(random_image(c.W, c.H, CV_8UC3, 7, 2), random_image(c.W, c.H, CV_8UC3, 8, 1),
                                                 p, {}, &planes);
      ondrel_testing_fail_allocation(0);
      EXPECT_EQ(status.code, ondrel::StatusCode::kOutOfMemory) << i;
      EXPECT_EQ(std::string(status.message).rfind("not enough memory for the ", 0), 0u) << status.message;
    }
    random_maps(maps, c.W, c.H, 1);  // nothing of the failures stays behind
    ASSERT_EQ(run_call(c, maps, &out), 0) << out;
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(same_image(maps[k], expected[k])) << "output " << k;
    ondrel_testing_set_thread_count(0);
  }
}

// Each allocation of the semi-global refined map fails with kOutOfMemory, keeps nothing and
// leaves the output untouched, with and without the confidence; the next call is whole.
TEST(FaultInjection, EachAllocationOfARefinedMapFailsCleanly) {
  const int W = 40, H = 150;  // two bands
  cv::Mat left, right, truth;
  synthetic_pair(W, H, 2, 8, cv::Rect(10, 20, 15, 60), 3, &left, &right, &truth);
  ondrel::Parameters p;
  p.max_disparity = 12;
  for (bool with_confidence : {false, true})
    for (int threads : {1, 3}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, confidence " << with_confidence);
      std::vector<float> expected(static_cast<size_t>(W) * H), out(expected.size()), confidence(expected.size());
      const ondrel::FloatPlane confidence_plane = {with_confidence ? confidence.data() : nullptr, W, H, W};
      const auto call = [&](std::vector<float>* into) {
        return ondrel::match_refined(view_of(left), view_of(right), p, {}, ondrel::Options{threads},
                                     {into->data(), W, H, W}, confidence_plane);
      };
      const long before = ondrel_testing_allocation_count();
      ASSERT_TRUE(call(&expected).ok());
      const long n = ondrel_testing_allocation_count() - before;
      ASSERT_GT(n, 0);
      for (long i = 1; i <= n; ++i) {
        std::fill(out.begin(), out.end(), 42.0f);
        const long live = ondrel_testing_live_allocations();
        ondrel_testing_fail_allocation(i);
        const ondrel::Status status = call(&out);
        ondrel_testing_fail_allocation(0);
        EXPECT_EQ(status.code, ondrel::StatusCode::kOutOfMemory) << "allocation " << i << " of " << n;
        EXPECT_EQ(ondrel_testing_live_allocations(), live) << "allocation " << i;
        EXPECT_EQ(std::count(out.begin(), out.end(), 42.0f), W * H) << "allocation " << i;
      }
      ASSERT_TRUE(call(&out).ok());
      EXPECT_TRUE(same_floats(out, expected, W));
    }
}

// Working storage starts on a cache line whatever the heap held before (the window kernel's
// records are slow across two lines), is whole and zero-filled where asked, and a size past
// the address space fails instead of wrapping around.
TEST(FaultInjection, WorkingMemoryStartsOnACacheLine) {
  std::vector<void*> held;
  for (size_t bytes : {0, 1, 15, 16, 24, 63, 64, 65, 1000, 100003}) {
    held.push_back(std::malloc(bytes % 97 + 1));  // moves where the heap's next block starts
    unsigned char* p = static_cast<unsigned char*>(ondrel_alloc_zeroed(bytes, 1));
    unsigned char* q = static_cast<unsigned char*>(ondrel_alloc_uninitialized(3, bytes));
    ASSERT_TRUE(p && q) << bytes;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u) << bytes;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(q) % 64, 0u) << bytes;
    EXPECT_EQ(std::count(p, p + bytes, 0), static_cast<long>(bytes)) << bytes;
    std::memset(q, 1, 3 * bytes);  // every byte is the buffer's (the sanitizers check)
    ondrel_free(p);
    ondrel_free(q);
  }
  for (void* b : held) std::free(b);
  EXPECT_EQ(ondrel_alloc_zeroed(SIZE_MAX / 2, 2), nullptr);
  EXPECT_EQ(ondrel_alloc_uninitialized(SIZE_MAX - 8, 1), nullptr);
  ondrel_free(nullptr);
}

// A result folder that is full (a small tmpfs), read-only (even for root), or written under a
// file size limit of 1 KiB (which needs no root; the program ignores the signal the limit
// raises, and standard output goes through a pipe, which the limit does not bind): both
// results are refused with the reason, the earlier files stay byte for byte, no temporary file
// is left; with the fault gone the same answers save.
TEST(FaultInjection, AResultFolderThatCannotTakeTheResultsKeepsTheEarlierOnes) {
  enum Fault { kFull, kReadOnly, kSizeLimit };
  const struct { Fault fault; const char* reason; } faults[] = {
      {kFull, "No space left on device"}, {kReadOnly, "Read-only file system"}, {kSizeLimit, "File too large"}};
  for (const auto& f : faults) {
    SCOPED_TRACE(f.reason);
    TempDir dir;
    const auto results = [&] {  // both result files
      return read_file(dir.file("Result_Tsukuba.png")) + "|" + read_file(dir.file("Result_Tsukuba_SMP.png")); };
    struct Unmount { std::string path; ~Unmount() { if (!path.empty()) umount2(path.c_str(), MNT_DETACH); } } unmount;
    if (f.fault != kSizeLimit) {
      if (mount("tmpfs", dir.path.c_str(), "tmpfs", 0, f.fault == kFull ? "size=256k,mode=0755" : "size=1m") != 0) {
        std::printf("[ skipped  ] %s: cannot mount a tmpfs here (%s)\n", f.reason, std::strerror(errno));
        continue;
      }
      unmount.path = dir.path;
    }
#ifdef ONDREL_SANITIZED
    if (f.fault == kSizeLimit) continue;  // the thread sanitizer's runtime dies of SIGBUS under the limit
#endif
    write_views(dir.path, "Tsukuba", random_image(96, 64, CV_8UC3, 21), random_image(96, 64, CV_8UC3, 22));
    ASSERT_EQ(run_ondrel(kFirstAnswers, dir.path).status, 0);
    const std::string earlier = results();
    ASSERT_GT(read_file(dir.file("Result_Tsukuba.png")).size(), 1024u);
    // every byte taken (cat writes until the folder is full, then fails), or the folder made read-only
    const std::string fill_up = "exec cat /dev/zero >'" + dir.file("filler") + "' 2>/dev/null";
    ASSERT_TRUE(f.fault != kFull || std::system(fill_up.c_str()) != 0) << "the folder did not fill up";
    ASSERT_TRUE(f.fault != kReadOnly || mount(nullptr, dir.path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0)
        << std::strerror(errno);
    const std::vector<std::string> files = files_in(dir.path);
    const RunResult run = f.fault != kSizeLimit ? run_ondrel(kSecondAnswers, dir.path)
        : run_ondrel("", dir.path, "set -o pipefail; (ulimit -f 1; exec \"$0\") <<<\"$1\" | cat", {kSecondAnswers});
    EXPECT_EQ(run.status, 0);
    const std::string refused = "): any earlier file of that name is unchanged...\n", cannot = "\nERROR: cannot save \"";
    EXPECT_EQ(after_matching(run.out), cannot + "Result_Tsukuba.png\" (" + f.reason + refused + cannot +
                                           "Result_Tsukuba_SMP.png\" (" + f.reason + refused + kContinuePrompt);
    EXPECT_EQ(results(), earlier);
    EXPECT_EQ(files_in(dir.path), files);

    if (f.fault == kFull) unlink(dir.file("filler").c_str());
    if (f.fault == kReadOnly) mount(nullptr, dir.path.c_str(), nullptr, MS_REMOUNT, nullptr);
    EXPECT_EQ(after_matching(run_ondrel(kSecondAnswers, dir.path).out), kContinuePrompt);
    EXPECT_NE(results(), earlier);
  }
}

// Each result is written to a file without a name (O_TMPFILE), synced to the disk, and only
// then linked under the result's name.
TEST(FaultInjection, ResultsAreSyncedWithoutANameAndThenLinked) {
  if (std::system("command -v strace >/dev/null") != 0) GTEST_SKIP() << "strace missing";
#ifdef ONDREL_SANITIZED
  GTEST_SKIP() << "the leak checker cannot run under a tracer; the normal build checks the order";
#endif
  TempDir dir;
  write_views(dir.path, "Tsukuba", random_image(24, 10, CV_8UC3, 21), random_image(24, 10, CV_8UC3, 22));
  const RunResult run =
      run_ondrel(kFirstAnswers, dir.path, "exec strace -f -qq -o trace -e trace=openat,fsync,linkat,rename \"$0\"");
  ASSERT_EQ(run.status, 0);
  const std::string trace = read_file(dir.file("trace"));
  for (const std::string name : {"Result_Tsukuba.png", "Result_Tsukuba_SMP.png"}) {
    SCOPED_TRACE(name + " in\n" + trace);
    const size_t linked = trace.find("\"" + name + "\", AT_SYMLINK_FOLLOW) = 0");
    ASSERT_NE(linked, std::string::npos);
    const size_t line = trace.rfind('\n', linked) + 1, fd = trace.find("/proc/self/fd/", line) + 14;
    const std::string descriptor = trace.substr(fd, trace.find('"', fd) - fd);
    const size_t opened = trace.rfind("O_TMPFILE, 0666) = " + descriptor + "\n", linked);
    const size_t synced = trace.rfind("fsync(" + descriptor + ")", linked);
    ASSERT_NE(opened, std::string::npos);
    EXPECT_TRUE(synced != std::string::npos && opened < synced);
  }
}

// The answers of two passes, with wrong answers at every question, are cut after each word in
// turn and the pipe closed: the program stops at the next question with its message and
// status 1, or at the continue question quietly with status 0, after saying exactly what the
// whole run says up to there; finished passes have saved their results. Standard input closed
// before the start, or unreadable, is the end of input at the first question.
TEST(FaultInjection, StandardInputClosedAtEveryQuestion) {
  const auto prepare = [](const TempDir& dir) {
    write_views(dir.path, "Tsukuba", random_image(24, 10, CV_8UC3, 21), random_image(24, 10, CV_8UC3, 22));
    write_views(dir.path, "Venus", random_image(30, 8, CV_8UC3, 23), random_image(30, 8, CV_8UC3, 24)); };
  const auto run_through_pipe = [](const std::string& input, const std::string& cwd) {
    return run_ondrel("", cwd, "printf '%s' \"$1\" | \"$0\"", {input}); };
  // first pass: display, pair, radii, gammas and threshold, each with wrong answers first;
  // second pass: a block too large for Venus and an unsuitable support radius
  const std::vector<std::string> words = {"yes", "0", "1", "1", "2", "4", "2", "4", "1", "-3", "10", "-1", "12", "0",
                                          "300", "20", "c", "2", "7", "7", "3", "4", "1", "5", "6", "7", "q"};
  const size_t first_continue = 16, second_continue = 26;  // words answered before each
  TempDir whole_dir;
  prepare(whole_dir);
  std::string all;  // one word a line
  for (const std::string& w : words) all += w + "\n";
  const RunResult whole = run_through_pipe(all, whole_dir.path);
  ASSERT_EQ(whole.status, 0);
  const std::string full = without_times(whole.out);
  for (size_t k = 0; k < words.size(); ++k) {
    SCOPED_TRACE(testing::Message() << "input closed after " << k << " words");
    TempDir dir;
    prepare(dir);
    std::string input;  // three words a line
    for (size_t i = 0; i < k; ++i) input += words[i] + (i % 3 == 2 ? "\n" : " ");
    const RunResult run = run_through_pipe(input, dir.path);
    const std::string out = without_times(run.out);
    const bool at_continue = k == first_continue || k == second_continue;
    EXPECT_EQ(run.status, at_continue ? 0 : 1);
    const std::string said = at_continue ? out : out.substr(0, out.size() - std::min(out.size(), kEndOfInput.size()));
    EXPECT_EQ(out.substr(said.size()), at_continue ? "" : kEndOfInput);
    EXPECT_EQ(full.compare(0, said.size(), said), 0) << out;
    EXPECT_EQ(said.substr(said.size() - 2), ": ") << "the last thing said is a question";
    EXPECT_EQ(read_file(dir.file("Result_Tsukuba.png")).empty(), k < first_continue);
    EXPECT_EQ(read_file(dir.file("Result_Venus.png")).empty(), k < second_continue);
  }
  const std::string question = "If yes, press y and enter: " + kEndOfInput;
  for (const char* redirect : {"<&-", "<.", "</dev/null"}) {
    SCOPED_TRACE(redirect);
    const RunResult run = run_ondrel("", whole_dir.path, std::string("exec \"$0\" ") + redirect);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(tail_of(run.out, question.size()), question);
  }
}
