// The AVX-512 kernels again, for CPUs that also count bits lane by lane (VPOPCNTDQ): the
// refined pipeline's census costs count with it (see hamming8 in vec.h); every other kernel
// is the same code as in kernels_avx512.cpp. Compiled with -mavx512vpopcntdq as well; its
// table is picked only when the CPU has all four (dispatch.cpp).

#define ONDREL_SIMD_ISA avx512_popcount
#define ONDREL_SIMD_SHORTS 32
#define ONDREL_SIMD_DOUBLES 8
#define ONDREL_SIMD_CHUNK 2
#include "matcher/simd/kernels.simd.h"
