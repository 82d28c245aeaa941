// match_refined: the semi-global pipeline (semi_global.h) or ondrel::match on both views, the
// consistency check, the fill and the weighted median (steps.h); see <ondrel/refine.h>.

#include <ondrel/refine.h>

#include <omp.h>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <cstdint>
#include <new>

#include "matcher/memory.h"
#include "refine/post_filters.h"
#include "refine/semi_global.h"
#include "refine/steps.h"

namespace ondrel {
namespace {

using namespace internal;

constexpr int kMaxMedianRadius = 32;
// The median's radius of each method unless the options give one.
constexpr int kSemiGlobalMedianRadius = 2, kDesignedMedianRadius = 4;

constexpr size_t kHugePage = size_t{2} << 20;

void ask_for_huge_pages(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // a hint: failure is fine
#else
  (void)p, (void)bytes;
#endif
}

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

// An array of the call (not zeroed), or none when it cannot be had. Large ones are backed by
// huge pages where the system offers them on request: faulting in the volume page by page
// took as long as aggregating it.
template <typename T>
struct Array {
  T* p = nullptr;
  bool get(size_t n) {
    p = static_cast<T*>(ondrel_alloc_uninitialized(n, sizeof(T)));
    if (p && n * sizeof(T) >= kHugePage) ask_for_huge_pages(p, n * sizeof(T));
    return p != nullptr;
  }
  T* data() const { return p; }
  ~Array() { ondrel_free(p); }
};

// The semi-global bands: body rows and the rows above and below that warm up the paths
// across rows. They depend on the height alone, so the values do not depend on the thread
// count: an even number of bands (one where a single band holds the image) of at most
// kBandBody rows, as equal as they come, so that two workers share them evenly; fewer rows
// a band also means less scratch to clear (docs/refine.md).
constexpr int kBandBody = 128, kBandMargin = 8;
int band_body(int H) {
  int bands = (H + kBandBody - 1) / kBandBody;
  if (bands > 1) bands += bands & 1;
  return (H + bands - 1) / bands;
}
// Workers beyond what this holds in band scratch wait (the values stay the same).
constexpr size_t kBandScratchBudget = size_t{512} << 20;

Status semi_global(const ImageView& left, const ImageView& right, const Parameters& parameters,
                   const RefineOptions& refine, const Options& options, const FloatPlane& out,
                   const FloatPlane& confidence);
Status designed_match(const ImageView& left, const ImageView& right, const Parameters& parameters,
                      const RefineOptions& refine, const Options& options, const FloatPlane& out,
                      const FloatPlane& confidence);

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
  if (refine.median_radius < -1 || refine.median_radius > kMaxMedianRadius)
    return failure(StatusCode::kInvalidArgument, "Error: median_radius must lie in -1 .. 32");
  if (refine.median_radius != 0 && !(refine.median_gamma_color > 0))
    return failure(StatusCode::kInvalidArgument, "Error: median_gamma_color must be > 0");
  const bool designed = refine.method == RefineMethod::kDesignedMatch;
  if (!designed && refine.method != RefineMethod::kSemiGlobal)
    return failure(StatusCode::kInvalidArgument, "Error: the refine method must be kSemiGlobal or kDesignedMatch");
  RefineOptions chosen = refine;
  if (chosen.median_radius < 0) chosen.median_radius = designed ? kDesignedMedianRadius : kSemiGlobalMedianRadius;
  return designed ? designed_match(left, right, parameters, chosen, options, out, confidence)
                  : semi_global(left, right, parameters, chosen, options, out, confidence);
}

namespace {

Status semi_global(const ImageView& left, const ImageView& right, const Parameters& parameters,
                   const RefineOptions& refine, const Options& options, const FloatPlane& out,
                   const FloatPlane& confidence) {
  if (!left.data || !right.data || right.width != left.width || right.height != left.height ||
      left.stride < 3 * static_cast<std::ptrdiff_t>(left.width) || right.stride < 3 * static_cast<std::ptrdiff_t>(right.width))
    return failure(StatusCode::kInvalidArgument,
                   "Error: the views must be 3-channel 8-bit images of one size (stride >= 3 x width)");
  if (parameters.min_disparity > parameters.max_disparity)
    return failure(StatusCode::kInvalidArgument, "Error: min_disparity must not exceed max_disparity");
  if (options.threads < 0) return failure(StatusCode::kInvalidArgument, "Error: threads must not be negative");
  if (refine.penalty_large > kMaxPenalty || refine.penalty_small < 1 || refine.penalty_small >= refine.penalty_large)
    return failure(StatusCode::kInvalidArgument, "Error: the penalties must satisfy 1 <= penalty_small < penalty_large <= 1000");
  if (refine.paths != 4 && refine.paths != 8) return failure(StatusCode::kInvalidArgument, "Error: paths must be 4 or 8");
  if (refine.uniqueness < 0 || refine.uniqueness > 99)
    return failure(StatusCode::kInvalidArgument, "Error: uniqueness must lie in 0 .. 99");

  const int W = left.width, H = left.height, threads = options.threads > 0 ? options.threads : omp_get_num_procs();
  const size_t n = static_cast<size_t>(W) * static_cast<size_t>(H);
  // disparities from W on (and from -W down) never meet a column of the right view
  const int d_min = std::max(parameters.min_disparity, -(W - 1));
  const int D = static_cast<int>(std::max(1LL, std::min<long long>(parameters.max_disparity, W - 1) - d_min + 1LL));
  const int Dp = (D + kDisparityLanes - 1) / kDisparityLanes * kDisparityLanes;
  const int body = band_body(H), bands = (H + body - 1) / body;
  const Penalties penalties{refine.penalty_small, refine.penalty_large, 0};
  const size_t scratch_bytes = band_scratch_bytes(W, D, Dp, body, refine.paths, penalties);
  const int workers = static_cast<int>(
      std::max<size_t>(1, std::min<size_t>(std::min(threads, bands), kBandScratchBudget / scratch_bytes)));

  // every buffer of the call, released together
  Array<int16_t> grey[2];
  Array<uint64_t> census[2];
  Array<unsigned char> scratch;
  Array<float> planes[3], margins;  // winners, filled, median; the winners' margins
  bool ok = scratch.get(static_cast<size_t>(workers) * scratch_bytes);
  for (int v = 0; v < 2; ++v) ok = ok && grey[v].get(n) && census[v].get(n);
  for (auto& plane : planes) ok = ok && plane.get(n);
  ok = ok && (!confidence.data || margins.get(n));
  if (!ok) return failure(StatusCode::kOutOfMemory, "Error: no memory for the refined disparity map");

  const ImageView views[2] = {left, right};
#pragma omp parallel for num_threads(threads) schedule(dynamic, 8)
  for (int y = 0; y < H; ++y)
    for (int v = 0; v < 2; ++v)
      grey_plane(views[v].data + y * views[v].stride, views[v].stride, W, 1, grey[v].data() + static_cast<size_t>(y) * W);
#pragma omp parallel for num_threads(threads) schedule(dynamic, 8)
  for (int y = 0; y < H; ++y)
    for (int v = 0; v < 2; ++v) census_rows(grey[v].data(), W, H, y, y + 1, census[v].data());

  const int tolerance = refine.consistency_check ? static_cast<int>(std::min(refine.consistency_tolerance, 1e6f)) : -1;
  if (!semi_global_rows(census[0].data(), census[1].data(), grey[0].data(), W, H, d_min, D, Dp, refine.paths, penalties,
                        refine.uniqueness, tolerance, body, kBandMargin, workers, scratch.data(),
                        options.progress, options.progress_user, planes[0].data(),
                        confidence.data ? margins.data() : nullptr))
    return failure(StatusCode::kCancelled, "the call was cancelled");
  const float* result = planes[0].data();
  if (refine.fill) {
    if (!fill_holes(result, W, H, threads, planes[1].data()))
      return failure(StatusCode::kOutOfMemory, "Error: no memory for the refined disparity map");
    result = planes[1].data();
  }
  const float* filled = result;
  if (refine.median_radius > 0) {
    int32_t weights[internal::kColourDistances];
    internal::median_weights(refine.median_gamma_color, weights);
    if (!median_rows(result, W, H, left.data, left.stride, refine.median_radius, weights, d_min, D, threads,
                     planes[2].data()))
      return failure(StatusCode::kOutOfMemory, "Error: no memory for the weighted median");
    result = planes[2].data();
  }
  if (confidence.data) {
    // (into the margins, which are read element by element before they are written)
    refined_confidence(margins.data(), planes[0].data(), filled, result, W, H, margins.data());
    for (int y = 0; y < H; ++y)
      std::memcpy(confidence.data + y * confidence.stride, margins.data() + static_cast<size_t>(y) * W,
                  sizeof(float) * W);
  }
  for (int y = 0; y < H; ++y)
    std::memcpy(out.data + y * out.stride, result + static_cast<size_t>(y) * W, sizeof(float) * W);
  return Status{};
}

Status designed_match(const ImageView& left, const ImageView& right, const Parameters& parameters,
                      const RefineOptions& refine, const Options& options, const FloatPlane& out,
                      const FloatPlane& confidence) {
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
    internal::mirror_view(right.data, right.stride, W, H, mirrored_right);
    internal::mirror_view(left.data, left.stride, W, H, mirrored_left);
    progress.offset = H;
    planes.disparity = {b.right, W, H, W};
    status = match({mirrored_right, W, H, 3 * static_cast<std::ptrdiff_t>(W)},
                   {mirrored_left, W, H, 3 * static_cast<std::ptrdiff_t>(W)}, parameters, pass, planes);
    if (!status.ok()) return status;
    internal::mirror_plane(b.right, W, H);
    internal::consistency_check(b.left, b.right, W, H, refine.consistency_tolerance);
  }
  if (b.kept) std::memcpy(b.kept, b.left, sizeof(float) * n);
  if (refine.fill) internal::fill_from_background(b.left, W, H);

  const float* result = b.left;
  if (refine.median_radius > 0) {
    b.filtered = new (std::nothrow) float[n];
    if (!b.filtered) return failure(StatusCode::kOutOfMemory, "Error: no memory for the weighted median");
    int32_t weights[internal::kColourDistances];
    internal::median_weights(refine.median_gamma_color, weights);
    const int threads = options.threads > 0 ? options.threads : omp_get_num_procs();
    if (!internal::weighted_median(b.left, W, H, left.data, left.stride, refine.median_radius, weights, threads,
                                 b.filtered))
      return failure(StatusCode::kOutOfMemory, "Error: no memory for the weighted median");
    result = b.filtered;
  }
  if (confidence.data) {
    // (into the matched plane, which is read element by element before it is written)
    internal::refined_confidence(b.matched_confidence, b.kept, b.left, result, W, H, b.matched_confidence);
    for (int y = 0; y < H; ++y)
      std::memcpy(confidence.data + y * confidence.stride, b.matched_confidence + static_cast<size_t>(y) * W,
                  sizeof(float) * W);
  }
  for (int y = 0; y < H; ++y)
    std::memcpy(out.data + y * out.stride, result + static_cast<size_t>(y) * W, sizeof(float) * W);
  return status;
}

}  // namespace
}  // namespace ondrel
