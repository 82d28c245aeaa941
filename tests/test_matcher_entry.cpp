// The library entry ondrel::match: its planes against the straightforward pipeline of
// tests/support, the console entry's bytes against its values, refused arguments, progress
// and cancelling, and calls from several threads at once.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "app/console_entry.h"
#include "matcher/match.h"
#include "tests/support/reference.h"
#include "tests/support/test_support.h"

namespace {

using namespace ondrel_test;

constexpr ondrel::CostFunction kCensus = ondrel::CostFunction::kCensus;

// ondrel::match at every vector width and with 1, 2 and 3 threads gives the planes of the reference pipeline,
// the confidence asked for or not. The table: max_disparity > W; census costs (T unused), the 16- and 32-bit
// sums; ranges min .. max with negative, zero and positive minima (the reference matches the right view
// shifted by min for 0 .. max - min). Then every size from 1 x 1 up to just past one block, both costs,
// support windows as small as the block and wider than the image: the sizes below one block are refused.
TEST(LibraryEntry, PlanesEqualTheReferencePipelineAndTinyImagesAreRefused) {
  struct Case { int W, H; ondrel::Parameters p; int left_pad = 0, right_pad = 0; };
  const auto range = [](int min, int max, ondrel::CostFunction cost = ondrel::CostFunction::kTad) {
    ondrel::Parameters p = parameters(1, 4, max, 53, 23, cost);
    p.min_disparity = min;
    return p;
  };
  std::vector<Case> cases = {{21, 13, parameters(1, 4, 6), 1, 2},       {9, 9, parameters(4, 4, 3, 20)},
      {15, 11, parameters(0, 2, 0, 255), 2, 0},  {7, 19, parameters(1, 1, 9), 0, 1},
      {45, 23, parameters(2, 7, 19, 30), 3, 3},  {3, 5, parameters(1, 1, 1)},
      {23, 13, parameters(0, 3, 8, 765, 2), 1, 0},
      {19, 11, parameters(1, 4, 6, 0, 23, kCensus), 2, 1}, {17, 9, parameters(0, 2, 20, 53, 23, kCensus), 0, 3},
      {41, 39, parameters(18, 18, 9, 53, 23, kCensus)},
      {37, 13, range(-6, 5), 0, 2}, {37, 13, range(-12, -3)}, {37, 13, range(4, 15), 0, 2}, {37, 13, range(0, 9)},
      {30, 11, range(-5, -5, kCensus), 0, 2}, {30, 11, range(3, 40)}, {30, 11, range(-40, -33), 0, 2},
      {33, 12, range(-7, 8, kCensus)}};
  for (int r = 0; r <= 2; ++r)
    for (int R : {r, 3 * r + 1})
      for (ondrel::CostFunction cost : {ondrel::CostFunction::kTad, kCensus})
        for (int H = 1; H <= 2 * r + 2; ++H)
          for (int W = 1; W <= 2 * r + 2; ++W) cases.push_back({W, H, parameters(r, R, 3, 53, 23, cost)});
  for (const Case& c : cases) {
    const ondrel::Parameters& p = c.p;
    SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << " r " << p.block_radius << " R " << p.support_radius);
    const uint32_t seed = static_cast<uint32_t>(c.W * 5 + c.H + p.support_radius);
    const cv::Mat left = random_image(c.W, c.H, CV_8UC3, seed, c.left_pad);
    const cv::Mat right = random_image(c.W, c.H, CV_8UC3, seed + 1, c.right_pad);
    Planes got;
    if (c.W <= 2 * p.block_radius || c.H <= 2 * p.block_radius) {
      EXPECT_FALSE(match_planes(left, right, p, {}, &got).ok());
      continue;
    }
    const Planes expected = reference_match(left, right, p);
    bool with_confidence = false;
    for (int bits : simd_widths()) {
      SimdLimit limit(bits);
      for (int threads : {1, 2, 3}) {
        with_confidence = !with_confidence;
        const ondrel::Status status = match_planes(left, right, p, ondrel::Options{threads}, &got, 3, with_confidence);
        ASSERT_TRUE(status.ok()) << status.message;
        EXPECT_TRUE(same_planes(got, expected)) << bits << "-bit path, " << threads << " threads";
      }
    }
  }
}

// A pair whose right view is shifted by s, matched for min - s .. max - s, gives the disparities
// of the pair less s wherever the pair has one and its windows read no column the shift pushed out.
TEST(LibraryEntry, AShiftedRightViewGivesTheDisparitiesLessTheShift) {
  const int W = 48, H = 14, s = 9, R = 4;
  const cv::Mat left = random_image(W, H, CV_8UC3, 5), right = random_image(W, H, CV_8UC3, 6);
  cv::Mat moved(H, W, CV_8UC3, cv::Scalar(7, 8, 9));  // column x holds the right view's x - s
  right.colRange(0, W - s).copyTo(moved.colRange(s, W));
  for (int min : {0, 4}) {
    Planes pair, shifted;
    ondrel::Parameters p = parameters(1, R, 12, 53, 23);
    p.min_disparity = min;
    ASSERT_TRUE(match_planes(left, right, p, {}, &pair).ok());
    p.min_disparity -= s, p.max_disparity -= s;
    ASSERT_TRUE(match_planes(left, moved, p, {}, &shifted).ok());
    int compared = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x + R + s < W; ++x) {
        const float a = pair.plane[0][static_cast<size_t>(y) * W + x], b = shifted.plane[0][static_cast<size_t>(y) * W + x];
        // (the shifted pair may have values where the pair has none: its right pixels lie inside)
        ASSERT_TRUE(std::isnan(a) || std::abs(b - (a - s)) < 1e-4f) << x << ", " << y << ": " << a << ", " << b;
        compared += !std::isnan(a);
      }
    EXPECT_GT(compared, 100);
  }
}

// A range that no column can take whole (first column max(max, max - min) >= W) gives the
// no-value planes (confidence 0) at once: a million disparities on 80 x 60 need no working
// storage (it would be gigabytes).
TEST(LibraryEntry, ARangeBeyondTheWidthGivesNoValueAtOnce) {
  const cv::Mat left = random_image(80, 60, CV_8UC3, 5), right = random_image(80, 60, CV_8UC3, 6);
  for (auto [min, max] : {std::pair{0, 80}, {0, 1000000}, {0, 536870911}, {-100, -20}, {-500000, 500000}}) {
    Planes got;
    ondrel::Parameters p = parameters(1, 4, max);
    p.min_disparity = min;
    const ondrel::Status status = match_planes(left, right, p, {}, &got);
    ASSERT_TRUE(status.ok()) << status.message;
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(std::count_if(got.plane[i].begin(), got.plane[i].end(),
                              [i](float v) { return i < 3 ? !std::isnan(v) : v != 0.0f; }), 0)
          << min << " .. " << max << ", plane " << i;
  }
}

// The radius check computes in floating point; it is divisibility for every pair it accepts.
TEST(LibraryEntry, RadiusCheckIsDivisibilityForEveryRadiusPair) {
  long long wrong = 0;
  for (int R = 0; R <= ondrel::kMaxSupportRadius; ++R)
    for (int r = 0; r <= ondrel::kMaxSupportRadius; ++r)
      wrong += ondrel::internal::radii_tile(R, r) != ((2 * R + 1) % (2 * r + 1) == 0);
  EXPECT_EQ(wrong, 0);
}

// The console program's bytes come from the designed values, whose offsets are not bounded;
// the library's planes keep every value within one pixel of its winner.
TEST(LibraryEntry, ProgramBytesAreTheBytesOfTheDesignedValues) {
  long long outside = 0;  // designed values the library's planes bound
  for (auto [W, H, max_disparity, scale] : {std::array{40, 17, 15, 16}, {33, 21, 20, 25}, {28, 15, 9, 1}}) {
    const cv::Mat left = random_image(W, H, CV_8UC3, W), right = random_image(W, H, CV_8UC3, W + 1);
    const ondrel::Parameters p = parameters(1, 4, max_disparity);
    const Planes values = reference_match(left, right, p, false), bounded = reference_match(left, right, p);
    for (size_t j = 0; j < values.plane[0].size(); ++j) {
      const float v = values.plane[0][j], b = bounded.plane[0][j];
      ASSERT_TRUE(std::isnan(v) == std::isnan(b) && !(b < 0.0f || b > max_disparity)) << j;
      outside += !same_value(v, b);
    }
    cv::Mat maps[3];  // disparity, right disparity, uniqueness: rows padded, spare bytes random
    random_maps(maps, W, H, 50);
    ASSERT_EQ(program_match(left, right, maps, max_disparity, 1, 4, p.gamma_space, p.gamma_color, p.tad_threshold,
                            scale), 0);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < W * H; ++j) {
        const float v = values.plane[(3 - i) % 3][static_cast<size_t>(j)];  // maps 0, 1, 2 are planes 0, 2, 1
        const int byte = maps[i].at<unsigned char>(j / W, j % W);
        ASSERT_EQ(byte, disparity_byte_of(v, scale)) << "map " << i << " at " << j % W << ", " << j / W;
        ASSERT_TRUE(!std::isnan(v) || byte == 255);
      }
  }
  EXPECT_GT(outside, 0) << "random views give a few flat or downward parabolas";
  // the byte: (value * scale) in float, truncated to 16 bits, low 8 bits; 255 for NaN
  const float kNaN = std::numeric_limits<float>::quiet_NaN();
  const struct { float value; int scale, byte; } bytes[] = {{16.09375f, 16, 1}, {16, 16, 0}, {-0.1875f, 16, 253},
      {-0.01f, 16, 0}, {5003, 16, 0}, {-4997, 16, 0}, {kNaN, 16, 255}, {INFINITY, 16, 0}, {7, 16, 112}, {300, 1, 44}};
  for (const auto& b : bytes) EXPECT_EQ(disparity_byte_of(b.value, b.scale), b.byte) << b.value;
}

// One Matcher through calls of growing and shrinking sizes, both costs, other gammas, a range
// with a least disparity and a refused call in between gives the planes of fresh calls.
TEST(LibraryEntry, OneMatcherGivesTheBytesOfFreshCalls) {
  struct Case { int W, H; ondrel::Parameters p; };
  std::vector<Case> cases = {{40, 23, parameters(1, 4, 9)}, {64, 37, parameters(2, 7, 20, 30, 11)},
                             {21, 13, parameters(0, 3, 6, 53, 23, kCensus)}, {64, 37, parameters(1, 4, 9, 53, 23)},
                             {9, 9, parameters(4, 4, 3, 20)}, {33, 20, parameters(1, 4, 12, 53, 7)}};
  cases[3].p.min_disparity = -4;
  cases[4].p.block_radius = 5;  // refused: the block does not fit
  ondrel::Matcher matcher;
  for (int threads : {1, 3}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.W << "x" << c.H << ", " << threads << " threads");
      const cv::Mat left = random_image(c.W, c.H, CV_8UC3, c.W), right = random_image(c.W, c.H, CV_8UC3, c.H);
      Planes fresh, reused;
      const ondrel::Status expected = match_planes(left, right, c.p, ondrel::Options{threads}, &fresh);
      const ondrel::Status got = match_planes(left, right, c.p, ondrel::Options{threads}, &reused, 3, true, &matcher);
      ASSERT_EQ(got.code, expected.code);
      ASSERT_STREQ(got.message, expected.message);
      if (got.ok()) {
        EXPECT_TRUE(same_planes(reused, fresh));
      }
    }
  }
  ondrel::Matcher moved = std::move(matcher);  // the storage goes with it
  EXPECT_TRUE(moved.compute(ondrel::ImageView{}, ondrel::ImageView{}, {}, {}, {}).code ==
              ondrel::StatusCode::kInvalidArgument);
}

// A call of either entry, before one argument is spoilt.
struct Args {
  cv::Mat left = random_image(40, 30, CV_8UC3, 10), right = random_image(40, 30, CV_8UC3, 11);
  ondrel::ImageView left_view = view_of(left), right_view = view_of(right);
  ondrel::Parameters p = parameters(6, 19, 15);
  ondrel::Options options;
  int min_disparity = 0;
  std::vector<float> buffers[3];
  ondrel::DisparityPlanes out;
  Args() {
    ondrel::FloatPlane* planes[3] = {&out.disparity, &out.uniqueness, &out.right_disparity};
    for (int i = 0; i < 3; ++i) buffers[i].assign(40 * 30, -5.0f), *planes[i] = {buffers[i].data(), 40, 30, 40};
  }
};

// The library names the parameter and what it may be; the program prints its own texts.
TEST(LibraryEntry, BadArgumentsAreRefusedWithOneMessageAndTouchNothing) {
  const char* const kTiles = "Error: Something wrong with paprameters radius_macro and radius: aborting :-(...";
  const char* const kViews =
      "Error: the views must be 3-channel 8-bit images of one size and the three outputs 1-channel 8-bit images of "
      "that size: aborting...";
  const char* const kLibraryViews =
      "views: left and right must be non-empty 3-channel 8-bit views of one size (rows of at least 3 * width bytes), "
      "and every output plane given of that size";
  static std::vector<unsigned char> huge(1675 * 1675 * 3, 1);
  const struct { const char* what; void (*spoil)(Args&); const char* library; const char* program; } cases[] = {
      {"radii that do not tile", [](Args& a) { a.p.block_radius = 2; },
       "block_radius: 2*block_radius+1 (5) must divide 2*support_radius+1 (39)", kTiles},
      {"block radius above the support's", [](Args& a) { a.p.block_radius = 4, a.p.support_radius = 3; },
       "support_radius (3) must lie in block_radius (4) ... 2047", kTiles},
      {"negative block radius", [](Args& a) { a.p.block_radius = -1, a.p.support_radius = 1; },
       "block_radius (-1) must be at least 0", "Error: the radius of the blocks must not be negative (i.e. -1): aborting..."},
      {"support side above 4095", [](Args& a) { a.p.block_radius = 0, a.p.support_radius = 2048; },
       "support_radius (2048) must lie in block_radius (0) ... 2047",
       "Error: the radius of the supports must lie in 0 ... 2047 (i.e. 2048): aborting..."},
      {"negative support radius", [](Args& a) { a.p.block_radius = 0, a.p.support_radius = -1; },
       "support_radius (-1) must lie in block_radius (0) ... 2047",
       "Error: the radius of the supports must lie in 0 ... 2047 (i.e. -1): aborting..."},
      {"block larger than the image", [](Args& a) { a.p.block_radius = a.p.support_radius = 20; },
       "block_radius: a block of 41x41 pixels must fit in the image (40x30 pixels)",
       "Error: the block (41x41 pixels) does not fit in the image (40x30 pixels): aborting..."},
      {"max_disparity", [](Args& a) { a.p.max_disparity = -1; },
       "max_disparity (-1) must lie in min_disparity (0) ... 536870911",
       "Error: max_disparity must lie in 0 ... 536870911 (i.e. -1): aborting..."},
      {"TAD threshold", [](Args& a) { a.p.tad_threshold = -5; }, "tad_threshold (-5) must be at least 0",
       "Error: TAD_threshold must not be negative (i.e. -5): aborting..."},
      {"min_disparity above max_disparity", [](Args& a) { a.p.min_disparity = 16; },
       "max_disparity (15) must lie in min_disparity (16) ... 536870911", nullptr},
      {"range too wide", [](Args& a) { a.p.min_disparity = -536870000, a.p.max_disparity = 1000; },
       "max_disparity (1000) must lie in min_disparity (-536870000) ... 911", nullptr},
      {"min_disparity below the range", [](Args& a) { a.p.min_disparity = -536870912; },
       "min_disparity (-536870912) must lie in -536870911 ... 536870911", nullptr},
      {"min_disparity", [](Args& a) { a.min_disparity = 2; }, nullptr,
       "Error: min_disparity must be 0 (i.e. 2): aborting..."},
      {"gamma_color 0", [](Args& a) { a.p.gamma_color = 0; }, "gamma_color (0) must be finite and above 0 (at least 1.17549e-38)",
       nullptr},
      {"gamma_space NaN", [](Args& a) { a.p.gamma_space = std::numeric_limits<float>::quiet_NaN(); },
       "gamma_space (nan) must be finite and above 0 (at least 1.17549e-38)", nullptr},
      {"gamma_color below the normal floats", [](Args& a) { a.p.gamma_color = 5.87747e-39f; },
       "gamma_color (5.87747e-39) must be finite and above 0 (at least 1.17549e-38)", nullptr},
      {"gamma_color infinite", [](Args& a) { a.p.gamma_color = -std::numeric_limits<float>::infinity(); },
       "gamma_color (-inf) must be finite and above 0 (at least 1.17549e-38)", nullptr},
      {"grey left view", [](Args& a) { a.left = random_image(40, 30, CV_8UC1, 13), a.left_view = view_of(a.left); },
       kLibraryViews, kViews},
      {"right view of another size", [](Args& a) { a.right_view.width = 41; }, kLibraryViews, nullptr},
      {"no left pixels", [](Args& a) { a.left_view.data = nullptr; }, kLibraryViews, nullptr},
      {"empty views", [](Args& a) { a.left_view.width = a.right_view.width = 0; }, kLibraryViews, nullptr},
      {"stride below the row", [](Args& a) { a.right_view.stride = 119; }, kLibraryViews, nullptr},
      {"plane of another height", [](Args& a) { a.out.uniqueness.height = 29; }, kLibraryViews, nullptr},
      {"plane stride below the row", [](Args& a) { a.out.right_disparity.stride = 39; }, kLibraryViews, nullptr},
      {"negative thread count", [](Args& a) { a.options.threads = -1; },
       "threads (-1) must lie in 0 ... 1024 (0: every processor)", nullptr},
      {"thread count above the limit", [](Args& a) { a.options.threads = 2147483647; },
       "threads (2147483647) must lie in 0 ... 1024 (0: every processor)", nullptr},
      // (2r+1)(2r+2) * 765 beyond 2^31 - 1 needs 2r+1 >= 1675
      {"block sums beyond 32 bits",
       [](Args& a) {
         a.left_view = a.right_view = {huge.data(), 1675, 1675, 1675 * 3};
         a.p = parameters(837, 837, 0, 765);
         a.out.disparity.data = a.out.uniqueness.data = a.out.right_disparity.data = nullptr;
       },
       "block_radius (837): blocks of 1675x1675 pixels overflow the 32-bit block sums with tad_threshold 765", nullptr},
  };
  for (const auto& c : cases) {
    Args a;
    c.spoil(a);
    if (c.library) {
      const ondrel::Status s = ondrel::match(a.left_view, a.right_view, a.p, a.options, a.out);
      EXPECT_EQ(s.code, ondrel::StatusCode::kInvalidArgument) << c.what;
      EXPECT_STREQ(s.message, c.library) << c.what;
      for (const auto& buffer : a.buffers) EXPECT_EQ(buffer, std::vector<float>(40 * 30, -5.0f)) << c.what;
      if (a.options.threads == 0 && a.left_view.data == a.left.data && a.left_view.width == 40) {
        // the same verdict from check() alone, with the size of the views
        const ondrel::Status checked = ondrel::check(a.p, a.left_view.width, a.left_view.height);
        EXPECT_STREQ(checked.message, std::string(c.library).rfind("views", 0) == 0 ? "" : c.library) << c.what;
      }
    }
    if (c.program) {
      cv::Mat maps[3], before[3];
      random_maps(maps, 40, 30, 20), random_maps(before, 40, 30, 20);
      std::string out;
      EXPECT_EQ(program_match(a.left, a.right, maps, a.p.max_disparity, a.p.block_radius, a.p.support_radius,
                              a.p.gamma_space, a.p.gamma_color, a.p.tad_threshold, 16, &out, a.min_disparity), -1) << c.what;
      EXPECT_EQ(out, std::string(c.program) + "\n") << c.what;
      for (int i = 0; i < 3; ++i) EXPECT_TRUE(same_image(maps[i], before[i])) << c.what;
    }
  }
  // the console program takes a gamma_color of 0, as designed: no winner anywhere
  Args a;
  cv::Mat maps[3];
  random_maps(maps, 40, 30, 20);
  std::string out;
  EXPECT_EQ(program_match(a.left, a.right, maps, 15, 6, 19, 14.0f, 0.0f, 53, 16, &out), 0) << out;
  for (const cv::Mat& map : maps) EXPECT_EQ(cv::countNonZero(map != 255), 0);
}

// The progress is the rows done so far, never fewer than before, up to H; false cancels, and
// no call follows. The first thread reports it; when the report takes long, the other threads
// take the rest of its band: the planes stay those of one thread, every row done once.
TEST(LibraryEntry, ProgressCountsTheRowsFalseCancelsAndASlowReportChangesNoRow) {
  const int W = 33, H = 61;
  const cv::Mat left = random_image(W, H, CV_8UC3, 62), right = random_image(W, H, CV_8UC3, 63);
  Planes one;
  ASSERT_TRUE(match_planes(left, right, parameters(1, 4, 7), ondrel::Options{1}, &one).ok());
  struct Progress { std::vector<std::pair<int, int>> calls; bool answer = true; };
  for (int threads : {1, 2, 3}) {
    Progress progress;
    const ondrel::Options options{threads, [](void* user, int done, int total) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      static_cast<Progress*>(user)->calls.emplace_back(done, total);
      return static_cast<Progress*>(user)->answer;
    }, &progress};
    Planes got;
    ASSERT_TRUE(match_planes(left, right, parameters(1, 4, 7), options, &got).ok());
    EXPECT_TRUE(same_planes(got, one)) << threads << " threads";
    ASSERT_FALSE(progress.calls.empty());
    for (size_t i = 0; i < progress.calls.size(); ++i) {
      EXPECT_EQ(progress.calls[i].second, H);
      EXPECT_GE(progress.calls[i].first, i ? progress.calls[i - 1].first : 1) << threads << " threads, call " << i;
    }
    EXPECT_EQ(progress.calls.back().first, H) << threads << " threads";

    progress = Progress{};
    progress.answer = false;
    const ondrel::Status s = match_planes(left, right, parameters(1, 4, 7), options, &got);
    EXPECT_EQ(s.code, ondrel::StatusCode::kCancelled) << threads << " threads";
    EXPECT_STREQ(s.message, "the call was cancelled");
    EXPECT_EQ(progress.calls.size(), 1u) << threads << " threads";  // no call after the refusal
  }
}

// The shared colour table is refilled only while no call uses it: calls with another
// gamma_color at the same time get their own. Runs in the ThreadSanitizer build too.
TEST(LibraryEntry, ConcurrentCallsGiveTheSequentialPlanes) {
  const cv::Mat left = random_image(37, 19, CV_8UC3, 70), right = random_image(37, 19, CV_8UC3, 71);
  const ondrel::Parameters p[3] = {parameters(1, 4, 9), parameters(1, 4, 9, 53, 11), parameters(1, 4, 9)};
  const ondrel::Options options{2};
  Planes sequential[3];
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(match_planes(left, right, p[i], options, &sequential[i]).ok());
  for (int round = 0; round < 3; ++round) {
    Planes concurrent[3];
    ondrel::Status status[3];
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
      threads.emplace_back([&, i] { status[i] = match_planes(left, right, p[i], options, &concurrent[i]); });
    for (auto& t : threads) t.join();
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(status[i].ok()) << status[i].message;
      EXPECT_TRUE(same_planes(concurrent[i], sequential[i])) << "call " << i << ", round " << round;
    }
  }
}

}  // namespace
