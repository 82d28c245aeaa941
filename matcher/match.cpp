// The library entry and the phases of one call (see match.h).

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "matcher/match.h"
#include "matcher/stages.h"
#include "matcher/memory.h"

namespace ondrel::internal {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

// Working memory of the cost rings of all workers together, beyond which fewer workers run
// (the results are the same for any number of workers).
constexpr double kRingBudgetBytes = 2.0 * (1u << 30);
// The fewest rows left in a band that another worker takes half of: a band's first row
// needs 2 (R - r) cost rows before it, each about a seventh of an aggregated row.
constexpr int kLeastRowsTaken = 8;

// The planes of block means in allocation order (the left view's channels, then the right's),
// as places in the interleaved plane array.
const int kPlaneOrder[kPlaneCount] = {left_plane(0), left_plane(1), left_plane(2),
                                      right_plane(0), right_plane(1), right_plane(2)};

// ---------------------------------------------------------------------------------------
// The colour weight table.

uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

void fill_lut(float* lut, float gamma, int threads) {
  constexpr int kChunk = 8192;  // even: the fill pairs entries from an even index on
  constexpr int kChunks = (kExpLutFilled + kChunk - 1) / kChunk;
#pragma omp parallel for num_threads(threads < kChunks ? threads : kChunks) schedule(static)
  for (int i = 0; i < kChunks; ++i) {
    const int begin = i * kChunk, end = begin + kChunk < kExpLutFilled ? begin + kChunk : kExpLutFilled;
    init_exponential_lut_QUIRN(lut, gamma, begin, end);
  }
}

// ---------------------------------------------------------------------------------------
// Working storage.

// A ring of cost rows of one cost type (16-bit where every block cost fits, else int).
template <typename Cost>
struct CostRing {
  Cost** slots = nullptr;        // ring slot s, column x: slots[s * W + x] -> ndisp costs
  Cost* const** rows = nullptr;  // H entries: row y lives in slot y % ring
  Cost* vectors = nullptr;       // ring * W cost vectors

  // The slot and row pointers; false when they cannot be had.
  bool take_pointers(size_t ring_vectors, int H) {
    slots = ondrel_alloc_array<Cost*>(ring_vectors);
    rows = slots ? ondrel_alloc_array<Cost* const*>(static_cast<size_t>(H)) : nullptr;
    return rows != nullptr;
  }
  // The cost vectors, and the pointers set to them; false when they cannot be had (a count
  // beyond the address space fails like any other allocation).
  bool take_vectors(size_t ring_vectors, size_t length, int ring, int W, int H) {
    // (not cleared: the cost rows are written before the aggregation reads them)
    if (length <= SIZE_MAX / ring_vectors)
      vectors = static_cast<Cost*>(ondrel_alloc_uninitialized(ring_vectors * length, sizeof(Cost)));
    if (!vectors) return false;
    for (size_t i = 0; i < ring_vectors; ++i) slots[i] = vectors + i * length;
    for (int y = 0; y < H; ++y) rows[y] = slots + static_cast<size_t>(y % ring) * W;
    return true;
  }
  void release() {
    ondrel_free(slots);
    ondrel_free(rows);
    ondrel_free(vectors);
  }
};

// One worker's share: a band of rows, the ring of cost rows it streams through (one of the
// two types), its aggregation scratch and one row of each output.
struct Worker {
  CostRing<int16_t> narrow;
  CostRing<int> wide;
  AggregationScratch scratch{};
  bool scratch_held = false;
  float* row_values = nullptr;    // 3 * W, or 4 * W with the confidence: the outputs of the current row
  CostStream stream;
  // the rows this worker has still to do, next .. end-1, in one word (next high, end low):
  // another worker that runs out of rows takes the lower half
  std::atomic<uint64_t> band{0};

  // f(the ring of the cost type in use)
  template <typename F>
  auto with_ring(bool narrow_costs, F f) -> decltype(f(wide)) {
    return narrow_costs ? f(narrow) : f(wide);
  }
};

// ---------------------------------------------------------------------------------------
// Rows shared out among the workers: each starts with an even band and works down it; one
// that finishes early takes the lower half of the band with the most rows left (the rows
// cost the same whoever does them, and the results do not depend on who does).

uint64_t band_of(int next, int end) { return uint64_t{static_cast<uint32_t>(next)} << 32 | static_cast<uint32_t>(end); }
int band_next(uint64_t band) { return static_cast<int>(band >> 32); }
int band_end(uint64_t band) { return static_cast<int>(band & 0xFFFFFFFFu); }

// The next row of a worker's band, or -1 when it has none left.
int claim_row(std::atomic<uint64_t>& band) {
  uint64_t b = band.load();
  while (band_next(b) < band_end(b))
    if (band.compare_exchange_weak(b, band_of(band_next(b) + 1, band_end(b)))) return band_next(b);
  return -1;
}

// Gives worker `thief` the lower half of the band with the most rows left, if that band has
// at least `least` (a new band costs the thief the cost rows before its first row); false
// when none has.
bool take_rows(Worker* workers, int n, int thief, int least) {
  for (;;) {
    int victim = -1, most = least - 1;
    uint64_t seen = 0;
    for (int i = 0; i < n; ++i) {
      const uint64_t b = workers[i].band.load();
      if (i != thief && band_end(b) - band_next(b) > most) victim = i, most = band_end(b) - band_next(b), seen = b;
    }
    if (victim < 0) return false;
    const int next = band_next(seen), end = band_end(seen), mid = next + (end - next) / 2;
    if (workers[victim].band.compare_exchange_strong(seen, band_of(next, mid))) {
      workers[thief].band.store(band_of(mid, end));
      return true;
    }
  }
}

// The aggregation reads the worker's cost rows of either type.
void set_cost_rows(AggregationContext* c, int16_t* const** rows) { c->narrow_cost_rows = rows; }
void set_cost_rows(AggregationContext* c, int* const** rows) { c->cost_rows = rows; }

// The working storage of one call beyond what the Matcher keeps: the workers; released when
// the call returns, whichever way.
struct Workspace {
  Worker* workers = nullptr;
  int nworkers = 0;
  Workspace() = default;
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  ~Workspace() {
    for (int t = 0; workers && t < nworkers; ++t) {
      Worker& k = workers[t];
      k.narrow.release();
      k.wide.release();
      if (k.scratch_held) aggregation_scratch_free(&k.scratch);
      ondrel_free(k.row_values);
      cost_stream_close(&k.stream);
    }
    ondrel_free(workers);
  }
};

ondrel::Status failure(ondrel::StatusCode code, const char* message) {
  ondrel::Status status;
  status.code = code;
  std::snprintf(status.message, sizeof status.message, "%s", message);
  return status;
}

// A call without the storage `what`: the report says which, the status in plain words.
ondrel::Status shortage(Report* report, Shortage what, int plane = -1) {
  report->shortage = what;
  report->plane = plane;
  const char* names[] = {"", "the colour weight table", "the spatial weights", "the cost rows' pointers", "the cost rows",
                         "the block means", "the aggregation scratch", "the census images", "the shifted right view",
                         "the confidence's planes", "the cost streams", "the block means' column sums"};
  ondrel::Status status = failure(ondrel::StatusCode::kOutOfMemory, "");
  if (what == Shortage::kBlockMeans)
    std::snprintf(status.message, sizeof status.message, "not enough memory for the block means of the %s view (channel %d of 3)",
                  plane < 3 ? "left" : "right", plane % 3 + 1);
  else
    std::snprintf(status.message, sizeof status.message, "not enough memory for %s", names[static_cast<int>(what)]);
  return status;
}

bool plane_fits(const ondrel::FloatPlane& p, const ondrel::ImageView& like) {
  return !p.data || (p.width == like.width && p.height == like.height && p.stride >= p.width);
}

// The confidence of a pixel the uniqueness check drops, as a share of its winner's: such a
// pixel lost its right-view column to a cheaper match, the mark of occlusions and repeats.
constexpr float kDroppedShare = 0.25f;

// The right view's columns, where the kernels saw the view shifted by `shift`: row value x'
// belongs to column x' - shift; columns outside the view are dropped, those without a value
// get none.
void unshift_right_row(float* values, int W, int shift) {
  const int n = shift < W && -shift < W ? W - (shift > 0 ? shift : -shift) : 0;
  if (shift > 0) {
    std::memmove(values, values + shift, sizeof(float) * static_cast<size_t>(n));
    for (int x = n; x < W; ++x) values[x] = no_value();
  } else if (shift < 0) {
    std::memmove(values + (W - n), values, sizeof(float) * static_cast<size_t>(n));
    for (int x = 0; x < W - n; ++x) values[x] = no_value();
  }
}

// Writes row y of the outputs from the worker's row values (disparity, uniqueness, right
// disparity, and the winners' confidence when wanted), which it may change.
void emit_row(float* values, int W, int y, int shift, const ondrel::DisparityPlanes* floats,
              const RowSink* sink) {
  unshift_right_row(values + 2 * static_cast<size_t>(W), W, shift);
  if (floats && floats->confidence.data) {
    float* confidence = values + 3 * static_cast<size_t>(W);
    const float* uniqueness = values + W;
    for (int x = 0; x < W; ++x)
      if (std::isnan(uniqueness[x])) confidence[x] *= kDroppedShare;
  }
  if (floats) {
    const ondrel::FloatPlane* planes[4] = {&floats->disparity, &floats->uniqueness, &floats->right_disparity,
                                           &floats->confidence};
    for (int i = 0; i < 4; ++i)
      if (planes[i]->data)
        std::memcpy(planes[i]->data + static_cast<ptrdiff_t>(y) * planes[i]->stride, values + static_cast<size_t>(i) * W,
                    sizeof(float) * static_cast<size_t>(W));
  }
  if (sink) {
    const size_t n = static_cast<size_t>(W);
    sink->row(sink->user, y, values, values + n, values + 2 * n);
  }
}

// Rows y_begin .. y_end-1 of the right view shifted by `shift` into out (3 * W bytes a row):
// column x' holds the view's column x' - shift, the nearest one inside where that is outside.
void shift_view(const ondrel::ImageView& view, int shift, unsigned char* out, long long y_begin, long long y_end) {
  const int W = view.width;
  for (long long y = y_begin; y < y_end; ++y) {
    const unsigned char* row = view.data + y * view.stride;
    unsigned char* to = out + static_cast<size_t>(y) * 3 * static_cast<size_t>(W);
    for (int x = 0; x < W; ++x) {
      const long long from = static_cast<long long>(x) - shift;
      const size_t at = 3 * static_cast<size_t>(from < 0 ? 0 : from >= W ? W - 1 : from);
      std::memcpy(to + 3 * static_cast<size_t>(x), row + at, 3);
    }
  }
}

}  // namespace
}  // namespace ondrel::internal

namespace ondrel {

const char* version() { return "1.1.0"; }

namespace internal {

bool radii_tile(int R, int r) {
  const double support_side = 2.0 * R + 1.0, block_side = 2.0 * r + 1.0;
  const float tiles = static_cast<float>((support_side * support_side) / (block_side * block_side));
  return tiles == std::trunc(tiles);
}

Rule broken_rule(const Parameters& p, int width, int height, bool gammas) {
  const int r = p.block_radius, R = p.support_radius;
  const long long min = p.min_disparity, max = p.max_disparity;
  if (min < -kMaxDisparityLimit || min > kMaxDisparityLimit) return Rule::kMinDisparity;
  if (max < min || max > kMaxDisparityLimit || max - min > kMaxDisparityLimit) return Rule::kMaxDisparity;
  if (r < 0) return Rule::kBlockRadius;
  if (R < r || R > kMaxSupportRadius) return Rule::kSupportRadius;
  if (!radii_tile(R, r)) return Rule::kRadiiTile;
  if (width > 0 && height > 0 && (2 * r + 1 > width || 2 * r + 1 > height)) return Rule::kBlockFitsImage;
  if (p.tad_threshold < 0) return Rule::kTadThreshold;
  if (p.cost != CostFunction::kTad && p.cost != CostFunction::kCensus) return Rule::kCost;
  // running block sums reach (2r+1)(2r+2) times the largest pixel cost or channel value
  const long long tad = largest_pixel_cost(p.tad_threshold, false);
  const long long largest = tad > 255 ? tad : 255;
  const long long side = 2 * r + 1;
  if (side * (side + 1) * largest > INT_MAX) return Rule::kBlockSums;
  // a gamma of 0, below the normal floats or not finite makes every weight 0 or NaN
  const auto usable = [](float gamma) { return std::isfinite(gamma) && gamma >= FLT_MIN; };
  if (gammas && !usable(p.gamma_space)) return Rule::kGammaSpace;
  if (gammas && !usable(p.gamma_color)) return Rule::kGammaColor;
  return Rule::kNone;
}

void describe(Rule rule, const Parameters& p, int width, int height, char* text, size_t size) {
  const int r = p.block_radius, R = p.support_radius, L = kMaxDisparityLimit;
  const long long min = p.min_disparity;
  switch (rule) {
    case Rule::kNone:
      std::snprintf(text, size, "%s", "");
      break;
    case Rule::kMinDisparity:
      std::snprintf(text, size, "min_disparity (%d) must lie in %d ... %d", p.min_disparity, -L, L);
      break;
    case Rule::kMaxDisparity:
      std::snprintf(text, size, "max_disparity (%d) must lie in min_disparity (%d) ... %lld", p.max_disparity,
                    p.min_disparity, min + L < L ? min + L : static_cast<long long>(L));
      break;
    case Rule::kBlockRadius:
      std::snprintf(text, size, "block_radius (%d) must be at least 0", r);
      break;
    case Rule::kSupportRadius:
      std::snprintf(text, size, "support_radius (%d) must lie in block_radius (%d) ... %d", R, r, kMaxSupportRadius);
      break;
    case Rule::kRadiiTile:
      std::snprintf(text, size, "block_radius: 2*block_radius+1 (%lld) must divide 2*support_radius+1 (%lld)",
                    2LL * r + 1, 2LL * R + 1);
      break;
    case Rule::kBlockFitsImage:
      std::snprintf(text, size, "block_radius: a block of %lldx%lld pixels must fit in the image (%dx%d pixels)",
                    2LL * r + 1, 2LL * r + 1, width, height);
      break;
    case Rule::kTadThreshold:
      std::snprintf(text, size, "tad_threshold (%d) must be at least 0", p.tad_threshold);
      break;
    case Rule::kCost:
      std::snprintf(text, size, "cost (%d) must be 0 (TAD) or 1 (census)", static_cast<int>(p.cost));
      break;
    case Rule::kBlockSums:
      std::snprintf(text, size,
                    "block_radius (%d): blocks of %lldx%lld pixels overflow the 32-bit block sums with tad_threshold %d",
                    r, 2LL * r + 1, 2LL * r + 1, p.tad_threshold);
      break;
    case Rule::kGammaSpace:
    case Rule::kGammaColor: {
      const bool space = rule == Rule::kGammaSpace;
      std::snprintf(text, size, "%s (%g) must be finite and above 0 (at least %g)", space ? "gamma_space" : "gamma_color",
                    static_cast<double>(space ? p.gamma_space : p.gamma_color), static_cast<double>(FLT_MIN));
      break;
    }
  }
}

}  // namespace internal

Status check(const Parameters& parameters, int width, int height) {
  Status status;
  const internal::Rule rule = internal::broken_rule(parameters, width, height, true);
  if (rule == internal::Rule::kNone) return status;
  status.code = StatusCode::kInvalidArgument;
  internal::describe(rule, parameters, width, height, status.message, sizeof status.message);
  return status;
}

Status check(const Options& options) {
  Status status;
  if (options.threads >= 0 && options.threads <= kMaxThreads) return status;
  status.code = StatusCode::kInvalidArgument;
  std::snprintf(status.message, sizeof status.message, "threads (%d) must lie in 0 ... %d (0: every processor)",
                options.threads, kMaxThreads);
  return status;
}

namespace internal {

Status run(const ImageView& left, const ImageView& given_right, const Parameters& given, const Options& options,
           const DisparityPlanes* floats, const RowSink* sink, Report* report, const Variant& variant,
           Storage& storage) {
  *report = Report{};
  Status status;
  ImageView right = given_right;
  const bool views_ok = left.data && right.data && left.width > 0 && left.height > 0 &&
                        left.width <= INT_MAX / 4 && left.height <= INT_MAX / 4 && right.width == left.width &&
                        right.height == left.height && left.stride >= 3 * static_cast<ptrdiff_t>(left.width) &&
                        right.stride >= 3 * static_cast<ptrdiff_t>(left.width) &&
                        (!floats || (plane_fits(floats->disparity, left) && plane_fits(floats->uniqueness, left) &&
                                     plane_fits(floats->right_disparity, left) && plane_fits(floats->confidence, left)));
  if (!views_ok)
    return failure(StatusCode::kInvalidArgument,
                   "views: left and right must be non-empty 3-channel 8-bit views of one size (rows of at least 3 * "
                   "width bytes), and every output plane given of that size");
  const Rule rule = broken_rule(given, left.width, left.height, variant.gamma_rules);
  if (rule != Rule::kNone) {
    status.code = StatusCode::kInvalidArgument;
    describe(rule, given, left.width, left.height, status.message, sizeof status.message);
    return status;
  }
  status = check(options);
  if (!status.ok()) return status;
  // a range min .. max is matched as 0 .. max - min on the right view shifted by min
  const int shift = given.min_disparity;
  Parameters p = given;
  p.min_disparity = 0;
  p.max_disparity = static_cast<int>(static_cast<long long>(given.max_disparity) - shift);

  const int W = left.width, H = left.height, r = p.block_radius, R = p.support_radius;
  const int first_column = p.max_disparity > given.max_disparity ? p.max_disparity : given.max_disparity;
  if (first_column >= W && floats && !sink) {
    // every column lies left of the first one with a whole range: no value anywhere (confidence
    // 0), and nothing to allocate or compute for it
    const ondrel::FloatPlane* planes[4] = {&floats->disparity, &floats->uniqueness, &floats->right_disparity,
                                           &floats->confidence};
    for (const ondrel::FloatPlane* plane : planes)
      for (int y = 0; plane->data && y < H; ++y)
        std::fill_n(plane->data + static_cast<ptrdiff_t>(y) * plane->stride, W,
                    plane == &floats->confidence ? 0.0f : no_value());
    if (options.progress) options.progress(options.progress_user, H, H);
    return status;
  }
  const int ndisp = p.max_disparity + 1;
  const int per_axis = blocks_per_axis(r, R);
  const int nblocks = per_axis * per_axis;
  // no more threads than rows: every parallel region shares rows (the colour table's fill
  // takes fewer still)
  const int requested = options.threads > 0 ? options.threads : ondrel_thread_count();
  const int threads = requested < H ? requested : H;
  const size_t pixels = static_cast<size_t>(W) * static_cast<size_t>(H);
  // rows of cost vectors one output row reads: y - (R - r) .. y + (R - r)
  const int reach = R - r;
  const int ring = 2 * reach + 1 < H ? 2 * reach + 1 : H;
  const size_t ring_vectors = static_cast<size_t>(ring) * static_cast<size_t>(W);
  int nworkers = threads < H ? threads : H;
  const bool census = p.cost == CostFunction::kCensus;
  const bool confidence = floats && floats->confidence.data;
  const bool narrow = cost_rows_narrow(r, p.tad_threshold, census);
  const double ring_bytes = static_cast<double>(ring_vectors) * ndisp * (narrow ? sizeof(int16_t) : sizeof(int));
  while (nworkers > 1 && nworkers * ring_bytes > kRingBudgetBytes) --nworkers;

  // tables and working storage
  Workspace w;
  const auto take = [&](Storage::Slot slot, size_t n) { return storage.take(slot, n); };
  const Clock::time_point start = Clock::now();
  const float* lut = storage.colour_weights(p.gamma_color, threads);
  if (!lut) {
    return shortage(report, Shortage::kColourWeights);
  }
  float* spatial = static_cast<float*>(take(Storage::kSpatial, sizeof(float) * static_cast<size_t>(nblocks)));
  if (!spatial) {
    return shortage(report, Shortage::kSpatialWeights);
  }
  w.workers = ondrel_alloc_array<Worker>(static_cast<size_t>(nworkers));
  if (w.workers) w.nworkers = nworkers;
  bool ok = w.workers != nullptr;
  for (int t = 0; ok && t < nworkers; ++t) {
    Worker& k = w.workers[t];
    ok = k.with_ring(narrow, [&](auto& costs) { return costs.take_pointers(ring_vectors, H); });
  }
  if (!ok) {
    return shortage(report, Shortage::kCostRowPointers);
  }
  const size_t vector_length = static_cast<size_t>(ndisp);
  for (int t = 0; ok && t < nworkers; ++t) {
    Worker& k = w.workers[t];
    ok = k.with_ring(narrow, [&](auto& costs) { return costs.take_vectors(ring_vectors, vector_length, ring, W, H); });
  }
  if (!ok) {
    return shortage(report, Shortage::kCostRows);
  }
  unsigned char* planes[kPlaneCount] = {};
  for (int i = 0; i < kPlaneCount; ++i) {
    const int index = kPlaneOrder[i];
    planes[index] = static_cast<unsigned char*>(take(static_cast<Storage::Slot>(Storage::kPlanes + index), pixels));
    if (!planes[index]) return shortage(report, Shortage::kBlockMeans, i);
  }

  AggregationContext base{};
  base.left = left.data;
  base.right = right.data;
  base.left_stride = static_cast<size_t>(left.stride);
  base.right_stride = static_cast<size_t>(right.stride);
  base.min_disparity = 0;
  base.value_offset = shift;
  base.max_disparity = p.max_disparity;
  base.r = r;
  base.R = R;
  // (a right pixel left of column 0 for a disparity of the range gets no value, as at 0)
  base.first_column = first_column;
  base.border = 0;
  base.W = W;
  base.H = H;
  base.nblocks = nblocks;
  base.spatial = spatial;
  base.exp_lut = lut;
  base.bounded_offsets = variant.bounded_offsets;
  for (int i = 0; i < kPlaneCount; ++i) base.planes[i] = planes[i];

  for (int t = 0; ok && t < nworkers; ++t) {
    Worker& k = w.workers[t];
    k.scratch_held = ok = aggregation_scratch_alloc(&k.scratch, base);
    if (ok) k.row_values = ondrel_alloc_array<float>((confidence ? 4 : 3) * static_cast<size_t>(W));
    ok = ok && k.row_values;
  }
  if (!ok) {
    return shortage(report, Shortage::kAggregationScratch);
  }
  unsigned char* census_images[2] = {};
  for (int i = 0; census && i < 2; ++i) {
    census_images[i] = static_cast<unsigned char*>(take(static_cast<Storage::Slot>(Storage::kCensus + i), 3 * pixels));
    if (!census_images[i]) {
      return shortage(report, Shortage::kCensusImages);
    }
  }
  unsigned char* shifted = nullptr;
  if (shift != 0) {
    shifted = static_cast<unsigned char*>(take(Storage::kShifted, 3 * pixels));
    if (!shifted) {
      return shortage(report, Shortage::kShiftedView);
    }
  }
  // the confidence reads the finished left and right planes: the caller's, or the call's own
  DisparityPlanes written = floats ? *floats : DisparityPlanes{};
  FloatPlane* const map_planes[2] = {&written.disparity, &written.right_disparity};
  for (int i = 0; confidence && i < 2; ++i) {
    if (map_planes[i]->data) continue;
    float* plane = static_cast<float*>(take(static_cast<Storage::Slot>(Storage::kMap + i), sizeof(float) * pixels));
    if (!plane) {
      return shortage(report, Shortage::kConfidencePlanes);
    }
    *map_planes[i] = {plane, W, H, W};
  }
  fill_spatial_weights_QUIRN(spatial, r, R, p.gamma_space);
  const Clock::time_point initialized = Clock::now();
  report->timings.initialization = seconds_between(start, initialized);

  // matching: the shifted right view, the census images, the cost streams, then the block
  // means, then the bands of rows
  if (shift != 0) {
#pragma omp parallel num_threads(threads)
    {
      const ItemRange rows = static_split(H, omp_get_num_threads(), omp_get_thread_num());
      shift_view(right, shift, shifted, rows.begin, rows.end);
    }
    right = ImageView{shifted, W, H, 3 * static_cast<std::ptrdiff_t>(W)};
    base.right = right.data;
    base.right_stride = static_cast<size_t>(right.stride);
  }
  if (census) {
#pragma omp parallel num_threads(threads)
    {
      const ItemRange rows = static_split(H, omp_get_num_threads(), omp_get_thread_num());
      census_transform(left.data, static_cast<size_t>(left.stride), W, H, census_images[0], static_cast<int>(rows.begin),
                       static_cast<int>(rows.end));
      census_transform(right.data, static_cast<size_t>(right.stride), W, H, census_images[1], static_cast<int>(rows.begin),
                       static_cast<int>(rows.end));
    }
  }
  const unsigned char* cost_left = census ? census_images[0] : left.data;
  const unsigned char* cost_right = census ? census_images[1] : right.data;
  const size_t cost_left_stride = census ? 3 * static_cast<size_t>(W) : static_cast<size_t>(left.stride);
  const size_t cost_right_stride = census ? 3 * static_cast<size_t>(W) : static_cast<size_t>(right.stride);
  for (int t = 0; ok && t < nworkers; ++t)
    ok = cost_stream_open(&w.workers[t].stream, W, H, ndisp, 0, cost_left, cost_left_stride, cost_right,
                          cost_right_stride, r, p.tad_threshold, census);
  if (!ok) {
    report->failed_in_matching = true;
    return shortage(report, Shortage::kCostStream);
  }

  BlockMeanContext means{left.data, right.data, static_cast<size_t>(left.stride), static_cast<size_t>(right.stride),
                         r, W, H, {}};
  for (int i = 0; i < kPlaneCount; ++i) means.planes[i] = planes[i];
  std::atomic<bool> means_failed{false};
#pragma omp parallel num_threads(threads)
  if (!block_mean_region_QUIRN(means, omp_get_thread_num(), omp_get_num_threads())) means_failed.store(true);
  if (means_failed.load()) {
    report->failed_in_matching = true;
    return shortage(report, Shortage::kBlockMeanColumns);
  }
  const Clock::time_point means_done = Clock::now();
  report->timings.block_means = seconds_between(initialized, means_done);

  const simd::AggregateRow aggregate = simd::kernel_table().aggregate_row;
  std::atomic<int> rows_done{0};
  std::atomic<bool> cancelled{false};
  for (int t = 0; t < nworkers; ++t) w.workers[t].band.store(0);
#pragma omp parallel num_threads(nworkers)
  {
    const int t = omp_get_thread_num(), n = omp_get_num_threads();
    Worker& k = w.workers[t];
    const ItemRange first_band = static_split(H, n, t);
    k.band.store(band_of(static_cast<int>(first_band.begin), static_cast<int>(first_band.end)));
#pragma omp barrier
    AggregationContext ctx = base;
    k.with_ring(narrow, [&](auto& costs) { set_cost_rows(&ctx, costs.rows); });
    const RowOutputs out{k.row_values, k.row_values + W, k.row_values + 2 * static_cast<size_t>(W),
                         confidence ? k.row_values + 3 * static_cast<size_t>(W) : nullptr};
    // the rows of this worker's bands, top down; the ring holds the cost rows of
    // y - reach .. y + reach
    int computed = -1;  // cost rows below this are in the ring (-1: a band starts)
    int last = -1;      // the row done before
    for (;;) {
      if (cancelled.load(std::memory_order_relaxed)) break;
      int y = claim_row(k.band);
      if (y < 0) {
        if (!take_rows(w.workers, n, t, kLeastRowsTaken)) break;
        continue;
      }
      if (y != last + 1) computed = -1;
      last = y;
      const int needed = y + reach + 1 < H ? y + reach + 1 : H;
      if (computed < 0) computed = y - reach > 0 ? y - reach : 0;
      k.with_ring(narrow, [&](auto& costs) { cost_stream_rows(&k.stream, computed, needed, costs.rows); });
      computed = needed;
      aggregate(ctx, k.scratch, y, out);
      emit_row(k.row_values, W, y, shift, floats ? &written : nullptr, sink);
      const int done = rows_done.fetch_add(1, std::memory_order_relaxed) + 1;
      if (t == 0 && options.progress && !options.progress(options.progress_user, done, H))
        cancelled.store(true, std::memory_order_relaxed);
    }
  }
  if (confidence && !cancelled.load()) {
#pragma omp parallel num_threads(threads)
    {
      const ItemRange rows = static_split(H, omp_get_num_threads(), omp_get_thread_num());
      confidence_from_map(written.disparity.data, written.disparity.stride, written.right_disparity.data,
                          written.right_disparity.stride, W, H, static_cast<int>(rows.begin),
                          static_cast<int>(rows.end), written.confidence.data, written.confidence.stride);
    }
  }
  report->timings.aggregation = seconds_between(means_done, Clock::now());
  report->timings.matching = seconds_between(initialized, Clock::now());
  if (cancelled.load()) return failure(StatusCode::kCancelled, "the call was cancelled");
  if (options.progress) options.progress(options.progress_user, H, H);
  return status;
}

Storage::~Storage() {
  ondrel_free(lut_);
  for (Buffer& b : buffers_) ondrel_free(b.data);
}

const float* Storage::colour_weights(float gamma, int threads) {
  if (!lut_) lut_ = ondrel_alloc_array<float>(kExpLutSize);  // (zeroed: the entries not filled stay 0)
  if (!lut_) return nullptr;
  if (!lut_filled_ || bits_of(gamma) != lut_gamma_bits_) {
    fill_lut(lut_, gamma, threads);
    lut_gamma_bits_ = bits_of(gamma);
    lut_filled_ = true;
  }
  return lut_;
}

void* Storage::take(Slot slot, size_t bytes) {
  Buffer& b = buffers_[slot];
  if (bytes <= b.size && b.data) return b.data;
  ondrel_free(b.data);
  b = Buffer{};
  b.data = ondrel_alloc_uninitialized(bytes ? bytes : 1, 1);
  if (b.data) b.size = bytes;
  return b.data;
}

}  // namespace internal

struct Matcher::State {
  internal::Storage storage;
};

Matcher::~Matcher() { delete state_; }

Matcher::Matcher(Matcher&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }

Matcher& Matcher::operator=(Matcher&& other) noexcept {
  if (this != &other) {
    delete state_;
    state_ = other.state_;
    other.state_ = nullptr;
  }
  return *this;
}

Status Matcher::compute(const ImageView& left, const ImageView& right, const Parameters& parameters,
                        const Options& options, const DisparityPlanes& out, Timings* timings) {
  if (!state_) state_ = new (std::nothrow) State;
  if (!state_) {
    Status status;
    status.code = StatusCode::kOutOfMemory;
    std::snprintf(status.message, sizeof status.message, "not enough memory for the matcher's storage");
    return status;
  }
  internal::Report report;
  const Status status = internal::run(left, right, parameters, options, &out, nullptr, &report, {}, state_->storage);
  if (status.ok() && timings) *timings = report.timings;
  return status;
}

Status match(const ImageView& left, const ImageView& right, const Parameters& parameters, const Options& options,
             const DisparityPlanes& out, Timings* timings) {
  Matcher matcher;
  return matcher.compute(left, right, parameters, options, out, timings);
}

}  // namespace ondrel
