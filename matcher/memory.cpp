#include "matcher/memory.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <omp.h>

static std::atomic<long> g_allocations{0};
static std::atomic<long> g_fail_at{0};  // allocation number that fails, 0 = none
static std::atomic<int> g_thread_override{0};
static std::atomic<long> g_live{0};  // buffers handed out and not yet freed

namespace {
// Every buffer starts on a cache line. Otherwise where it starts depends on what the process
// allocated before, and so does the time of a match: the window kernel's block records (32
// bytes each, written and read back at once) straddled two lines in every other record when
// their buffer began 16 bytes past a line, a store across two lines is not forwarded to the
// loads that follow, and the program took 1.6 times as long on Teddy enlarged 4x.
constexpr size_t kLine = 64;
// Bytes before the returned pointer: the line boundary taken, and where it keeps the block.
constexpr size_t kOverhead = kLine + sizeof(void*);

void* allocate(size_t count, size_t size, bool zeroed) {
  const long number = ++g_allocations;
  if (number == g_fail_at.load()) return nullptr;
  // calloc(0, n) may return nullptr; ask for one element so that an empty buffer is not
  // mistaken for a failure.
  if (count == 0) count = 1;
  if (size == 0) size = 1;
  if (count > (SIZE_MAX - kOverhead) / size) return nullptr;
  const size_t bytes = count * size + kOverhead;
  char* block = static_cast<char*>(zeroed ? std::calloc(1, bytes) : std::malloc(bytes));
  if (!block) return nullptr;
  // the first line boundary with room for the block's address before it
  const uintptr_t at = reinterpret_cast<uintptr_t>(block) + sizeof(void*);
  char* p = block + (at + kLine - 1) / kLine * kLine - reinterpret_cast<uintptr_t>(block);
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
