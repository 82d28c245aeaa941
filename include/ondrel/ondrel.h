// Ondrel: dense disparity maps of a rectified stereo pair.
//
// The library entry: reentrant, prints nothing, throws nothing. It takes the two views as
// plain pointer/size/stride views, the matcher's parameters in a struct and a thread count,
// and writes three float planes. Typical use:
//
//   ondrel::Parameters p;            // the example answers: R 19, r 6, 14, 23, TAD 53
//   p.max_disparity = 63;
//   std::vector<float> d(w * h);
//   ondrel::DisparityPlanes out;
//   out.disparity = {d.data(), w, h, w};
//   ondrel::Status s = ondrel::match({left, w, h, left_stride}, {right, w, h, right_stride}, p, {}, out);
//   if (!s.ok()) fprintf(stderr, "%s\n", s.message);
//
// Results are exact: the same bytes for every thread count, CPU and compiler.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondrel {

// Version of the library, as in the CMake package.
constexpr int kVersionMajor = 1, kVersionMinor = 1, kVersionPatch = 0;
const char* version();

// Largest support radius taken: a window of at most 4095 x 4095 pixels.
constexpr int kMaxSupportRadius = 2047;

// A 3-channel 8-bit image, channels interleaved (OpenCV's B, G, R order; the matcher treats
// the three alike). Pixel (x, y) starts at data + y * stride + 3 * x. Not owned.
struct ImageView {
  const unsigned char* data = nullptr;
  int width = 0, height = 0;
  std::ptrdiff_t stride = 0;  // bytes from one row to the next, >= 3 * width
};

// A float plane written by the matcher: element (x, y) at data[y * stride + x]. Not owned.
// A plane with data == nullptr is not written (the matching is the same).
struct FloatPlane {
  float* data = nullptr;
  int width = 0, height = 0;
  std::ptrdiff_t stride = 0;  // floats from one row to the next, >= width
};

// The per-pixel cost the blocks sum (see Parameters::cost).
enum class CostFunction {
  // min(sum over the 3 channels of |left - right|, tad_threshold): 0 .. min(T, 765)
  kTad,
  // the Hamming distance of the census strings of the left and the right pixel: 0 .. 24.
  // A pixel's census string has 24 bits, one per neighbour of its 5x5 window (the centre
  // left out), set where the neighbour's grey value is below the centre's; grey = the sum
  // of the 3 channels, and a neighbour outside the image reads the nearest pixel inside it.
  // The right pixel of disparity d is the one at column x - d, or column 0 where that is
  // negative (as for kTad). tad_threshold is not used. Compares orders, not values: robust
  // against exposure and lighting that differ between the views.
  kCensus,
};

// The matcher's parameters; the defaults are the example answers.
struct Parameters {
  int min_disparity = 0;       // disparities min_disparity .. max_disparity are examined;
  int max_disparity = 63;      // negative ones too (views of converging cameras, cropped views)
  int support_radius = 19;     // R: the support window is (2R+1)^2 pixels, R <= kMaxSupportRadius
  int block_radius = 6;        // r: blocks of (2r+1)^2 pixels; 2r+1 must divide 2R+1
  float gamma_space = 14.0f;   // spatial weight exp(-distance / gamma_space)
  float gamma_color = 23.0f;   // colour weight exp(-colour distance / gamma_color)
  int tad_threshold = 53;      // truncation of the per-pixel colour difference, >= 0
  CostFunction cost = CostFunction::kTad;  // the per-pixel cost; the weights use the colours either way
};

// Largest Options::threads taken.
constexpr int kMaxThreads = 1024;

// How to run one call.
struct Options {
  int threads = 0;  // 0: every processor; at most kMaxThreads. A call never runs more threads
                    // than it has rows (or other items) to share among them.
  // Called now and then from one of the matching threads (never two at once) with the rows
  // finished so far; returning false cancels the call (StatusCode::kCancelled). May be null.
  bool (*progress)(void* user, int rows_done, int rows_total) = nullptr;
  void* progress_user = nullptr;
};

// The outputs, each width x height of the views (or not wanted: data == nullptr).
// A pixel without a value holds NaN. Values are disparities in pixels: the winning integer
// disparity h plus its sub-pixel offset, the vertex of the parabola through the costs of
// h - 1, h and h + 1, computed in float. Where that parabola is flat or opens downward the
// offset is dropped (0), elsewhere it is clamped to -1 .. 1: every value lies within one
// pixel of h, and so within min_disparity .. max_disparity.
// The columns x < max(max_disparity, max_disparity - min_disparity) have no value (when that
// is the width or more, the planes are written at once); a right pixel outside the view
// (column x - d) reads the nearest column inside, for its blocks too.
struct DisparityPlanes {
  FloatPlane disparity;        // left view
  FloatPlane uniqueness;       // left view after the uniqueness check
  FloatPlane right_disparity;  // right view, from the left pass (sparse)
  // left view: how likely the disparity is right, 0 .. 1 (0 without a value): how sharply
  // the window costs rise around the winner (t / (t + b + 1) for the winner's cost b and the
  // rise t to the cheaper neighbour), a sixteenth of that for a winner at either end of the
  // range, a quarter where the uniqueness check drops the pixel; then, from the finished map,
  // times the share of the 24 other pixels of its 5x5 neighbourhood whose value lies within 1
  // of its own, a quarter where right_disparity holds no value within 1 of its own near its
  // right pixel, and a quarter where a pixel right of it maps more than 1 left of its right
  // pixel. The other planes are the same with or without it.
  FloatPlane confidence;
};

enum class StatusCode { kOk = 0, kInvalidArgument, kOutOfMemory, kCancelled };

struct Status {
  StatusCode code = StatusCode::kOk;
  char message[256] = {};  // one line, no newline; empty on success
  bool ok() const { return code == StatusCode::kOk; }
};

// Seconds of the phases of a call (wall clock).
struct Timings {
  double initialization = 0;  // tables and working storage
  double matching = 0;        // everything after, which is:
  double block_means = 0;     //   the block means of both views (and the census images),
  double aggregation = 0;     //   the streamed cost rows with the aggregation, then the release
                              //   (and the confidence's look at the finished map)
};

// The parameter rules, the ones every call applies: OK, or kInvalidArgument with a one-line
// message naming the parameter and the values it may take, e.g. "block_radius:
// 2*block_radius+1 (13) must divide 2*support_radius+1 (41)". The rules:
//   min_disparity, max_disparity: min_disparity <= max_disparity, both within +-536870911, at
//     most 536870911 apart;
//   block_radius >= 0, block_radius <= support_radius <= kMaxSupportRadius, 2*block_radius+1
//     divides 2*support_radius+1, a block fits in the image, and its sums fit 32 bits;
//   tad_threshold >= 0; cost one of CostFunction;
//   gamma_space, gamma_color finite and above 0 (at least FLT_MIN).
// width, height: the views' size, or 0 when not known yet (the block's fit is then left out).
Status check(const Parameters& parameters, int width, int height);

// The rule of the options: 0 <= threads <= kMaxThreads; the message names `threads`.
Status check(const Options& options);

// Computes the disparity planes of left and right, with a Matcher of its own for the one call.
// On failure the planes are untouched, but for a cancelled call, which may have written some
// of their rows.
// Safe to call from several threads at once.
Status match(const ImageView& left, const ImageView& right, const Parameters& parameters,
             const Options& options, const DisparityPlanes& out, Timings* timings = nullptr);

// A matcher that keeps its working storage and tables from call to call: the colour weight
// table of the last gamma_color and buffers grown to the largest call so far, so that a
// series of calls (frames of a video, scenes of a batch) does not set them up each time. Its
// results are those of ondrel::match, byte for byte. One call at a time per object (use one
// Matcher per thread); movable, not copyable. Typical use:
//
//   ondrel::Matcher matcher;
//   for (const Frame& f : frames) {
//     ondrel::Status s = matcher.compute(f.left, f.right, p, {}, f.out);
//     ...
//   }
class Matcher {
 public:
  Matcher() noexcept = default;
  ~Matcher();
  Matcher(Matcher&& other) noexcept;
  Matcher& operator=(Matcher&& other) noexcept;
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // As ondrel::match.
  Status compute(const ImageView& left, const ImageView& right, const Parameters& parameters, const Options& options,
                 const DisparityPlanes& out, Timings* timings = nullptr);

 private:
  struct State;
  State* state_ = nullptr;
};

}  // namespace ondrel
