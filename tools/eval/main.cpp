// ondrel-eval: scores the result maps of ondrel against the ground truth and writes colour
// views and error pictures beside them (the classic pairs), or scores float maps of the
// Middlebury 2014 and KITTI layouts (scene_runs.h). The measures live in evaluation.h and
// scenes.h; this is the driver: options, files, messages.
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
#include "tools/eval/files.h"
#include "tools/eval/options.h"
#include "tools/eval/scene_runs.h"
#include "util/pfm.h"
#include "util/png_file.h"

namespace {

using ondrel_eval::exists;
using ondrel_eval::join;
using ondrel_eval::Messages;
using ondrel_eval::read_quietly;

const char* const kUsage =
    "usage: ondrel-eval [--gt DIR] [--threshold T] [--csv FILE] [RESULT_DIR]\n"
    "       ondrel-eval --middlebury [--method NAME]... [--csv FILE] [--html FILE] SCENES OUT\n"
    "       ondrel-eval --kitti [--csv FILE] [--html FILE] GT_NOC GT_OCC RESULTS\n"
    "  The four classic pairs: scores Result_<Pair>.png and Result_<Pair>_SMP.png in RESULT_DIR\n"
    "  (default: the current folder; 8-bit grey levels, or 16-bit PNG as KITTI stores them, or\n"
    "  the same names ending in .pfm) for each pair present, prints a table of bad-pixel\n"
    "  percentages and writes <Result>_color.png, <Result>_errors.png and <Pair>_gt_color.png\n"
    "  into RESULT_DIR.\n"
    "  --gt DIR        ground truth and masks (default: " ONDREL_DATA_DIR "/gt)\n"
    "  --threshold T   a pixel is bad when |d - d_gt| > T pixels (default 1)\n"
    "  --middlebury    Middlebury 2014 layout: scores OUT/<scene>/disp0<NAME>.pfm against\n"
    "                  SCENES/<scene>/disp0GT.pfm and mask0nocc.png (bad 0.5/1/2/4 px, avg, rms,\n"
    "                  density in nonocc and all, values clipped to 0 .. ndisp of calib.txt; time\n"
    "                  from OUT/<scene>/time<NAME>.txt); writes disp0<NAME>_color.png,\n"
    "                  disp0<NAME>_errors.png and disp0GT_color.png beside each map\n"
    "  --method NAME   only the maps disp0<NAME>.pfm (repeatable; default: every one found)\n"
    "  --kitti         KITTI layout: 16-bit PNGs (disparity x 256, 0 = none); scores\n"
    "                  RESULTS/<image>.png against GT_NOC/<image>.png and GT_OCC/<image>.png (D1);\n"
    "                  writes <image>_color.png, <image>_gt_color.png, <image>_errors.png beside them\n"
    "  --csv FILE      also write the figures as CSV to FILE\n"
    "  --html FILE     also write a page of the settings, the figures and the pictures to FILE\n"
    "  Exit status: 0 all evaluated, 1 something was skipped (see the messages), 2 wrong usage.\n";

using ondrel_eval::Layout;
using Options = ondrel_eval::EvalOptions;

// The image `path` as stored (IMREAD_UNCHANGED), or an empty Mat after a message.
cv::Mat load(const std::string& path, const std::string& consequence, Messages& messages) {
  if (!exists(path)) {
    messages.error(path, "missing; " + consequence);
    return cv::Mat();
  }
  return ondrel_eval::within_memory(path, consequence, messages, [&] {
    const cv::Mat image = read_quietly(path, cv::IMREAD_UNCHANGED);
    if (image.empty()) messages.error(path, "not a readable image; " + consequence);
    return image;
  });
}

// A result map: a PFM file (float disparities), or an image as stored.
cv::Mat load_result(const std::string& path, const std::string& consequence, Messages& messages) {
  if (path.size() < 4 || path.compare(path.size() - 4, 4, ".pfm") != 0) return load(path, consequence, messages);
  return ondrel_eval::within_memory(path, consequence, messages, [&] {
    cv::Mat map;
    std::string error;
    if (!read_pfm(path, &map, &error)) messages.error(path, error + "; " + consequence);
    return map;
  });
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
  std::string path = join(options.folders[0], file);
  if (!exists(path)) path = join(options.gt_dir, "../" + file);
  const std::string consequence = errors_file + " not written";
  if (!exists(path)) {
    messages.error(file, "missing in " + options.folders[0] + " and in " + join(options.gt_dir, "..") + "; " +
                             consequence);
    return cv::Mat();
  }
  cv::Mat left = ondrel_eval::within_memory(path, consequence, messages, [&] {
    const cv::Mat image = read_quietly(path, cv::IMREAD_COLOR);
    if (image.empty()) messages.error(path, "not a readable image; " + consequence);
    return image;
  });
  if (!left.empty() && left.size() != size) {
    messages.error(path, std::to_string(left.cols) + "x" + std::to_string(left.rows) + " pixels, expected " +
                             std::to_string(size.width) + "x" + std::to_string(size.height) + "; " + consequence);
    left.release();
  }
  return left;
}

}  // namespace

int evaluate(int argc, char** argv) {
  Options options;
  options.gt_dir = std::string(ONDREL_DATA_DIR) + "/gt";
  std::string message;
  switch (ondrel_eval::parse_eval_options(argc, argv, &options, &message)) {
    case ondrel_eval::EvalParse::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case ondrel_eval::EvalParse::kUsageError:
      std::fprintf(stderr, "ondrel-eval: %s\n%s", message.c_str(), kUsage);
      return 2;
    case ondrel_eval::EvalParse::kRun:
      break;
  }
  for (int i = 0; i < argc; ++i) options.command += (i ? " " : "") + std::string(argv[i]);
  // our messages name the files; OpenCV's own warnings would only repeat them
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  const ondrel_eval::RunOutputs outputs{options.csv, options.html, options.command};
  if (options.layout == Layout::kMiddlebury)
    return ondrel_eval::run_middlebury(options.folders[0], options.folders[1], options.methods, outputs);
  if (options.layout == Layout::kKitti)
    return ondrel_eval::run_kitti(options.folders[0], options.folders[1], options.folders[2], outputs);

  Messages messages;
  std::vector<ondrel_eval::Entry> entries;
  bool any_present = false;
  for (const StereoPair& pair : kStereoPairs) {
    const std::string name = pair_name(pair);
    const char* files[2] = {pair.disparity_file, pair.uniqueness_file};
    const char* labels[2] = {"map", "SMP"};
    // each result as Result_<Pair>[_SMP].png, else .pfm
    std::string names[2];
    for (int k = 0; k < 2; ++k) {
      const std::string pfm = stem(files[k]) + ".pfm";
      names[k] = !exists(join(options.folders[0], files[k])) && exists(join(options.folders[0], pfm)) ? pfm : files[k];
    }
    if (!exists(join(options.folders[0], names[0])) && !exists(join(options.folders[0], names[1]))) continue;
    any_present = true;

    const ondrel_eval::GroundTruth truth = load_truth(options.gt_dir, name, pair.scale, messages);
    if (truth.disparity.empty()) continue;
    const ondrel_eval::ColorScale colors = ondrel_eval::pair_color_scale(truth, pair.max_disparity);
    save(join(options.folders[0], name + "_gt_color.png"),
         ondrel_eval::color_view(truth.disparity, ondrel_eval::kUnknown, colors), messages);

    cv::Mat left;
    bool left_tried = false;
    for (int k = 0; k < 2; ++k) {
      const std::string path = join(options.folders[0], names[k]);
      const std::string consequence = names[k] + " not evaluated";
      const cv::Mat result = checked(ondrel_eval::grey_levels_of(load_result(path, consequence, messages), truth.scale),
                                     truth.disparity.size(), join(options.gt_dir, name + "_gt.png"), path, consequence,
                                     messages);
      if (result.empty()) continue;
      entries.push_back({name, labels[k], ondrel_eval::score(result, truth, options.threshold)});

      const std::string base = join(options.folders[0], stem(names[k]));
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
                 options.folders[0].c_str());
    return 1;
  }
  if (!entries.empty()) {
    std::printf("Bad pixels of %s against %s: |d - d_gt| > %g px; a pixel without a value is bad.\n",
                options.folders[0].c_str(), options.gt_dir.c_str(), options.threshold);
    std::printf("map: Result_<Pair>.png, SMP: Result_<Pair>_SMP.png (after the uniqueness check)\n\n");
    std::fputs(ondrel_eval::format_table(entries).c_str(), stdout);
    std::printf("\nPictures in %s: <Result>_color.png, <Pair>_gt_color.png, <Result>_errors.png\n",
                options.folders[0].c_str());
    std::fflush(stdout);
  }
  if (!options.csv.empty())
    ondrel_eval::write_text(options.csv, ondrel_eval::format_csv(entries, options.threshold), messages);
  return messages.skipped ? 1 : 0;
}

int main(int argc, char** argv) {
  // what the files of each pair or scene need is caught where they are read; this is for the
  // pictures and tables beyond them
  try {
    return evaluate(argc, argv);
  } catch (const std::bad_alloc&) {
  } catch (const cv::Exception& e) {
    if (!ondrel_eval::out_of_memory(e)) throw;
  }
  std::fprintf(stderr, "ondrel-eval: not enough memory\n");
  return 1;
}
