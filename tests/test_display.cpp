// The display window on a virtual X server (Xvfb): found by its title, its picture checked in
// a screenshot, closed by a key press, after which the pass completes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/test_support.h"

using namespace ondrel_test;

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
