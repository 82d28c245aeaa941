#include "util/process.h"

#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void keep_freed_memory_for_reuse() {
#if defined(__GLIBC__)
  // Blocks up to 32 MiB come from the heap (larger ones are still mapped and returned on
  // release), and up to 256 MiB of free heap stay with the process.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}
