#include "tools/eval/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace ondrel_eval {

EvalParse parse_eval_options(int argc, const char* const* argv, EvalOptions* out, std::string* message) {
  EvalOptions options = *out;
  const auto usage_error = [&](const std::string& text) {
    *message = text;
    return EvalParse::kUsageError;
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i] ? argv[i] : "", value;
    if (arg == "-h" || arg == "--help") return EvalParse::kHelp;
    const bool is_option = arg.size() > 2 && arg.compare(0, 2, "--") == 0;
    if (!is_option) {
      if (arg.size() > 1 && arg[0] == '-') return usage_error("unknown option " + arg);
      options.folders.push_back(arg);
      continue;
    }
    const bool takes_value =
        arg == "--gt" || arg == "--threshold" || arg == "--csv" || arg == "--method" || arg == "--html";
    const size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    } else if (takes_value) {
      if (i + 1 >= argc) return usage_error(arg + " needs a value");
      value = argv[++i] ? argv[i] : "";
    }
    if (arg == "--middlebury" || arg == "--kitti") {
      if (eq != std::string::npos) return usage_error(arg + " takes no value; the folders follow the options");
      const Layout layout = arg == "--kitti" ? Layout::kKitti : Layout::kMiddlebury;
      if (options.layout != Layout::kPairs && options.layout != layout)
        return usage_error("--middlebury and --kitti exclude each other");
      options.layout = layout;
      continue;
    }
    if ((arg == "--gt" || arg == "--csv" || arg == "--method" || arg == "--html") && value.empty())
      return usage_error(arg + " needs a value");
    if (arg == "--gt") {
      options.gt_dir = value;
      options.pair_options = true;
    } else if (arg == "--csv") {
      options.csv = value;
    } else if (arg == "--html") {
      options.html = value;
    } else if (arg == "--method") {
      if (value.find('/') != std::string::npos) return usage_error("--method needs a name, not a path: '" + value + "'");
      options.methods.push_back(value);
    } else if (arg == "--threshold") {
      char* end = nullptr;
      errno = 0;
      const double t = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(t) || t < 0)
        return usage_error("--threshold needs a number >= 0, not '" + value + "'");
      options.threshold = t;
      options.pair_options = true;
    } else {
      return usage_error("unknown option " + arg);
    }
  }
  const size_t n = options.folders.size();
  switch (options.layout) {
    case Layout::kPairs:
      if (!options.methods.empty()) return usage_error("--method belongs to --middlebury");
      if (!options.html.empty()) return usage_error("--html belongs to --middlebury and --kitti");
      if (n > 1) return usage_error("more than one RESULT_DIR: '" + options.folders[0] + "' and '" + options.folders[1] + "'");
      if (n == 0) options.folders.push_back(".");
      break;
    case Layout::kMiddlebury:
      if (options.pair_options) return usage_error("--gt and --threshold belong to the classic pairs, not --middlebury");
      if (n != 2) return usage_error("--middlebury needs two folders, SCENES and OUT, not " + std::to_string(n));
      break;
    case Layout::kKitti:
      if (options.pair_options || !options.methods.empty())
        return usage_error("--gt, --threshold and --method do not go with --kitti");
      if (n != 3) return usage_error("--kitti needs three folders, GT_NOC GT_OCC RESULTS, not " + std::to_string(n));
      break;
  }
  *out = options;
  return EvalParse::kRun;
}

}  // namespace ondrel_eval
