// The fast aggregation's window kernel for AVX-512 (this unit is compiled with -mavx512f
// -mavx512bw; it runs only when the CPU has both, see simd_paths.cpp).

// GCC 12 takes the deliberately undefined source operand inside its own AVX-512 conversion
// intrinsics for an uninitialised variable.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "matcher/window_costs.h"

WindowEstimate window_sums_avx512(const WindowBlock* window, int count, int ndisp, double* A) {
  return window_sums_fitted<8, 2>(window, count, ndisp, A);
}
Winner window_winner_avx512(const WindowBlock* window, int count, double* A, int ndisp, WindowEstimate estimate) {
  return window_winner<8>(window, count, A, ndisp, estimate);
}
