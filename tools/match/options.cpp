#include "tools/match/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tools/match/disparity_files.h"

const char kMatchUsage[] =
    "usage: ondrel-match [options] -d N | --calib FILE LEFT RIGHT, or ondrel-match --middlebury SCENES OUT "
    "[options] (--help for more)\n";

const char kMatchHelp[] =
    "usage: ondrel-match [options] LEFT RIGHT\n"
    "       ondrel-match --middlebury SCENES OUT [matching options]\n"
    "Computes the disparity map of the left view of a rectified pair (any image the image library reads).\n"
    "  -d, --max-disparity N   disparities 0 .. N are examined (0 .. 536870911)\n"
    "      --calib FILE        or N = ndisp - 1 from a Middlebury calib.txt\n"
    "  -R, --support-radius R  support window of (2R+1)^2 pixels, 0 .. 2047 (default 19)\n"
    "  -r, --block-radius r    blocks of (2r+1)^2 pixels, r >= 0, 2r+1 dividing 2R+1 (default 6)\n"
    "      --gamma-space G     spatial weight exp(-distance / G), finite, >= 0 (default 14)\n"
    "      --gamma-color G     colour weight exp(-colour distance / G), finite, >= 0 (default 23)\n"
    "      --tad T             truncation of the colour difference, 0 .. 2147483647 (default 53)\n"
    "      --cost tad|census   the pixel cost: tad (default) or census (Hamming distance of 5x5 census\n"
    "                          strings, robust against lighting that differs between the views)\n"
    "      --refine            consistency check with a matched right view, fill and weighted median\n"
    "                          (a dense map; --uniqueness is not taken with it)\n"
    "  -o, --output FILE       the left disparity map (.pfm: float PFM, +inf no value;\n"
    "                          .png: 16-bit, round(256 d) clamped to 1 .. 65535, 0 no value)\n"
    "  -u, --uniqueness FILE   the map after the uniqueness check (.pfm or .png)\n"
    "      --color FILE        a colour view of the left map (.png; turbo colours, black no value)\n"
    "      --threads T         threads, 1 .. 1024 (default 0: every processor)\n"
    "      --time FILE         seconds of the matching alone (with --refine: of the refined call)\n"
    "                          (a run writes at least one of these files)\n"
    "  -q, --quiet             no progress bar and no summary line on standard error\n"
    "      --middlebury SCENES OUT\n"
    "                          every folder SCENES/<scene> with im0.png, im1.png and calib.txt gives\n"
    "                          OUT/<scene>/disp0Ondrel.pfm and OUT/<scene>/timeOndrel.txt\n"
    "  -h, --help, --version\n"
    "Exit status: 0 done, 1 an input or output problem (or a scene failed), 2 a wrong command line.\n";

namespace {

enum class Kind { kFlag, kValue, kTwoValues };

struct OptionRule {
  char short_name;  // 0: none
  const char* long_name;
  Kind kind;
};

const OptionRule kRules[] = {
    {'d', "max-disparity", Kind::kValue}, {0, "calib", Kind::kValue},       {'R', "support-radius", Kind::kValue},
    {'r', "block-radius", Kind::kValue},  {0, "gamma-space", Kind::kValue}, {0, "gamma-color", Kind::kValue},
    {0, "tad", Kind::kValue},             {'o', "output", Kind::kValue},    {'u', "uniqueness", Kind::kValue},
    {0, "color", Kind::kValue},           {0, "threads", Kind::kValue},     {0, "time", Kind::kValue},
    {'q', "quiet", Kind::kFlag},          {'h', "help", Kind::kFlag},       {0, "version", Kind::kFlag},
    {0, "middlebury", Kind::kTwoValues},  {0, "cost", Kind::kValue},       {0, "refine", Kind::kFlag},
};

bool integer_in(const std::string& text, long long low, long long high, int* out) {
  if (text.empty() || text.size() > 20) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || v < low || v > high || !(std::isdigit(static_cast<unsigned char>(text[0])) ||
                                                             text[0] == '-' || text[0] == '+'))
    return false;
  *out = static_cast<int>(v);
  return true;
}

bool gamma_of(const std::string& text, float* out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  const float f = static_cast<float>(v);
  if (*end != '\0' || !std::isfinite(v) || !std::isfinite(f) || !(v >= 0)) return false;
  *out = f;
  return true;
}

// "'text'" shortened for a message
std::string quoted(const std::string& text) {
  return "'" + (text.size() > 40 ? text.substr(0, 40) + "..." : text) + "'";
}

ParseOutcome usage_error(std::string* message, const std::string& text) {
  *message = text;
  return ParseOutcome::kUsageError;
}

// Applies option `name` (its long name) with `value`; false with *message when the value is wrong.
bool apply(const std::string& shown, const std::string& name, const std::string& value, MatchOptions* o,
           std::string* message) {
  ondrel::Parameters& p = o->parameters;
  const auto range = [&](const char* allowed) {
    *message = shown + " " + quoted(value) + ": must be " + allowed;
    return false;
  };
  const auto file = [&](std::string* field) {
    if (value.empty()) return range("a file name");
    *field = value;
    return true;
  };
  const auto map_file = [&](std::string* field) {
    if (disparity_format_of(value) == DisparityFormat::kNone)
      return range("a file name ending in .pfm (float PFM) or .png (16-bit PNG)");
    *field = value;
    return true;
  };
  if (name == "max-disparity") {
    if (!integer_in(value, 0, kLargestMaxDisparity, &p.max_disparity)) return range("an integer in 0 ... 536870911");
    o->have_max_disparity = true;
    return true;
  }
  if (name == "support-radius")
    return integer_in(value, 0, ondrel::kMaxSupportRadius, &p.support_radius) || range("an integer in 0 ... 2047");
  if (name == "block-radius")
    return integer_in(value, 0, ondrel::kMaxSupportRadius, &p.block_radius) || range("an integer in 0 ... 2047");
  if (name == "gamma-space") return gamma_of(value, &p.gamma_space) || range("a finite number >= 0");
  if (name == "gamma-color") return gamma_of(value, &p.gamma_color) || range("a finite number >= 0");
  if (name == "tad") return integer_in(value, 0, 2147483647, &p.tad_threshold) || range("an integer in 0 ... 2147483647");
  if (name == "threads")
    return integer_in(value, 0, kLargestThreads, &o->threads) || range("an integer in 0 ... 1024 (0: every processor)");
  if (name == "cost") {
    if (value != "tad" && value != "census") return range("tad or census");
    p.cost = value == "census" ? ondrel::CostFunction::kCensus : ondrel::CostFunction::kTad;
    return true;
  }
  if (name == "calib") return file(&o->calib);
  if (name == "output") return map_file(&o->output);
  if (name == "uniqueness") return map_file(&o->uniqueness);
  if (name == "time") return file(&o->time);
  if (name == "color") {
    if (disparity_format_of(value) != DisparityFormat::kPng16) return range("a file name ending in .png");
    o->color = value;
    return true;
  }
  return true;
}

}  // namespace

ParseOutcome parse_match_options(int argc, const char* const* argv, MatchOptions* options, std::string* message) {
  MatchOptions o;
  std::vector<std::string> positional;
  bool help = false, version = false, options_end = false;
  std::vector<std::string> given;  // long names, for the checks of combinations
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] ? argv[i] : "";
    if (options_end || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_end = true;
      continue;
    }
    const OptionRule* rule = nullptr;
    std::string shown, inline_value;
    bool has_inline = false;
    if (arg[1] == '-') {
      const size_t eq = arg.find('=');
      const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      for (const OptionRule& s : kRules)
        if (name == s.long_name) rule = &s;
      shown = "--" + name;
      if (eq != std::string::npos) has_inline = true, inline_value = arg.substr(eq + 1);
    } else {
      for (const OptionRule& s : kRules)
        if (s.short_name == arg[1]) rule = &s;
      shown = arg.substr(0, 2);
      if (arg.size() > 2) has_inline = true, inline_value = arg.substr(2);
    }
    if (!rule) return usage_error(message, "unknown option " + quoted(arg));
    if (rule->kind == Kind::kFlag) {
      if (has_inline) {
        // -qh and the like are not taken: one flag per word
        return usage_error(message, shown + " takes no value");
      }
      const std::string name = rule->long_name;
      if (name == "quiet") o.quiet = true;
      if (name == "help") help = true;
      if (name == "version") version = true;
      if (name == "refine") o.refine = true;
      continue;
    }
    if (rule->kind == Kind::kTwoValues) {
      if (has_inline || i + 2 >= argc)
        return usage_error(message, shown + " needs two folders: SCENES OUT");
      o.middlebury = true;
      o.scenes = argv[i + 1] ? argv[i + 1] : "";
      o.out = argv[i + 2] ? argv[i + 2] : "";
      i += 2;
      if (o.scenes.empty() || o.out.empty()) return usage_error(message, shown + " needs two folders: SCENES OUT");
      continue;
    }
    if (!has_inline && i + 1 >= argc) return usage_error(message, shown + " needs a value");
    const std::string value = has_inline ? inline_value : (argv[i + 1] ? argv[i + 1] : "");
    if (!has_inline) ++i;
    if (!apply(shown, rule->long_name, value, &o, message)) return ParseOutcome::kUsageError;
    given.push_back(rule->long_name);
  }
  if (help) return ParseOutcome::kHelp;
  if (version) return ParseOutcome::kVersion;

  const auto was_given = [&](const char* name) {
    for (const std::string& g : given)
      if (g == name) return true;
    return false;
  };
  if (o.refine && was_given("uniqueness"))
    return usage_error(message, "--uniqueness is not taken with --refine (the refined map has no uniqueness check)");
  if (o.middlebury) {
    for (const char* name : {"max-disparity", "calib", "output", "uniqueness", "color", "time"})
      if (was_given(name))
        return usage_error(message, std::string("--") + name + " is not taken with --middlebury (each scene has its own)");
    if (!positional.empty())
      return usage_error(message, "unexpected argument " + quoted(positional[0]) + " with --middlebury");
  } else {
    if (positional.size() != 2)
      return usage_error(message, positional.size() < 2 ? "two views are needed: LEFT RIGHT"
                                                        : "more than two views: " + quoted(positional[2]));
    o.left = positional[0];
    o.right = positional[1];
    if (o.left.empty() || o.right.empty())
      return usage_error(message, std::string(o.left.empty() ? "LEFT" : "RIGHT") + " is an empty file name");
    if (o.have_max_disparity == !o.calib.empty())
      return usage_error(message, o.have_max_disparity ? "-d and --calib both give the largest disparity: give one"
                                                       : "the largest disparity is needed: -d N or --calib FILE");
    if (o.output.empty() && o.uniqueness.empty() && o.color.empty() && o.time.empty())
      return usage_error(message, "nothing to write: give at least one of -o FILE, -u FILE, --color FILE, --time FILE");
    const std::string* files[] = {&o.output, &o.uniqueness, &o.color, &o.time};
    const char* names[] = {"--output", "--uniqueness", "--color", "--time"};
    for (int a = 0; a < 4; ++a)
      for (int b = a + 1; b < 4; ++b)
        if (!files[a]->empty() && *files[a] == *files[b])
          return usage_error(message, std::string(names[a]) + " and " + names[b] + " name the same file " +
                                          quoted(*files[a]));
  }
  const ondrel::Parameters& p = o.parameters;
  const int support_side = 2 * p.support_radius + 1, block_side = 2 * p.block_radius + 1;
  if (p.block_radius > p.support_radius || support_side % block_side != 0)
    return usage_error(message, "--block-radius " + std::to_string(p.block_radius) + " does not fit --support-radius " +
                                    std::to_string(p.support_radius) + ": 2r+1 (" + std::to_string(block_side) +
                                    ") must divide 2R+1 (" + std::to_string(support_side) + ")");
  *options = o;
  return ParseOutcome::kRun;
}
