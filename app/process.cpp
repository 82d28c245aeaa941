#include "app/process.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#endif

void keep_freed_memory_for_reuse(size_t warm_bytes) {
#if defined(__GLIBC__)
  // Blocks up to 32 MiB come from the heap (larger ones are still mapped and returned on
  // release), and up to 256 MiB of free heap stay with the process.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#if defined(MADV_HUGEPAGE)
  // The heap's next 124 MiB on huge pages where the system allows them: the first touch of a
  // fresh 4 KiB page costs several microseconds (about 10 on virtual machines), that of a
  // 2 MiB page about as much as 20 of them. The blocks are taken and given back: they stay in
  // the heap as free memory, and only what is used (and warm_bytes) becomes resident.
  constexpr size_t kBlock = 31u << 20;
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  void* blocks[4];
  for (void*& b : blocks) b = std::malloc(kBlock);
  uintptr_t lo = UINTPTR_MAX, hi = 0;  // lo: the lowest block's start, then the first huge page in it
  for (void* b : blocks) {
    if (!b) continue;
    const uintptr_t at = reinterpret_cast<uintptr_t>(b);
    lo = at < lo ? at : lo;
    hi = at + kBlock > hi ? at + kBlock : hi;
  }
  lo = (lo + kHuge - 1) & ~(kHuge - 1);
  hi &= ~(kHuge - 1);
  // contiguous blocks only (a heap that grows upward); otherwise nothing is asked
  if (lo < hi && hi - lo <= 4 * kBlock) {
    madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
    // the start of that heap made resident now, which the next blocks are cut from: block by
    // block from the lowest, each inside its own bounds (the allocator's records lie between)
    uintptr_t order[4];
    for (int i = 0; i < 4; ++i) order[i] = reinterpret_cast<uintptr_t>(blocks[i]);
    std::sort(order, order + 4);
    size_t warm = warm_bytes;
    for (const uintptr_t at : order) {
      const uintptr_t start = at > lo ? at : lo, end = at + kBlock;
      if (at == 0 || warm == 0 || end <= start) continue;
      const size_t n = warm < end - start ? warm : end - start;
      std::memset(reinterpret_cast<void*>(start), 0, n);
      warm -= n;
    }
  }
  for (void* b : blocks) std::free(b);
#endif
#endif
}
