// The fast cost volume kernel for AVX2 (this unit is compiled with -mavx2; it runs
// only when the CPU has AVX2, see simd_paths.cpp).

#include "matcher/cost_volume_rows.h"

void cost_volume_rows_avx2(const CostVolumeInputs& in, int H, int r, int* const* cost_volume,
                           const CostVolumeStorage<int16_t>& st) {
  cost_volume_rows<16, int16_t>(in, H, r, cost_volume, st);
}
void cost_volume_rows_avx2(const CostVolumeInputs& in, int H, int r, int* const* cost_volume,
                           const CostVolumeStorage<int32_t>& st) {
  cost_volume_rows<16, int32_t>(in, H, r, cost_volume, st);
}
