// The one dispatch point of the vector kernels (dispatch.cpp).
//
#pragma once

namespace ondrel::internal {

// The cost volume and the aggregation are compiled for several vector widths and take the
// widest one that the CPU runs, chosen at run time (simd::kernel_table,
// matcher/simd/kernel_table.h); the build itself stays portable. Every path does the same integer
// and floating-point operations, so all give the same bytes.

// Widest vector the kernels use, in bits: 512 (AVX-512 F and BW), 256 (AVX2) or 128
// (SSE2, or the compiler's generic code on other processors).
int simd_width_bits();

// Test hook: no path wider than `bits` (128, 256 or 512); 0 lifts the limit. Set it while no
// kernel runs.
void ondrel_testing_limit_simd(int bits);

// Whether the 512-bit path counts bits with the CPU's lane popcount (VPOPCNTDQ) where it has
// one; it gives the same bytes as the counting without it.
bool lane_popcount();

// Test hook: whether the 512-bit path may use the lane popcount (default true). Set it while
// no kernel runs.
void ondrel_testing_allow_lane_popcount(bool allowed);

}  // namespace ondrel::internal
