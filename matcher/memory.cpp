#include "matcher/memory.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <omp.h>

namespace ondrel::internal {

static std::atomic<long> g_allocations{0};
static std::atomic<long> g_fail_at{0};  // allocation number that fails, 0 = none
static std::atomic<int> g_thread_override{0};
static std::atomic<long> g_live{0};  // buffers handed out and not yet freed

namespace {
// Every buffer starts on a cache line. Otherwise where it starts depends on what the process
// allocated before, and so does the time of a match: the window kernel's block records (32
// bytes each, written and read back at once) straddled two lines in every other record when
// their buffer began 16 bytes past a line, and a store across two lines is not forwarded to
// the loads that follow (docs/design.md has what it cost).
constexpr size_t kLine = 64;
// malloc's blocks are aligned for any type, so the first line boundary past a block's start
// leaves room before it for the block's address, which ondrel_free reads.
static_assert(alignof(std::max_align_t) >= sizeof(void*), "no room for the block's address");

void* allocate(size_t count, size_t size, bool zeroed) {
  const long number = ++g_allocations;
  if (number == g_fail_at.load()) return nullptr;
  // an empty buffer gets one element, as it always has
  if (count == 0) count = 1;
  if (size == 0) size = 1;
  if (count > (SIZE_MAX - kLine) / size) return nullptr;
  const size_t bytes = count * size + kLine;
  char* block = static_cast<char*>(zeroed ? std::calloc(1, bytes) : std::malloc(bytes));
  if (!block) return nullptr;
  char* p = block + (kLine - reinterpret_cast<uintptr_t>(block) % kLine);
  std::memcpy(p - sizeof(void*), &block, sizeof(void*));
  ++g_live;
  return p;
}
}  // namespace

void* ondrel_alloc_zeroed(size_t count, size_t size) { return allocate(count, size, true); }

void* ondrel_alloc_uninitialized(size_t count, size_t size) { return allocate(count, size, false); }

void ondrel_free(void* p) {
  if (!p) return;
  --g_live;
  void* block;
  std::memcpy(&block, static_cast<char*>(p) - sizeof(void*), sizeof(void*));
  std::free(block);
}

int ondrel_thread_count() {
  const int forced = g_thread_override.load();
  return forced > 0 ? forced : omp_get_num_procs();
}

void ondrel_testing_fail_allocation(long n) {
  g_fail_at.store(n > 0 ? g_allocations.load() + n : 0);
}

long ondrel_testing_allocation_count() { return g_allocations.load(); }

long ondrel_testing_live_allocations() { return g_live.load(); }

void ondrel_testing_set_thread_count(int threads) { g_thread_override.store(threads); }

}  // namespace ondrel::internal
