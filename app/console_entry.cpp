// The console program's entry: the parameter report and the two timing lines around the
// library's call, with the 8-bit outputs the program saves.

#include "app/console_entry.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <utility>

#include <ondrel/opencv.h>

#include "matcher/match.h"
#include "util/numbers.h"

namespace {

// The byte of a pixel without a value (not processed, no winner, lost uniqueness).
constexpr unsigned char kNoValue = 255;

// disparity_byte_of without branches, so that a row of them compiles to vector code: the
// conversion of a value outside 16 bits (and of NaN) is not taken (0 instead).
inline unsigned char byte_of(float value, float scale) {
  const float scaled = value * scale;
  const bool in_range = scaled > -32769.0f && scaled < 32768.0f;  // false for NaN
  const int bits = static_cast<int>(in_range ? scaled : 0.0f) & 0xFF;
  return std::isnan(value) ? kNoValue : static_cast<unsigned char>(bits);
}

// The three maps the program writes, filled row by row as the matcher finishes them (in its
// last pass, while the values are in the cache: no float planes are held).
struct ByteMaps {
  cv::Mat* disparity;
  cv::Mat* uniqueness;
  cv::Mat* right_disparity;
  float scale;
};

void write_byte_row(void* user, int y, const float* disparity, const float* uniqueness, const float* right_disparity) {
  const ByteMaps& maps = *static_cast<const ByteMaps*>(user);
  const std::pair<cv::Mat*, const float*> rows[3] = {
      {maps.disparity, disparity}, {maps.uniqueness, uniqueness}, {maps.right_disparity, right_disparity}};
  for (const auto& [map, values] : rows) {
    unsigned char* out = map->ptr<unsigned char>(y);
    for (int x = 0; x < map->cols; ++x) out[x] = byte_of(values[x], maps.scale);
  }
}

// The program's text for a call without the storage `what` (its leading newline for the
// blocks' storage, as designed).
void print_shortage(const ondrel::internal::Report& report) {
  using ondrel::internal::Shortage;
  static const char* const kPlanes[] = {"R_LEFT", "G_LEFT", "B_LEFT", "R_RIGHT", "G_RIGHT", "B_RIGHT"};
  const char* name = "";
  bool newline = false;
  switch (report.shortage) {
    case Shortage::kNone: return;
    case Shortage::kColourWeights: name = "EXP_LUT"; break;
    case Shortage::kSpatialWeights: name = "SPACE_DISTANCE_WEIGHT"; break;
    case Shortage::kCostRowPointers: name = "DSI MATRIX"; break;
    case Shortage::kCostRows: name = "DSI VECTORS "; break;
    case Shortage::kBlockMeans: name = kPlanes[report.plane], newline = true; break;
    case Shortage::kAggregationScratch: name = "AGGREGATION SCRATCH", newline = true; break;
    case Shortage::kCensusImages: name = "CENSUS IMAGES"; break;
    case Shortage::kShiftedView: name = "THE SHIFTED RIGHT VIEW"; break;
    case Shortage::kConfidencePlanes: name = "THE CONFIDENCE'S PLANES"; break;
    case Shortage::kCostStream: name = "DSI WORKSPACE"; break;
    case Shortage::kBlockMeanColumns: name = "BOX FILTER COLUMNS", newline = true; break;
  }
  std::printf("%sABORTING... CAN'T ALLOCATE %s\n\n", newline ? "\n" : "", name);
}

bool is_plane_of(const cv::Mat& m, int type, const cv::Mat& like) {
  return m.dims == 2 && m.type() == type && m.rows == like.rows && m.cols == like.cols && m.data;
}

// (rounded to float first, as the program always printed its times)
void print_seconds(const char* label, double seconds) {
  std::printf("%3.3f sec : %s\n", static_cast<double>(static_cast<float>(seconds)), label);
}

// The program's text for arguments it refuses, in its order: the radius rule, the views, then
// the library's rules (ondrel::internal::broken_rule, without the gamma rules: the program
// takes any gamma, as designed); false when it takes them.
bool refused(const cv::Mat& left, bool views_ok, int min_disparity, const ondrel::Parameters& p, char* text,
             size_t size) {
  const int r = p.block_radius, R = p.support_radius;
  using ondrel::internal::Rule;
  if (!ondrel::internal::radii_tile(R, r)) {
    std::snprintf(text, size, "Error: Something wrong with paprameters radius_macro and radius: aborting :-(...\n");
    return true;
  }
  if (!views_ok) {
    std::snprintf(text, size,
                  "Error: the views must be 3-channel 8-bit images of one size and the three outputs 1-channel 8-bit "
                  "images of that size: aborting...\n");
    return true;
  }
  if (min_disparity != 0) {
    std::snprintf(text, size, "Error: min_disparity must be 0 (i.e. %d): aborting...\n", min_disparity);
    return true;
  }
  switch (ondrel::internal::broken_rule(p, left.cols, left.rows, false)) {
    case Rule::kNone:
    case Rule::kGammaSpace:
    case Rule::kGammaColor:
      return false;
    case Rule::kMinDisparity:  // (0 here)
    case Rule::kMaxDisparity:
      std::snprintf(text, size, "Error: max_disparity must lie in 0 ... %d (i.e. %d): aborting...\n",
                    ondrel::internal::kMaxDisparityLimit, p.max_disparity);
      break;
    case Rule::kBlockRadius:
      std::snprintf(text, size, "Error: the radius of the blocks must not be negative (i.e. %d): aborting...\n", r);
      break;
    case Rule::kSupportRadius:
    case Rule::kRadiiTile:  // (checked above)
      std::snprintf(text, size, "Error: the radius of the supports must lie in %d ... %d (i.e. %d): aborting...\n", r,
                    ondrel::kMaxSupportRadius, R);
      break;
    case Rule::kBlockFitsImage:
      std::snprintf(text, size,
                    "Error: the block (%dx%d pixels) does not fit in the image (%dx%d pixels): aborting...\n",
                    2 * r + 1, 2 * r + 1, left.cols, left.rows);
      break;
    case Rule::kTadThreshold:
      std::snprintf(text, size, "Error: TAD_threshold must not be negative (i.e. %d): aborting...\n", p.tad_threshold);
      break;
    case Rule::kCost:
      std::snprintf(text, size, "Error: the cost must be TAD (0) or census (1) (i.e. %d): aborting...\n",
                    static_cast<int>(p.cost));
      break;
    case Rule::kBlockSums:
      std::snprintf(text, size, "Error: blocks of %dx%d pixels overflow the 32-bit block sums: aborting...\n",
                    2 * r + 1, 2 * r + 1);
      break;
  }
  return true;
}

}  // namespace

int Ondrel_QUIRN(const cv::Mat& left, const cv::Mat& right, cv::Mat& disparity_map,
                 cv::Mat& right_disparity_map, cv::Mat& uniqueness_map, int min_disparity,
                 int max_disparity, int block_radius, int support_radius, float gamma_space,
                 float gamma_color, int TAD_threshold, int scale) {
  const int r = block_radius, R = support_radius;
  ondrel::Parameters p;
  p.max_disparity = max_disparity;
  p.support_radius = R;
  p.block_radius = r;
  p.gamma_space = gamma_space;
  p.gamma_color = gamma_color;
  p.tad_threshold = TAD_threshold;
  const bool views_ok = left.dims == 2 && left.type() == CV_8UC3 && !left.empty() && is_plane_of(right, CV_8UC3, left) &&
                        is_plane_of(disparity_map, CV_8UC1, left) && is_plane_of(right_disparity_map, CV_8UC1, left) &&
                        is_plane_of(uniqueness_map, CV_8UC1, left) && left.cols <= INT_MAX / 4 &&
                        left.rows <= INT_MAX / 4;
  char text[256];
  if (refused(left, views_ok, min_disparity, p, text, sizeof text)) {
    std::fputs(text, stdout);
    return -1;
  }

  std::printf("\n\n\nOndrel is running with the following parameters:\n\n");
  std::printf("Radius of the supports\t: %d\t(support window %dx%d pixels)\n", R, 2 * R + 1, 2 * R + 1);
  std::printf("Radius of the blocks\t: %d\t(block size %dx%d pixels)\n", r, 2 * r + 1, 2 * r + 1);
  std::printf("Gamma_space\t\t: %d\n", truncate_to_int(gamma_space));
  std::printf("Gamma_color\t\t: %d\n", truncate_to_int(gamma_color));
  std::printf("TAD threshold\t\t: %d\n", TAD_threshold);
  std::printf("Subpixel interpolation\t: enabled\n");
  std::printf("Uniqueness constraint\t: enabled\n");

  ByteMaps maps{&disparity_map, &uniqueness_map, &right_disparity_map, static_cast<float>(scale)};
  ondrel::internal::RowSink sink;
  sink.row = write_byte_row;
  sink.user = &maps;
  ondrel::internal::Variant designed;
  designed.gamma_rules = false;
  designed.bounded_offsets = false;
  ondrel::internal::Report report;
  ondrel::internal::Storage storage;
  const ondrel::Status status = ondrel::internal::run(ondrel::view_of(left), ondrel::view_of(right), p,
                                                      ondrel::Options{}, nullptr, &sink, &report, designed, storage);
  if (status.ok() || report.failed_in_matching) {
    std::printf("\n\nExecution time: \n");
    print_seconds("[*] Ondrel (initialization)", report.timings.initialization);
  }
  if (!status.ok()) {
    print_shortage(report);
    return -1;
  }
  print_seconds("[*] Ondrel", report.timings.matching);
  return 0;
}

unsigned char disparity_byte_of(float value, int scale) { return byte_of(value, static_cast<float>(scale)); }

int MaxOndrel_QUIRN(const cv::Mat&, const cv::Mat&, cv::Mat&, cv::Mat&, cv::Mat&, int, int, int, int, float,
                    float, int, int) {
  std::printf("Versione obsoleta (rimpiazzare con B...)\n");
  return 0;
}
