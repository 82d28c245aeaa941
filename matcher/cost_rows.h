// The block cost rows (cost_rows.cpp): box-summed pixel costs of every pixel and disparity,
// streamed row by row.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondrel::internal {

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

}  // namespace ondrel::internal
