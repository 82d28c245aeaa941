// Fuzz target: arbitrary bytes as the command line of ondrel-eval, one argument per line (an
// empty line is an empty argument). The parser must never crash; what it accepts must satisfy
// every rule it states, and an error must come with a one-line message.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/arguments.h"
#include "tools/eval/options.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> words = arguments_of("ondrel-eval", data, size);
  const std::vector<const char*> argv = argv_of(words);

  using namespace ondrel_eval;
  EvalOptions o;
  o.gt_dir = "gt";
  std::string message;
  const EvalParse outcome = parse_eval_options(static_cast<int>(words.size()), argv.data(), &o, &message);
  if (outcome == EvalParse::kUsageError && (message.empty() || message.find('\n') != std::string::npos))
    std::abort();
  if (outcome != EvalParse::kRun) return 0;
  const size_t folders[] = {1, 2, 3};  // pairs, Middlebury, KITTI
  bool ok = o.folders.size() == folders[static_cast<int>(o.layout)] && std::isfinite(o.threshold) &&
            o.threshold >= 0 && !o.gt_dir.empty();
  ok = ok && (o.layout == Layout::kMiddlebury || o.methods.empty());
  ok = ok && (o.layout != Layout::kPairs || o.html.empty());
  ok = ok && (o.layout == Layout::kPairs || !o.pair_options);
  for (const std::string& m : o.methods) ok = ok && !m.empty() && m.find('/') == std::string::npos;
  if (!ok) std::abort();
  return 0;
}
