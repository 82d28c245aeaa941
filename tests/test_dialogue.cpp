// The console program driven as a user drives it: answers on standard input, in a folder of
// small synthetic images (some damaged or unusual), with the whole standard output compared to
// the exact texts and the result files to what the matcher computes; and its display window on
// a virtual X server (Xvfb): found by its title, its picture checked in a screenshot, closed by a
// key press, after which the pass completes.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/test_support.h"

using namespace ondrel_test;

namespace {

const std::string kRule(93, '*'), kEnter = " and press enter: ";
const std::string kStart = "\n" + kRule + "\n\nThis is the implementation of the algorithm described in the following "
    "paper:\n\nAuthors:\tThe Ondrel developers\nTitle:\t\tOndrel: dense stereo matching by block-based\n\t\tadaptive"
    "-weight cost aggregation\nConference:\tOndrel project documentation (README.md)\nDate:\t\t2026, distributed with "
    "the Ondrel sources\n\n\nAdditional experimental results available at:\n\nREADME.md, section \"Results\", in the "
    "Ondrel source tree\n\nFor comments, bug reports, etc:\n\n\t\tThe Ondrel maintainers\n\t\tno e-mail address: see "
    "README.md, section \"Reporting problems\"\n\t\tREADME.md in the Ondrel source tree\n\n" + kRule + "\n\n\n"
    "Do you want to display the disparity map after processing?\nIf yes, press y and enter: ";
const std::string kPairPrompt = "\nSelect the stereo pair [Tsukuba = 1] [Venus = 2] [Teddy = 3] [Cones = 4]" + kEnter,
    kSupportPrompt = "\nInsert the radius of the support window (e.g. in the paper 19)" + kEnter,
    kBlockPrompt = "Insert the radius of the block (one of the above values)" + kEnter,
    kGammaSpacePrompt = "Insert gamma_space (e.g. in the paper 14)" + kEnter,
    kGammaColorPrompt = "Insert gamma_color (e.g. in the paper 23)" + kEnter,
    kTadPrompt = "Insert TAD threshold (e.g. 53)" + kEnter,
    kGammas = kGammaSpacePrompt + kGammaColorPrompt + kTadPrompt, kTadError = "\nERROR: TAD_threshold <=255...\n",
    kTimes = "\n\nExecution time: \nT sec : [*] Ondrel (initialization)\nT sec : [*] Ondrel\n";
const std::vector<int> k19 = {1, 6};           // block radii listed for R = 19
const char kSmall[] = "n 1 4 1 10 12 20 q";  // one quick pass on Tsukuba

std::string unsuitable(const std::vector<int>& radii) {  // the support question, answered with each in turn
  std::string text;
  for (int R : radii)
    text += kSupportPrompt + cv::format("** Unfortunately with the selected radius (i.e. %d) there are not suitable "
                                    "block size (see the paper)\n** Please, change the radius of the support\n\n", R);
  return text;
}
std::string wrong(int support_side, int block_side) {
  return cv::format("\nERROR: wrong parameters (see the paper): %d MOD %d is not zero...\n", support_side, block_side);
}
std::string negative(int r) {
  return cv::format("\nERROR: wrong parameters: the radius of the block (i.e. %d) must not be negative...\n", r);
}
// The support question answered with a radius that lists `listed`, and the block question.
std::string asks(const std::vector<int>& listed) {
  std::string text = kSupportPrompt;
  for (int r : listed) text += cv::format(" -> Suitable block radius: %d\n", r);
  return text + kBlockPrompt;
}
// The matcher's report and timing lines.
std::string ran(int R, int r, int gs, int gc, int TAD) {
  return cv::format("\n\n\nOndrel is running with the following parameters:\n\nRadius of the supports\t: %d\t(support "
                "window %dx%d pixels)\nRadius of the blocks\t: %d\t(block size %dx%d pixels)\nGamma_space\t\t: %d\n"
                "Gamma_color\t\t: %d\nTAD threshold\t\t: %d\nSubpixel interpolation\t: enabled\nUniqueness constraint"
                "\t: enabled\n", R, 2 * R + 1, 2 * R + 1, r, 2 * r + 1, 2 * r + 1, gs, gc, TAD) + kTimes;
}
// A pass whose images are refused with `message`.
std::string refused(const std::vector<int>& listed, const std::string& message) {
  return kPairPrompt + asks(listed) + kGammas + message + kContinuePrompt;
}
// A pass answered at once: what the matcher says, then `after`, then the continue question.
std::string pass(const std::vector<int>& listed, int R, int r, int gs, int gc, int TAD, const std::string& after = "") {
  return refused(listed, ran(R, r, gs, gc, TAD) + after);
}
std::string cannot_read(const char* file) {
  return cv::format("\nERROR: cannot read the image \"%s\" (missing, unreadable or not an image): nothing is computed "
                "or saved...\n", file);
}
std::string differ(const char* pair, cv::Size a, cv::Size b) {
  return cv::format("\nERROR: the images \"%s_L.png\" (%dx%d pixels) and \"%s_R.png\" (%dx%d pixels) differ in size: "
                "nothing is computed or saved...\n", pair, a.width, a.height, pair, b.width, b.height);
}

// The pair written under the names of all four pairs unless a case says otherwise.
struct Views { cv::Mat left, right, truth; };
Views views(int W = 64, int H = 48) {
  Views v;
  synthetic_pair(W, H, 3, 8, cv::Rect(W / 3, H / 4, W / 3, H / 2), 5, &v.left, &v.right, &v.truth);
  return v;
}

// A valid PNG of a 4x4 image whose header (with a correct checksum) claims width x height.
std::string png_claiming(uint32_t width, uint32_t height) {
  const std::string real = encoded(random_image(4, 4, CV_8UC3, 7));
  const auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
  const std::string chunk = "IHDR" + be32(width) + be32(height) + real.substr(24, 5);
  uint32_t crc = 0xFFFFFFFFu;
  for (const char ch : chunk) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  // signature (8) | IHDR: length (4), type and data (17), CRC (4) | the rest
  return real.substr(0, 12) + chunk + be32(~crc) + real.substr(33);
}

using Step = std::function<void(const TempDir&)>;
Step put(const std::string& f, const std::string& b) { return [=](const TempDir& d) { write_file(d.file(f), b); }; }
Step put_pair(cv::Mat l, cv::Mat r) { return [=](const TempDir& d) { write_views(d.path, "Tsukuba", l, r); }; }

struct Case {
  const char* name;
  std::vector<Step> setup;  // after the default views are written
  std::string input, out;   // out: after the banner and the display question
  std::vector<std::string> results;  // the Result_* files afterwards
  Maps want = {};                    // what the Tsukuba results hold, when not empty
  std::string shell = "";  // run_ondrel's script, when not empty
};

std::vector<Case> cases() {
  const Views v = views(), tiny = views(20, 16);
  const cv::Mat &L = v.left, &R = v.right;
  const std::string left = encoded(L), right = encoded(R);
  const cv::Mat narrow(48, 60, CV_8UC3, cv::Scalar(1, 2, 3)), low(40, 64, CV_8UC3, cv::Scalar(1, 2, 3));
  const cv::Mat dot(1, 1, CV_8UC3, cv::Scalar(10, 20, 30));
  const std::vector<std::string> tsukuba = {"Result_Tsukuba.png", "Result_Tsukuba_SMP.png"};
  const std::string example = pass(k19, 19, 6, 14, 23, 53), small = pass({1}, 4, 1, 10, 12, 20);
  const auto damaged = [&](const char* name, const std::string& bytes, const std::string& file = "Tsukuba_L.png") {
    return Case{name, {put(file, bytes)}, kSmall, refused({1}, cannot_read(file.c_str())), {}};
  };
  const auto unmatched = [&](const char* name, const cv::Mat& l, const cv::Mat& r, const char* input, std::string out) {
    const cv::Mat none(l.size(), CV_8UC1, cv::Scalar(255));  // every pixel without a match
    return Case{name, {put_pair(l, r)}, input, out, tsukuba, {none, none}};
  };
  // 16-bit, grey and alpha PNGs are read as the 8-bit colour image they hold: the top byte of
  // 16-bit samples, grey repeated into three channels, alpha dropped (one read does all three)
  using Convert = std::function<cv::Mat(const cv::Mat&)>;
  const Convert as_is = [](const cv::Mat& m) { return m; };
  const Convert deep = [](const cv::Mat& m) { cv::Mat d; m.convertTo(d, CV_16U, 257); return d; };
  const Convert grey = [](const cv::Mat& m) { cv::Mat g; cv::extractChannel(m, g, 1); return g; };
  const Convert grey3 = [&](const cv::Mat& m) { cv::Mat c; cv::merge(std::vector<cv::Mat>(3, grey(m)), c); return c; };
  const Convert alpha = [](const cv::Mat& m) {
    cv::Mat c; cv::merge(std::vector<cv::Mat>{m, random_image(m.cols, m.rows, CV_8UC1, 5)}, c); return c; };
  const auto stored = [&](const char* name, const Convert& store, const Convert& read_as) {
    return Case{name, {put_pair(store(L), store(R))}, kSmall, small, tsukuba,
                match_maps(read_as(L), read_as(R), 15, 1, 4, 10, 12, 20, 16)};
  };
  return {
      {"Example", {}, "n 1 19 6 14 23 53 q", example, tsukuba, match_maps(L, R, 15, 6, 19, 14, 23, 53, 16)},
      // answers spread over lines or sharing one; words longer than 255 characters cut: a long "y..." is not
      // "y", 299 zeros and a 2 are read as 255 zeros (pair 0, asked again)
      {"AnswersSpreadOverLinesOrSharingOneAndLongWordsCut", {},
       "\n\ny" + std::string(400, 'x') + "\n" + std::string(299, '0') + "2\n1\n\n 19   6\t14\n23 53\n\n\nq",
       kPairPrompt + example, tsukuba},
      {"WrongAnswersAreAskedAgainAndNothingCarriesOver", {},
       // only "y" turns the display on; wrong pairs without a message ("2x" is Venus); no suitable block
       // radius; blocks that do not tile the window; r = 0 is not listed but tiles; gammas and threshold;
       // "quit" is not "q": another pass; r = R; "Q" is not "q" either
       "yes 0 5 -3 abc 2x 1 0 -4 2 3 5 6 4 2 12 3 19 2 19 4 7 0 -5 0 -1 23 0 256 -7 255 quit 3 4 4 14 23 1 Q "
       "4 19 6 14 23 53 q",
       kPairPrompt + kPairPrompt + kPairPrompt + kPairPrompt + kPairPrompt + unsuitable({1, 0, -4, 2, 3, 5, 6}) +
           asks({1}) + wrong(9, 5) + asks({2}) + wrong(25, 7) + asks(k19) + wrong(39, 5) + asks(k19) + wrong(39, 9) +
           asks({1, 2}) + kGammaSpacePrompt + "\nERROR: gamma_space<0...\n" + kGammaSpacePrompt + kGammaColorPrompt +
           "\nERROR: gamma_color<0...\n" + kGammaColorPrompt + kTadPrompt + kTadError + kTadPrompt + kTadError +
           kTadPrompt + kTadError + kTadPrompt + ran(7, 0, 0, 23, 255) + kContinuePrompt +
           pass({1}, 4, 4, 14, 23, 1) + example,
       {"Result_Cones.png", "Result_Cones_SMP.png", "Result_Teddy.png", "Result_Teddy_SMP.png", "Result_Venus.png",
        "Result_Venus_SMP.png"}},
      {"RadiiBeyondTheImageOrTheLimitsAreAskedAgain", {put_pair(tiny.left, tiny.right)},
       "n 1 2048 19 19 4 -1 4 -5 7 2 14 23 53 q",
       kPairPrompt + kSupportPrompt +
           "** Unfortunately the selected radius (i.e. 2048) is larger than 2047, the largest supported (support "
           "window 4095x4095 pixels)\n** Please, change the radius of the support\n\n" +
           asks(k19) + "\nERROR: wrong parameters: a block of 39x39 pixels does not fit in the image "
           "\"Tsukuba_L.png\" (20x16 pixels)...\n" + asks({1}) + negative(-1) + asks({1}) + negative(-5) +
           asks({1, 2}) + kGammas + ran(7, 2, 14, 23, 53) + kContinuePrompt,
       tsukuba},
      {"DisplayWithoutAScreenSaysSo", {}, "y 1 19 6 14 23 53 q",
       pass(k19, 19, 6, 14, 23, 53, "\nNo display available: the disparity map is not shown.\n"), tsukuba, {},
       "unset DISPLAY WAYLAND_DISPLAY; exec \"$0\""},
      // a folder in the way of the disparity map: the file cannot replace it, even for root;
      // the uniqueness map is written all the same, and no temporary file is left behind
      {"AResultThatCannotBeWrittenIsReported", {[](const TempDir& d) { mkdir(d.file("Result_Tsukuba.png").c_str(), 0755); }},
       "n 1 19 6 14 23 53 q",
       pass(k19, 19, 6, 14, 23, 53, "\nERROR: cannot save \"Result_Tsukuba.png\" (Is a directory): any earlier file "
                                    "of that name is unchanged...\n"),
       {"Result_Tsukuba_SMP.png"}},
      // each failed pass skips to the continue question; the earlier result of Venus stays
      {"UnreadableOrMismatchedImagesSkipThePass",
       {[](const TempDir& d) { unlink(d.file("Venus_R.png").c_str()); }, put("Teddy_L.png", "not an image\n"),
        put("Cones_R.png", encoded(narrow)), put("Result_Venus.png", "earlier result")},
       "n 2 19 6 14 23 53 c 3 19 6 14 23 53 c 4 19 6 14 23 53 c 1 19 6 14 23 53 q",
       refused(k19, cannot_read("Venus_R.png")) + refused(k19, cannot_read("Teddy_L.png")) +
           refused(k19, differ("Cones", {64, 48}, {60, 48})) + example,
       {"Result_Tsukuba.png", "Result_Tsukuba_SMP.png", "Result_Venus.png"}},
      {"ViewsOfDifferentHeights", {put("Tsukuba_R.png", encoded(low))}, kSmall, refused({1}, differ("Tsukuba", {64, 48}, {64, 40})), {}},
      damaged("LeftCutInHalf", left.substr(0, left.size() / 2)), damaged("EmptyFile", ""),
      damaged("RightCutAfterItsHeader", right.substr(0, 40), "Tsukuba_R.png"),
      damaged("WithoutItsLastByte", left.substr(0, left.size() - 1)), damaged("TextNamedLikeAPng", "P3 not an image\n"),
      damaged("HeaderClaims100000x100000", png_claiming(100000, 100000)),
      damaged("HeaderClaims20000x20000", png_claiming(20000, 20000)),
      damaged("HeaderClaims2pow31x1", png_claiming(0x7FFFFFFF, 1)),
      // a 3x3 block does not fit and is asked again; the single pixel has no possible match
      unmatched("OnePixelImages", dot, dot, "n 1 4 1 4 0 10 12 20 q",
                kPairPrompt + asks({1}) + "\nERROR: wrong parameters: a block of 3x3 pixels does not fit in the image "
                "\"Tsukuba_L.png\" (1x1 pixels)...\n" + asks({1}) + kGammas + ran(4, 0, 10, 12, 20) + kContinuePrompt),
      // no pixel of views narrower than the disparity range (0 .. 15) has a possible match
      unmatched("ThreePixelsWide", random_image(3, 7, CV_8UC3, 1), random_image(3, 7, CV_8UC3, 2), kSmall, small),
      unmatched("FifteenPixelsWide", random_image(15, 7, CV_8UC3, 1), random_image(15, 7, CV_8UC3, 2), kSmall, small),
      stored("Colour16Bit", deep, as_is), stored("Grey8Bit", grey, grey3), stored("ColourWithAlpha", alpha, as_is),
  };
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Dialogue : public testing::TestWithParam<Case> {};

TEST_P(Dialogue, SaysExactlyThisAndSavesTheseFiles) {
  const Case& run = GetParam();
  TempDir dir;
  const Views v = views();
  for (const char* pair : {"Tsukuba", "Venus", "Teddy", "Cones"}) write_views(dir.path, pair, v.left, v.right);
  for (const Step& step : run.setup) step(dir);
  std::vector<std::pair<std::string, std::string>> earlier;  // results from before: kept byte for byte
  for (const std::string& name : files_in(dir.path, "Result_")) earlier.push_back({name, read_file(dir.file(name))});

  const RunResult result = run_ondrel(run.input, dir.path, run.shell);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(without_times(result.out), kStart + run.out);
  EXPECT_EQ(files_in(dir.path, "Result_"), run.results);
  for (const auto& [name, bytes] : earlier) EXPECT_EQ(read_file(dir.file(name)), bytes) << name;

  if (run.want.disparity.empty()) return;
  EXPECT_TRUE(same_image(read_image(dir.file("Result_Tsukuba.png")), run.want.disparity));
  EXPECT_TRUE(same_image(read_image(dir.file("Result_Tsukuba_SMP.png")), run.want.uniqueness));
}

INSTANTIATE_TEST_SUITE_P(Runs, Dialogue, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

#ifndef ONDREL_SANITIZED
// The address-space limit that makes the matcher's allocation fail would also break the
// sanitizers' shadow memory, so this runs in the normal build only. A large flat pair needs
// more working memory than 520 MB of address space hold (the views and the program's maps
// fit: the matcher's first allocations fail from about 450 to 600 MB).
TEST(DialogueInputs, AFailedMatcherCallShowsAndSavesNothing) {
  TempDir dir;
  const cv::Mat big(4000, 5600, CV_8UC3, cv::Scalar(40, 80, 120));
  write_views(dir.path, "Teddy", big, big);
  write_file(dir.file("Result_Teddy.png"), "earlier result");
  const RunResult run = run_ondrel("y 3 19 6 14 23 53 q", dir.path, "ulimit -v 520000 && exec \"$0\"");
  EXPECT_EQ(run.status, 0);
  const std::string tail = "\nERROR: the disparity maps could not be computed: nothing is shown or saved...\n" +
                           kContinuePrompt;
  EXPECT_EQ(tail_of(run.out, tail.size()), tail);
  EXPECT_NE(run.out.find("ABORTING... CAN'T ALLOCATE "), std::string::npos);
  EXPECT_EQ(run.out.find("Move the mouse pointer"), std::string::npos);
  EXPECT_EQ(read_file(dir.file("Result_Teddy.png")), "earlier result");
  EXPECT_EQ(files_in(dir.path), (std::vector<std::string>{"Result_Teddy.png", "Teddy_L.png", "Teddy_R.png"}));
}
#endif

// The user's session as a script: the program in the background, the window awaited, its
// title and screenshots taken, a key pressed in it.
const char kSession[] = R"(printf 'y 1 19 6 14 23 53 q\n' | "$0" & p=$!
w=$(timeout 120 xdotool search --sync --name 'Ondrel parameters: R=19, r=6, space=14, color=23, TAD=53' | head -n 1)
[ -n "$w" ] || { kill $p; exit 3; }
xdotool getwindowname "$w" > title
for s in 1 2 3 4 5 6 7 8 9 10; do sleep 0.4; import -window root shot$s.png; done
xdotool key --window "$w" space
wait $p)";

TEST(Display, WindowShowsTheLeftImageBesideTheUniquenessMapUntilAKey) {
  if (std::system("command -v xvfb-run xdotool import >/dev/null") != 0)
    GTEST_SKIP() << "xvfb-run, xdotool or ImageMagick missing";
  TempDir dir;
  cv::Mat left, right, truth;
  // wide enough for the window to take the picture's size (a narrower one would be widened to
  // its toolbar and the picture scaled)
  synthetic_pair(480, 160, 3, 8, cv::Rect(160, 40, 160, 80), 9, &left, &right, &truth);
  write_views(dir.path, "Tsukuba", left, right);
  // the picture the window must show: the left image, then the uniqueness map in grey
  const Maps maps = match_maps(left, right, 15, 6, 19, 14, 23, 53, 16);
  ASSERT_GT(cv::countNonZero(maps.uniqueness != 255), static_cast<int>(maps.uniqueness.total() / 2));
  cv::Mat grey, mosaic;
  cv::cvtColor(maps.uniqueness, grey, cv::COLOR_GRAY2BGR);
  cv::hconcat(left, grey, mosaic);

  // the window toolkit keeps caches until exit that a leak checker would report
  const RunResult run = run_ondrel("", dir.path, "LSAN_OPTIONS=suppressions=\"$2\" exec xvfb-run -a -s '-screen 0 "
                                  "1600x900x24 -nolisten tcp' /bin/sh -c \"$1\" \"$0\"", {kSession, ONDREL_LSAN_SUPPRESSIONS});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(read_file(dir.file("title")), "[Left]: Reference [Right]: Disparity (uniqueness enabled) - Ondrel "
                                          "parameters: R=19, r=6, space=14, color=23, TAD=53\n");
  double best = -1;  // a screenshot holds the mosaic pixel for pixel
  for (int shot = 1; shot <= 10; ++shot) {  // a loaded machine may paint the window late
    const cv::Mat screen = cv::imread(dir.file("shot" + std::to_string(shot) + ".png"), cv::IMREAD_COLOR);
    if (screen.cols < mosaic.cols || screen.rows < mosaic.rows || best == 0) continue;
    cv::Mat match;
    cv::matchTemplate(screen, mosaic, match, cv::TM_SQDIFF);
    cv::minMaxLoc(match, &best);
  }
  EXPECT_EQ(best, 0) << "the mosaic is not on the screen";
  const std::string tail = "T sec : [*] Ondrel\n\nMove the mouse pointer over the image and press a key...\n\nPress "
                           "'q' to quit or a different value to continue: ";
  EXPECT_EQ(tail_of(without_times(run.out), tail.size()), tail);
  EXPECT_TRUE(same_image(read_image(dir.file("Result_Tsukuba_SMP.png")), maps.uniqueness));
}

}  // namespace
