// The fast aggregation's window kernel for AVX2 (this unit is compiled with -mavx2; it runs
// only when the CPU has AVX2, see simd_paths.cpp).

#include "matcher/window_costs.h"

WindowEstimate window_sums_avx2(const WindowBlock* window, int count, int ndisp, double* A) {
  return window_sums_fitted<4, 2>(window, count, ndisp, A);
}
Winner window_winner_avx2(const WindowBlock* window, int count, double* A, int ndisp, WindowEstimate estimate) {
  return window_winner<4>(window, count, A, ndisp, estimate);
}
