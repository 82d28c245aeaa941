// ondrel-eval: the measure on synthetic images with known bad pixels, the colour views, the
// error picture, the table, and the program itself on temporary folders.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/test_support.h"
#include "tools/eval/evaluation.h"
#include "tools/eval/report.h"
#include "tools/eval/scenes.h"
#include "util/pfm.h"

using namespace ondrel_eval;
using ondrel_test::random_image;
using ondrel_test::RunResult;
using ondrel_test::TempDir;
using ondrel_test::with_padding;

namespace {

// One designed pixel: truth byte, result byte, the three mask bytes, and whether it is bad
// with a threshold of 0.5 and of 2 pixels (scale 4: errors above 2 and above 8 grey levels).
struct Case {
  unsigned char g, v, nonocc, all, disc;
  bool bad_half, bad_two;
};

// scale 4: grey 40 is disparity 10
const Case kCases[] = {
    {40, 40, 255, 255, 255, false, false},   // A exact
    {40, 42, 255, 255, 128, false, false},   // B error 0.5: not above 0.5
    {40, 43, 255, 255, 255, true, false},    // C error 0.75
    {40, 48, 255, 255, 128, true, false},    // D error 2: not above 2
    {40, 49, 255, 255, 255, true, true},     // E error 2.25
    {40, 255, 255, 255, 255, true, true},    // F no value
    {40, 255, 255, 255, 128, true, true},    // G no value, disc 128 (not evaluated in disc)
    {40, 30, 0, 255, 0, true, true},         // H occluded, error 2.5: only in all
    {40, 255, 0, 255, 0, true, true},        // I occluded, no value
    {0, 100, 255, 255, 255, true, true},     // J unknown truth: in no region despite its masks
    {40, 100, 0, 0, 0, true, true},          // K outside every mask
    {40, 255, 128, 128, 128, true, true},    // L masks of 128 only: in no region
    {40, 39, 255, 255, 255, false, false},   // M error 0.25
    {200, 254, 255, 255, 255, true, true},   // N a value of 254 is a value, far off
    {12, 0, 255, 255, 255, true, true},      // O result 0 against 3 px: error 3
};

// The designed pixels scattered over an 11 x 7 image (one in every third pixel, row-major),
// the rest unknown truth, results of random bytes, masks of 0; all with padded strides.
GroundTruth make_synthetic(cv::Mat* result) {
  const int W = 11, H = 7;
  cv::Mat g = cv::Mat::zeros(H, W, CV_8UC1), v = random_image(W, H, CV_8UC1, 5), m[3];
  for (cv::Mat& mask : m) mask = cv::Mat::zeros(H, W, CV_8UC1);
  for (int i = 0; i < static_cast<int>(std::size(kCases)); ++i) {
    const cv::Point p((3 * i + 1) % W, (3 * i + 1) / W);
    const Case& c = kCases[i];
    g.at<unsigned char>(p) = c.g;
    v.at<unsigned char>(p) = c.v;
    m[0].at<unsigned char>(p) = c.nonocc;
    m[1].at<unsigned char>(p) = c.all;
    m[2].at<unsigned char>(p) = c.disc;
  }
  GroundTruth truth;
  truth.scale = 4;
  truth.disparity = with_padding(g, 3, 1);
  for (int r = 0; r < 3; ++r) truth.mask[r] = with_padding(m[r], 2 + r, 2 + r);
  *result = with_padding(v, 5, 9);
  return truth;
}

cv::Vec3b turbo(int index) {
  cv::Mat one(1, 1, CV_8UC1, cv::Scalar(index)), colored;
  cv::applyColorMap(one, colored, cv::COLORMAP_TURBO);
  return colored.at<cv::Vec3b>(0, 0);
}

}  // namespace

// --- the measure ---------------------------------------------------------------------------

TEST(EvalMeasure, DesignedPixelsGiveKnownCountsAtEachThreshold) {
  cv::Mat result;
  const GroundTruth truth = make_synthetic(&result);
  // region pixels: nonocc A-G M N O (10), all also H I (12), disc (255 only) A C E F M N O (7);
  // nonocc pixels with a value: A-E M N O (8)
  struct Expected {
    double threshold;
    long long bad[kRegionCount], valid_bad;
  };
  const Expected expected[] = {
      {0.5, {7, 9, 5}, 5},  // nonocc C D E F G N O; all also H I; disc C E F N O; valid C D E N O
      {2.0, {5, 7, 4}, 3},  // nonocc E F G N O; all also H I; disc E F N O; valid E N O
  };
  for (const Expected& e : expected) {
    const Score score = ondrel_eval::score(result, truth, e.threshold);
    const long long pixels[kRegionCount] = {10, 12, 7};
    for (int r = 0; r < kRegionCount; ++r) {
      EXPECT_EQ(score.region[r].pixels, pixels[r]) << e.threshold << " " << r;
      EXPECT_EQ(score.region[r].bad, e.bad[r]) << e.threshold << " " << r;
      EXPECT_DOUBLE_EQ(score.region[r].percent(), 100.0 * e.bad[r] / pixels[r]);
    }
    EXPECT_EQ(score.valid.pixels, 8);
    EXPECT_EQ(score.valid.bad, e.valid_bad);
    EXPECT_DOUBLE_EQ(score.density(), 80.0);
    EXPECT_DOUBLE_EQ(score.valid_error(), 100.0 * e.valid_bad / 8);
    EXPECT_DOUBLE_EQ(score.average(), (100.0 * e.bad[0] / 10 + 100.0 * e.bad[1] / 12 + 100.0 * e.bad[2] / 7) / 3);
    for (const Case& c : kCases) {
      if (c.g == 0) continue;
      EXPECT_EQ(is_bad(c.v, c.g, 4, e.threshold), e.threshold < 1 ? c.bad_half : c.bad_two) << int(c.v);
    }
  }
  // one pixel at Tsukuba's scale 16: 16 grey levels are not above a threshold of 1
  EXPECT_FALSE(is_bad(96, 80, 16, 1.0));
  EXPECT_TRUE(is_bad(97, 80, 16, 1.0));
  EXPECT_TRUE(is_bad(63, 80, 16, 1.0));
  EXPECT_TRUE(is_bad(255, 255, 16, 100.0));  // no value is bad whatever the threshold
  EXPECT_FALSE(is_bad(80, 80, 16, 0.0));

  // regions without pixels (masks of 128 only) give 0 %, not a division by zero
  GroundTruth none;
  none.scale = 8;
  none.disparity = cv::Mat(4, 5, CV_8UC1, cv::Scalar(40));
  for (cv::Mat& m : none.mask) m = cv::Mat(4, 5, CV_8UC1, cv::Scalar(128));
  const Score empty = ondrel_eval::score(cv::Mat(4, 5, CV_8UC1, cv::Scalar(255)), none, 1.0);
  for (const Count& c : empty.region) EXPECT_EQ(c.pixels, 0);
  EXPECT_EQ(empty.region[kNonocc].percent() + empty.density() + empty.valid_error(), 0.0);
}

TEST(EvalMeasure, MismatchesNameTheProblem) {
  const cv::Size s(4, 3);
  EXPECT_EQ(image_mismatch(cv::Mat(3, 4, CV_8UC1), s), "");
  EXPECT_EQ(image_mismatch(cv::Mat(3, 4, CV_8UC3), s), "3 channels, expected 1 (8-bit grey)");
  EXPECT_EQ(image_mismatch(cv::Mat(3, 4, CV_16UC1), s), "16-bit samples, expected 8-bit grey");
  EXPECT_EQ(image_mismatch(cv::Mat(5, 4, CV_8UC1), s), "4x5 pixels, expected 4x3");
  EXPECT_EQ(image_mismatch(cv::Mat(), s), "no pixels");
  EXPECT_EQ(type_mismatch(cv::Mat(3, 4, CV_16UC1), CV_16UC1, s), "");
  EXPECT_EQ(type_mismatch(cv::Mat(3, 4, CV_8UC1), CV_16UC1, s), "8-bit samples, expected 16-bit grey");
  EXPECT_EQ(type_mismatch(cv::Mat(3, 4, CV_16UC3), CV_16UC1, s), "3 channels, expected 1 (16-bit grey)");
  EXPECT_EQ(type_mismatch(cv::Mat(2, 4, CV_32FC1), CV_32FC1, s), "4x2 pixels, expected 4x3");
}

// Float maps: one row of designed pixels per case, the figures of both areas worked out by
// hand. Middlebury pixels are {truth, mask byte, result}; KITTI pixels {noc truth, occ truth,
// result} in pixels (stored x 256, 0 = none). Figures: bad 0.5 / 1 / 2 / 4 % (KITTI: D1 %, then
// three unused), average error, RMS, density %.
TEST(EvalScenes, DesignedPixelsGiveKnownFigures) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    bool kitti;
    std::vector<std::array<float, 3>> pixels;
    std::array<double, 7> area[2];  // nonocc (noc), all
  };
  const Case cases[] = {
      {"every kind of pixel",
       false,
       {{10, 255, 10}, {10, 255, 10.75f},  // exact, error 0.75
        {10, 255, 13}, {20, 255, 19},      // error 3, error 1 (not above 1)
        {10, 255, inf}, {10, 255, nan},    // no value: bad at every threshold, not in avg and rms
        {10, 128, 15},                     // occluded, error 5: only in all
        {inf, 255, 3}, {nan, 255, 3}, {-1, 255, 3}, {10, 0, 3}},  // unknown, damaged, negative truth; mask 0
       {{500.0 / 6, 50, 50, 200.0 / 6, 4.75 / 4, 1.625, 400.0 / 6},
        {600.0 / 7, 400.0 / 7, 400.0 / 7, 300.0 / 7, 9.75 / 5, std::sqrt(35.5625 / 5), 500.0 / 7}}},
      {"nothing evaluated", false, {{inf, 255, 1}, {5, 0, 1}}, {{0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0}}},
      {"no values", false, {{5, 255, inf}, {5, 128, nan}},
       {{100, 100, 100, 100, 0, 0, 0}, {100, 100, 100, 100, 0, 0, 0}}},
      {"KITTI outliers",
       true,
       {{100, 100, 100}, {100, 100, 106},  // exact; error 6: above 3 px and 5 %, an outlier
        {100, 100, 104}, {20, 20, 23},     // error 4: not above 5 % of 100; error 3: not above 3 px
        {40, 40, 0}, {0, 50, 60},          // no value: an outlier; only in all, error 10: an outlier
        {0, 0, 7}},                        // unknown truth
       {{40, 0, 0, 0, 13.0 / 4, std::sqrt(61.0 / 4), 80}, {50, 0, 0, 0, 23.0 / 5, std::sqrt(161.0 / 5), 500.0 / 6}}},
  };
  for (const Case& c : cases) {
    const int n = static_cast<int>(c.pixels.size());
    cv::Mat planes[3];  // truth, mask, result (KITTI: noc truth, occ truth, result)
    for (int k = 0; k < 3; ++k) {
      planes[k] = cv::Mat(1, n, CV_32FC1);
      for (int x = 0; x < n; ++x) planes[k].at<float>(0, x) = c.pixels[x][k];
    }
    SceneScore score;
    if (c.kitti) {
      for (cv::Mat& plane : planes) plane.convertTo(plane, CV_16UC1, 256);
      score = score_kitti(planes[2], planes[0], planes[1]);
    } else {
      planes[1].convertTo(planes[1], CV_8UC1);
      score = score_middlebury(with_padding(planes[2], 2, 1), planes[0], with_padding(planes[1], 3, 2));
    }
    for (int a = 0; a < 2; ++a) {
      const Area& area = score.area[a];
      const double got[7] = {area.bad_percent(0), area.bad_percent(1), area.bad_percent(2), area.bad_percent(3),
                             area.average_error(), area.rms(), area.density()};
      for (int k = 0; k < 7; ++k) EXPECT_NEAR(got[k], c.area[a][k], 1e-9) << c.name << ", area " << a << ", figure " << k;
    }
  }
}

// --- colour views and error picture -----------------------------------------------------------

TEST(EvalPictures, ColorScaleOfAPairSpansItsTruthAndItsSearchRange) {
  GroundTruth truth;
  truth.scale = 4;
  truth.disparity = cv::Mat(3, 3, CV_8UC1, cv::Scalar(20));
  truth.disparity.at<unsigned char>(1, 1) = 220;
  ColorScale s = pair_color_scale(truth, 59);  // 59 x 4 = 236 > 220
  EXPECT_EQ(s.low, 0);
  EXPECT_EQ(s.high, 236);
  s = pair_color_scale(truth, 50);  // 200 < 220
  EXPECT_EQ(s.high, 220);
}

TEST(EvalPictures, NoValueIsBlackAndTheThreeMapsOfAPairShareTheColourScale) {
  const int W = 23, H = 9;
  // ground truth, map and uniqueness map: random levels, each with its own no-value pixels
  cv::Mat gt = random_image(W, H, CV_8UC1, 31), map = random_image(W, H, CV_8UC1, 32, 4),
          smp = random_image(W, H, CV_8UC1, 33, 1);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      gt.at<unsigned char>(y, x) = static_cast<unsigned char>(gt.at<unsigned char>(y, x) % 237);  // 0 .. 236
      if ((x + y) % 7 == 0) map.at<unsigned char>(y, x) = 255;
      if ((x * y) % 5 == 1) smp.at<unsigned char>(y, x) = 255;
    }
  const ColorScale scale{0, 236};
  const cv::Mat views[3] = {color_view(gt, kUnknown, scale), color_view(map, kNoValue, scale),
                            color_view(smp, kNoValue, scale)};
  const cv::Mat* greys[3] = {&gt, &map, &smp};
  const unsigned char no_value[3] = {kUnknown, kNoValue, kNoValue};
  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(views[k].type(), CV_8UC3);
    ASSERT_EQ(views[k].size(), cv::Size(W, H));
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const int v = greys[k]->at<unsigned char>(y, x);
        const cv::Vec3b c = views[k].at<cv::Vec3b>(y, x);
        if (v == no_value[k]) {
          EXPECT_EQ(c, cv::Vec3b(0, 0, 0)) << k << " " << x << "," << y;
          continue;
        }
        // the definition: index round(255 v / 236), clamped, in OpenCV's turbo
        const int index = std::min(255, static_cast<int>(std::lround(255.0 * v / 236.0)));
        EXPECT_EQ(c, turbo(index)) << "level " << v << " in view " << k;  // so equal levels, equal colours
      }
  }
}

TEST(EvalPictures, ErrorPictureIsRedExactlyAtBadPixelsAndBlueAtNoValue) {
  cv::Mat result, grey;
  const GroundTruth truth = make_synthetic(&result);
  const cv::Mat left = random_image(result.cols, result.rows, CV_8UC3, 43, 2);
  cv::cvtColor(left, grey, cv::COLOR_BGR2GRAY);
  const cv::Mat view = error_view(left, result, truth, 0.5);
  ASSERT_EQ(view.type(), CV_8UC3);
  cv::Mat expected(grey.size(), CV_8UC3);  // outside the nonocc region (every undesigned pixel): darker grey
  for (int y = 0; y < grey.rows; ++y)
    for (int x = 0; x < grey.cols; ++x) expected.at<cv::Vec3b>(y, x) = cv::Vec3b::all(grey.at<unsigned char>(y, x) / 2);
  for (int i = 0; i < static_cast<int>(std::size(kCases)); ++i) {
    const Case& c = kCases[i];
    const cv::Point p((3 * i + 1) % result.cols, (3 * i + 1) / result.cols);
    if (c.nonocc != 255 || c.g == 0) continue;
    expected.at<cv::Vec3b>(p) = c.v == 255     ? cv::Vec3b(255, 0, 0)  // no value: blue
                                : c.bad_half ? cv::Vec3b(0, 0, 255)  // bad: red
                                             : cv::Vec3b::all(grey.at<unsigned char>(p));
  }
  EXPECT_EQ(cv::norm(view, expected, cv::NORM_INF), 0.0);
}

// --- the table ---------------------------------------------------------------------------------

TEST(EvalReport, AveragesAreMeansOverThePairs) {
  auto entry = [](const char* pair, const char* map, long long n0, long long b0, long long n1, long long b1,
                  long long n2, long long b2) {
    Entry e{pair, map, Score{}};
    e.score.region[0] = {n0, b0};
    e.score.region[1] = {n1, b1};
    e.score.region[2] = {n2, b2};
    e.score.valid = {n0, b0};
    return e;
  };
  // percentages 10 20 30 and 50 40 30 (map), 1 2 3 (SMP)
  const std::vector<Entry> entries = {entry("Tsukuba", "map", 10, 1, 10, 2, 10, 3),
                                      entry("Tsukuba", "SMP", 100, 1, 100, 2, 100, 3),
                                      entry("Venus", "map", 1000, 500, 5, 2, 10, 3)};
  const std::string table = format_table(entries);
  EXPECT_NE(table.find("Tsukuba  map       10.00   20.00   30.00   20.00     100.00      10.00\n"), std::string::npos)
      << table;
  // map: means of 10,50 / 20,40 / 30,30; mean of all six = 30
  EXPECT_NE(table.find("average  map       30.00   30.00   30.00   30.00     100.00      30.00\n"), std::string::npos)
      << table;
  EXPECT_NE(table.find("average  SMP        1.00    2.00    3.00    2.00     100.00       1.00\n"), std::string::npos)
      << table;
  const std::string csv = format_csv(entries, 0.5);
  EXPECT_EQ(csv.substr(0, csv.find('\n')),
            "pair,result,threshold,nonocc,all,disc,mean,density,valid_bad,nonocc_pixels,nonocc_bad,all_pixels,"
            "all_bad,disc_pixels,disc_bad,valid_pixels,valid_bad_pixels");
  EXPECT_NE(
      csv.find("\naverage,map,0.5,30.0000,30.0000,30.0000,30.0000,100.0000,30.0000,1010,501,15,4,20,6,1010,501\n"),
      std::string::npos)
      << csv;
}

// --- the program -------------------------------------------------------------------------------

namespace {

RunResult run_eval(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv = {ONDREL_EVAL_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return ondrel_test::run_program(argv, "", cwd);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Ground truth, masks and results for `pair` (scale 16 or 8 does not matter: one pixel in four
// is bad in every region) in `gt_dir` and `result_dir`, plus the left image in result_dir.
void write_pair(const std::string& pair, const std::string& gt_dir, const std::string& result_dir) {
  const int W = 16, H = 6;
  cv::Mat g(H, W, CV_8UC1, cv::Scalar(80)), mask(H, W, CV_8UC1, cv::Scalar(255)), v = g.clone();
  for (int x = 0; x < W; x += 4)
    for (int y = 0; y < H; ++y) v.at<unsigned char>(y, x) = 255;  // a quarter without a value
  ASSERT_TRUE(cv::imwrite(gt_dir + "/" + pair + "_gt.png", g));
  for (const char* region : {"nonocc", "all", "disc"})
    ASSERT_TRUE(cv::imwrite(gt_dir + "/" + pair + "_" + region + ".png", mask));
  ASSERT_TRUE(cv::imwrite(result_dir + "/Result_" + pair + ".png", v));
  ASSERT_TRUE(cv::imwrite(result_dir + "/Result_" + pair + "_SMP.png", g));
  ASSERT_TRUE(cv::imwrite(result_dir + "/" + pair + "_L.png", random_image(W, H, CV_8UC3, 7)));
}

int count_lines(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace

TEST(EvalProgram, AllPresentExitsZeroAndWritesTablePicturesAndCsv) {
  TempDir gt, results;
  write_pair("Tsukuba", gt.path, results.path);
  const RunResult r = run_eval({"--gt", gt.path, "--csv", results.file("scores.csv"), results.path}, "/");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("Tsukuba  map       25.00   25.00   25.00   25.00      75.00       0.00\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Tsukuba  SMP        0.00    0.00    0.00    0.00     100.00       0.00\n"), std::string::npos)
      << r.out;
  for (const char* file : {"Result_Tsukuba_color.png", "Result_Tsukuba_SMP_color.png", "Tsukuba_gt_color.png",
                           "Result_Tsukuba_errors.png", "Result_Tsukuba_SMP_errors.png"})
    EXPECT_TRUE(exists(results.file(file))) << file;
  // one colour scale for the pair: level 80 has the same colour in the three views
  const cv::Mat gt_color = cv::imread(results.file("Tsukuba_gt_color.png"), cv::IMREAD_UNCHANGED);
  const cv::Mat map_color = cv::imread(results.file("Result_Tsukuba_color.png"), cv::IMREAD_UNCHANGED);
  const cv::Mat smp_color = cv::imread(results.file("Result_Tsukuba_SMP_color.png"), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(gt_color.type(), CV_8UC3);
  const cv::Vec3b level80 = gt_color.at<cv::Vec3b>(0, 0);
  EXPECT_NE(level80, cv::Vec3b(0, 0, 0));
  EXPECT_EQ(map_color.at<cv::Vec3b>(2, 1), level80);
  EXPECT_EQ(smp_color.at<cv::Vec3b>(3, 4), level80);
  EXPECT_EQ(map_color.at<cv::Vec3b>(3, 4), cv::Vec3b(0, 0, 0));  // no value
  // the error picture: the no-value column blue, the rest grey
  const cv::Mat errors = cv::imread(results.file("Result_Tsukuba_errors.png"), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(errors.at<cv::Vec3b>(3, 4), cv::Vec3b(255, 0, 0));
  const cv::Vec3b other = errors.at<cv::Vec3b>(3, 5);
  EXPECT_TRUE(other[0] == other[1] && other[1] == other[2]);

  const std::string csv = ondrel_test::read_file(results.file("scores.csv"));
  EXPECT_NE(csv.find("\nTsukuba,map,1,25.0000,25.0000,25.0000,25.0000,75.0000,0.0000,96,24,96,24,96,24,72,0\n"),
            std::string::npos)
      << csv;
  EXPECT_EQ(count_lines(csv), 1 + 2 + 2);  // header, two maps, two averages
}

TEST(EvalProgram, MissingWrongSizeWrongTypeAndUnreadableFilesAreNamed) {
  TempDir gt, results;
  for (const char* pair : {"Tsukuba", "Venus", "Teddy", "Cones"}) write_pair(pair, gt.path, results.path);
  ASSERT_TRUE(cv::imwrite(results.file("Result_Tsukuba.png"), cv::Mat(5, 16, CV_8UC1, cv::Scalar(80))));
  ASSERT_TRUE(cv::imwrite(results.file("Result_Venus_SMP.png"), cv::Mat(6, 16, CV_8UC3, cv::Scalar(80, 80, 80))));
  {  // a PNG cut short: the decoder fails (and libpng would complain on standard error)
    const std::string png = ondrel_test::read_file(results.file("Result_Teddy.png"));
    std::ofstream(results.file("Result_Teddy.png"), std::ios::binary) << png.substr(0, png.size() / 2);
  }
  ASSERT_EQ(std::remove(gt.file("Cones_gt.png").c_str()), 0);  // the whole pair is left out
  const RunResult r = run_eval({"--gt=" + gt.path, "--threshold", "2", results.path}, "/");
  EXPECT_EQ(r.status, 1);
  const std::string d = results.path + "/";
  EXPECT_EQ(r.err, "ondrel-eval: " + d + "Result_Tsukuba.png: 16x5 pixels, expected 16x6 like " + gt.path +
                       "/Tsukuba_gt.png; Result_Tsukuba.png not evaluated\n"
                       "ondrel-eval: " + d + "Result_Venus_SMP.png: 3 channels, expected 1 (8-bit grey); "
                       "Result_Venus_SMP.png not evaluated\n"
                       "ondrel-eval: " + d + "Result_Teddy.png: not a readable image; Result_Teddy.png not evaluated\n"
                       "ondrel-eval: " + gt.path + "/Cones_gt.png: missing; Cones not evaluated\n");
  EXPECT_NE(r.out.find("|d - d_gt| > 2 px"), std::string::npos) << r.out;
  // the other map of each damaged pair is still in the table
  for (const char* line : {"\nTsukuba  SMP ", "\nVenus    map ", "\nTeddy    SMP "})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  for (const char* line : {"\nTsukuba  map ", "\nVenus    SMP ", "\nTeddy    map ", "\nCones "})
    EXPECT_EQ(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  EXPECT_FALSE(exists(results.file("Result_Cones_color.png")));
}

TEST(EvalProgram, NoResultsAndWrongUsage) {
  TempDir empty;
  RunResult r = run_eval({"--gt", empty.path}, empty.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ondrel-eval: .: no result files (Result_<Pair>.png, Result_<Pair>_SMP.png)\n");
  const struct {
    std::vector<std::string> args;
    const char* first_line;  // of the message; "" when only the status is checked
  } wrong[] = {
      {{"--threshold", "-1"}, "ondrel-eval: --threshold needs a number >= 0, not '-1'"},
      {{"--colour"}, "ondrel-eval: unknown option --colour"},
      {{"a", "b"}, ""},
      {{"--middlebury", "a"}, "ondrel-eval: --middlebury needs two folders, SCENES and OUT, not 1"},
      {{"--middlebury", "--threshold", "2", "a", "b"}, ""},
      {{"--kitti", "a", "b"}, "ondrel-eval: --kitti needs three folders, GT_NOC GT_OCC RESULTS, not 2"},
      {{"--kitti", "--middlebury", "a", "b"}, "ondrel-eval: --middlebury and --kitti exclude each other"},
      {{"--method", "Ondrel", "a"}, "ondrel-eval: --method belongs to --middlebury"},
  };
  for (const auto& w : wrong) {
    r = run_eval(w.args, empty.path);
    EXPECT_EQ(r.status, 2) << w.args[0];
    if (*w.first_line) {
      EXPECT_EQ(r.err.substr(0, r.err.find('\n')), w.first_line);
    }
  }
  r = run_eval({"--help"}, empty.path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: ondrel-eval", 0), 0u);
}

namespace {

// The bytes of a little-endian PFM of `m` (CV_32FC1), bottom row first, written here by hand
// so that the reader's row order and byte order are checked against the format, not itself.
std::string pfm_bytes(const cv::Mat& m) {
  std::string bytes = "Pf\n" + std::to_string(m.cols) + " " + std::to_string(m.rows) + "\n-1\n";
  for (int y = m.rows - 1; y >= 0; --y) bytes.append(m.ptr<char>(y), 4 * static_cast<size_t>(m.cols));
  return bytes;
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

TEST(EvalProgram, DamagedScenesAreNamedAndTheGoodOnesStillScored) {
  TempDir scenes, out;
  // a 4x2 truth: top row 10, bottom row 20 (a flipped reader would see errors of 10)
  cv::Mat truth(2, 4, CV_32FC1, cv::Scalar(10)), result;
  truth.row(1).setTo(20);
  truth.copyTo(result);
  result.at<float>(1, 3) = std::numeric_limits<float>::infinity();  // one pixel in eight without a value
  cv::Mat nan_truth = truth.clone();
  nan_truth.at<float>(0, 1) = std::numeric_limits<float>::quiet_NaN();
  for (const char* scene : {"Cut", "Good", "Nan", "NoMask", "Size"}) {
    ASSERT_EQ(::mkdir(scenes.file(scene).c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(out.file(scene).c_str(), 0777), 0);
    const std::string gt = pfm_bytes(std::string(scene) == "Nan" ? nan_truth : truth);
    write_bytes(scenes.file(scene) + "/disp0GT.pfm", std::string(scene) == "Cut" ? gt.substr(0, 30) : gt);
    if (std::string(scene) != "NoMask") {
      ASSERT_TRUE(cv::imwrite(scenes.file(scene) + "/mask0nocc.png", cv::Mat(2, 4, CV_8UC1, cv::Scalar(255))));
    }
    std::string error;
    ASSERT_TRUE(write_pfm(out.file(scene) + "/disp0Ondrel.pfm", std::string(scene) == "Size" ? result.colRange(0, 3).clone() : result, &error));
  }
  // write_pfm writes the same bytes as the format's definition above
  EXPECT_EQ(ondrel_test::read_file(out.file("Good/disp0Ondrel.pfm")), pfm_bytes(result));
  write_bytes(out.file("Good/timeOndrel.txt"), "1.5\n");
  write_bytes(out.file("Nan/timeOndrel.txt"), "soon\n");  // not read: the scene is skipped before

  const RunResult r = run_eval({"--middlebury", "--csv", out.file("s.csv"), scenes.path, out.path}, "/");
  EXPECT_EQ(r.status, 1);
  const std::string s = scenes.path + "/", o = out.path + "/";
  EXPECT_EQ(r.err, "ondrel-eval: " + s + "Cut/disp0GT.pfm: cut short: 20 bytes of pixels, expected 32 for 4x2; "
                   "Cut not evaluated\n"
                   "ondrel-eval: " + s + "Nan/disp0GT.pfm: 1 NaN or negative disparities (unknown is +inf); "
                   "Nan not evaluated\n"
                   "ondrel-eval: " + s + "NoMask/mask0nocc.png: missing; NoMask not evaluated\n"
                   "ondrel-eval: " + o + "Size/disp0Ondrel.pfm: 3x2 pixels, expected 4x2 like the ground truth; "
                   "Ondrel on Size not evaluated\n");
  const std::string figures = "   12.50   12.50   12.50   12.50    0.00    0.00   87.50";
  EXPECT_NE(r.out.find("\nGood   Ondrel" + figures + figures + "    1.50\nmean   Ondrel" + figures + figures +
                       "    1.50\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(count_lines(r.out), 6) << r.out;  // title, blank, two header lines, Good, mean
  EXPECT_NE(ondrel_test::read_file(out.file("s.csv")).find("\nGood,Ondrel,12.5000,12.5000,12.5000,12.5000,0.0000,"), std::string::npos);

  // KITTI: a good image, and one whose result is missing
  TempDir noc, occ, results;
  const cv::Mat gt(2, 3, CV_16UC1, cv::Scalar(256 * 40));
  for (const char* image : {"000000_10.png", "000001_10.png"}) {
    ASSERT_TRUE(cv::imwrite(noc.file(image), gt));
    ASSERT_TRUE(cv::imwrite(occ.file(image), gt));
  }
  cv::Mat kitti_result = gt.clone();
  kitti_result.at<uint16_t>(1, 2) = 256 * 50;  // one outlier in six
  ASSERT_TRUE(cv::imwrite(results.file("000000_10.png"), kitti_result));
  const RunResult k = run_eval({"--kitti", noc.path, occ.path, results.path}, "/");
  EXPECT_EQ(k.status, 1);
  EXPECT_EQ(k.err, "ondrel-eval: " + results.path + "/000001_10.png: missing; 000001_10 not evaluated\n");
  const std::string method = results.path.substr(results.path.rfind('/') + 1);
  EXPECT_NE(k.out.find("\n000000_10  " + method + "   16.67   16.67  100.00  100.00\n"), std::string::npos) << k.out;
}
