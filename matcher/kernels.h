// The matcher's kernels and parallel phases, in the order Ondrel_QUIRN runs them.
//
// Conventions: images are 8-bit, 3 interleaved channels; channel c of pixel (x, y) is the
// byte at data[y * stride + 3 * x + c] with the stride in bytes. Planes are W * H 32-bit
// values, index y * W + x, no stride of their own. The kernels trust their inputs; the entry
// point checks them once (see ondrel.h).
#pragma once

#include <cstddef>

#include <opencv2/core/mat.hpp>

#include "matcher/constants.h"
#include "matcher/simd/kernels.h"
#include "matcher/window.h"

// ---------------------------------------------------------------------------------------
// SIMD paths (simd_paths.cpp)
//
// The cost volume and the aggregation are compiled for several vector widths and take the
// widest one that the CPU runs, chosen at run time (ondrel::simd::kernel_table,
// matcher/simd/kernels.h); the build itself stays portable. Every path does the same integer
// and floating-point operations, so all give the same bytes.

// Widest vector the kernels use, in bits: 512 (AVX-512 F and BW), 256 (AVX2) or 128
// (SSE2, or the compiler's generic code on other processors).
int simd_width_bits();

// Test hook: no path wider than `bits` (128, 256 or 512); 0 lifts the limit. Set it while no
// kernel runs.
void ondrel_testing_limit_simd(int bits);

// ---------------------------------------------------------------------------------------
// Weight tables (weight_tables.cpp)

// Colour weight table: entry i is the weight of squared colour distance i,
// exp(-(sqrt(i) / gamma_color)) in single precision; kExpLutSize entries, of which the
// matcher fills the first kExpLutFilled (the rest stay 0).
//
// Fills lut[begin .. end-1] from gamma (the range is clamped to the table; an empty range
// fills nothing). Every entry depends on its index alone, so ranges may be filled in any
// order and on any thread. Returns 0.
int init_exponential_lut_QUIRN(float* lut, float gamma, int begin, int end);

// Spatial weight of every block of a support window, row by row (dy outer, dx inner):
// spatial[k] = exp(-(sqrt(dx^2 + dy^2) / gamma_space)), offsets r-R, r-R+(2r+1), ... R-r.
// spatial: blocks_per_axis(r, R)^2 floats. Needs r >= 0.
void fill_spatial_weights_QUIRN(float* spatial, int block_radius, int support_radius,
                                float gamma_space);

// ---------------------------------------------------------------------------------------
// Block cost rows (cost_volume.cpp)

// The box-summed TAD cost of every pixel and disparity, by running sums, row by row for
// streaming. Element k of pixel (x, y) is the sum over the block of (2r+1)^2 pixels centred
// there, cut at the image border and not rescaled, of min(|L - R| summed over the 3
// channels, T), with R the right pixel at column x - d0 - k, or column 0 where that is
// negative. Rows may be asked for in any order and give the same values. A stream keeps the
// running column sums of the last range it computed, so a range that starts where the last
// one ended costs nothing extra; any other start rebuilds them from 2r rows. Views: 3-channel
// 8-bit, W x H, strides in bytes; they must stay valid while the stream is open. Needs
// W, H >= 2r+1, r >= 0, D >= 1, d0 >= 0.
// census: left and right are census images (census_transform below) and the pixel cost is
// the Hamming distance of the two pixels' 24 bits instead (T is not used); the rest is alike.
struct CostStream {
  struct Impl;
  Impl* impl = nullptr;
};
// Returns false (nothing held) when the working storage cannot be had.
bool cost_stream_open(CostStream* stream, int W, int H, int D, int d0, const unsigned char* left,
                      size_t left_stride, const unsigned char* right, size_t right_stride, int r, int T,
                      bool census = false);
// Writes the rows y_begin .. y_end-1 (0 <= y_begin <= y_end <= H): pixel (x, y)'s D costs go
// to rows[y][x][0 .. D-1]. Runs on the calling thread. The rows are of 16-bit costs when
// cost_rows_narrow(r, T, census), of ints otherwise (the other overload must not be called).
void cost_stream_rows(CostStream* stream, int y_begin, int y_end, int16_t* const* const* rows);
void cost_stream_rows(CostStream* stream, int y_begin, int y_end, int* const* const* rows);
// The largest pixel cost: min(T, 765) (three channels' differences, cut at T), or the census
// bits (kLargestCensusCost) for census. Needs T >= 0.
int largest_pixel_cost(int T, bool census);
// Whether no block cost, nor any running sum of one, can pass 32767: (2r+1)^2 times the
// largest pixel cost is at most 32767.
bool cost_rows_narrow(int r, int T, bool census);
void cost_stream_close(CostStream* stream);

// ---------------------------------------------------------------------------------------
// Census images (census.cpp)

// Largest census pixel cost: the bits of one census string.
constexpr int kLargestCensusCost = 24;

// Rows y_begin .. y_end-1 of the census image of a 3-channel 8-bit W x H image (stride in
// bytes) into out (3 * W bytes per row, no padding): pixel (x, y) gets 24 bits, bit 8c + b
// in byte c, one per neighbour of its 5x5 window in row order with the centre left out
// (neighbour i, 0 .. 23), set where the neighbour's grey value is below the centre's. Grey:
// the sum of the 3 channels. A neighbour outside the image reads the nearest pixel inside
// (coordinates clamped). Rows depend on the image alone: any split over threads is exact.
void census_transform(const unsigned char* image, size_t stride, int W, int H, unsigned char* out, int y_begin,
                      int y_end);

// ---------------------------------------------------------------------------------------
// Block colour means (block_means.cpp)

// Block means of the three channels of one 3-channel view (stride in bytes), for the output
// rows [y_begin, y_end): planes[c](x, y) = the sum of channel c over the (2r+1)^2 pixels
// centred at (x, y), divided by (2r+1)^2 and truncated, written only where the block lies
// wholly inside the image (x in [r, W-r-1], y in [r, H-r-1]); nothing else is written, and
// nothing at all outside the domain (r < 0, or 2r+1 larger than W or H). planes: W * H bytes
// each (a mean of bytes is one), row-major. columns: 3 * W ints of scratch, owned by the caller. The sums must fit an
// int: (2r+1)^2 * 255 <= INT_MAX (the argument check ensures it).
void block_means_rows(const unsigned char* image, size_t stride, int W, int H, int r, unsigned char* const planes[3],
                      int y_begin, int y_end, int* columns);

struct BlockMeanContext {
  const unsigned char* left;
  const unsigned char* right;
  size_t left_stride, right_stride;  // bytes
  int r, W, H;
  unsigned char* planes[kPlaneCount];
};

// Body of the block-mean region: thread `thread` of `nthreads` writes both views' block
// means (block_means_rows) for its static share of the rows whose blocks lie inside, and 0
// wherever no mean is written in its static share of all H rows: when every thread has run,
// the planes (uninitialized before) are whole. Returns false, having written nothing, when
// its column buffer cannot be had.
bool block_mean_region_QUIRN(const BlockMeanContext& ctx, int thread, int nthreads);

// Static split of n items over nthreads threads: chunk = ceil(n / nthreads); thread t takes
// [t * chunk, min((t + 1) * chunk, n)), empty when it starts at or beyond n.
struct ItemRange {
  long long begin, end;
};
ItemRange static_split(long long n, int nthreads, int thread);

// ---------------------------------------------------------------------------------------
// Aggregation, winner selection and uniqueness (aggregation.cpp; its records, the winner
// search and the uniqueness test: matcher/window.h)

// Allocates one thread's scratch for ctx; false (nothing held) when memory cannot be had.
bool aggregation_scratch_alloc(AggregationScratch* scratch, const AggregationContext& ctx);
void aggregation_scratch_free(AggregationScratch* scratch);

// Offset from the middle point of the vertex of the parabola through (-1, a), (0, b), (1, c):
// (a - c) / (2 (a + c - 2b)), or 0 when a + c - 2b is 0. Not clamped.
double get_subpixel_adjustment_min(double a, double b, double c);

// Aggregation of row y: the window costs of every pixel, its winner, sub-pixel offset and
// uniqueness test, into `out` (every element of the three rows is written). The rows of cost
// vectors that row y reads must be in place. Accumulates several disparities at once, block
// by block, with exactly the floating-point operations of the straightforward version the
// tests hold (tests/support/reference.h: same products, same sums in block order, same
// roundings), so the values are the same. It is
// ondrel::simd::kernel_table().aggregate_row (matcher/simd/kernels.h).
