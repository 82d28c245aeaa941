// The fast aggregation's window kernels for AVX2 (this unit is compiled with -mavx2; they
// run only when the CPU has AVX2, see simd_paths.cpp): chunks of 8 and of 16 disparities.

#include "matcher/window_costs.h"

Winner window_costs_avx2(const WindowBlock* window, int count, int ndisp, double* A) {
  return window_costs<4, 2>(window, count, ndisp, A);
}

Winner window_costs_avx2_wide(const WindowBlock* window, int count, int ndisp, double* A) {
  return window_costs<4, 4>(window, count, ndisp, A);
}
