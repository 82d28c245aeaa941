// ondrel-match run as a user runs it: exit statuses and messages for bad command lines and
// files, and the files of a good run read back against the library's values.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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
  std::string dir_name() const { return dir.path.substr(dir.path.rfind('/') + 1); }
  // The library's refined map of the pair.
  cv::Mat refined_map(const ondrel::Parameters& p, const ondrel::RefineOptions& refine) const {
    cv::Mat map(left.size(), CV_32FC1);
    EXPECT_TRUE(ondrel::match_refined(view_of(left), view_of(right), p, refine, {},
                                      {map.ptr<float>(), left.cols, left.rows, left.cols}).ok());
    return map;
  }
  // A scene folder `name` of the pair with this calib.txt.
  void scene(const std::string& name, const std::string& calib) const {
    ASSERT_EQ(mkdir(dir.file(name).c_str(), 0755), 0);
    cv::imwrite(dir.file(name + "/im0.png"), left);
    cv::imwrite(dir.file(name + "/im1.png"), right);
    write_file(dir.file(name + "/calib.txt"), calib);
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
      {{"-d", "8", "-r", "2", "-R", "4", o, d, l, r}, 2, "must divide"}, {{"-d", "8", "--tad", "-1", o, d, l, r}, 2, "tad_threshold (-1) must be at least 0 (--tad sets"},
      {{"-d", "8", "-o", "a.tiff", l, r}, 2, ".pfm"}, {{"--frobnicate", l, r}, 2, "unknown option"},
      {{"-d", "8", "--cost", "sad", l, r}, 2, "--cost"}, {{"-d", "8", "--refine", "-u", "u.pfm", l, r}, 2, "--uniqueness"},
      // the library's rules for the parameters, naming the options that set them
      {{"-d", "8", "--min-disparity", "9", o, d, l, r}, 2,
       "max_disparity (8) must lie in min_disparity (9) ... 536870911 (-d sets max_disparity, --min-disparity sets "
       "min_disparity)\n"},
      {{"-d", "-1", o, d, l, r}, 2, "max_disparity (-1) must lie in min_disparity (0) ... 536870911 (-d sets"},
      {{"-d", "8", "-R", "2048", o, d, l, r}, 2, "support_radius (2048) must lie in block_radius (6) ... 2047 (-R sets"},
      {{"-d", "8", "--confidence", "c.png", l, r}, 2, "--confidence"},
      {{"--kitti", "a", "b"}, 2, "--kitti"}, {{"-d", "8", "--kitti", "a", "b", "--method", "M"}, 2, "--method"},
      {{"-d", "8", o, d, "missing.png", r}, 1, "missing.png"}, {{"-d", "8", o, d, l, "small.png"}, 1, "different sizes"},
      {{"-d", "8", "-o", "no/such/folder/d.pfm", l, r}, 1, "d.pfm"}, {{"--calib", "missing.txt", o, d, l, r}, 1, "missing.txt"},
      {{"-d", "8", "--gamma-color", "0", o, d, l, r}, 2, "gamma_color"},
      {{"-d", "8", "--gamma-color", "-1", o, d, l, r}, 2, "gamma_color"},
      {{"-d", "8", "--gamma-color", "nan", o, d, l, r}, 2, "gamma_color"},
      {{"-d", "8", "--gamma-space", "1e-40", o, d, l, r}, 2, "gamma_space"},
      {{"-d", "8", "--threads", "100000", o, d, l, r}, 2,
       "threads (100000) must lie in 0 ... 1024 (0: every processor) (--threads sets threads)\n"},
      {{"-d", "8", "--threads", "99999999999", o, d, l, r}, 2, "--threads"},
      // two names of one file: not yet there, and there (the views)
      // the camera options come with what they serve
      {{"-d", "8", "--depth", "z.pfm", l, r}, 2, "--depth and --ply need the camera"},
      {{"-d", "8", "--ply", "p.ply", "--focal", "700", l, r}, 2, "--depth and --ply need the camera"},
      {{"-d", "8", o, d, "--focal", "700", "--baseline", "1", l, r}, 2, "the camera options serve --depth and --ply"},
      {{"-d", "8", "--depth", "z.pfm", "--focal", "700", "--baseline", "1", "--cx", "3", l, r}, 2,
       "--cx and --cy go together"},
      {{"-d", "8", "--depth", "z.png", l, r}, 2, "z.png': must be a file name ending in .pfm"},
      {{"-d", "8", "--ply", "p.pfm", l, r}, 2, "p.pfm': must be a file name ending in .ply"},
      {{"-d", "8", "--depth", "z.pfm", "--focal", "0", "--baseline", "1", l, r}, 2, "--focal '0': must be a finite number > 0"},
      {{"-d", "8", "--depth", "z.pfm", "--focal", "1", "--baseline", "nan", l, r}, 2,
       "--baseline 'nan': must be a finite number > 0"},
      {{"-d", "8", o, d, "--method", "M", l, r}, 2, "--method is taken with --middlebury or --kitti only"},
      // a largest disparity not below the width: a warning, and the run goes on
      {{"-d", "46", "-R", "4", "-r", "1", o, d, l, r}, 0,
       "pair_L.png: the columns left of 46 (the largest disparity) have no value and the views are 46 wide"},
      {{"-d", "8", "-o", "s.pfm", "-u", "./s.pfm", l, r}, 2, "--output and --uniqueness name the same file"},
      {{"-d", "8", "--color", "pair_L.png", "-u", "../" + dir_name() + "/pair_L.png", l, r}, 2, "name the same file"},
  };
  for (const Case& c : cases) {
    const RunResult got = run(c.args);
    EXPECT_EQ(got.status, c.status) << c.message;
    EXPECT_NE(got.err.find(c.message), std::string::npos) << got.err;
    EXPECT_EQ(c.status != 2, got.err.find("usage: ondrel-match") == std::string::npos) << got.err;
  }
}

cv::Mat pfm_in(const std::string& path) {
  cv::Mat pfm;
  std::string error;
  EXPECT_TRUE(read_pfm(path, &pfm, &error)) << error;
  return pfm;
}

// One run writes the library's values: a range below 0 with the disparity, uniqueness (16-bit
// PNG, value x 256) and confidence planes and the time; the pair's disparity 4 is found from a
// range around it. The confidence alone is a run's output too.
TEST_F(MatchCli, FilesHoldTheLibrarysValues) {
  const RunResult r = run({"-d", "8", "--min-disparity", "-3", "-R", "4", "-r", "1", "-o", "d.pfm", "-u", "u.png",
                           "--confidence", "c.pfm", "--time", "t.txt", "pair_L.png", "pair_R.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  ondrel::Parameters p = parameters(1, 4, 8);
  p.min_disparity = -3;
  Planes planes;  // disparity, uniqueness, right disparity, confidence
  ASSERT_TRUE(match_planes(left, right, p, {}, &planes).ok());
  const cv::Mat d = pfm_in(dir.file("d.pfm")), c = pfm_in(dir.file("c.pfm")), png = read_image(dir.file("u.png"));
  ASSERT_EQ(png.type(), CV_16UC1);
  int found = 0;
  for (int y = 0; y < d.rows; ++y)
    for (int x = 0; x < d.cols; ++x) {
      const size_t i = static_cast<size_t>(y) * d.cols + x;
      const float v = planes.plane[0][i], u = planes.plane[1][i];
      found += std::fabs(v - 4.0f) < 0.5f;  // no value is a false here
      ASSERT_TRUE(std::isnan(v) ? std::isinf(d.at<float>(y, x)) : d.at<float>(y, x) == v) << x << ", " << y;
      ASSERT_EQ(c.at<float>(y, x), planes.plane[3][i]) << x << ", " << y;
      ASSERT_EQ(png.at<uint16_t>(y, x), std::isnan(u) ? 0 : std::max(1, std::min(65535, (int)std::lround(256.0 * u))));
    }
  EXPECT_GT(found, d.rows * (d.cols - 16) * 8 / 10);
  EXPECT_GE(std::stod(read_file(dir.file("t.txt"))), 0.0);
  ASSERT_EQ(run({"-d", "8", "-R", "4", "-r", "1", "--confidence", "alone.pfm", "pair_L.png", "pair_R.png"}).status, 0);
  EXPECT_FALSE(read_file(dir.file("alone.pfm")).empty());

  // --refine alone: the library's default refined map; --refine --cost census: the designed
  // match's refinement with the census cost
  ASSERT_EQ(run({"-d", "8", "--refine", "-o", "s.pfm", "pair_L.png", "pair_R.png"}).status, 0);
  ASSERT_EQ(run({"-d", "8", "-R", "4", "-r", "1", "--refine", "--cost", "census", "-o", "r.pfm", "pair_L.png",
                 "pair_R.png"}).status, 0);
  p = parameters(1, 4, 8);
  EXPECT_TRUE(same_image(pfm_in(dir.file("s.pfm")), refined_map(p, {})));
  p.cost = ondrel::CostFunction::kCensus;
  ondrel::RefineOptions designed;
  designed.method = ondrel::RefineMethod::kDesignedMatch;
  EXPECT_TRUE(same_image(pfm_in(dir.file("r.pfm")), refined_map(p, designed)));
}

// --depth and --ply hold the formulas of the written map, with the given centre and with the
// default one, the view's centre.
TEST_F(MatchCli, DepthAndPointsFollowTheFormulas) {
  const std::string l = "pair_L.png", r = "pair_R.png";
  for (const bool centre : {true, false}) {
    std::vector<std::string> args = {"-d", "8", "-R", "4", "-r", "1", "-o", "d.pfm", "--depth", "z.pfm", "--ply",
                                     "p.ply", "--focal", "7005e-1", "--baseline", "25e-2", "--doffs", "-35e-1"};  // no '.': not files
    if (centre) args.insert(args.end(), {"--cx", "2025e-2", "--cy", "-4"});
    args.insert(args.end(), {l, r});
    const RunResult run_result = run(args);
    ASSERT_EQ(run_result.status, 0) << run_result.err;
    const double f = 700.5, b = 0.25, doffs = -3.5, cx = centre ? 20.25 : 22.5, cy = centre ? -4 : 14.5;
    const cv::Mat d = pfm_in(dir.file("d.pfm")), z = pfm_in(dir.file("z.pfm"));
    const std::string ply = read_file(dir.file("p.ply"));
    const size_t body = ply.find("end_header\n") + 11;
    std::string want_points;
    int count = 0, none = 0;
    for (int v = 0; v < d.rows; ++v)
      for (int u = 0; u < d.cols; ++u) {
        const float dv = d.at<float>(v, u);
        const double depth = std::isfinite(dv) && dv + doffs > 0 ? b * f / (dv + doffs) : NAN;
        if (std::isnan(depth)) {
          ++none;
          EXPECT_TRUE(std::isinf(z.at<float>(v, u))) << u << ", " << v;  // no value: +inf in the file
          continue;
        }
        EXPECT_EQ(z.at<float>(v, u), static_cast<float>(depth)) << u << ", " << v;
        const float xyz[3] = {static_cast<float>((u - cx) * depth / f), static_cast<float>((v - cy) * depth / f),
                              static_cast<float>(depth)};
        want_points.append(reinterpret_cast<const char*>(xyz), 12);  // the test runs on little-endian machines
        const cv::Vec3b bgr = left.at<cv::Vec3b>(v, u);
        want_points += {static_cast<char>(bgr[2]), static_cast<char>(bgr[1]), static_cast<char>(bgr[0])};
        ++count;
      }
    EXPECT_GT(count, 0);
    EXPECT_GT(none, 0);  // the left columns without a value, and d + doffs <= 0
    EXPECT_EQ(ply.substr(0, body),
              "ply\nformat binary_little_endian 1.0\ncomment ondrel-match: points of a disparity map\nelement vertex " +
                  std::to_string(count) +
                  "\nproperty float x\nproperty float y\nproperty float z\nproperty uchar red\n"
                  "property uchar green\nproperty uchar blue\nend_header\n");
    EXPECT_TRUE(ply.substr(body) == want_points);
  }
}

// --method names the files; --skip-existing keeps the complete scenes and redoes the rest; a
// scene that fails has its map and time of an earlier run removed, not left to pass for this
// run's; the KITTI layout gives disp_0/<image>.png as the devkit reads it.
TEST_F(MatchCli, BatchesOfBothLayoutsWithAMethodAndSkipExisting) {
  scene("one", "ndisp=9\n");
  scene("two", "ndisp=9\n");
  const std::vector<std::string> batch = {"-R", "4", "-r", "1", "--refine", "--method", "Mine", "--skip-existing",
                                          "--middlebury", dir.path, dir.file("out")};
  const RunResult first = run(batch);
  ASSERT_EQ(first.status, 0) << first.err;
  ondrel::Parameters p = parameters(1, 4, 8);
  const cv::Mat refined = refined_map(p, {});
  for (const std::string scene : {"one", "two"}) {
    EXPECT_TRUE(same_image(pfm_in(dir.file("out/" + scene + "/disp0Mine.pfm")), refined)) << scene;
    EXPECT_GE(std::stod(read_file(dir.file("out/" + scene + "/timeMine.txt"))), 0.0);
  }
  write_file(dir.file("out/one/timeMine.txt"), "kept\n");   // a damaged time: the scene is redone
  write_file(dir.file("out/two/timeMine.txt"), "123.5\n");  // complete: kept as it is
  const RunResult again = run(batch);
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(read_file(dir.file("out/two/timeMine.txt")), "123.5\n");
  EXPECT_GE(std::stod(read_file(dir.file("out/one/timeMine.txt"))), 0.0);
  write_file(dir.file("one/calib.txt"), "ndisp=-3\n");
  const RunResult broken = run({"-R", "4", "-r", "1", "--method", "Mine", "--middlebury", dir.path, dir.file("out")});
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("scene one skipped: " + dir.file("one/calib.txt")), std::string::npos) << broken.err;
  EXPECT_EQ(files_in(dir.file("out/one")), std::vector<std::string>{});
  EXPECT_EQ(pfm_in(dir.file("out/two/disp0Mine.pfm")).size(), cv::Size(46, 30));

  for (const char* folder : {"kitti", "kitti/image_2", "kitti/image_3"}) ASSERT_EQ(mkdir(dir.file(folder).c_str(), 0755), 0);
  cv::imwrite(dir.file("kitti/image_2/000000_10.png"), left);
  cv::imwrite(dir.file("kitti/image_3/000000_10.png"), right);
  cv::imwrite(dir.file("kitti/image_2/000001_10.png"), left);  // no right view: not a pair
  const RunResult kitti = run({"-R", "4", "-r", "1", "-d", "8", "--min-disparity", "2", "--kitti", dir.file("kitti"),
                               dir.file("kout")});
  ASSERT_EQ(kitti.status, 0) << kitti.err;
  EXPECT_EQ(files_in(dir.file("kout/disp_0")), std::vector<std::string>{"000000_10.png"});
  // the bytes of a run on the pair alone (the first test checks the 16-bit PNG encoding)
  ASSERT_EQ(run({"-R", "4", "-r", "1", "-d", "8", "--min-disparity", "2", "-o", "k.png", "pair_L.png", "pair_R.png"})
                .status, 0);
  EXPECT_EQ(read_file(dir.file("kout/disp_0/000000_10.png")), read_file(dir.file("k.png")));
}

// A pair whose views and map do not fit under an address-space limit of 1.2 GB fails alone, with
// one line naming it; the next scene is matched.
TEST_F(MatchCli, AScenePastTheMemoryFailsAloneWithOneLine) {
#ifdef ONDREL_SANITIZED
  GTEST_SKIP() << "the sanitizers' shadow memory does not fit under an address-space limit";
#endif
  scene("big", "ndisp=9\n");
  scene("good", "ndisp=9\n");
  cv::imwrite(dir.file("big/im0.png"), cv::Mat(12000, 12000, CV_8UC3, cv::Scalar(40, 90, 200)));
  ASSERT_EQ(unlink(dir.file("big/im1.png").c_str()), 0);
  ASSERT_EQ(link(dir.file("big/im0.png").c_str(), dir.file("big/im1.png").c_str()), 0);
  const RunResult r = run_program({"prlimit", "--as=1200000000", ONDREL_MATCH_BINARY, "-q", "-R", "4", "-r", "1",
                                   "--middlebury", dir.path, dir.file("out")}, "", dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ondrel-match: scene big skipped: " + dir.file("big/im0.png") + ": not enough memory\n");
  EXPECT_EQ(pfm_in(dir.file("out/good/disp0Ondrel.pfm")).size(), cv::Size(46, 30));
}

}  // namespace
