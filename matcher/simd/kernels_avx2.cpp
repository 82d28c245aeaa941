// The kernels for AVX2 (this unit is compiled with -mavx2; its table is picked only when the
// CPU has AVX2, see dispatch.cpp).
#define ONDREL_SIMD_ISA avx2
#define ONDREL_SIMD_SHORTS 16
#define ONDREL_SIMD_DOUBLES 4
#define ONDREL_SIMD_CHUNK 1
#include "matcher/simd/kernels.simd.h"
