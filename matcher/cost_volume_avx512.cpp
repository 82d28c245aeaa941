// The fast cost volume kernel for AVX-512 (this unit is compiled with -mavx512f -mavx512bw; it runs
// only when the CPU has both, see simd_paths.cpp).

// GCC 12 takes the deliberately undefined source operand inside its own AVX-512 conversion
// intrinsics for an uninitialised variable.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "matcher/cost_volume_rows.h"

ONDREL_COST_ROWS(cost_volume_rows_avx512, int16_t) { cost_volume_rows<32, int16_t>(in, H, r, rows, st, y_begin, y_end, resume); }
ONDREL_COST_ROWS(cost_volume_rows_avx512, int32_t) { cost_volume_rows<32, int32_t>(in, H, r, rows, st, y_begin, y_end, resume); }
