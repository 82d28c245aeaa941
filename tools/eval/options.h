// The command line of ondrel-eval, parsed and checked without touching any file, so that it
// can be tested and fuzzed in-process.
#pragma once

#include <string>
#include <vector>

namespace ondrel_eval {

enum class Layout { kPairs, kMiddlebury, kKitti };

struct EvalOptions {
  Layout layout = Layout::kPairs;
  std::string gt_dir;                // --gt DIR (the caller sets the default)
  std::vector<std::string> folders;  // RESULT_DIR (default "."); SCENES OUT; GT_NOC GT_OCC RESULTS
  std::vector<std::string> methods;  // --method NAME..., names without '/'
  std::string csv, html, command;    // command: filled by the caller
  double threshold = 1.0;            // --threshold T, finite, >= 0
  bool pair_options = false;         // --gt or --threshold given
};

enum class EvalParse { kRun, kHelp, kUsageError };

// Parses argv[1 .. argc-1] into *options (which keeps what no option changes). kUsageError
// comes with *message, one line naming the option or the folders. Prints nothing, never exits.
EvalParse parse_eval_options(int argc, const char* const* argv, EvalOptions* options, std::string* message);

}  // namespace ondrel_eval
