#include "app/dialogue.h"

#include <cstring>

#include <opencv2/core/mat.hpp>

#include "app/answers.h"
#include "app/display_probe.h"
#include "app/image_io.h"
#include "app/stereo_pairs.h"
#include "app/console_entry.h"
#include "matcher/match.h"
#include "app/mosaic.h"
#include "util/numbers.h"

namespace {

const char kRule[] =
    "*********************************************************************************************";

void print_banner() {
  std::printf("\n%s\n", kRule);
  std::printf("\nThis is the implementation of the algorithm described in the following paper:\n\n");
  std::printf("Authors:\tThe Ondrel developers\n");
  std::printf("Title:\t\tOndrel: dense stereo matching by block-based\n");
  std::printf("\t\tadaptive-weight cost aggregation\n");
  std::printf("Conference:\tOndrel project documentation (README.md)\n");
  std::printf("Date:\t\t2026, distributed with the Ondrel sources\n\n\n");
  std::printf("Additional experimental results available at:\n\n");
  std::printf("README.md, section \"Results\", in the Ondrel source tree");
  std::printf("\n\n");
  std::printf("For comments, bug reports, etc:\n\n");
  std::printf("\t\tThe Ondrel maintainers\n");
  std::printf("\t\tno e-mail address: see README.md, section \"Reporting problems\"\n");
  std::printf("\t\tREADME.md in the Ondrel source tree\n");
  std::printf("\n%s\n\n\n", kRule);
}

// Prompts are printed without a line break; flush so that they show before the wait.
bool ask(FILE* in, char answer[kAnswerSize]) {
  std::fflush(stdout);
  return read_word(in, answer);
}

void reset_numeric(char numeric[kAnswerSize]) { std::snprintf(numeric, kAnswerSize, "%d", -1); }

struct PassAnswers {
  const StereoPair* pair = nullptr;
  int R = 0, r = 0;
  float gamma_space = 0, gamma_color = 0;
  int TAD_threshold = 0;
  cv::Mat left;  // loaded while the radii are checked against its size
};

bool ask_pair(FILE* in, char numeric[kAnswerSize], PassAnswers& a) {
  reset_numeric(numeric);
  while (number_of(numeric) < 1 || number_of(numeric) > 4) {
    std::printf("\nSelect the stereo pair [Tsukuba = 1] [Venus = 2] [Teddy = 3] [Cones = 4] and press enter: ");
    if (!ask(in, numeric)) return false;
  }
  a.pair = find_stereo_pair(number_of(numeric));
  return true;
}

void print_unsuitable_radius(int R) {
  std::printf("** Unfortunately with the selected radius (i.e. %d) there are not suitable block size (see the "
              "paper)\n** Please, change the radius of the support\n\n",
              R);
}

// The library's radius rule (the one the matcher applies), for any int r.
bool blocks_tile_support(int R, int r) { return ondrel::internal::radii_tile(R, r); }

bool ask_radii(FILE* in, char numeric[kAnswerSize], PassAnswers& a) {
  reset_numeric(numeric);
  for (;;) {
    std::printf("\nInsert the radius of the support window (e.g. in the paper 19) and press enter: ");
    if (!ask(in, numeric)) return false;
    const int R = number_of(numeric);
    if (R <= 1) {
      print_unsuitable_radius(R);
      continue;
    }
    if (R > ondrel::kMaxSupportRadius) {
      std::printf("** Unfortunately the selected radius (i.e. %d) is larger than %d, the largest supported "
                  "(support window %dx%d pixels)\n** Please, change the radius of the support\n\n",
                  R, ondrel::kMaxSupportRadius, 2 * ondrel::kMaxSupportRadius + 1, 2 * ondrel::kMaxSupportRadius + 1);
      continue;
    }
    bool listed = false;
    for (int r = 1; r <= R - 1; ++r) {
      if (blocks_tile_support(R, r)) {
        std::printf(" -> Suitable block radius: %d\n", r);
        listed = true;
      }
    }
    if (!listed) {
      print_unsuitable_radius(R);
      continue;
    }
    std::printf("Insert the radius of the block (one of the above values) and press enter: ");
    if (!ask(in, numeric)) return false;
    const int r = number_of(numeric);
    if (!blocks_tile_support(R, r)) {
      std::printf("\nERROR: wrong parameters (see the paper): %d MOD %lld is not zero...\n", 2 * R + 1, 2LL * r + 1);
      continue;
    }
    if (r < 0) {
      std::printf("\nERROR: wrong parameters: the radius of the block (i.e. %d) must not be negative...\n", r);
      continue;
    }
    if (a.left.empty()) a.left = load_color_image(a.pair->left_file);
    if (!a.left.empty() && (2 * r + 1 > a.left.cols || 2 * r + 1 > a.left.rows)) {
      std::printf("\nERROR: wrong parameters: a block of %dx%d pixels does not fit in the image \"%s\" (%dx%d "
                  "pixels)...\n",
                  2 * r + 1, 2 * r + 1, a.pair->left_file, a.left.cols, a.left.rows);
      continue;
    }
    a.R = R;
    a.r = r;
    return true;
  }
}

bool ask_gamma(FILE* in, char numeric[kAnswerSize], const char* prompt, const char* error, float& gamma) {
  reset_numeric(numeric);
  while (number_of(numeric) < 0) {
    std::printf("%s", prompt);
    if (!ask(in, numeric)) return false;
    if (number_of(numeric) < 0) std::printf("%s", error);
  }
  gamma = static_cast<float>(number_of(numeric));
  return true;
}

bool ask_tad_threshold(FILE* in, char numeric[kAnswerSize], PassAnswers& a) {
  reset_numeric(numeric);
  for (;;) {
    std::printf("Insert TAD threshold (e.g. 53) and press enter: ");
    if (!ask(in, numeric)) return false;
    const int T = number_of(numeric);
    if (T >= 1 && T <= 255) {
      a.TAD_threshold = T;
      return true;
    }
    std::printf("\nERROR: TAD_threshold <=255...\n");
  }
}

bool ask_pass(FILE* in, char numeric[kAnswerSize], PassAnswers& a) {
  return ask_pair(in, numeric, a) && ask_radii(in, numeric, a) &&
         ask_gamma(in, numeric, "Insert gamma_space (e.g. in the paper 14) and press enter: ",
                   "\nERROR: gamma_space<0...\n", a.gamma_space) &&
         ask_gamma(in, numeric, "Insert gamma_color (e.g. in the paper 23) and press enter: ",
                   "\nERROR: gamma_color<0...\n", a.gamma_color) &&
         ask_tad_threshold(in, numeric, a);
}

void show_result(const PassAnswers& a, const cv::Mat& left, const cv::Mat& uniqueness_map) {
  if (!display_available()) {
    std::printf("\nNo display available: the disparity map is not shown.\n");
    return;
  }
  cv::Mat mosaic;
  if (!create_image(mosaic, left.rows, 2 * left.cols, CV_8UC3)) {
    std::printf("\nERROR: not enough memory to show the disparity map: it is not shown.\n");
    return;
  }
  MosaicTwoHorizontalColor(left, true, uniqueness_map, false, mosaic);
  std::printf("\nMove the mouse pointer over the image and press a key...\n");
  char title[512];
  std::snprintf(title, sizeof title,
                "[Left]: Reference [Right]: Disparity (uniqueness enabled) - Ondrel parameters: R=%d, r=%d, "
                "space=%d, color=%d, TAD=%d",
                a.R, a.r, truncate_to_int(a.gamma_space), truncate_to_int(a.gamma_color), a.TAD_threshold);
  std::fflush(stdout);
  if (!show_until_key(title, mosaic)) std::printf("\nERROR: the window could not be shown.\n");
}

// Load, match, show and save one pass. Any failure is reported and skips what depends on it.
void run_pass(PassAnswers& a, bool display) {
  const StereoPair& pair = *a.pair;
  cv::Mat left = a.left.empty() ? load_color_image(pair.left_file) : a.left;
  a.left.release();
  if (left.empty()) {
    std::printf("\nERROR: cannot read the image \"%s\" (missing, unreadable or not an image): nothing is "
                "computed or saved...\n",
                pair.left_file);
    return;
  }
  cv::Mat right = load_color_image(pair.right_file);
  if (right.empty()) {
    std::printf("\nERROR: cannot read the image \"%s\" (missing, unreadable or not an image): nothing is "
                "computed or saved...\n",
                pair.right_file);
    return;
  }
  if (right.size() != left.size()) {
    std::printf("\nERROR: the images \"%s\" (%dx%d pixels) and \"%s\" (%dx%d pixels) differ in size: nothing is "
                "computed or saved...\n",
                pair.left_file, left.cols, left.rows, pair.right_file, right.cols, right.rows);
    return;
  }
  cv::Mat disparity_map, right_disparity_map, uniqueness_map;
  if (!create_image(disparity_map, left.rows, left.cols, CV_8UC1) ||
      !create_image(right_disparity_map, left.rows, left.cols, CV_8UC1) ||
      !create_image(uniqueness_map, left.rows, left.cols, CV_8UC1)) {
    std::printf("\nERROR: not enough memory for the disparity maps: nothing is computed or saved...\n");
    return;
  }
  const int status = Ondrel_QUIRN(left, right, disparity_map, right_disparity_map, uniqueness_map, 0,
                                  pair.max_disparity, a.r, a.R, a.gamma_space, a.gamma_color, a.TAD_threshold,
                                  pair.scale);
  if (status != 0) {
    std::printf("\nERROR: the disparity maps could not be computed: nothing is shown or saved...\n");
    return;
  }
  if (display) show_result(a, left, uniqueness_map);
  save_png(pair.disparity_file, disparity_map);
  save_png(pair.uniqueness_file, uniqueness_map);
}

int end_of_input() {
  std::printf("\nERROR: the input ended before the question was answered: exiting.\n");
  std::fflush(stdout);
  return 1;
}

}  // namespace

int run_dialogue(FILE* in) {
  print_banner();
  char continue_answer[kAnswerSize] = "c";
  char display_answer[kAnswerSize] = "n";
  char numeric[kAnswerSize];
  reset_numeric(numeric);

  std::printf("Do you want to display the disparity map after processing?\nIf yes, press y and enter: ");
  if (!ask(in, display_answer)) return end_of_input();
  const bool display = std::strcmp(display_answer, "y") == 0;

  for (;;) {
    if (std::strcmp(continue_answer, "q") == 0) break;
    PassAnswers answers;
    if (!ask_pass(in, numeric, answers)) return end_of_input();
    run_pass(answers, display);
    std::printf("\nPress 'q' to quit or a different value to continue: ");
    if (!ask(in, continue_answer)) break;  // the end of input here quits like "q"
  }
  std::fflush(stdout);
  return 0;
}
