// The kernels for AVX-512 (this unit is compiled with -mavx512f -mavx512bw -mavx512dq; its
// table is picked only when the CPU has all three, see dispatch.cpp).

#define ONDREL_SIMD_ISA avx512
#define ONDREL_SIMD_SHORTS 32
#define ONDREL_SIMD_DOUBLES 8
#define ONDREL_SIMD_CHUNK 2
#include "matcher/simd/kernels.simd.h"
