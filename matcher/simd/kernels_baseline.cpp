// The kernels for the build's own instruction set: SSE2 on x86-64, the compiler's generic
// vectors elsewhere. Every CPU the build targets runs them.
#define ONDREL_SIMD_ISA baseline
#define ONDREL_SIMD_SHORTS 8
#define ONDREL_SIMD_DOUBLES 2
#define ONDREL_SIMD_CHUNK 4
#include "matcher/simd/kernels.simd.h"
