// The command line of ondrel-match, parsed and checked without reading or writing any file (it
// only looks up the output names, so that two names of one file are refused), so that it can
// be tested and fuzzed in-process. Every parameter rule the matcher has on its own is
// checked here (ranges, the radius rule), so that a run fails on its command line before it
// loads anything; what depends on the images (the block against their size) is left to the run.
#pragma once

#include <string>

#include <ondrel/ondrel.h>

struct MatchOptions {
  ondrel::Parameters parameters;  // max_disparity: from -d; with --calib the run sets it
  bool have_max_disparity = false;
  bool have_min_disparity = false;  // --min-disparity N (parameters.min_disparity)
  std::string calib;              // --calib FILE
  std::string left, right;        // the two views
  std::string output, uniqueness, color, time;
  std::string confidence;         // --confidence FILE.pfm
  int threads = 0;                // 0: every processor
  bool quiet = false;
  bool refine = false;            // --refine: ondrel::match_refined with its default refinements
  bool refine_designed = false;   // --refine with --cost: the refinements of the designed match
  bool middlebury = false;        // --middlebury SCENES OUT
  bool kitti = false;             // --kitti DATA OUT: DATA/image_2, image_3 -> OUT/disp_0
  std::string scenes, out;        // SCENES or DATA, and OUT
  std::string method = "Ondrel";  // --method: the name in disp0<NAME>.pfm and time<NAME>.txt
  bool skip_existing = false;     // --skip-existing: scenes whose files are complete are kept
  std::string depth, ply;         // --depth FILE.pfm, --ply FILE.ply
  // The camera of --depth and --ply: calib.txt's (--calib), each value given here taking the
  // place of the file's; cx, cy default to the centre of the view, ((W - 1) / 2, (H - 1) / 2).
  bool have_focal = false, have_baseline = false, have_doffs = false, have_centre = false;
  double focal = 0, baseline = 0, doffs = 0, cx = 0, cy = 0;
};

enum class ParseOutcome { kRun, kHelp, kVersion, kUsageError };

// Largest -d: the matcher's own limit.
constexpr int kLargestMaxDisparity = 536870911;

// Parses argv[1 .. argc-1] into *options. kUsageError comes with *message, one line without
// the program's name naming the option and what it allows. Prints nothing, never exits.
ParseOutcome parse_match_options(int argc, const char* const* argv, MatchOptions* options, std::string* message);

// The usage line and the text of --help (both end in a newline).
extern const char kMatchUsage[];
extern const char kMatchHelp[];
