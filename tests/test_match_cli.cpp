// ondrel-match run as a user runs it: exit statuses and messages for bad command lines and
// files, and the files of a good run read back against the library's values.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <ondrel/ondrel.h>
#include <ondrel/refine.h>
#include <opencv2/imgcodecs.hpp>

#include "tests/support/test_support.h"
#include "util/pfm.h"

namespace {

using ondrel_test::run_program;
using ondrel_test::TempDir;
using ondrel_test::view_of;

// A random texture and the same texture shifted by 4 columns: disparity 4.
void write_pair(const TempDir& dir) {
  cv::Mat scene(30, 50, CV_8UC3);
  cv::randu(scene, 0, 256);
  cv::imwrite(dir.file("l.png"), scene(cv::Rect(0, 0, 46, 30)));
  cv::imwrite(dir.file("r.png"), scene(cv::Rect(4, 0, 46, 30)));
  cv::imwrite(dir.file("small.png"), scene(cv::Rect(0, 0, 20, 30)));
}

TEST(MatchCli, BadCommandLinesAndFilesGetAStatusAndOneLine) {
  TempDir dir;
  write_pair(dir);
  const std::string l = dir.file("l.png"), r = dir.file("r.png");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{"-d", "8", l}, 2, "two views"},
      {{"-d", "8", "", r}, 2, "LEFT is an empty file name"},
      {{"-d", "8", l, ""}, 2, "RIGHT is an empty file name"},
      {{"-d", "x", l, r}, 2, "-d"},
      {{"-d", "8", "-r", "2", "-R", "4", l, r}, 2, "does not fit"},
      {{"-d", "8", "--tad", "-1", l, r}, 2, "--tad"},
      {{"-d", "8", "-o", dir.file("a.tiff"), l, r}, 2, ".pfm"},
      {{"--frobnicate", l, r}, 2, "unknown option"},
      {{"-d", "8", "--cost", "sad", l, r}, 2, "--cost"},
      {{"-d", "8", "--refine", "-u", dir.file("u.pfm"), l, r}, 2, "--uniqueness"},
      {{"-d", "8", dir.file("missing.png"), r}, 1, "missing.png"},
      {{"-d", "8", l, dir.file("small.png")}, 1, "different sizes"},
      {{"-d", "8", "-o", dir.file("no/such/folder/d.pfm"), l, r}, 1, "d.pfm"},
      {{"--calib", dir.file("missing.txt"), l, r}, 1, "missing.txt"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{ONDREL_MATCH_BINARY, "-q"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto run = run_program(argv, "", dir.path);
    EXPECT_EQ(run.status, c.status) << c.message;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    if (c.status == 2) {
      EXPECT_NE(run.err.find("usage: ondrel-match"), std::string::npos) << run.err;
    }
  }
}

TEST(MatchCli, FilesHoldTheLibrarysValues) {
  TempDir dir;
  write_pair(dir);
  const auto run = run_program({ONDREL_MATCH_BINARY, "-q", "-d", "8", "-R", "4", "-r", "1", "-o", dir.file("d.pfm"),
                                "-u", dir.file("u.png"), "--time", dir.file("t.txt"), dir.file("l.png"),
                                dir.file("r.png")},
                               "", dir.path);
  ASSERT_EQ(run.status, 0) << run.err;
  const cv::Mat left = cv::imread(dir.file("l.png")), right = cv::imread(dir.file("r.png"));
  cv::Mat d(left.size(), CV_32FC1), u(left.size(), CV_32FC1);
  ondrel::Parameters p;
  p.max_disparity = 8;
  p.support_radius = 4;
  p.block_radius = 1;
  ondrel::DisparityPlanes out;
  out.disparity = {d.ptr<float>(), d.cols, d.rows, d.cols};
  out.uniqueness = {u.ptr<float>(), u.cols, u.rows, u.cols};
  ASSERT_TRUE(ondrel::match(view_of(left), view_of(right), p, {}, out)
                  .ok());
  cv::Mat pfm;
  std::string error;
  ASSERT_TRUE(read_pfm(dir.file("d.pfm"), &pfm, &error)) << error;
  const cv::Mat png = cv::imread(dir.file("u.png"), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(png.type(), CV_16UC1);
  int found = 0;
  for (int y = 0; y < d.rows; ++y)
    for (int x = 0; x < d.cols; ++x) {
      const float v = d.at<float>(y, x), w = u.at<float>(y, x);
      if (std::isnan(v)) {
        EXPECT_TRUE(std::isinf(pfm.at<float>(y, x)));
      } else {
        EXPECT_EQ(pfm.at<float>(y, x), v);
        found += std::fabs(v - 4.0f) < 0.5f;
      }
      const int expected = std::isnan(w) ? 0 : std::max(1, std::min(65535, (int)std::lround(256.0 * w)));
      EXPECT_EQ(png.at<uint16_t>(y, x), expected);
    }
  EXPECT_GT(found, d.rows * (d.cols - 12) * 8 / 10);
  EXPECT_GE(std::stod(ondrel_test::read_file(dir.file("t.txt"))), 0.0);

  // --refine --cost census: the library's refined map with the census cost
  ASSERT_EQ(run_program({ONDREL_MATCH_BINARY, "-q", "-d", "8", "-R", "4", "-r", "1", "--refine", "--cost", "census", "-o",
                         dir.file("c.pfm"), dir.file("l.png"), dir.file("r.png")},
                        "", dir.path)
                .status,
            0);
  p.cost = ondrel::CostFunction::kCensus;
  ASSERT_TRUE(ondrel::match_refined(view_of(left), view_of(right), p, {}, {}, out.disparity)
                  .ok());
  ASSERT_TRUE(read_pfm(dir.file("c.pfm"), &pfm, &error)) << error;
  EXPECT_EQ(cv::norm(pfm, d, cv::NORM_INF), 0);
}

TEST(MatchCli, MiddleburyLayoutSkipsABrokenScene) {
  TempDir dir;
  write_pair(dir);
  for (const char* scene : {"good", "broken"}) {
    const std::string folder = dir.file(scene);
    ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
    cv::imwrite(folder + "/im0.png", cv::imread(dir.file("l.png")));
    cv::imwrite(folder + "/im1.png", cv::imread(dir.file("r.png")));
    FILE* f = fopen((folder + "/calib.txt").c_str(), "w");
    fputs(std::string(scene) == "good" ? "ndisp=9\n" : "ndisp=-3\n", f);
    fclose(f);
  }
  const auto run = run_program({ONDREL_MATCH_BINARY, "-q", "-R", "4", "-r", "1", "--middlebury", dir.path,
                                dir.file("out")},
                               "", dir.path);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("broken"), std::string::npos) << run.err;
  cv::Mat pfm;
  std::string error;
  EXPECT_TRUE(read_pfm(dir.file("out/good/disp0Ondrel.pfm"), &pfm, &error)) << error;
  EXPECT_EQ(pfm.size(), cv::Size(46, 30));
  EXPECT_FALSE(read_pfm(dir.file("out/broken/disp0Ondrel.pfm"), &pfm, &error));
}

}  // namespace
