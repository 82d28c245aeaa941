// ondrel-eval driven from its command line on one designed scene written in all three layouts
// (classic pairs, Middlebury 2014, KITTI): the figures, the messages about damaged files, the
// usage errors, and the colour views and error picture it writes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/test_support.h"
#include "tools/eval/html.h"
#include "util/pfm.h"

using namespace ondrel_test;

namespace {

// One designed pixel, in pixels of disparity. kind: 'd' nonocc and disc, 'n' nonocc (disc 128),
// 'o' occluded (only in all), 'x' masked out everywhere. Worked out by hand: Middlebury nonocc
// bad 0.5/1/2/4 = 7 6 5 3 of 10, avg 16 / 8, rms sqrt(55.5 / 8), all adds the occluded 4.5;
// KITTI (truth 0 unknown) noc D1 3 of 9 (3 is not above 3 px, 4 not above 5 % of 80), all 4
// of 10; the classic files hold disparity x scale, 0 (unknown) where a byte cannot hold it.
struct Pixel { float truth; char kind; float result; };
const Pixel kRow[] = {
    {10, 'd', 10},   {10, 'n', 10.5f},  {10, 'd', 11},     {10, 'n', 12},     // errors 0, 0.5, 1, 2
    {10, 'd', 13},   {10, 'n', 15},     {10, 'd', INFINITY},   {10, 'o', 14.5f},  // 3, 5, none; occluded 4.5
    {80, 'n', 84},   {INFINITY, 'd', 3},    {0, 'n', 0.5f},    {15.5f, 'x', 3},   // 4 of 80; unknown; truth 0
    {10, 'n', NAN}};                                                         // none
constexpr int kColumns = static_cast<int>(std::size(kRow));

// Two rows of the first `n` pixels, the second row reversed (so that flipped rows show).
template <class F>
cv::Mat scene(F value, int type, int n = kColumns) {
  cv::Mat m(2, n, CV_32FC1);
  for (int x = 0; x < n; ++x) m.at<float>(0, x) = m.at<float>(1, n - 1 - x) = static_cast<float>(value(kRow[x]));
  m.convertTo(m, type);
  return m;
}

bool known(float truth) { return std::isfinite(truth) && truth > 0; }

// `m` as `path` (PFM or PNG).
void put(const std::string& path, const cv::Mat& m) {
  std::string error;
  ASSERT_TRUE(path.back() == 'm' ? write_pfm(path, m, &error) : cv::imwrite(path, m)) << path << error;
}

// The scene under `root`: gt/ and res/ (Tsukuba: every pixel at scale 16, Venus: the first
// five at scale 8; the truth as SMP map; grey left images), scenes/Scene and out/Scene with a
// time, noc/ occ/ kitti/. The ground-truth PFM is written by hand, bottom row first.
void write_scene(const std::string& root) {
  for (const char* dir : {"gt", "res", "scenes", "scenes/Scene", "out", "out/Scene", "noc", "occ", "kitti"})
    ASSERT_EQ(::mkdir((root + "/" + dir).c_str(), 0777), 0);
  const cv::Mat truth = scene([](const Pixel& p) { return p.truth; }, CV_32F);
  std::string pfm = "Pf\n" + std::to_string(kColumns) + " 2\n-1\n";
  for (int y : {1, 0}) pfm.append(truth.ptr<char>(y), 4 * kColumns);
  write_file(root + "/scenes/Scene/disp0GT.pfm", pfm);
  write_file(root + "/out/Scene/timeOndrel.txt", "1.5\n");
  write_file(root + "/scenes/Scene/calib.txt", "ndisp=100\n");  // clips nothing here
  const auto mask = [](const Pixel& p) { return p.kind == 'x' ? 0 : p.kind == 'o' ? 128 : 255; };
  put(root + "/scenes/Scene/mask0nocc.png", scene(mask, CV_8U));
  put(root + "/out/Scene/disp0Ondrel.pfm", scene([](const Pixel& p) { return p.result; }, CV_32F));
  const auto kitti = [](const Pixel& p) { return std::isfinite(p.result) ? 256 * p.result : 0; };
  put(root + "/kitti/000000_10.png", scene(kitti, CV_16U));
  for (const auto& [dir, kinds] : {std::pair{"noc", "dn"}, {"occ", "dno"}}) {
    const auto t = [k = kinds](const Pixel& p) { return known(p.truth) && std::strchr(k, p.kind) ? 256 * p.truth : 0; };
    put(root + "/" + dir + "/000000_10.png", scene(t, CV_16U));
  }
  for (const auto& [pair, s, n] : {std::tuple<std::string, float, int>{"Tsukuba", 16, kColumns}, {"Venus", 8, 5}}) {
    const auto t = [s = s](const Pixel& p) { return known(p.truth) && p.truth * s < 255 ? p.truth * s : 0; };
    const auto v = [s = s](const Pixel& p) { return std::isfinite(p.result) ? std::min(254.0f, p.result * s) : 255; };
    put(root + "/gt/" + pair + "_gt.png", scene(t, CV_8U, n));
    put(root + "/res/Result_" + pair + "_SMP.png", scene(t, CV_8U, n));
    put(root + "/res/Result_" + pair + ".png", scene(v, CV_8U, n));
    for (const auto& [region, kinds] : {std::pair{"nonocc", "dn"}, {"all", "dno"}, {"disc", "d"}}) {
      const auto in = [k = kinds](const Pixel& p) { return std::strchr(k, p.kind) ? 255 : p.kind == 'n' ? 128 : 0; };
      put(root + "/gt/" + pair + "_" + region + ".png", scene(in, CV_8U, n));
    }
    cv::Mat left;
    cv::cvtColor(random_image(n, 2, CV_8UC1, 7), left, cv::COLOR_GRAY2BGR);
    put(root + "/res/" + pair + "_L.png", left);
  }
}

// `text` with every "R/" naming the scene folder `root`.
std::string at(const std::string& root, std::string text) {
  for (size_t p = 0; (p = text.find("R/", p)) != std::string::npos; p += root.size() + 1) text.replace(p, 1, root);
  return text;
}

RunResult run_eval(const std::string& root, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {ONDREL_EVAL_BINARY};
  for (const std::string& a : args) argv.push_back(at(root, a));
  return run_program(argv, "", root);
}

// One command line. Edits damage files of the scene first: "" removes the file, "cut" keeps
// its first half, "=other" copies R/other over it, anything else becomes its bytes. Expected:
// the status, the lines of standard error up to the usage text (each after "ondrel-eval: "),
// the number of lines of standard output and a part of it, a part of R/s.csv.
struct EvalCase {
  std::vector<std::string> args;  // "R/" is the scene folder
  std::vector<std::pair<std::string, std::string>> edits;
  int status;
  std::string err;
  int out_lines = 0;
  std::string out = "", csv = "";
};

void PrintTo(const EvalCase& c, std::ostream* os) {  // the test's name: arguments and damaged files
  for (const std::string& a : c.args) *os << a << " ";
  for (const auto& e : c.edits) *os << "~" << e.first << " ";
}

const std::string kPfm = "Pf\n2 1\n-1\n", kNanAndMinusOne("\0\0\xc0\x7f\0\0\x80\xbf", 8);
std::string unknown_truth() {
  std::string pfm = "Pf\n" + std::to_string(kColumns) + " 2\n-1\n";
  for (int i = 0; i < 2 * kColumns; ++i) pfm += std::string("\0\0\x80\x7f", 4);  // +inf
  return pfm;
}
const std::string kUnknownTruth = unknown_truth();
const std::string kScores = "   70.00   60.00   50.00   30.00    2.00    2.63   80.00"
                            "   72.73   63.64   54.55   36.36    2.28    2.90   81.82";

const EvalCase kRuns[] = {
    // the classic pairs: averages are means over the pairs (not over the pooled pixels), counts sums
    {{"--gt", "R/gt", "--csv", "R/s.csv", "R/res"}, {}, 0, "", 13,
     "Tsukuba  map       62.50   66.67   50.00   59.72      75.00      50.00\n"
     "Tsukuba  SMP        0.00    0.00    0.00    0.00     100.00       0.00\n"
     "Venus    map       40.00   40.00   33.33   37.78     100.00      40.00\n"
     "Venus    SMP        0.00    0.00    0.00    0.00     100.00       0.00\n"
     "average  map       51.25   53.33   41.67   48.75      87.50      45.00\n",
     "\naverage,map,1,51.2500,53.3333,41.6667,48.7500,87.5000,45.0000,26,14,28,16,14,6,22,10\n"},
    {{"--threshold=2", "--gt=R/gt", "R/res"}, {}, 0, "", 13,
     "Tsukuba  map       50.00   55.56   50.00   51.85      75.00      33.33\n"
     "Tsukuba  SMP        0.00    0.00    0.00    0.00     100.00       0.00\n"
     "Venus    map       20.00   20.00   33.33   24.44     100.00      20.00\n"},
    {{"--gt", "R/gt", "R/res"},
     {{"res/Result_Tsukuba.png", "cut"}, {"res/Result_Tsukuba_SMP.png", "=res/Result_Venus.png"},
      {"res/Result_Venus.png", "=res/Venus_L.png"}, {"res/Result_Venus_SMP.png", "=kitti/000000_10.png"}},
     1,
     "R/res/Result_Tsukuba.png: not a readable image; Result_Tsukuba.png not evaluated\n"
     "R/res/Result_Tsukuba_SMP.png: 5x2 pixels, expected 13x2 like R/gt/Tsukuba_gt.png; Result_Tsukuba_SMP.png not "
     "evaluated\nR/res/Result_Venus.png: 3 channels, expected 1 (8-bit grey); Result_Venus.png not evaluated\n"
     "R/res/Result_Venus_SMP.png: 13x2 pixels, expected 5x2 like R/gt/Venus_gt.png; Result_Venus_SMP.png not "
     "evaluated\n"},
    {{"--gt", "R/gt", "R/res"}, {{"gt/Tsukuba_disc.png", "=gt/Venus_disc.png"}, {"gt/Venus_gt.png", ""}}, 1,
     "R/gt/Tsukuba_disc.png: 5x2 pixels, expected 13x2 like R/gt/Tsukuba_gt.png; Tsukuba not evaluated\n"
     "R/gt/Venus_gt.png: missing; Venus not evaluated\n"},
    // a 16-bit PNG (KITTI's value x 256) and a PFM result read as the console program's grey levels
    {{"--gt", "R/gt", "R/res"},
     {{"res/Result_Tsukuba.png", "=kitti/000000_10.png"}, {"res/Result_Tsukuba_SMP.png", ""},
      {"res/Result_Tsukuba_SMP.pfm", "=out/Scene/disp0Ondrel.pfm"}}, 0, "", 13,
     "Tsukuba  map       62.50   66.67   50.00   59.72      75.00      50.00\n"
     "Tsukuba  SMP       62.50   66.67   50.00   59.72      75.00      50.00\n"},
    {{"--gt", "R/gt", "R/scenes"}, {}, 1, "R/scenes: no result files (Result_<Pair>.png, Result_<Pair>_SMP.png)\n"},
    // Middlebury 2014: +inf truth is unknown, NaN or negative truth refused, no value bad at every threshold
    {{"--middlebury", "--csv", "R/s.csv", "R/scenes", "R/out"}, {}, 0, "", 6,
     "\nScene  Ondrel" + kScores + "    1.50\nmean   Ondrel" + kScores + "    1.50\n",
     "\nScene,Ondrel,70.0000,60.0000,50.0000,30.0000,2.0000,2.6339,80.0000,72.7273,"},
    {{"--middlebury", "--method=Ondrel", "R/scenes", "R/out"}, {{"out/Scene/timeOndrel.txt", "soon\n"}}, 1,
     "R/out/Scene/timeOndrel.txt: not a time in seconds; the time is left out\n", 6, kScores + "       -\n"},
    {{"--middlebury", "R/scenes", "R/out"}, {{"scenes/Scene/disp0GT.pfm", "cut"}}, 1,
     "R/scenes/Scene/disp0GT.pfm: cut short: 46 bytes of pixels, expected 104 for 13x2; Scene not evaluated\n"},
    {{"--middlebury", "R/scenes", "R/out"}, {{"scenes/Scene/disp0GT.pfm", kPfm + kNanAndMinusOne}}, 1,
     "R/scenes/Scene/disp0GT.pfm: 2 NaN or negative disparities (unknown is +inf); Scene not evaluated\n"},
    {{"--middlebury", "R/scenes", "R/out"}, {{"scenes/Scene/mask0nocc.png", ""}}, 1,
     "R/scenes/Scene/mask0nocc.png: missing; Scene not evaluated\n"},
    {{"--middlebury", "R/scenes", "R/out"}, {{"scenes/Scene/calib.txt", ""}}, 1,
     "R/scenes/Scene/calib.txt: missing; Scene not evaluated\n"},
    // ndisp 12: 13, 15 and 84 count as 12 (errors 2, 2 and 68), the occluded 14.5 too
    {{"--middlebury", "R/scenes", "R/out"}, {{"scenes/Scene/calib.txt", "ndisp=12\n"}}, 0, "", 6,
     "Ondrel   70.00   60.00   30.00   30.00    9.50   24.08   80.00   72.73   63.64   27.27   27.27    8.67   22.71"},
    // a truth unknown everywhere leaves nothing to score: reported, and no 0 % enters the means
    {{"--middlebury", "R/scenes", "R/out"}, {{"scenes/Scene/disp0GT.pfm", kUnknownTruth}}, 1,
     "R/scenes/Scene/disp0GT.pfm: no pixel to evaluate (the ground truth is unknown wherever mask0nocc.png is 255); "
     "Scene not evaluated and left out of the means\n"},
    {{"--middlebury", "R/scenes", "R/out"}, {{"out/Scene/disp0Ondrel.pfm", kPfm + std::string(8, '\0')}}, 1,
     "R/out/Scene/disp0Ondrel.pfm: 2x1 pixels, expected 13x2 like the ground truth; Ondrel on Scene not evaluated\n"},
    // KITTI: truth 0 is unknown, a result of 0 an outlier
    {{"--kitti", "--csv", "R/s.csv", "R/noc", "R/occ", "R/kitti"}, {}, 0, "", 6,
     "\n000000_10  kitti    33.33   40.00   77.78   80.00\n", "\n000000_10,kitti,33.3333,40.0000,77.7778,80.0000\n"},
    {{"--kitti", "R/noc", "R/occ", "R/kitti"}, {{"kitti/000000_10.png", "=res/Result_Tsukuba.png"}}, 1,
     "R/kitti/000000_10.png: 8-bit samples, expected 16-bit grey; 000000_10 not evaluated\n"},
    // usage
    {{"--help"}, {}, 0, "", 22, "usage: ondrel-eval [--gt DIR]"}, {{"--colour"}, {}, 2, "unknown option --colour\n"},
    {{"--threshold", "-1"}, {}, 2, "--threshold needs a number >= 0, not '-1'\n"},
    {{"a", "b"}, {}, 2, "more than one RESULT_DIR: 'a' and 'b'\n"},
    {{"--middlebury", "a"}, {}, 2, "--middlebury needs two folders, SCENES and OUT, not 1\n"},
    {{"--middlebury", "--threshold", "2", "a", "b"}, {}, 2,
     "--gt and --threshold belong to the classic pairs, not --middlebury\n"},
    {{"--kitti", "a", "b"}, {}, 2, "--kitti needs three folders, GT_NOC GT_OCC RESULTS, not 2\n"},
    {{"--kitti", "--middlebury", "a", "b"}, {}, 2, "--middlebury and --kitti exclude each other\n"},
    {{"--method", "Ondrel", "a"}, {}, 2, "--method belongs to --middlebury\n"},
    {{"--html", "p.html", "a"}, {}, 2, "--html belongs to --middlebury and --kitti\n"},
};

class EvalRun : public ::testing::TestWithParam<EvalCase> {};

TEST_P(EvalRun, StatusMessagesTableAndCsv) {
  const EvalCase& run = GetParam();
  TempDir root;
  write_scene(root.path);
  for (const auto& [file, how] : run.edits) {
    const std::string path = root.file(file), old = read_file(path);
    const std::string bytes = how == "cut" ? old.substr(0, old.size() / 2)
                              : how[0] == '=' ? read_file(root.file(how.substr(1))) : how;
    if (how.empty()) ASSERT_EQ(std::remove(path.c_str()), 0) << path;
    else write_file(path, bytes);
  }
  const RunResult r = run_eval(root.path, run.args);
  std::string err;
  for (size_t p = 0, e; (e = run.err.find('\n', p)) != std::string::npos; p = e + 1)
    err += "ondrel-eval: " + at(root.path, run.err.substr(p, e + 1 - p));
  EXPECT_EQ(r.status, run.status) << r.err;
  EXPECT_EQ(r.err.substr(0, r.err.find("usage:")), err);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), run.out_lines) << r.out;
  EXPECT_NE(r.out.find(at(root.path, run.out)), std::string::npos) << r.out;
  const std::string csv = read_file(root.file("s.csv"));
  EXPECT_TRUE(run.csv.empty() || csv.find(run.csv) != std::string::npos) << csv;
}

INSTANTIATE_TEST_SUITE_P(CommandLines, EvalRun, ::testing::ValuesIn(kRuns));

// A 20000 x 20000 map (1.6 GB, a sparse file) under an address-space limit of 1.2 GB: one line
// naming it, status 1, and the other scene is scored.
TEST(EvalMemory, AMapPastTheMemoryIsSkippedWithOneLine) {
#ifdef ONDREL_SANITIZED
  GTEST_SKIP() << "the sanitizers' shadow memory does not fit under an address-space limit";
#endif
  TempDir root;
  write_scene(root.path);
  for (const char* dir : {"scenes/Huge", "out/Huge"}) ASSERT_EQ(::mkdir(root.file(dir).c_str(), 0777), 0);
  for (const char* file : {"disp0GT.pfm", "mask0nocc.png", "calib.txt"})
    write_file(root.file(std::string("scenes/Huge/") + file), read_file(root.file(std::string("scenes/Scene/") + file)));
  const std::string huge = root.file("out/Huge/disp0Ondrel.pfm"), header = "Pf\n20000 20000\n-1\n";
  write_file(huge, header);
  ASSERT_EQ(::truncate(huge.c_str(), static_cast<off_t>(header.size() + 4ULL * 20000 * 20000)), 0);
  const RunResult r = run_program({"prlimit", "--as=1200000000", ONDREL_EVAL_BINARY, "--middlebury",
                                   root.file("scenes"), root.file("out")}, "", root.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ondrel-eval: " + huge + ": not enough memory; Ondrel on Huge not evaluated\n");
  EXPECT_NE(r.out.find("\nScene  Ondrel" + kScores), std::string::npos) << r.out;
}

// A float map in turbo colours on 0 .. high (KITTI maps: value / 256, 0 no value), black
// without a value, as ondrel-eval's pictures of the modern layouts are.
cv::Mat turbo_of(const cv::Mat& map, double high) {
  cv::Mat d;
  map.convertTo(d, CV_32F, map.depth() == CV_16U ? 1 / 256.0 : 1.0);
  if (map.depth() == CV_16U) d.setTo(NAN, map == 0);
  cv::Mat index(d.size(), CV_8UC1), want;
  for (int i = 0; i < static_cast<int>(d.total()); ++i) {
    const float v = d.at<float>(i);
    index.at<unsigned char>(i) = std::isfinite(v) ? static_cast<unsigned char>(std::lround(std::clamp(v * 255 / high, 0.0, 255.0))) : 0;
  }
  cv::applyColorMap(index, want, cv::COLORMAP_TURBO);
  for (int i = 0; i < static_cast<int>(d.total()); ++i)
    if (!std::isfinite(d.at<float>(i))) want.at<cv::Vec3b>(i) = cv::Vec3b(0, 0, 0);
  return want;
}

// The error picture from the kind of each pixel: 0 not evaluated (grey halved), 1 good, 2 bad
// (red), 3 no value (blue).
template <class Kind>
cv::Mat errors_of(const cv::Mat& grey, Kind kind) {
  cv::Mat want(grey.size(), CV_8UC3);
  for (int i = 0; i < static_cast<int>(grey.total()); ++i) {
    const int k = kind(i);
    const unsigned char l = grey.data[i];
    want.at<cv::Vec3b>(i) = k == 3 ? cv::Vec3b(255, 0, 0) : k == 2 ? cv::Vec3b(0, 0, 255)
                            : cv::Vec3b::all(static_cast<unsigned char>(k == 0 ? l / 2 : l));
  }
  return want;
}

// The colour views of a pair share one scale from 0 to the larger of max_disparity x scale
// (Venus: 19 x 8) and its truth (Tsukuba: 15.5 x 16 > 15 x 16); no value is black. The error
// picture: blue without a value, red where bad, the left image's grey, halved outside nonocc.
TEST(EvalPictures, ColourViewsAndErrorPictureOfTheClassicPairs) {
  TempDir root;
  write_scene(root.path);
  ASSERT_EQ(run_eval(root.path, {"--gt", "R/gt", "R/res"}).status, 0);
  for (const auto& [pair, high] : {std::pair<std::string, int>{"Tsukuba", 248}, {"Venus", 152}}) {
    for (const auto& [grey, none] : {std::pair<std::string, int>{"gt/" + pair + "_gt", 0},
                                     {"res/Result_" + pair, 255}, {"res/Result_" + pair + "_SMP", 255}}) {
      const cv::Mat g = read_image(root.file(grey + ".png"));
      cv::Mat levels;  // (no level here is half-way between two colours)
      g.convertTo(levels, CV_32F);
      levels.setTo(NAN, g == none);
      const std::string view = grey[0] == 'g' ? "res/" + pair + "_gt" : grey;
      EXPECT_TRUE(same_image(read_image(root.file(view + "_color.png")), turbo_of(levels, high))) << view;
    }
  }
  const cv::Mat g = read_image(root.file("gt/Tsukuba_gt.png")), m = read_image(root.file("gt/Tsukuba_nonocc.png")),
                v = read_image(root.file("res/Result_Tsukuba.png"));
  cv::Mat left;
  cv::extractChannel(read_image(root.file("res/Tsukuba_L.png")), left, 0);
  EXPECT_TRUE(same_image(read_image(root.file("res/Result_Tsukuba_errors.png")), errors_of(left, [&](int i) {
    return m.data[i] != 255 || g.data[i] == 0 ? 0 : v.data[i] == 255 ? 3 : std::abs(v.data[i] - g.data[i]) > 16 ? 2 : 1;
  })));
}

// A headless browser opens the page: each picture appears in the screenshot pixel for pixel,
// so the page's relative links reach them. Skipped where no headless Chromium is installed.
void expect_browser_shows(const TempDir& root, const std::string& page, const std::vector<std::string>& pictures) {
  std::string browser;
  for (const char* b : {"/usr/bin/chromium-headless-shell", "/usr/bin/chromium"})
    if (browser.empty() && ::access(b, X_OK) == 0) browser = b;
  if (browser.empty()) GTEST_SKIP() << "no headless Chromium (chromium-headless-shell or chromium)";
  ASSERT_EQ(::mkdir(root.file("profile").c_str(), 0700), 0);
  const RunResult shot = run_program(
      {browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync", "--force-color-profile=srgb",
       "--force-device-scale-factor=1", "--user-data-dir=" + root.file("profile"), "--window-size=900,700",
       "--screenshot=" + root.file("shot.png"), "file://" + root.file(page)},
      "", root.path);
  ASSERT_EQ(shot.status, 0) << shot.err;
  const cv::Mat screen = read_image(root.file("shot.png"));
  ASSERT_EQ(screen.size(), cv::Size(900, 700));
  for (const std::string& picture : pictures) {
    cv::Mat p = read_image(root.file(picture)), found;
    if (p.channels() == 1) cv::cvtColor(p, p, cv::COLOR_GRAY2BGR);
    cv::matchTemplate(screen, p, found, cv::TM_SQDIFF);
    double lowest = 0;
    cv::minMaxLoc(found, &lowest);
    EXPECT_LE(lowest, 3.0 * p.total()) << picture << " is not on the page";  // colour rounding at most
  }
}

// The Middlebury layout's pictures beside each map on the scale 0 .. ndisp (20: 84 and 80 are
// clipped to the last colour), the errors on im0.png at 2 px; KITTI's on 0 .. the largest
// truth, the errors on grey where there is no image_2 folder. The page holds the figures, the
// settings and relative links to every picture.
TEST(EvalPictures, PicturesAndPageOfTheModernLayouts) {
  TempDir root;
  write_scene(root.path);
  write_file(root.file("scenes/Scene/calib.txt"), "ndisp=20\n");
  const cv::Mat left = random_image(kColumns, 2, CV_8UC1, 9);
  put(root.file("scenes/Scene/im0.png"), left);
  ASSERT_EQ(::mkdir(root.file("pages").c_str(), 0777), 0);
  ASSERT_EQ(run_eval(root.path, {"--middlebury", "--html", "R/pages/run.html", "R/scenes", "R/out"}).status, 0);
  const std::string page = read_file(root.file("pages/run.html"));
  for (const std::string part :
       {"<td>Scene</td><td>Ondrel</td><td class=n>70.0000</td>", "<tr class=mean><td>mean</td><td>Ondrel</td>",
        "values clipped to 0 .. ndisp", "--html", "<a href=\"../scenes/Scene/im0.png\">",
        "<img src=\"../out/Scene/disp0GT_color.png\"", "<img src=\"../out/Scene/disp0Ondrel_color.png\"",
        "<img src=\"../out/Scene/disp0Ondrel_errors.png\""})
    EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page;
  EXPECT_EQ(ondrel_eval::relative_link("a/b", "a/c d/e&.png"), "../c%20d/e%26.png");
  expect_browser_shows(root, "pages/run.html",
                       {"out/Scene/disp0GT_color.png", "out/Scene/disp0Ondrel_color.png", "out/Scene/disp0Ondrel_errors.png"});
  const cv::Mat truth = scene([](const Pixel& p) { return p.truth; }, CV_32F),
                result = scene([](const Pixel& p) { return p.result; }, CV_32F),
                mask = read_image(root.file("scenes/Scene/mask0nocc.png"));
  EXPECT_TRUE(same_image(read_image(root.file("out/Scene/disp0GT_color.png")), turbo_of(truth, 20)));
  EXPECT_TRUE(same_image(read_image(root.file("out/Scene/disp0Ondrel_color.png")), turbo_of(result, 20)));
  EXPECT_TRUE(same_image(read_image(root.file("out/Scene/disp0Ondrel_errors.png")), errors_of(left, [&](int i) {
    const float g = truth.at<float>(i), d = result.at<float>(i);
    if (!std::isfinite(g) || mask.data[i] != 255) return 0;
    return !std::isfinite(d) ? 3 : std::fabs(std::clamp(d, 0.0f, 20.0f) - g) > 2 ? 2 : 1;
  })));

  ASSERT_EQ(run_eval(root.path, {"--kitti", "R/noc", "R/occ", "R/kitti"}).status, 0);
  const cv::Mat noc = read_image(root.file("noc/000000_10.png")), map = read_image(root.file("kitti/000000_10.png"));
  EXPECT_TRUE(same_image(read_image(root.file("kitti/000000_10_gt_color.png")),
                         turbo_of(read_image(root.file("occ/000000_10.png")), 80)));
  EXPECT_TRUE(same_image(read_image(root.file("kitti/000000_10_color.png")), turbo_of(map, 80)));
  const cv::Mat grey(noc.size(), CV_8UC1, cv::Scalar(128));
  EXPECT_TRUE(same_image(read_image(root.file("kitti/000000_10_errors.png")), errors_of(grey, [&](int i) {
    const double g = noc.at<uint16_t>(i) / 256.0, d = map.at<uint16_t>(i) / 256.0;
    return g == 0 ? 0 : d == 0 ? 3 : std::fabs(d - g) > 3 && std::fabs(d - g) > 0.05 * g ? 2 : 1;
  })));
}

}  // namespace
