// Box-summed TAD cost volume by running sums, streamed row by row: one or two pixel costs per
// pixel and disparity, whatever the block radius (one where a row's costs can be kept until
// it leaves the window). It keeps running column and window sums (integer sums, so any order
// of the additions gives the same values), does each pixel's whole update in one loop over
// the disparities, reads the right row from a column-reversed copy so that consecutive
// disparities read consecutive values, keeps its sums in 16 bits where they fit, and is
// compiled for several SIMD widths (matcher/simd/). The tests hold a straightforward version
// to compare it with (tests/support/reference.h).

#include <cassert>
#include <cstdint>
#include <cstdlib>

#include "matcher/cost_rows.h"
#include "matcher/census.h"
#include "matcher/simd/kernel_table.h"
#include "matcher/memory.h"

namespace ondrel::internal {

namespace {

template <typename Sum>
bool alloc_storage(CostVolumeStorage<Sum>* st, const CostVolumeInputs& in) {
  const size_t n = static_cast<size_t>(in.Dp);
  *st = CostVolumeStorage<Sum>{};
  st->S = ondrel_alloc_array<Sum>(static_cast<size_t>(in.W) * n);
  st->A = st->S ? ondrel_alloc_array<Sum>(n) : nullptr;
  const size_t ring = static_cast<size_t>(in.ring);
  st->reversed = st->A ? ondrel_alloc_array<int16_t>(ring * 3 * in.reversed_length) : nullptr;
  if (!st->reversed) return false;
  // the pixel costs kept where their ring is small enough (written before read: a row's
  // costs are kept when it enters, read when it leaves)
  const size_t row_costs = static_cast<size_t>(in.W) * n;
  if (row_costs <= kKeptPixelCostBytes / sizeof(int16_t) / ring) {
    st->pixel_costs = static_cast<int16_t*>(ondrel_alloc_uninitialized(ring * row_costs, sizeof(int16_t)));
    return st->pixel_costs != nullptr;
  }
  return true;
}

template <typename Sum>
void free_storage(CostVolumeStorage<Sum>* st) {
  ondrel_free(st->S);
  ondrel_free(st->A);
  ondrel_free(st->reversed);
  ondrel_free(st->pixel_costs);
  *st = CostVolumeStorage<Sum>{};
}

}  // namespace

struct CostStream::Impl {
  CostVolumeInputs in;
  const simd::KernelTable* kernels;  // picked once, when the stream opens: Dp fits it
  int H, r, next_row;
  bool narrow;  // 16-bit sums
  CostVolumeStorage<int16_t> narrow_storage;
  CostVolumeStorage<int32_t> wide_storage;
};

bool cost_stream_open(CostStream* stream, int W, int H, int D, int d0, const unsigned char* left,
                      size_t left_stride, const unsigned char* right, size_t right_stride, int r, int T,
                      bool census) {
  assert(r >= 0 && W >= 2 * r + 1 && H >= 2 * r + 1 && D >= 1 && d0 >= 0);
  assert(left_stride >= 3 * static_cast<size_t>(W) && right_stride >= 3 * static_cast<size_t>(W));
  stream->impl = nullptr;
  auto* impl = ondrel_alloc_array<CostStream::Impl>(1);
  if (!impl) return false;
  impl->kernels = &simd::kernel_table();
  const int L = impl->kernels->cost_lanes;
  const int Dp = (D + L - 1) / L * L;
  impl->in = CostVolumeInputs{left, left_stride, right, right_stride, W, D, d0, largest_pixel_cost(T, census), Dp,
                              static_cast<size_t>(W) + static_cast<size_t>(d0) + static_cast<size_t>(Dp),
                              2 * r + 2 < H ? 2 * r + 2 : H, census};
  impl->H = H;
  impl->r = r;
  impl->next_row = -1;
  // a window sum is at most (2r+1)^2 pixel costs; the sums in between (a column, a row start)
  // are parts of one window. Where none can pass 32767, they and the cost rows are kept in
  // 16 bits: twice the lanes per vector, half the memory.
  impl->narrow = cost_rows_narrow(r, T, census);
  const bool ok = impl->narrow ? alloc_storage(&impl->narrow_storage, impl->in)
                               : alloc_storage(&impl->wide_storage, impl->in);
  if (!ok) {
    free_storage(&impl->narrow_storage);  // what alloc_storage had before it failed
    free_storage(&impl->wide_storage);
    ondrel_free(impl);
    return false;
  }
  stream->impl = impl;
  return true;
}

int largest_pixel_cost(int T, bool census) { return census ? kLargestCensusCost : T < 3 * 255 ? T : 3 * 255; }

bool cost_rows_narrow(int r, int T, bool census) {
  const long long side = 2LL * r + 1;
  return side * side * largest_pixel_cost(T, census) <= 32767;
}

namespace {

// The rows y_begin .. y_end-1 of stream s by its kernel for this cost type, resuming the
// running sums where the last range ended.
template <typename Cost>
void stream_rows(CostStream::Impl& s, int y_begin, int y_end, Cost* const* const* rows,
                 simd::CostRows<Cost> kernel, const CostVolumeStorage<Cost>& storage) {
  assert(0 <= y_begin && y_begin <= y_end && y_end <= s.H && s.narrow == (sizeof(Cost) == 2));
  if (y_begin >= y_end) return;
  kernel(s.in, s.H, s.r, rows, storage, y_begin, y_end, s.next_row == y_begin);
  s.next_row = y_end;
}

}  // namespace

void cost_stream_rows(CostStream* stream, int y_begin, int y_end, int16_t* const* const* rows) {
  CostStream::Impl& s = *stream->impl;
  stream_rows(s, y_begin, y_end, rows, s.kernels->cost_rows_16, s.narrow_storage);
}

void cost_stream_rows(CostStream* stream, int y_begin, int y_end, int* const* const* rows) {
  CostStream::Impl& s = *stream->impl;
  stream_rows(s, y_begin, y_end, rows, s.kernels->cost_rows_32, s.wide_storage);
}

void cost_stream_close(CostStream* stream) {
  if (!stream->impl) return;
  free_storage(&stream->impl->narrow_storage);
  free_storage(&stream->impl->wide_storage);
  ondrel_free(stream->impl);
  stream->impl = nullptr;
}

}  // namespace ondrel::internal
