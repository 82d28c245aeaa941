// The matcher's one entry behind ondrel::match and the console program's Ondrel_QUIRN: it
// checks the arguments, owns every working buffer and runs the phases in order:
//   1. tables and working storage: the colour weight table (shared while gamma_color is the
//      same), the spatial weights, per worker a ring of cost rows and the aggregation scratch;
//   2. block sums and block means of both views (all threads);
//   3. per worker, a band of rows: the cost rows streamed through the ring just ahead of the
//      aggregation that reads them, then the row's winners, refinement and uniqueness check.
// Prints nothing: failures come back as a status with a plain message, and a report saying
// which storage could not be had (the console program prints its own text for each).
#pragma once

#include <cstddef>
#include <cstdint>

#include <ondrel/ondrel.h>

#include "matcher/row_aggregation.h"

namespace ondrel {
namespace internal {

// The storage a call could not have, in the order a call takes it.
enum class Shortage {
  kNone,
  kColourWeights,       // the colour weight table
  kSpatialWeights,      // the window's spatial weights
  kCostRowPointers,     // the workers' slot and row pointers of their cost rings
  kCostRows,            // the cost vectors of the rings
  kBlockMeans,          // one plane of block means: Report::plane, 0 .. 5 (left view's channels, then right's)
  kAggregationScratch,  // the workers' aggregation scratch and output rows
  kCensusImages,        // the census images of both views
  kShiftedView,         // the right view shifted by min_disparity
  kConfidencePlanes,    // the disparity planes the confidence reads when the caller wants neither
  kCostStream,          // a worker's cost stream (after the initialization)
  kBlockMeanColumns,    // the column sums of the block means (after the initialization)
};

// What a call tells its caller beyond the status.
struct Report {
  Timings timings;                  // the phases' seconds, as far as the call came
  bool failed_in_matching = false;  // the failure came after the tables and working storage
  Shortage shortage = Shortage::kNone;
  int plane = -1;                   // for Shortage::kBlockMeans
};

// Receives the rows of the outputs as the workers finish them, in no set order, one call at a
// time: row y's W values of the disparity, the uniqueness and the right disparity (NaN: no
// value). For a caller that turns the values into its own format without holding whole planes.
struct RowSink {
  void (*row)(void* user, int y, const float* disparity, const float* uniqueness, const float* right_disparity) =
      nullptr;
  void* user = nullptr;
};

// How a call differs from ondrel::match's.
struct Variant {
  bool gamma_rules = true;      // false: any gamma is taken (the console program's, as designed)
  bool bounded_offsets = true;  // false: the designed sub-pixel offsets, not clamped to -1 .. 1
};

// The parameter rules (ondrel::check), in the order they are checked.
enum class Rule {
  kNone,
  kMinDisparity,      // -kMaxDisparityLimit <= min_disparity <= kMaxDisparityLimit
  kMaxDisparity,      // min_disparity <= max_disparity <= min(kMaxDisparityLimit, min_disparity + kMaxDisparityLimit)
  kBlockRadius,       // 0 <= block_radius
  kSupportRadius,     // block_radius <= support_radius <= kMaxSupportRadius
  kRadiiTile,         // 2r+1 divides 2R+1 (radii_tile)
  kBlockFitsImage,    // 2r+1 <= width, height (when the size is known)
  kTadThreshold,      // 0 <= tad_threshold
  kCost,              // a CostFunction
  kBlockSums,         // (2r+1)(2r+2) times the largest pixel cost or channel value fits an int
  kGammaSpace,        // finite and >= FLT_MIN (unless gammas are left out)
  kGammaColor,        // likewise
};

// Largest |min_disparity|, |max_disparity| and range taken: keeps every index of the claim
// table within an int.
constexpr int kMaxDisparityLimit = 0x7FFFFFFF / 4;

// Whether blocks of side 2r+1 tile the support window of side 2R+1, computed as the
// window's area over the block's in double, rounded to float and compared with its integer
// part, as designed. For 0 <= r, R <= kMaxSupportRadius it is exactly "2r+1 divides 2R+1" (a
// test checks every pair), and for a negative r it is the rule of |2r+1|.
bool radii_tile(int R, int r);

// The first rule p breaks (kNone: none). width, height <= 0: the size is not known and
// kBlockFitsImage is not checked. gammas: whether the gamma rules apply (the console program
// takes any gamma, as designed).
Rule broken_rule(const Parameters& p, int width, int height, bool gammas);

// The library's message for a broken rule: one line naming the parameter and what it may be.
void describe(Rule rule, const Parameters& p, int width, int height, char* text, size_t size);

// The working storage a Matcher keeps from call to call: the colour weight table of the last
// gamma_color, and buffers grown to the largest call so far. Not for two calls at once.
class Storage {
 public:
  // kMap: the left and the right disparity plane the confidence reads when the caller wants
  // neither
  enum Slot { kSpatial, kPlanes, kCensus = kPlanes + kPlaneCount, kShifted = kCensus + 2, kMap, kSlots = kMap + 2 };
  Storage() = default;
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  ~Storage();
  // The colour weight table of gamma (filled on `threads` threads unless it already is);
  // nullptr when it cannot be had.
  const float* colour_weights(float gamma, int threads);
  // `bytes` bytes of the slot's buffer (not cleared: the previous call's contents or
  // garbage); nullptr when they cannot be had.
  void* take(Slot slot, size_t bytes);

 private:
  struct Buffer {
    void* data = nullptr;
    size_t size = 0;
  };
  float* lut_ = nullptr;
  uint32_t lut_gamma_bits_ = 0;
  bool lut_filled_ = false;
  Buffer buffers_[kSlots];
};

// One call: the planes and/or the rows through a sink (either may be null; a sink's rows are
// called while the planes are written). report may not be null.
Status run(const ImageView& left, const ImageView& right, const Parameters& p, const Options& options,
           const DisparityPlanes* floats, const RowSink* sink, Report* report, const Variant& variant,
           Storage& storage);

}  // namespace internal
}  // namespace ondrel
