// The fast cost volume kernel for AVX2 (this unit is compiled with -mavx2; it runs
// only when the CPU has AVX2, see simd_paths.cpp).

#include "matcher/cost_volume_rows.h"

ONDREL_COST_ROWS(cost_volume_rows_avx2, int16_t) { cost_volume_rows<16, int16_t>(in, H, r, rows, st, y_begin, y_end, resume); }
ONDREL_COST_ROWS(cost_volume_rows_avx2, int32_t) { cost_volume_rows<16, int32_t>(in, H, r, rows, st, y_begin, y_end, resume); }
