#include "tools/match/options.h"

#include <limits.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/match/disparity_files.h"

const char kMatchUsage[] =
    "usage: ondrel-match [options] -d N | --calib FILE LEFT RIGHT, or ondrel-match --middlebury SCENES OUT "
    "[options], or ondrel-match --kitti DATA OUT -d N [options] (--help for more)\n";

const char kMatchHelp[] =
    "usage: ondrel-match [options] LEFT RIGHT\n"
    "       ondrel-match --middlebury SCENES OUT [matching options]\n"
    "       ondrel-match --kitti DATA OUT -d N [matching options]\n"
    "Computes the disparity map of the left view of a rectified pair (any image the image library reads).\n"
    "  -d, --max-disparity N   the largest disparity examined (0 .. 536870911; below 0 with a\n"
    "                          --min-disparity at or below it)\n"
    "      --min-disparity N   the least disparity examined (default 0; negative for converging\n"
    "                          cameras or cropped views)\n"
    "      --calib FILE        or N = ndisp - 1 from a Middlebury calib.txt\n"
    "  -R, --support-radius R  support window of (2R+1)^2 pixels, 0 .. 2047 (default 19)\n"
    "  -r, --block-radius r    blocks of (2r+1)^2 pixels, r >= 0, 2r+1 dividing 2R+1 (default 6)\n"
    "      --gamma-space G     spatial weight exp(-distance / G), finite, > 0 (default 14)\n"
    "      --gamma-color G     colour weight exp(-colour distance / G), finite, > 0 (default 23)\n"
    "      --tad T             truncation of the colour difference, 0 .. 2147483647 (default 53)\n"
    "      --cost tad|census   the pixel cost: tad (default) or census (Hamming distance of 5x5 census\n"
    "                          strings, robust against lighting that differs between the views)\n"
    "      --refine            a dense, more accurate map: census costs, semi-global aggregation,\n"
    "                          consistency check, fill and weighted median (--uniqueness is not taken\n"
    "                          with it); with --cost: the designed match of both views, checked,\n"
    "                          filled and filtered\n"
    "  -o, --output FILE       the left disparity map (.pfm: float PFM, +inf no value;\n"
    "                          .png: 16-bit, round(256 d) clamped to 1 .. 65535, 0 no value)\n"
    "  -u, --uniqueness FILE   the map after the uniqueness check (.pfm or .png)\n"
    "      --color FILE        a colour view of the left map (.png; turbo colours, black no value)\n"
    "      --confidence FILE   how likely each value of the map is right, 0 .. 1 (.pfm)\n"
    "      --threads T         threads, 1 .. 1024 (default 0: every processor)\n"
    "      --time FILE         seconds of the matching alone (with --refine: of the refined call)\n"
    "      --depth FILE        the depth Z = baseline f / (d + doffs) of every pixel (.pfm, +inf none)\n"
    "      --ply FILE          the points x = (u - cx) Z / f, y = (v - cy) Z / f, z = Z with the left\n"
    "                          view's colours (.ply, binary little-endian)\n"
    "                          (a run writes at least one of these files)\n"
    "      --focal F --baseline B [--doffs D] [--cx X --cy Y]\n"
    "                          the camera of --depth and --ply (or calib.txt's cam0, baseline and\n"
    "                          doffs with --calib; given ones replace the file's); f, cx, cy in pixels,\n"
    "                          depth in the unit of B; cx, cy default to the view's centre\n"
    "  -q, --quiet             no progress bar and no summary line on standard error\n"
    "      --middlebury SCENES OUT\n"
    "                          every folder SCENES/<scene> with im0.png, im1.png and calib.txt gives\n"
    "                          OUT/<scene>/disp0<NAME>.pfm and OUT/<scene>/time<NAME>.txt\n"
    "      --kitti DATA OUT    every DATA/image_2/<image>.png with DATA/image_3/<image>.png gives\n"
    "                          OUT/disp_0/<image>.png (16-bit as KITTI reads it; needs -d)\n"
    "      --method NAME       the NAME of those files (default Ondrel)\n"
    "      --skip-existing     keep the scenes whose files are already complete\n"
    "  -h, --help, --version\n"
    "Exit status: 0 done, 1 an input or output problem (or a scene failed), 2 a wrong command line,\n"
    "130 a batch ended by Ctrl-C (the scenes written are complete: --skip-existing goes on).\n";

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
    {0, "kitti", Kind::kTwoValues},       {0, "method", Kind::kValue},      {0, "skip-existing", Kind::kFlag},
    {0, "depth", Kind::kValue},           {0, "ply", Kind::kValue},         {0, "focal", Kind::kValue},
    {0, "baseline", Kind::kValue},        {0, "doffs", Kind::kValue},       {0, "cx", Kind::kValue},
    {0, "cy", Kind::kValue},              {0, "min-disparity", Kind::kValue}, {0, "confidence", Kind::kValue},
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

// A number as a float (any: the library's rule, checked with the others, names the gamma).
bool gamma_of(const std::string& text, float* out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0') return false;
  *out = static_cast<float>(v);
  return true;
}

// A finite number (> 0 when `positive`) of the camera.
bool camera_value_of(const std::string& text, bool positive, double* out) {
  if (text.empty() || text.size() > 64 || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v) || (positive && !(v > 0))) return false;
  *out = v;
  return true;
}

// The library's message about the parameters or the thread count, followed by the options that
// set those it names.
std::string with_options(const std::string& library_message) {
  static const char* const kOptions[][2] = {{"max_disparity", "-d"}, {"min_disparity", "--min-disparity"},
      {"support_radius", "-R"}, {"block_radius", "-r"}, {"gamma_space", "--gamma-space"},
      {"gamma_color", "--gamma-color"}, {"tad_threshold", "--tad"}, {"threads", "--threads"}};
  std::string named;
  for (const auto& [parameter, option] : kOptions)
    if (library_message.find(parameter) != std::string::npos)
      named += std::string(named.empty() ? " (" : ", ") + option + " sets " + parameter;
  return library_message + named + (named.empty() ? "" : ")");
}

bool ends_with(const std::string& s, const char* end) {
  const size_t n = std::strlen(end);
  if (s.size() <= n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != end[i]) return false;
  return s[s.size() - n - 1] != '/';
}

// "'text'" shortened for a message
std::string quoted(const std::string& text) {
  return "'" + (text.size() > 40 ? text.substr(0, 40) + "..." : text) + "'";
}

// The file a name will write: its folder resolved (links, "." and "..") and its last component;
// empty when the folder cannot be resolved.
std::string resolved_name(const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
  char real[PATH_MAX];
  if (!realpath(folder.c_str(), real)) return "";
  return std::string(real) + "/" + name.substr(slash == std::string::npos ? 0 : slash + 1);
}

// Whether two names are one file: the same device and inode where both exist, else the same
// resolved name (two names of a file that does not exist yet).
bool same_file(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa, sb;
  const bool a_exists = stat(a.c_str(), &sa) == 0, b_exists = stat(b.c_str(), &sb) == 0;
  if (a_exists || b_exists) return a_exists && b_exists && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  const std::string ra = resolved_name(a);
  return !ra.empty() && ra == resolved_name(b);
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
  // the parameters: any int here, the library's rules once every option is read
  if (name == "max-disparity")
    return (o->have_max_disparity = integer_in(value, INT_MIN, INT_MAX, &p.max_disparity)) || range("an integer");
  if (name == "min-disparity")
    return (o->have_min_disparity = integer_in(value, INT_MIN, INT_MAX, &p.min_disparity)) || range("an integer");
  if (name == "confidence") {
    if (disparity_format_of(value) != DisparityFormat::kPfm) return range("a file name ending in .pfm");
    o->confidence = value;
    return true;
  }
  if (name == "support-radius") return integer_in(value, INT_MIN, INT_MAX, &p.support_radius) || range("an integer");
  if (name == "block-radius") return integer_in(value, INT_MIN, INT_MAX, &p.block_radius) || range("an integer");
  if (name == "gamma-space") return gamma_of(value, &p.gamma_space) || range("a finite number > 0");
  if (name == "gamma-color") return gamma_of(value, &p.gamma_color) || range("a finite number > 0");
  if (name == "tad") return integer_in(value, INT_MIN, INT_MAX, &p.tad_threshold) || range("an integer");
  if (name == "threads") {
    // any int, then the library's limit (its message names threads)
    ondrel::Options run;
    if (!integer_in(value, INT_MIN, INT_MAX, &run.threads)) return range("an integer in 0 ... 1024 (0: every processor)");
    const ondrel::Status checked = ondrel::check(run);
    if (!checked.ok()) {
      *message = with_options(checked.message);
      return false;
    }
    o->threads = run.threads;
    return true;
  }
  if (name == "cost") {
    if (value != "tad" && value != "census") return range("tad or census");
    p.cost = value == "census" ? ondrel::CostFunction::kCensus : ondrel::CostFunction::kTad;
    return true;
  }
  if (name == "focal") return (o->have_focal = camera_value_of(value, true, &o->focal)) || range("a finite number > 0");
  if (name == "baseline")
    return (o->have_baseline = camera_value_of(value, true, &o->baseline)) || range("a finite number > 0");
  if (name == "doffs") return (o->have_doffs = camera_value_of(value, false, &o->doffs)) || range("a finite number");
  if (name == "cx") return camera_value_of(value, false, &o->cx) || range("a finite number");
  if (name == "cy") return camera_value_of(value, false, &o->cy) || range("a finite number");
  if (name == "depth") {
    if (!ends_with(value, ".pfm")) return range("a file name ending in .pfm");
    o->depth = value;
    return true;
  }
  if (name == "ply") {
    if (!ends_with(value, ".ply")) return range("a file name ending in .ply");
    o->ply = value;
    return true;
  }
  if (name == "method") {
    bool ok = !value.empty() && value.size() <= 64;
    for (const char c : value) ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
    if (!ok) return range("a name of 1 to 64 letters, digits, '_' or '-'");
    o->method = value;
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
      if (name == "skip-existing") o.skip_existing = true;
      given.push_back(name);
      continue;
    }
    if (rule->kind == Kind::kTwoValues) {
      const bool kitti = std::string(rule->long_name) == "kitti";
      const std::string folders = kitti ? " needs two folders: DATA OUT" : " needs two folders: SCENES OUT";
      if (has_inline || i + 2 >= argc) return usage_error(message, shown + folders);
      if (o.middlebury || o.kitti) return usage_error(message, "--middlebury and --kitti are given together or twice");
      (kitti ? o.kitti : o.middlebury) = true;
      o.scenes = argv[i + 1] ? argv[i + 1] : "";
      o.out = argv[i + 2] ? argv[i + 2] : "";
      i += 2;
      if (o.scenes.empty() || o.out.empty()) return usage_error(message, shown + folders);
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
  o.refine_designed = o.refine && was_given("cost");
  if (o.refine && was_given("uniqueness"))
    return usage_error(message, "--uniqueness is not taken with --refine (the refined map has no uniqueness check)");
  const char* camera_names[] = {"focal", "baseline", "doffs", "cx", "cy"};
  if (o.middlebury || o.kitti) {
    const std::string mode = o.middlebury ? "--middlebury" : "--kitti";
    for (const char* name : {"max-disparity", "calib", "output", "uniqueness", "color", "time", "depth", "ply",
                             "confidence", "focal", "baseline", "doffs", "cx", "cy"}) {
      if (!was_given(name) || (o.kitti && std::string(name) == "max-disparity")) continue;
      return usage_error(message, std::string("--") + name + " is not taken with " + mode + " (each scene has its own)");
    }
    if (o.kitti && !o.have_max_disparity) return usage_error(message, "--kitti needs the largest disparity: -d N");
    if (o.kitti && was_given("method"))
      return usage_error(message, "--method is not taken with --kitti (the maps go to OUT/disp_0)");
    if (!positional.empty())
      return usage_error(message, "unexpected argument " + quoted(positional[0]) + " with " + mode);
  } else {
    for (const char* name : {"method", "skip-existing"})
      if (was_given(name))
        return usage_error(message, std::string("--") + name + " is taken with --middlebury or --kitti only");
    if (was_given("cx") != was_given("cy")) return usage_error(message, "--cx and --cy go together: give both");
    o.have_centre = was_given("cx");
    bool camera_given = false;
    for (const char* name : camera_names) camera_given = camera_given || was_given(name);
    if (camera_given && o.depth.empty() && o.ply.empty())
      return usage_error(message, "the camera options serve --depth and --ply: give one of them");
    if ((!o.depth.empty() || !o.ply.empty()) && o.calib.empty() && !(o.have_focal && o.have_baseline))
      return usage_error(message, "--depth and --ply need the camera: --calib FILE, or --focal F --baseline B");
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
    const std::string* files[] = {&o.output, &o.uniqueness, &o.color, &o.time, &o.depth, &o.ply, &o.confidence};
    const char* names[] = {"--output", "--uniqueness", "--color", "--time", "--depth", "--ply", "--confidence"};
    bool any = false;
    for (const std::string* f : files) any = any || !f->empty();
    if (!any)
      return usage_error(message, "nothing to write: give at least one of -o FILE, -u FILE, --color FILE, --time "
                                  "FILE, --depth FILE, --ply FILE, --confidence FILE");
    for (int a = 0; a < 7; ++a)
      for (int b = a + 1; b < 7; ++b)
        if (!files[a]->empty() && !files[b]->empty() && same_file(*files[a], *files[b]))
          return usage_error(message, std::string(names[a]) + " and " + names[b] + " name the same file " +
                                          (*files[a] == *files[b] ? quoted(*files[a])
                                                                  : quoted(*files[a]) + " (as " + quoted(*files[b]) + ")"));
  }
  // the library's rules (the block's fit in the image, and the largest disparity when it comes
  // from a calib.txt, are checked when they are known)
  ondrel::Parameters known = o.parameters;
  if (!o.have_max_disparity) known.max_disparity = known.min_disparity;
  const ondrel::Status checked = ondrel::check(known, 0, 0);
  if (!checked.ok()) return usage_error(message, with_options(checked.message));
  *options = o;
  return ParseOutcome::kRun;
}
