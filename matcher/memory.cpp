#include "matcher/memory.h"

#include <atomic>
#include <cstdlib>

#include <omp.h>

static std::atomic<long> g_allocations{0};
static std::atomic<long> g_fail_at{0};  // allocation number that fails, 0 = none
static std::atomic<int> g_thread_override{0};
static std::atomic<long> g_live{0};  // buffers handed out and not yet freed

namespace {
void* allocate(size_t count, size_t size, bool zeroed) {
  const long number = ++g_allocations;
  if (number == g_fail_at.load()) return nullptr;
  if (size != 0 && count > static_cast<size_t>(-1) / size) return nullptr;
  // calloc(0, n) may return nullptr; ask for one element so that an empty buffer is not
  // mistaken for a failure.
  if (count == 0) count = 1;
  if (size == 0) size = 1;
  void* p = zeroed ? std::calloc(count, size) : std::malloc(count * size);
  if (p) ++g_live;
  return p;
}
}  // namespace

void* ondrel_alloc_zeroed(size_t count, size_t size) { return allocate(count, size, true); }

void* ondrel_alloc_uninitialized(size_t count, size_t size) { return allocate(count, size, false); }

void ondrel_free(void* p) {
  if (p) --g_live;
  std::free(p);
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
