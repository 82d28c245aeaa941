// ondrel-match run as a user runs it: exit statuses and messages for bad command lines and
// files, and the files of a good run read back against the library's values.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include <ondrel/ondrel.h>
#include <ondrel/refine.h>
#include <opencv2/imgcodecs.hpp>

#include "tests/support/reference.h"
#include "tests/support/test_support.h"
#include "util/pfm.h"

namespace {

using namespace ondrel_test;

// A folder of pair_L.png and pair_R.png, a texture at disparity 4 everywhere (no rectangle),
// and small.png, a narrower view.
struct MatchCli : testing::Test {
  TempDir dir;
  cv::Mat left, right, truth;
  MatchCli() {
    synthetic_pair(46, 30, 4, 5, cv::Rect(), 3, &left, &right, &truth);
    write_views(dir.path, "pair", left, right);
    cv::imwrite(dir.file("small.png"), left(cv::Rect(0, 0, 20, 30)));
  }
  // ondrel-match in the folder with -q and `args`; names with a '.' are of files in it.
  RunResult run(std::vector<std::string> args) const {
    for (std::string& a : args)
      if (a.find('.') != std::string::npos && a[0] != '/') a = dir.file(a);
    args.insert(args.begin(), {ONDREL_MATCH_BINARY, "-q"});
    return run_program(args, "", dir.path);
  }
};

TEST_F(MatchCli, BadCommandLinesAndFilesGetAStatusAndOneLine) {
  const std::string l = "pair_L.png", r = "pair_R.png";  // names with a '.' are of files in the folder
  const std::string o = "-o", d = "d.pfm";
  const struct Case { std::vector<std::string> args; int status; std::string message; } cases[] = {
      {{"-d", "8", l}, 2, "two views"}, {{"-d", "x", l, r}, 2, "-d"},
      {{"-d", "8", "", r}, 2, "LEFT is an empty file name"}, {{"-d", "8", l, ""}, 2, "RIGHT is an empty file name"},
      {{"-d", "8", l, r}, 2, "nothing to write: give at least one of -o FILE, -u FILE, --color FILE"},
      {{"-d", "8", "-r", "2", "-R", "4", o, d, l, r}, 2, "does not fit"}, {{"-d", "8", "--tad", "-1", l, r}, 2, "--tad"},
      {{"-d", "8", "-o", "a.tiff", l, r}, 2, ".pfm"}, {{"--frobnicate", l, r}, 2, "unknown option"},
      {{"-d", "8", "--cost", "sad", l, r}, 2, "--cost"}, {{"-d", "8", "--refine", "-u", "u.pfm", l, r}, 2, "--uniqueness"},
      {{"-d", "8", o, d, "missing.png", r}, 1, "missing.png"}, {{"-d", "8", o, d, l, "small.png"}, 1, "different sizes"},
      {{"-d", "8", "-o", "no/such/folder/d.pfm", l, r}, 1, "d.pfm"}, {{"--calib", "missing.txt", o, d, l, r}, 1, "missing.txt"},
  };
  for (const Case& c : cases) {
    const RunResult got = run(c.args);
    EXPECT_EQ(got.status, c.status) << c.message;
    EXPECT_NE(got.err.find(c.message), std::string::npos) << got.err;
    EXPECT_EQ(c.status != 2, got.err.find("usage: ondrel-match") == std::string::npos) << got.err;
  }
}

TEST_F(MatchCli, ALargestDisparityNotBelowTheWidthIsWarnedOf) {
  const RunResult wide = run({"-d", "46", "-R", "4", "-r", "1", "-o", "d.pfm", "pair_L.png", "pair_R.png"});
  EXPECT_EQ(wide.status, 0) << wide.err;
  EXPECT_NE(wide.err.find("warning: " + dir.file("pair_L.png") + ": the largest disparity 46 is not below the width 46"),
            std::string::npos)
      << wide.err;
  const RunResult narrow = run({"-d", "45", "-R", "4", "-r", "1", "-o", "d.pfm", "pair_L.png", "pair_R.png"});
  EXPECT_EQ(narrow.status, 0);
  EXPECT_EQ(narrow.err, "");
}

cv::Mat pfm_in(const std::string& path) {
  cv::Mat pfm;
  std::string error;
  EXPECT_TRUE(read_pfm(path, &pfm, &error)) << error;
  return pfm;
}

TEST_F(MatchCli, FilesHoldTheLibrarysValues) {
  const RunResult r = run({"-d", "8", "-R", "4", "-r", "1", "-o", "d.pfm", "-u", "u.png", "--time", "t.txt",
                           "pair_L.png", "pair_R.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  ondrel::Parameters p = parameters(1, 4, 8);
  Planes planes;  // disparity, uniqueness, right disparity
  ASSERT_TRUE(match_planes(left, right, p, {}, &planes).ok());
  const cv::Mat d(left.size(), CV_32FC1, planes.plane[0].data()), u(left.size(), CV_32FC1, planes.plane[1].data());
  const cv::Mat pfm = pfm_in(dir.file("d.pfm")), png = read_image(dir.file("u.png"));
  ASSERT_EQ(png.type(), CV_16UC1);
  int found = 0;
  for (int y = 0; y < d.rows; ++y)
    for (int x = 0; x < d.cols; ++x) {
      const float v = d.at<float>(y, x), w = u.at<float>(y, x);
      found += std::fabs(v - 4.0f) < 0.5f;  // no value is a false here
      EXPECT_TRUE(std::isnan(v) ? std::isinf(pfm.at<float>(y, x)) : pfm.at<float>(y, x) == v) << x << ", " << y;
      EXPECT_EQ(png.at<uint16_t>(y, x), std::isnan(w) ? 0 : std::max(1, std::min(65535, (int)std::lround(256.0 * w))));
    }
  EXPECT_GT(found, d.rows * (d.cols - 12) * 8 / 10);
  EXPECT_GE(std::stod(read_file(dir.file("t.txt"))), 0.0);

  // --refine --cost census: the library's refined map with the census cost
  ASSERT_EQ(run({"-d", "8", "-R", "4", "-r", "1", "--refine", "--cost", "census", "-o", "c.pfm", "pair_L.png",
                 "pair_R.png"}).status, 0);
  p.cost = ondrel::CostFunction::kCensus;
  cv::Mat refined(left.size(), CV_32FC1);
  ASSERT_TRUE(ondrel::match_refined(view_of(left), view_of(right), p, {}, {}, {refined.ptr<float>(), left.cols, left.rows, left.cols}).ok());
  EXPECT_TRUE(same_image(pfm_in(dir.file("c.pfm")), refined));
}

TEST_F(MatchCli, MiddleburyLayoutSkipsABrokenScene) {
  for (const std::string scene : {"good", "broken"}) {
    ASSERT_EQ(mkdir(dir.file(scene).c_str(), 0755), 0);
    cv::imwrite(dir.file(scene + "/im0.png"), left);
    cv::imwrite(dir.file(scene + "/im1.png"), right);
    write_file(dir.file(scene + "/calib.txt"), scene == "good" ? "ndisp=9\n" : "ndisp=-3\n");
  }
  const RunResult r = run({"-R", "4", "-r", "1", "--middlebury", dir.path, dir.file("out")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("broken"), std::string::npos) << r.err;
  EXPECT_EQ(pfm_in(dir.file("out/good/disp0Ondrel.pfm")).size(), cv::Size(46, 30));
  EXPECT_EQ(read_file(dir.file("out/broken/disp0Ondrel.pfm")), "");
}

}  // namespace
