// match_refined: ondrel::match on both views, the consistency check, the fill and the
// weighted median (see <ondrel/refine.h> and steps.h).

#include <ondrel/refine.h>

#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "refine/steps.h"

namespace ondrel {
namespace {

constexpr int kMaxMedianRadius = 32;

Status failure(StatusCode code, const char* text) {
  Status status;
  status.code = code;
  std::snprintf(status.message, sizeof status.message, "%s", text);
  return status;
}

// Buffers of one call, released together.
struct Buffers {
  float* left = nullptr;
  float* right = nullptr;
  float* filtered = nullptr;
  float* matched_confidence = nullptr;  // the left match's confidence plane
  float* kept = nullptr;                // the left plane after the consistency check
  unsigned char* mirrored = nullptr;  // both views, mirrored: right then left
  ~Buffers() {
    delete[] matched_confidence;
    delete[] kept;
    delete[] left;
    delete[] right;
    delete[] filtered;
    delete[] mirrored;
  }
};

// Progress of the two matches as one count of 2 x H rows.
struct Progress {
  const Options* options;
  int offset, total;
};
bool forward_progress(void* user, int rows_done, int) {
  const Progress* p = static_cast<const Progress*>(user);
  return p->options->progress(p->options->progress_user, p->offset + rows_done, p->total);
}

}  // namespace

Status match_refined(const ImageView& left, const ImageView& right, const Parameters& parameters,
                     const RefineOptions& refine, const Options& options, const FloatPlane& out,
                     const FloatPlane& confidence) {
  if (left.width <= 0 || left.height <= 0)
    return failure(StatusCode::kInvalidArgument, "Error: the views must have a positive width and height");
  if (!out.data) return failure(StatusCode::kInvalidArgument, "Error: the refined disparity plane has no data");
  if (out.width != left.width || out.height != left.height || out.stride < out.width)
    return failure(StatusCode::kInvalidArgument,
                   "Error: the refined disparity plane must have the views' size and a stride >= its width");
  if (confidence.data &&
      (confidence.width != left.width || confidence.height != left.height || confidence.stride < confidence.width))
    return failure(StatusCode::kInvalidArgument,
                   "Error: the confidence plane must have the views' size and a stride >= its width");
  if (!(refine.consistency_tolerance >= 0))
    return failure(StatusCode::kInvalidArgument, "Error: consistency_tolerance must be >= 0");
  if (refine.median_radius < 0 || refine.median_radius > kMaxMedianRadius)
    return failure(StatusCode::kInvalidArgument, "Error: median_radius must lie in 0 .. 32");
  if (refine.median_radius > 0 && !(refine.median_gamma_color > 0))
    return failure(StatusCode::kInvalidArgument, "Error: median_gamma_color must be > 0");
  // the views themselves, the parameters and the thread count are checked by ondrel::match

  const int W = left.width, H = left.height;
  const size_t n = static_cast<size_t>(W) * static_cast<size_t>(H);
  Buffers b;
  b.left = new (std::nothrow) float[n];
  if (!b.left) return failure(StatusCode::kOutOfMemory, "Error: no memory for the refined disparity map");

  const bool both = refine.consistency_check;
  Progress progress{&options, 0, both ? 2 * H : H};
  Options pass = options;
  if (options.progress) {
    pass.progress = forward_progress;
    pass.progress_user = &progress;
  }
  DisparityPlanes planes;
  planes.disparity = {b.left, W, H, W};
  if (confidence.data) {
    b.matched_confidence = new (std::nothrow) float[n];
    b.kept = new (std::nothrow) float[n];
    if (!b.matched_confidence || !b.kept) return failure(StatusCode::kOutOfMemory, "Error: no memory for the confidence");
    planes.confidence = {b.matched_confidence, W, H, W};
  }
  Status status = match(left, right, parameters, pass, planes);
  if (!status.ok()) return status;
  planes.confidence = {};

  if (both) {
    if (!left.data || !right.data || right.width != W || right.height != H)  // checked by match already
      return failure(StatusCode::kInvalidArgument, "Error: the views must have the same size");
    b.right = new (std::nothrow) float[n];
    b.mirrored = new (std::nothrow) unsigned char[2 * 3 * n];
    if (!b.right || !b.mirrored) return failure(StatusCode::kOutOfMemory, "Error: no memory for the right view's match");
    unsigned char* mirrored_right = b.mirrored;
    unsigned char* mirrored_left = b.mirrored + 3 * n;
    refine::mirror_view(right.data, right.stride, W, H, mirrored_right);
    refine::mirror_view(left.data, left.stride, W, H, mirrored_left);
    progress.offset = H;
    planes.disparity = {b.right, W, H, W};
    status = match({mirrored_right, W, H, 3 * static_cast<std::ptrdiff_t>(W)},
                   {mirrored_left, W, H, 3 * static_cast<std::ptrdiff_t>(W)}, parameters, pass, planes);
    if (!status.ok()) return status;
    refine::mirror_plane(b.right, W, H);
    refine::consistency_check(b.left, b.right, W, H, refine.consistency_tolerance);
  }
  if (b.kept) std::memcpy(b.kept, b.left, sizeof(float) * n);
  if (refine.fill) refine::fill_from_background(b.left, W, H);

  const float* result = b.left;
  if (refine.median_radius > 0) {
    b.filtered = new (std::nothrow) float[n];
    if (!b.filtered) return failure(StatusCode::kOutOfMemory, "Error: no memory for the weighted median");
    int32_t weights[refine::kColourDistances];
    refine::median_weights(refine.median_gamma_color, weights);
    const int threads = options.threads > 0 ? options.threads : omp_get_num_procs();
    if (!refine::weighted_median(b.left, W, H, left.data, left.stride, refine.median_radius, weights, threads,
                                 b.filtered))
      return failure(StatusCode::kOutOfMemory, "Error: no memory for the weighted median");
    result = b.filtered;
  }
  if (confidence.data) {
    // (into the matched plane, which is read element by element before it is written)
    refine::refined_confidence(b.matched_confidence, b.kept, b.left, result, W, H, b.matched_confidence);
    for (int y = 0; y < H; ++y)
      std::memcpy(confidence.data + y * confidence.stride, b.matched_confidence + static_cast<size_t>(y) * W,
                  sizeof(float) * W);
  }
  for (int y = 0; y < H; ++y)
    std::memcpy(out.data + y * out.stride, result + static_cast<size_t>(y) * W, sizeof(float) * W);
  return status;
}

}  // namespace ondrel
