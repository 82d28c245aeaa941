// The console program driven as a user drives it: answers on standard input, in a folder of
// small synthetic images, with the whole standard output compared to the exact texts.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "matcher/ondrel.h"
#include "tests/support/test_support.h"

using ondrel_test::read_file;
using ondrel_test::run_ondrel;
using ondrel_test::RunResult;
using ondrel_test::TempDir;
using ondrel_test::without_times;

namespace {

const char* const kPairs[] = {"Tsukuba", "Venus", "Teddy", "Cones"};

const std::string kRule(93, '*');
const std::string kBanner =
    "\n" + kRule + "\n" +
    "\nThis is the implementation of the algorithm described in the following paper:\n\n"
    "Authors:\tThe Ondrel developers\n"
    "Title:\t\tOndrel: dense stereo matching by block-based\n"
    "\t\tadaptive-weight cost aggregation\n"
    "Conference:\tOndrel project documentation (README.md)\n"
    "Date:\t\t2026, distributed with the Ondrel sources\n\n\n"
    "Additional experimental results available at:\n\n"
    "README.md, section \"Results\", in the Ondrel source tree\n\n"
    "For comments, bug reports, etc:\n\n"
    "\t\tThe Ondrel maintainers\n"
    "\t\tno e-mail address: see README.md, section \"Reporting problems\"\n"
    "\t\tREADME.md in the Ondrel source tree\n"
    "\n" + kRule + "\n\n\n";

const std::string kDisplayQuestion =
    "Do you want to display the disparity map after processing?\nIf yes, press y and enter: ";
const std::string kPairPrompt =
    "\nSelect the stereo pair [Tsukuba = 1] [Venus = 2] [Teddy = 3] [Cones = 4] and press enter: ";
const std::string kSupportPrompt = "\nInsert the radius of the support window (e.g. in the paper 19) and press enter: ";
const std::string kBlockPrompt = "Insert the radius of the block (one of the above values) and press enter: ";
const std::string kGammaSpacePrompt = "Insert gamma_space (e.g. in the paper 14) and press enter: ";
const std::string kGammaColorPrompt = "Insert gamma_color (e.g. in the paper 23) and press enter: ";
const std::string kTadPrompt = "Insert TAD threshold (e.g. 53) and press enter: ";
const std::string kContinuePrompt = "\nPress 'q' to quit or a different value to continue: ";
const std::string kEndOfInput = "\nERROR: the input ended before the question was answered: exiting.\n";
const std::string kTimes = "\n\nExecution time: \nT sec : [*] Ondrel (initialization)\nT sec : [*] Ondrel\n";

std::string format(const char* pattern, int a, int b = 0, int c = 0, int d = 0, int e = 0) {
  char text[1024];
  std::snprintf(text, sizeof text, pattern, a, b, c, d, e);
  return text;
}

std::string unsuitable(int R) {
  return format("** Unfortunately with the selected radius (i.e. %d) there are not suitable block size (see the "
                "paper)\n** Please, change the radius of the support\n\n",
                R);
}

std::string listing(std::vector<int> radii) {
  std::string text;
  for (int r : radii) text += format(" -> Suitable block radius: %d\n", r);
  return text;
}

std::string wrong_parameters(int support_side, int block_side) {
  return format("\nERROR: wrong parameters (see the paper): %d MOD %d is not zero...\n", support_side, block_side);
}

std::string report(int R, int r, int gamma_space, int gamma_color, int TAD) {
  return format("\n\n\nOndrel is running with the following parameters:\n\n"
                "Radius of the supports\t: %d\t(support window %dx%d pixels)\n",
                R, 2 * R + 1, 2 * R + 1) +
         format("Radius of the blocks\t: %d\t(block size %dx%d pixels)\n", r, 2 * r + 1, 2 * r + 1) +
         format("Gamma_space\t\t: %d\nGamma_color\t\t: %d\nTAD threshold\t\t: %d\n", gamma_space, gamma_color, TAD) +
         "Subpixel interpolation\t: enabled\nUniqueness constraint\t: enabled\n";
}

// The questions of a pass answered at once, the matcher's report and the continue question.
std::string plain_pass(const std::vector<int>& listed, int R, int r, int gs, int gc, int TAD) {
  return kPairPrompt + kSupportPrompt + listing(listed) + kBlockPrompt + kGammaSpacePrompt + kGammaColorPrompt +
         kTadPrompt + report(R, r, gs, gc, TAD) + kTimes + kContinuePrompt;
}

const std::vector<int> kListed19 = {1, 6};

// A folder holding a synthetic W x H pair under each of the eight input names.
void write_pairs(const TempDir& dir, int W = 64, int H = 48) {
  cv::Mat left, right, truth;
  ondrel_test::synthetic_pair(W, H, 3, 8, cv::Rect(W / 3, H / 4, W / 3, H / 2), 5, &left, &right, &truth);
  for (const char* pair : kPairs) {
    ASSERT_TRUE(cv::imwrite(dir.file(std::string(pair) + "_L.png"), left));
    ASSERT_TRUE(cv::imwrite(dir.file(std::string(pair) + "_R.png"), right));
  }
}

// Names of the files (not folders) in the folder other than the eight inputs, sorted.
std::vector<std::string> outputs(const TempDir& dir) {
  std::vector<std::string> names;
  cv::glob(dir.path + "/*", names);
  std::vector<std::string> out;
  for (const std::string& n : names) {
    const std::string base = n.substr(n.rfind('/') + 1);
    if (base.size() < 6 || (base.compare(base.size() - 6, 6, "_L.png") != 0 && base.compare(base.size() - 6, 6, "_R.png") != 0))
      out.push_back(base);
  }
  return out;
}

}  // namespace

TEST(Dialogue, ExampleRunWritesBothMapsOfTheMatcherAndQuits) {
  TempDir dir;
  write_pairs(dir);
  const RunResult run = run_ondrel("n 1 19 6 14 23 53 q\n", dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(without_times(run.out), kBanner + kDisplayQuestion + plain_pass(kListed19, 19, 6, 14, 23, 53));
  EXPECT_EQ(outputs(dir), (std::vector<std::string>{"Result_Tsukuba.png", "Result_Tsukuba_SMP.png"}));

  // the files hold exactly what the matcher computes for these answers
  const cv::Mat left = cv::imread(dir.file("Tsukuba_L.png")), right = cv::imread(dir.file("Tsukuba_R.png"));
  cv::Mat disparity(left.size(), CV_8UC1), right_disparity(left.size(), CV_8UC1), uniqueness(left.size(), CV_8UC1);
  testing::internal::CaptureStdout();
  ASSERT_EQ(Ondrel_QUIRN(left, right, disparity, right_disparity, uniqueness, 0, 15, 6, 19, 14, 23, 53, 16), 0);
  testing::internal::GetCapturedStdout();
  const cv::Mat saved = cv::imread(dir.file("Result_Tsukuba.png"), cv::IMREAD_UNCHANGED);
  const cv::Mat saved_smp = cv::imread(dir.file("Result_Tsukuba_SMP.png"), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(saved.type(), CV_8UC1);
  ASSERT_EQ(saved_smp.type(), CV_8UC1);
  ASSERT_EQ(saved.size(), cv::Size(64, 48));
  EXPECT_EQ(cv::norm(saved, disparity, cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(saved_smp, uniqueness, cv::NORM_INF), 0);
}

TEST(Dialogue, AnswersMaySpreadOverLinesOrShareOne) {
  TempDir dir;
  write_pairs(dir);
  const RunResult run = run_ondrel("\n\nn\n1\n\n 19   6\t14\n23 53\n\n\nq", dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(without_times(run.out), kBanner + kDisplayQuestion + plain_pass(kListed19, 19, 6, 14, 23, 53));
}

TEST(Dialogue, WrongAnswersAreAskedAgainAndNothingCarriesOver) {
  TempDir dir;
  write_pairs(dir);
  const std::string input =
      "yes "                                // only "y" turns the display on
      "0 5 -3 abc 2x "                      // wrong pairs without a message; "2x" is Venus
      "1 0 -4 2 3 5 6 "                     // no suitable block radius
      "4 2 12 3 19 2 19 4 "                 // blocks that do not tile the window
      "7 0 "                                // r = 0 is not listed but tiles
      "-5 0 -1 23 0 256 -7 255 "            // gammas and threshold
      "quit "                               // not "q": another pass
      "3 4 4 14 23 1 Q "                    // r = R; "Q" is not "q" either
      "4 19 6 14 23 53 q";
  const RunResult run = run_ondrel(input, dir.path);
  EXPECT_EQ(run.status, 0);
  const std::string first_pass =
      kPairPrompt + kPairPrompt + kPairPrompt + kPairPrompt + kPairPrompt +  //
      kSupportPrompt + unsuitable(1) + kSupportPrompt + unsuitable(0) + kSupportPrompt + unsuitable(-4) +
      kSupportPrompt + unsuitable(2) + kSupportPrompt + unsuitable(3) + kSupportPrompt + unsuitable(5) +
      kSupportPrompt + unsuitable(6) +  //
      kSupportPrompt + listing({1}) + kBlockPrompt + wrong_parameters(9, 5) +            //
      kSupportPrompt + listing({2}) + kBlockPrompt + wrong_parameters(25, 7) +           //
      kSupportPrompt + listing(kListed19) + kBlockPrompt + wrong_parameters(39, 5) +     //
      kSupportPrompt + listing(kListed19) + kBlockPrompt + wrong_parameters(39, 9) +     //
      kSupportPrompt + listing({1, 2}) + kBlockPrompt +                                  //
      kGammaSpacePrompt + "\nERROR: gamma_space<0...\n" + kGammaSpacePrompt +            //
      kGammaColorPrompt + "\nERROR: gamma_color<0...\n" + kGammaColorPrompt +            //
      kTadPrompt + "\nERROR: TAD_threshold <=255...\n" + kTadPrompt + "\nERROR: TAD_threshold <=255...\n" +
      kTadPrompt + "\nERROR: TAD_threshold <=255...\n" + kTadPrompt +  //
      report(7, 0, 0, 23, 255) + kTimes + kContinuePrompt;
  EXPECT_EQ(without_times(run.out), kBanner + kDisplayQuestion + first_pass + plain_pass({1}, 4, 4, 14, 23, 1) +
                                        plain_pass(kListed19, 19, 6, 14, 23, 53));
  EXPECT_EQ(outputs(dir), (std::vector<std::string>{"Result_Cones.png", "Result_Cones_SMP.png", "Result_Teddy.png",
                                                    "Result_Teddy_SMP.png", "Result_Venus.png",
                                                    "Result_Venus_SMP.png"}));
}

TEST(Dialogue, EndOfInputQuitsAtTheContinueQuestionAndFailsAnywhereElse) {
  TempDir dir;
  write_pairs(dir);
  const std::vector<std::string> answers = {"n", "1", "19", "6", "14", "23", "53"};
  const std::vector<std::string> prompts = {kDisplayQuestion, kPairPrompt, kSupportPrompt, kBlockPrompt,
                                            kGammaSpacePrompt, kGammaColorPrompt, kTadPrompt};
  std::string input;
  for (size_t given = 0; given < answers.size(); ++given) {
    const RunResult run = run_ondrel(input, dir.path);
    EXPECT_EQ(run.status, 1) << given << " answers";
    const std::string expected_end = prompts[given] + kEndOfInput;
    ASSERT_GE(run.out.size(), expected_end.size());
    EXPECT_EQ(run.out.substr(run.out.size() - expected_end.size()), expected_end) << given << " answers";
    input += answers[given] + " ";
  }
  EXPECT_TRUE(outputs(dir).empty());
  const RunResult run = run_ondrel(input, dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(without_times(run.out), kBanner + kDisplayQuestion + plain_pass(kListed19, 19, 6, 14, 23, 53));
  EXPECT_EQ(outputs(dir).size(), 2u);
}

TEST(Dialogue, WordsLongerThan255CharactersAreTruncated) {
  TempDir dir;
  write_pairs(dir);
  // 299 zeros and a 2 read as 255 zeros: pair 0, asked again; a long "y..." is not "y"
  const std::string input = "y" + std::string(400, 'x') + " " + std::string(299, '0') + "2 1 19 6 14 23 53 q";
  const RunResult run = run_ondrel(input, dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(without_times(run.out), kBanner + kDisplayQuestion + kPairPrompt + plain_pass(kListed19, 19, 6, 14, 23, 53));
}

TEST(Dialogue, UnreadableOrMismatchedImagesSkipThePassAndSaveNothing) {
  TempDir dir;
  write_pairs(dir);
  ASSERT_EQ(unlink(dir.file("Venus_R.png").c_str()), 0);
  {
    FILE* f = std::fopen(dir.file("Teddy_L.png").c_str(), "w");
    std::fputs("not an image\n", f);
    std::fclose(f);
  }
  cv::Mat narrow(48, 60, CV_8UC3, cv::Scalar(1, 2, 3));
  ASSERT_TRUE(cv::imwrite(dir.file("Cones_R.png"), narrow));

  const RunResult run =
      run_ondrel("n 2 19 6 14 23 53 c 3 19 6 14 23 53 c 4 19 6 14 23 53 c 1 19 6 14 23 53 q", dir.path);
  EXPECT_EQ(run.status, 0);
  const std::string questions = kPairPrompt + kSupportPrompt + listing(kListed19) + kBlockPrompt + kGammaSpacePrompt +
                                kGammaColorPrompt + kTadPrompt;
  EXPECT_EQ(without_times(run.out),
            kBanner + kDisplayQuestion +  //
                questions +
                "\nERROR: cannot read the image \"Venus_R.png\" (missing, unreadable or not an image): nothing is "
                "computed or saved...\n" +
                kContinuePrompt + questions +
                "\nERROR: cannot read the image \"Teddy_L.png\" (missing, unreadable or not an image): nothing is "
                "computed or saved...\n" +
                kContinuePrompt + questions +
                "\nERROR: the images \"Cones_L.png\" (64x48 pixels) and \"Cones_R.png\" (60x48 pixels) differ in "
                "size: nothing is computed or saved...\n" +
                kContinuePrompt + plain_pass(kListed19, 19, 6, 14, 23, 53));
  EXPECT_EQ(outputs(dir), (std::vector<std::string>{"Result_Tsukuba.png", "Result_Tsukuba_SMP.png"}));
}

TEST(Dialogue, RadiiBeyondTheImageOrTheLimitsAreAskedAgain) {
  TempDir dir;
  write_pairs(dir, 20, 16);
  const RunResult run = run_ondrel("n 1 2048 19 19 4 -1 4 -5 7 2 14 23 53 q", dir.path);
  EXPECT_EQ(run.status, 0);
  const std::string negative = "\nERROR: wrong parameters: the radius of the block (i.e. %d) must not be negative...\n";
  EXPECT_EQ(without_times(run.out),
            kBanner + kDisplayQuestion + kPairPrompt +  //
                kSupportPrompt +
                "** Unfortunately the selected radius (i.e. 2048) is larger than 2047, the largest supported "
                "(support window 4095x4095 pixels)\n** Please, change the radius of the support\n\n" +
                kSupportPrompt + listing(kListed19) + kBlockPrompt +
                "\nERROR: wrong parameters: a block of 39x39 pixels does not fit in the image \"Tsukuba_L.png\" "
                "(20x16 pixels)...\n" +
                kSupportPrompt + listing({1}) + kBlockPrompt + format(negative.c_str(), -1) +  //
                kSupportPrompt + listing({1}) + kBlockPrompt + format(negative.c_str(), -5) +  //
                kSupportPrompt + listing({1, 2}) + kBlockPrompt + kGammaSpacePrompt + kGammaColorPrompt + kTadPrompt +
                report(7, 2, 14, 23, 53) + kTimes + kContinuePrompt);
}

TEST(Dialogue, DisplayWithoutAScreenSaysSoAndTheRunGoesOn) {
  TempDir dir;
  write_pairs(dir);
  const RunResult run = run_ondrel("y 1 19 6 14 23 53 q", dir.path, {"DISPLAY=", "WAYLAND_DISPLAY="});
  EXPECT_EQ(run.status, 0);
  const std::string pass = plain_pass(kListed19, 19, 6, 14, 23, 53);
  EXPECT_EQ(without_times(run.out),
            kBanner + kDisplayQuestion + pass.substr(0, pass.size() - kContinuePrompt.size()) +
                "\nNo display available: the disparity map is not shown.\n" + kContinuePrompt);
  EXPECT_EQ(outputs(dir).size(), 2u);
}

TEST(Dialogue, AResultThatCannotBeWrittenIsReportedAndTheOldFileKept) {
  TempDir dir;
  write_pairs(dir);
  // a folder in the way of the disparity map: the file cannot replace it, even for root
  ASSERT_EQ(mkdir(dir.file("Result_Tsukuba.png").c_str(), 0755), 0);
  const RunResult run = run_ondrel("n 1 19 6 14 23 53 q", dir.path);
  EXPECT_EQ(run.status, 0);
  const std::string pass = plain_pass(kListed19, 19, 6, 14, 23, 53);
  EXPECT_EQ(without_times(run.out),
            kBanner + kDisplayQuestion + pass.substr(0, pass.size() - kContinuePrompt.size()) +
                "\nERROR: cannot save \"Result_Tsukuba.png\" (Is a directory): any earlier file of that name is "
                "unchanged...\n" +
                kContinuePrompt);
  struct stat st;
  ASSERT_EQ(stat(dir.file("Result_Tsukuba.png").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  // the uniqueness map is written all the same, and no temporary file is left behind
  EXPECT_EQ(outputs(dir), std::vector<std::string>{"Result_Tsukuba_SMP.png"});

  if (geteuid() != 0) {  // permissions bind everyone but root
    const std::string before = read_file(dir.file("Result_Tsukuba_SMP.png"));
    ASSERT_EQ(chmod(dir.path.c_str(), 0555), 0);
    const RunResult locked = run_ondrel("n 1 19 6 14 24 53 q", dir.path);
    chmod(dir.path.c_str(), 0755);
    EXPECT_NE(locked.out.find("\nERROR: cannot save \"Result_Tsukuba_SMP.png\" (Permission denied)"),
              std::string::npos);
    EXPECT_EQ(read_file(dir.file("Result_Tsukuba_SMP.png")), before);
  }
}

#ifndef ONDREL_SANITIZED
// The address-space limit that makes the matcher's allocation fail would also break the
// sanitizers' shadow memory, so this runs in the normal build only.
TEST(Dialogue, AFailedMatcherCallShowsAndSavesNothing) {
  TempDir dir;
  write_pairs(dir);
  // a large flat pair whose working memory (about 24 bytes a pixel for the block means
  // alone) cannot be had within 450 MB of address space
  const cv::Mat big(3000, 4000, CV_8UC3, cv::Scalar(40, 80, 120));
  ASSERT_TRUE(cv::imwrite(dir.file("Teddy_L.png"), big));
  ASSERT_TRUE(cv::imwrite(dir.file("Teddy_R.png"), big));
  {
    FILE* f = std::fopen(dir.file("Result_Teddy.png").c_str(), "w");
    std::fputs("earlier result", f);
    std::fclose(f);
  }
  const RunResult run = ondrel_test::run_program(
      {"/bin/sh", "-c", std::string("ulimit -v 450000 && exec '") + ONDREL_BINARY + "'"},
      "y 3 19 6 14 23 53 q", dir.path);
  EXPECT_EQ(run.status, 0);
  const std::string failure = "\nERROR: the disparity maps could not be computed: nothing is shown or saved...\n";
  ASSERT_GE(run.out.size(), failure.size() + kContinuePrompt.size());
  EXPECT_EQ(run.out.substr(run.out.size() - failure.size() - kContinuePrompt.size()), failure + kContinuePrompt);
  EXPECT_NE(run.out.find("ABORTING... CAN'T ALLOCATE "), std::string::npos);
  EXPECT_EQ(run.out.find("Move the mouse pointer"), std::string::npos);
  EXPECT_EQ(read_file(dir.file("Result_Teddy.png")), "earlier result");
  struct stat st;
  EXPECT_NE(stat(dir.file("Result_Teddy_SMP.png").c_str(), &st), 0);
}
#endif
