// Fuzz target: arbitrary bytes as the command line of ondrel-match, one argument per line (an
// empty line is an empty argument). The parser must never crash; what it accepts must satisfy
// every rule it states, and an error must come with a one-line message.

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/arguments.h"
#include "tools/match/options.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> words = arguments_of("ondrel-match", data, size);
  const std::vector<const char*> argv = argv_of(words);

  MatchOptions o;
  std::string message;
  const ParseOutcome outcome = parse_match_options(static_cast<int>(words.size()), argv.data(), &o, &message);
  if (outcome == ParseOutcome::kUsageError && (message.empty() || message.find('\n') != std::string::npos))
    std::abort();
  if (outcome != ParseOutcome::kRun) return 0;
  const ondrel::Parameters& p = o.parameters;
  const bool radii_ok = p.block_radius >= 0 && p.block_radius <= p.support_radius &&
                        p.support_radius <= ondrel::kMaxSupportRadius &&
                        (2 * p.support_radius + 1) % (2 * p.block_radius + 1) == 0;
  // (-d below 0 only with a --min-disparity at or below it; with --calib the run checks the order)
  const bool range_ok = p.min_disparity >= -kLargestMaxDisparity && p.min_disparity <= kLargestMaxDisparity &&
                        (!o.have_max_disparity || (p.max_disparity >= p.min_disparity &&
                         static_cast<long long>(p.max_disparity) - p.min_disparity <= kLargestMaxDisparity));
  const bool numbers_ok = range_ok && p.tad_threshold >= 0 &&
                          std::isfinite(p.gamma_space) && p.gamma_space >= 0 && std::isfinite(p.gamma_color) &&
                          p.gamma_color >= 0 && o.threads >= 0 && o.threads <= ondrel::kMaxThreads;
  const bool batch = o.middlebury || o.kitti;
  bool mode_ok = batch ? !o.scenes.empty() && !o.out.empty() && o.left.empty() && o.output.empty() &&
                             o.depth.empty() && o.ply.empty() && o.confidence.empty() && !(o.middlebury && o.kitti) &&
                             (!o.kitti || o.have_max_disparity)
                              : !o.left.empty() && !o.right.empty() && (o.have_max_disparity != !o.calib.empty()) &&
                                    !(o.output.empty() && o.uniqueness.empty() && o.color.empty() && o.time.empty() &&
                                      o.depth.empty() && o.ply.empty() && o.confidence.empty());
  const std::string* files[] = {&o.output, &o.uniqueness, &o.color, &o.time, &o.depth, &o.ply, &o.confidence};
  for (int a = 0; a < 7; ++a)
    for (int b = a + 1; b < 7; ++b)
      if (!files[a]->empty() && *files[a] == *files[b]) mode_ok = false;
  // the camera: finite, focal length and baseline > 0, and enough of it for --depth and --ply
  const bool camera_ok = std::isfinite(o.focal) && std::isfinite(o.baseline) && std::isfinite(o.doffs) &&
                         std::isfinite(o.cx) && std::isfinite(o.cy) && (!o.have_focal || o.focal > 0) &&
                         (!o.have_baseline || o.baseline > 0) &&
                         (batch || (o.depth.empty() && o.ply.empty()) || !o.calib.empty() ||
                          (o.have_focal && o.have_baseline));
  bool method_ok = !o.method.empty() && o.method.size() <= 64;
  for (const char c : o.method) method_ok = method_ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
  if (!radii_ok || !numbers_ok || !mode_ok || !camera_ok || !method_ok) std::abort();
  return 0;
}
