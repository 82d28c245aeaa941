// The display window on a real X server (Xvfb): found by its title, its picture checked in a
// screenshot, closed by a key press, after which the pass completes.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "matcher/ondrel.h"
#include "tests/support/test_support.h"
#include "util/mosaic.h"

using ondrel_test::TempDir;

namespace {

const char kTitle[] =
    "[Left]: Reference [Right]: Disparity (uniqueness enabled) - Ondrel parameters: R=19, r=6, space=14, color=23, "
    "TAD=53";

// Output of a shell command (empty when it fails).
std::string shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

// Starts a process with stdin and stdout redirected to files; returns its pid.
pid_t start(const std::vector<std::string>& argv, const std::string& in, const std::string& out,
            const std::string& cwd, const std::string& display) {
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(&a[0]);
  argp.push_back(nullptr);
  const std::string display_variable = "DISPLAY=" + display;
  // the window toolkit keeps caches until exit that a leak checker would report
  const std::string leak_variable = std::string("LSAN_OPTIONS=suppressions=") + ONDREL_LSAN_SUPPRESSIONS;
  const pid_t pid = fork();
  if (pid == 0) {
    const int i = open(in.c_str(), O_RDONLY), o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (i < 0 || o < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(i, 0);
    dup2(o, 1);
    putenv(const_cast<char*>(display_variable.c_str()));
    putenv(const_cast<char*>(leak_variable.c_str()));
    execv(argp[0], argp.data());
    _exit(127);
  }
  return pid;
}

// Waits up to `seconds` (0: only looks) for the process to end; its exit status, or -1 when
// it did not end.
int wait_for(pid_t pid, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (std::chrono::steady_clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// A virtual X server on a free display, stopped on destruction.
struct VirtualDisplay {
  pid_t pid = -1;
  std::string name;
  VirtualDisplay() {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      close(fds[0]);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x900x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // the display number and a line break, once the server is ready; the pipe stays open
    // until the line is complete, or the server fails to write it and gives up
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) name = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

}  // namespace

TEST(Display, WindowShowsTheLeftImageBesideTheUniquenessMapUntilAKey) {
  if (shell("command -v Xvfb xdotool import").empty()) GTEST_SKIP() << "Xvfb, xdotool or ImageMagick missing";
  VirtualDisplay x;
  ASSERT_FALSE(x.name.empty()) << "Xvfb did not start";
  const std::string env = "DISPLAY=" + x.name + " ";

  TempDir dir;
  cv::Mat left, right, truth;
  // wide enough for the window to take the picture's size (a narrower one would be widened to
  // its toolbar and the picture scaled)
  ondrel_test::synthetic_pair(480, 160, 3, 8, cv::Rect(160, 40, 160, 80), 9, &left, &right, &truth);
  ASSERT_TRUE(cv::imwrite(dir.file("Tsukuba_L.png"), left));
  ASSERT_TRUE(cv::imwrite(dir.file("Tsukuba_R.png"), right));
  {
    FILE* f = std::fopen(dir.file("answers").c_str(), "w");
    std::fputs("y 1 19 6 14 23 53 q\n", f);
    std::fclose(f);
  }
  // the picture the window must show: the left image, then the uniqueness map in grey
  cv::Mat disparity(left.size(), CV_8UC1), right_disparity(left.size(), CV_8UC1), uniqueness(left.size(), CV_8UC1);
  testing::internal::CaptureStdout();
  ASSERT_EQ(Ondrel_QUIRN(left, right, disparity, right_disparity, uniqueness, 0, 15, 6, 19, 14, 23, 53, 16), 0);
  testing::internal::GetCapturedStdout();
  cv::Mat mosaic(left.rows, 2 * left.cols, CV_8UC3);
  MosaicTwoHorizontalColor(left, true, uniqueness, false, mosaic);

  const pid_t program = start({ONDREL_BINARY}, dir.file("answers"), dir.file("out"), dir.path, x.name);
  ASSERT_GT(program, 0);

  // the window, by its title; a loaded machine may take a while to start the window toolkit
  std::string window;
  int ended = -1;
  for (int i = 0; i < 1200 && window.empty() && ended < 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    window = shell(env + "xdotool search --name 'Ondrel parameters: R=19, r=6, space=14, color=23, TAD=53' 2>/dev/null");
    window = window.substr(0, window.find('\n'));
    ended = wait_for(program, 0);
  }
  if (window.empty()) {
    // stop the program before the server goes, and say how far it got
    if (ended < 0) {
      kill(program, SIGKILL);
      waitpid(program, nullptr, 0);
    }
    FAIL() << "no window appeared; the program " << (ended < 0 ? "was still running" : "had ended")
           << ", its output:\n"
           << ondrel_test::read_file(dir.file("out"));
  }
  EXPECT_EQ(shell(env + "xdotool getwindowname " + window), std::string(kTitle) + "\n");

  // a screenshot holds the mosaic pixel for pixel
  double best = -1;
  cv::Point where;
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    shell(env + "import -window root " + dir.file("shot.png") + " 2>/dev/null");
    const cv::Mat shot = cv::imread(dir.file("shot.png"), cv::IMREAD_COLOR);
    if (shot.empty() || shot.cols < mosaic.cols || shot.rows < mosaic.rows) continue;
    cv::Mat match;
    cv::matchTemplate(shot, mosaic, match, cv::TM_SQDIFF);
    cv::minMaxLoc(match, &best, nullptr, &where, nullptr);
    if (best == 0) break;
  }
  EXPECT_EQ(best, 0) << "the mosaic is not on the screen";
  // not trivially so: the halves differ, the right one is grey
  EXPECT_GT(cv::countNonZero(uniqueness != 255), uniqueness.total() / 2);

  // a key in the window ends the wait; the pass then saves and asks whether to go on
  shell(env + "xdotool key --window " + window + " space");
  int status = wait_for(program, 20);
  if (status < 0) {
    kill(program, SIGKILL);
    waitpid(program, nullptr, 0);
  }
  EXPECT_EQ(status, 0);
  const std::string out = ondrel_test::read_file(dir.file("out"));
  const std::string tail = "T sec : [*] Ondrel\n\nMove the mouse pointer over the image and press a key...\n\nPress "
                           "'q' to quit or a different value to continue: ";
  const std::string text = ondrel_test::without_times(out);
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  const cv::Mat saved = cv::imread(dir.file("Result_Tsukuba_SMP.png"), cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(saved.empty());
  EXPECT_EQ(cv::norm(saved, uniqueness, cv::NORM_INF), 0);
}
