// ondrel-eval: scores the result maps of ondrel against the ground truth and writes colour
// views and error pictures beside them. The measure lives in evaluation.h; this is the driver:
// options, files, messages.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "app/stereo_pairs.h"
#include "tools/eval/evaluation.h"
#include "tools/eval/report.h"
#include "util/png_file.h"

namespace {

const char* const kUsage =
    "usage: ondrel-eval [--gt DIR] [--threshold T] [--csv FILE] [RESULT_DIR]\n"
    "  Scores Result_<Pair>.png and Result_<Pair>_SMP.png in RESULT_DIR (default: the current\n"
    "  folder) for each pair present, prints a table of bad-pixel percentages and writes\n"
    "  <Result>_color.png, <Result>_errors.png and <Pair>_gt_color.png into RESULT_DIR.\n"
    "  --gt DIR        ground truth and masks (default: " ONDREL_DATA_DIR "/gt)\n"
    "  --threshold T   a pixel is bad when |d - d_gt| > T pixels (default 1)\n"
    "  --csv FILE      also write the figures as CSV to FILE\n"
    "  Exit status: 0 all evaluated, 1 something was skipped (see the messages), 2 wrong usage.\n";

struct Options {
  std::string gt_dir = std::string(ONDREL_DATA_DIR) + "/gt";
  std::string result_dir = ".";
  std::string csv;
  double threshold = 1.0;
};

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool usage_error(const std::string& message) {
  std::fprintf(stderr, "ondrel-eval: %s\n%s", message.c_str(), kUsage);
  return false;
}

bool parse(int argc, char** argv, Options& options) {
  bool have_dir = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    const bool is_option = arg.size() > 2 && arg.compare(0, 2, "--") == 0;
    if (is_option) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
      } else if (arg == "--gt" || arg == "--threshold" || arg == "--csv") {
        if (i + 1 >= argc) return usage_error(arg + " needs a value");
        value = argv[++i];
      }
      if (arg == "--gt") {
        options.gt_dir = value;
      } else if (arg == "--csv") {
        options.csv = value;
      } else if (arg == "--threshold") {
        char* end = nullptr;
        errno = 0;
        const double t = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(t) || t < 0)
          return usage_error("--threshold needs a number >= 0, not '" + value + "'");
        options.threshold = t;
      } else {
        return usage_error("unknown option " + arg);
      }
      if (options.gt_dir.empty() || (arg == "--csv" && options.csv.empty()))
        return usage_error(arg + " needs a value");
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage_error("unknown option " + arg);
    } else {
      if (have_dir) return usage_error("more than one RESULT_DIR: '" + options.result_dir + "' and '" + arg + "'");
      options.result_dir = arg;
      have_dir = true;
    }
  }
  return true;
}

// Everything that went wrong is reported on one line naming the file; `skipped` remembers it.
struct Messages {
  bool skipped = false;
  void error(const std::string& file, const std::string& what) {
    std::fprintf(stderr, "ondrel-eval: %s: %s\n", file.c_str(), what.c_str());
    skipped = true;
  }
};

// cv::imread with the decoders' own complaints (libpng writes "libpng error: ..." to standard
// error) kept off standard error: our message names the file instead. Empty when unreadable.
cv::Mat read_quietly(const std::string& path, int flags) {
  std::fflush(stderr);
  const int saved = ::dup(2), null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0) ::dup2(null, 2);
  cv::Mat image;
  try {
    image = cv::imread(path, flags);
  } catch (const cv::Exception&) {
    image.release();
  }
  std::fflush(stderr);
  if (saved >= 0 && null >= 0) ::dup2(saved, 2);
  if (saved >= 0) ::close(saved);
  if (null >= 0) ::close(null);
  return image;
}

// The image `path` as stored (IMREAD_UNCHANGED), or an empty Mat after a message.
cv::Mat load(const std::string& path, const std::string& consequence, Messages& messages) {
  if (!exists(path)) {
    messages.error(path, "missing; " + consequence);
    return cv::Mat();
  }
  const cv::Mat image = read_quietly(path, cv::IMREAD_UNCHANGED);
  if (image.empty()) messages.error(path, "not a readable image; " + consequence);
  return image;
}

// `image` when it is 8-bit grey of `size` (the size of the file `size_of`), else an empty Mat
// after a message.
cv::Mat checked(const cv::Mat& image, cv::Size size, const std::string& size_of, const std::string& path,
                const std::string& consequence, Messages& messages) {
  if (image.empty()) return image;
  std::string mismatch = ondrel_eval::image_mismatch(image, size);
  if (mismatch.empty()) return image;
  if (ondrel_eval::image_mismatch(image, image.size()).empty()) mismatch += " like " + size_of;
  messages.error(path, mismatch + "; " + consequence);
  return cv::Mat();
}

void save(const std::string& path, const cv::Mat& image, Messages& messages) {
  std::string reason;
  if (!write_png_file(path, image, &reason)) messages.error(path, "cannot be written (" + reason + ")");
}

std::string join(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// "Result_Tsukuba.png" -> "Result_Tsukuba"
std::string stem(const std::string& file) { return file.substr(0, file.rfind('.')); }

// "Tsukuba_L.png" -> "Tsukuba"
std::string pair_name(const StereoPair& pair) {
  const std::string left = pair.left_file;
  return left.substr(0, left.rfind("_L."));
}

// The ground truth and masks of `name`; disparity empty after one message (about the first
// file that is unusable) otherwise.
ondrel_eval::GroundTruth load_truth(const std::string& gt_dir, const std::string& name, int scale,
                                    Messages& messages) {
  ondrel_eval::GroundTruth truth;
  truth.scale = scale;
  const std::string consequence = name + " not evaluated";
  const std::string gt_path = join(gt_dir, name + "_gt.png");
  cv::Mat disparity = load(gt_path, consequence, messages);
  if (disparity.empty()) return truth;
  disparity = checked(disparity, disparity.size(), "", gt_path, consequence, messages);
  if (disparity.empty()) return truth;
  for (int r = 0; r < ondrel_eval::kRegionCount; ++r) {
    const std::string path = join(gt_dir, name + "_" + ondrel_eval::kRegionNames[r] + ".png");
    truth.mask[r] = checked(load(path, consequence, messages), disparity.size(), gt_path, path, consequence,
                            messages);
    if (truth.mask[r].empty()) return truth;
  }
  truth.disparity = disparity;
  return truth;
}

// The left image of `name` from the result folder, else from the data folder above gt/.
cv::Mat load_left(const Options& options, const std::string& name, cv::Size size, const std::string& errors_file,
                  Messages& messages) {
  const std::string file = name + "_L.png";
  std::string path = join(options.result_dir, file);
  if (!exists(path)) path = join(options.gt_dir, "../" + file);
  const std::string consequence = errors_file + " not written";
  if (!exists(path)) {
    messages.error(file, "missing in " + options.result_dir + " and in " + join(options.gt_dir, "..") + "; " +
                             consequence);
    return cv::Mat();
  }
  cv::Mat left = read_quietly(path, cv::IMREAD_COLOR);
  if (left.empty()) {
    messages.error(path, "not a readable image; " + consequence);
  } else if (left.size() != size) {
    messages.error(path, std::to_string(left.cols) + "x" + std::to_string(left.rows) + " pixels, expected " +
                             std::to_string(size.width) + "x" + std::to_string(size.height) + "; " + consequence);
    left.release();
  }
  return left;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) return 2;
  // our messages name the files; OpenCV's own warnings would only repeat them
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

  Messages messages;
  std::vector<ondrel_eval::Entry> entries;
  bool any_present = false;
  for (const StereoPair& pair : kStereoPairs) {
    const std::string name = pair_name(pair);
    const char* files[2] = {pair.disparity_file, pair.uniqueness_file};
    const char* labels[2] = {"map", "SMP"};
    if (!exists(join(options.result_dir, files[0])) && !exists(join(options.result_dir, files[1]))) continue;
    any_present = true;

    const ondrel_eval::GroundTruth truth = load_truth(options.gt_dir, name, pair.scale, messages);
    if (truth.disparity.empty()) continue;
    const ondrel_eval::ColorScale colors = ondrel_eval::pair_color_scale(truth, pair.max_disparity);
    save(join(options.result_dir, name + "_gt_color.png"),
         ondrel_eval::color_view(truth.disparity, ondrel_eval::kUnknown, colors), messages);

    cv::Mat left;
    bool left_tried = false;
    for (int k = 0; k < 2; ++k) {
      const std::string path = join(options.result_dir, files[k]);
      const std::string consequence = std::string(files[k]) + " not evaluated";
      const cv::Mat result = checked(load(path, consequence, messages), truth.disparity.size(),
                                     join(options.gt_dir, name + "_gt.png"), path, consequence, messages);
      if (result.empty()) continue;
      entries.push_back({name, labels[k], ondrel_eval::score(result, truth, options.threshold)});

      const std::string base = join(options.result_dir, stem(files[k]));
      save(base + "_color.png", ondrel_eval::color_view(result, ondrel_eval::kNoValue, colors), messages);
      if (!left_tried) {
        left = load_left(options, name, truth.disparity.size(), "the error pictures of " + name, messages);
        left_tried = true;
      }
      if (!left.empty())
        save(base + "_errors.png", ondrel_eval::error_view(left, result, truth, options.threshold), messages);
    }
  }

  if (!any_present) {
    std::fprintf(stderr, "ondrel-eval: %s: no result files (Result_<Pair>.png, Result_<Pair>_SMP.png)\n",
                 options.result_dir.c_str());
    return 1;
  }
  if (!entries.empty()) {
    std::printf("Bad pixels of %s against %s: |d - d_gt| > %g px; a pixel without a value is bad.\n",
                options.result_dir.c_str(), options.gt_dir.c_str(), options.threshold);
    std::printf("map: Result_<Pair>.png, SMP: Result_<Pair>_SMP.png (after the uniqueness check)\n\n");
    std::fputs(ondrel_eval::format_table(entries).c_str(), stdout);
    std::printf("\nPictures in %s: <Result>_color.png, <Pair>_gt_color.png, <Result>_errors.png\n",
                options.result_dir.c_str());
    std::fflush(stdout);
  }
  if (!options.csv.empty()) {
    FILE* csv = std::fopen(options.csv.c_str(), "w");
    const std::string text = ondrel_eval::format_csv(entries, options.threshold);
    bool ok = csv != nullptr && std::fputs(text.c_str(), csv) >= 0;
    if (csv != nullptr) ok = std::fclose(csv) == 0 && ok;
    if (!ok) messages.error(options.csv, std::string("cannot be written (") + std::strerror(errno) + ")");
  }
  return messages.skipped ? 1 : 0;
}
