// The fast aggregation's window kernel for AVX2 (this unit is compiled with -mavx2; it runs
// only when the CPU has AVX2, see simd_paths.cpp).

#include "matcher/window_costs.h"

Winner window_costs_avx2(const WindowBlock* window, int count, int ndisp, double* A) {
  return window_costs<4, 2>(window, count, ndisp, A);
}
