// Entry point of the matcher: checks the arguments, owns every working buffer, and runs the
// phases in order (tables, cost volume, block means, aggregation).

#include "matcher/ondrel.h"

#include <omp.h>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "matcher/kernels.h"
#include "matcher/memory.h"
#include "matcher/phase_ticks.h"
#include "util/numbers.h"
#include "util/timing.h"

namespace {

OndrelPhaseTicks* g_phase_ticks = nullptr;

// Reads the tick counter into `field` of the recorded phase ticks, when recording.
inline void mark(uint64_t OndrelPhaseTicks::*field) {
  if (g_phase_ticks) g_phase_ticks->*field = Get_Time();
}

// Plane labels in allocation order, with their place in the interleaved plane array.
struct PlaneLabel {
  const char* name;
  int index;
};
const PlaneLabel kPlaneLabels[kPlaneCount] = {
    {"R_LEFT", left_plane(0)},  {"G_LEFT", left_plane(1)},  {"B_LEFT", left_plane(2)},
    {"R_RIGHT", right_plane(0)}, {"G_RIGHT", right_plane(1)}, {"B_RIGHT", right_plane(2)},
};

// Largest max_disparity taken: keeps every index of the claim table within an int.
constexpr int kMaxDisparityLimit = INT_MAX / 4;

// Everything one call allocates.
struct Workspace {
  float* spatial = nullptr;
  int** cost_volume = nullptr;  // one pointer per pixel, into cost_vectors
  int* cost_vectors = nullptr;  // all cost vectors, one after the other
  size_t pixels = 0;
  int* planes[kPlaneCount] = {};
  AggregationScratch* scratch = nullptr;
  int threads = 0;
};

void release(Workspace& w) {
  ondrel_free(w.spatial);
  ondrel_free(w.cost_vectors);
  ondrel_free(w.cost_volume);
  for (int* plane : w.planes) ondrel_free(plane);
  if (w.scratch)
    for (int t = 0; t < w.threads; ++t) aggregation_scratch_free(&w.scratch[t]);
  ondrel_free(w.scratch);
  w = Workspace{};
}

// A large cost volume comes fresh from the system and is first touched by the cost volume
// phase, a page fault per 4 KiB page; asking for huge pages on it turns thousands of faults
// into a few. Only advice: nothing changes when the system declines.
void advise_huge_pages(void* block, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)block;
  (void)bytes;
#endif
}

bool is_plane_of(const cv::Mat& m, int type, const cv::Mat& like) {
  return m.dims == 2 && m.type() == type && m.rows == like.rows && m.cols == like.cols && m.data;
}

// The preconditions of the phases that the radius check does not cover. Prints one message
// and returns false when a phase would leave its buffers or overflow its integers.
bool arguments_fit(const cv::Mat& left, const cv::Mat& right, const cv::Mat& disparity_map,
                   const cv::Mat& right_disparity_map, const cv::Mat& uniqueness_map, int min_disparity,
                   int max_disparity, int r, int R, int TAD_threshold) {
  if (left.dims != 2 || left.type() != CV_8UC3 || left.empty() || !is_plane_of(right, CV_8UC3, left) ||
      !is_plane_of(disparity_map, CV_8UC1, left) || !is_plane_of(right_disparity_map, CV_8UC1, left) ||
      !is_plane_of(uniqueness_map, CV_8UC1, left) || left.cols > INT_MAX / 4 || left.rows > INT_MAX / 4) {
    std::printf("Error: the views must be 3-channel 8-bit images of one size and the three outputs "
                "1-channel 8-bit images of that size: aborting...\n");
    return false;
  }
  if (min_disparity != 0) {
    std::printf("Error: min_disparity must be 0 (i.e. %d): aborting...\n", min_disparity);
    return false;
  }
  if (max_disparity < 0 || max_disparity > kMaxDisparityLimit) {
    std::printf("Error: max_disparity must lie in 0 ... %d (i.e. %d): aborting...\n", kMaxDisparityLimit,
                max_disparity);
    return false;
  }
  if (r < 0) {
    std::printf("Error: the radius of the blocks must not be negative (i.e. %d): aborting...\n", r);
    return false;
  }
  if (R < r || R > ondrel::kMaxSupportRadius) {
    std::printf("Error: the radius of the supports must lie in %d ... %d (i.e. %d): aborting...\n", r,
                ondrel::kMaxSupportRadius, R);
    return false;
  }
  const int side = 2 * r + 1;
  if (side > left.cols || side > left.rows) {
    std::printf("Error: the block (%dx%d pixels) does not fit in the image (%dx%d pixels): aborting...\n",
                side, side, left.cols, left.rows);
    return false;
  }
  if (TAD_threshold < 0) {
    std::printf("Error: TAD_threshold must not be negative (i.e. %d): aborting...\n", TAD_threshold);
    return false;
  }
  // running block sums reach (2r+1)(2r+2) times the largest pixel cost or channel value
  const long long largest = TAD_threshold < 765 ? (TAD_threshold > 255 ? TAD_threshold : 255) : 765;
  if (static_cast<long long>(side) * (side + 1) * largest > INT_MAX) {
    std::printf("Error: blocks of %dx%d pixels overflow the 32-bit block sums: aborting...\n", side, side);
    return false;
  }
  return true;
}

}  // namespace

void ondrel_record_phase_ticks(OndrelPhaseTicks* sink) { g_phase_ticks = sink; }

int Ondrel_QUIRN(const cv::Mat& left, const cv::Mat& right, cv::Mat& disparity_map,
                 cv::Mat& right_disparity_map, cv::Mat& uniqueness_map, int min_disparity,
                 int max_disparity, int block_radius, int support_radius, float gamma_space,
                 float gamma_color, int TAD_threshold, int scale) {
  const int r = block_radius, R = support_radius;

  // radius check: the blocks must tile the support window (exact for sides below 4096)
  const double support_side = 2.0 * R + 1.0, block_side = 2.0 * r + 1.0;
  const float tiles = static_cast<float>((support_side * support_side) / (block_side * block_side));
  if (tiles != std::trunc(tiles)) {
    std::printf("Error: Something wrong with paprameters radius_macro and radius: aborting :-(...\n");
    return -1;
  }
  if (!arguments_fit(left, right, disparity_map, right_disparity_map, uniqueness_map, min_disparity,
                     max_disparity, r, R, TAD_threshold))
    return -1;

  std::printf("\n\n\nOndrel is running with the following parameters:\n\n");
  std::printf("Radius of the supports\t: %d\t(support window %dx%d pixels)\n", R, 2 * R + 1, 2 * R + 1);
  std::printf("Radius of the blocks\t: %d\t(block size %dx%d pixels)\n", r, 2 * r + 1, 2 * r + 1);
  std::printf("Gamma_space\t\t: %d\n", truncate_to_int(gamma_space));
  std::printf("Gamma_color\t\t: %d\n", truncate_to_int(gamma_color));
  std::printf("TAD threshold\t\t: %d\n", TAD_threshold);
  std::printf("Subpixel interpolation\t: enabled\n");
  std::printf("Uniqueness constraint\t: enabled\n");

  const int W = left.cols, H = left.rows;
  const int ndisp = max_disparity + 1;
  const int per_axis = blocks_per_axis(r, R);
  const int nblocks = per_axis * per_axis;
  Workspace w;
  w.pixels = static_cast<size_t>(W) * static_cast<size_t>(H);
  w.threads = ondrel_thread_count();

  // tables and working storage
  const uint64_t t0 = Get_Time();
  mark(&OndrelPhaseTicks::start);
  init_exponential_lut_QUIRN(gamma_color, ondrel::kExpLutFilled);

  w.spatial = ondrel_alloc_array<float>(static_cast<size_t>(nblocks));
  if (!w.spatial) {
    std::printf("ABORTING... CAN'T ALLOCATE SPACE_DISTANCE_WEIGHT\n\n");
    release(w);
    return -1;
  }
  w.cost_volume = ondrel_alloc_array<int*>(w.pixels);
  if (!w.cost_volume) {
    std::printf("ABORTING... CAN'T ALLOCATE DSI MATRIX\n\n");
    release(w);
    return -1;
  }
  // the vectors share one allocation, without per-vector overhead;
  // a count beyond the address space fails like any other allocation
  const size_t vector_length = static_cast<size_t>(ndisp);
  if (vector_length <= SIZE_MAX / w.pixels) w.cost_vectors = ondrel_alloc_array<int>(w.pixels * vector_length);
  if (!w.cost_vectors) {
    std::printf("ABORTING... CAN'T ALLOCATE DSI VECTORS \n\n");
    release(w);
    return -1;
  }
  advise_huge_pages(w.cost_vectors, w.pixels * vector_length * sizeof(int));
  for (size_t i = 0; i < w.pixels; ++i) w.cost_volume[i] = w.cost_vectors + i * vector_length;
  for (const PlaneLabel& label : kPlaneLabels) {
    w.planes[label.index] = ondrel_alloc_array<int>(w.pixels);
    if (!w.planes[label.index]) {
      std::printf("\nABORTING... CAN'T ALLOCATE %s\n\n", label.name);
      release(w);
      return -1;
    }
  }

  AggregationContext aggregation{};
  aggregation.left = left.data;
  aggregation.right = right.data;
  aggregation.left_stride = left.step[0];
  aggregation.right_stride = right.step[0];
  aggregation.disparity_map = disparity_map.data;
  aggregation.right_disparity_map = right_disparity_map.data;
  aggregation.uniqueness_map = uniqueness_map.data;
  aggregation.disparity_stride = disparity_map.step[0];
  aggregation.right_disparity_stride = right_disparity_map.step[0];
  aggregation.uniqueness_stride = uniqueness_map.step[0];
  aggregation.min_disparity = min_disparity;
  aggregation.max_disparity = max_disparity;
  aggregation.r = r;
  aggregation.R = R;
  aggregation.scale = scale;
  aggregation.first_column = max_disparity;
  aggregation.border = 0;
  aggregation.W = W;
  aggregation.H = H;
  aggregation.nblocks = nblocks;
  aggregation.spatial = w.spatial;
  aggregation.cost_volume = w.cost_volume;
  for (int i = 0; i < kPlaneCount; ++i) aggregation.planes[i] = w.planes[i];

  // the aggregation's scratch is had before the outputs are touched, so that a failure
  // leaves them as they were
  w.scratch = ondrel_alloc_array<AggregationScratch>(static_cast<size_t>(w.threads));
  bool scratch_ok = w.scratch != nullptr;
  for (int t = 0; scratch_ok && t < w.threads; ++t) scratch_ok = aggregation_scratch_alloc(&w.scratch[t], aggregation);
  if (!scratch_ok) {
    std::printf("\nABORTING... CAN'T ALLOCATE AGGREGATION SCRATCH\n\n");
    release(w);
    return -1;
  }

  fill_spatial_weights_QUIRN(w.spatial, r, R, gamma_space);
  mark(&OndrelPhaseTicks::tables);
  std::printf("\n\nExecution time: \n");
  GetTimeAndPrintElapsedTime("[*] Ondrel (initialization)", t0);

  // matching
  const uint64_t t1 = Get_Time();
  if (box_filtering_stereo_color_TAD_single_channel_QUIRN(W, H, ndisp, 0, left, right, w.cost_volume, r,
                                                          TAD_threshold) != 0) {
    std::printf("ABORTING... CAN'T ALLOCATE DSI WORKSPACE\n\n");
    release(w);
    return -1;
  }

  mark(&OndrelPhaseTicks::cost_volume);

  const int threads = w.threads;
  omp_set_num_threads(threads);

  BlockSumContext sums{left.data, right.data, static_cast<int>(left.step[0]), static_cast<int>(right.step[0]),
                       r, W, H, {}};
  BlockMeanContext means{W, H, {}, (2 * r + 1) * (2 * r + 1)};
  for (int i = 0; i < kPlaneCount; ++i) sums.planes[i] = means.planes[i] = w.planes[i];
  int job_failed[kPlaneCount] = {};
#pragma omp parallel num_threads(threads)
  block_sum_region_QUIRN(sums, omp_get_thread_num(), omp_get_num_threads(), job_failed);
  for (int failed : job_failed) {
    if (failed) {
      std::printf("\nABORTING... CAN'T ALLOCATE BOX FILTER COLUMNS\n\n");
      release(w);
      return -1;
    }
  }
#pragma omp parallel num_threads(threads)
  block_mean_region_QUIRN(means, omp_get_thread_num(), omp_get_num_threads());
  mark(&OndrelPhaseTicks::block_means);

  for (cv::Mat* plane : {&disparity_map, &right_disparity_map, &uniqueness_map})
    for (int y = 0; y < H; ++y) std::memset(plane->ptr<unsigned char>(y), ondrel::kNoValue, static_cast<size_t>(W));
  mark(&OndrelPhaseTicks::clear);

#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num();
    aggregation_region_QUIRN(aggregation, t, omp_get_num_threads(), w.scratch[t]);
  }

  mark(&OndrelPhaseTicks::aggregation);
  release(w);
  mark(&OndrelPhaseTicks::done);
  GetTimeAndPrintElapsedTime("[*] Ondrel", t1);
  return 0;
}

int MaxOndrel_QUIRN(const cv::Mat&, const cv::Mat&, cv::Mat&, cv::Mat&, cv::Mat&, int, int, int, int, float,
                    float, int, int) {
  std::printf("Versione obsoleta (rimpiazzare con B...)\n");
  return 0;
}
