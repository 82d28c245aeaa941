// Working memory of the matcher, and the hooks that let tests make it fail.
#pragma once

#include <cstddef>

namespace ondrel::internal {

// count * size zero-filled bytes starting on a 64-byte boundary (a cache line), or nullptr
// when the size overflows, the memory cannot be had, or a test asked this allocation to
// fail. Release with ondrel_free (not free: the block starts before the pointer).
void* ondrel_alloc_zeroed(size_t count, size_t size);
// The same, not zero-filled: for buffers that are written before they are read, where
// clearing reused memory would only cost time (the cost rings: a fifth of a millisecond per
// call and worker on a small pair).
void* ondrel_alloc_uninitialized(size_t count, size_t size);
void ondrel_free(void* p);

// count zero-filled elements of T (see ondrel_alloc_zeroed).
template <typename T>
T* ondrel_alloc_array(size_t count) {
  return static_cast<T*>(ondrel_alloc_zeroed(count, sizeof(T)));
}

// Number of threads the matcher's parallel regions use: the number of processors unless a
// test has set another count.
int ondrel_thread_count();

// Test hooks.
// The n-th allocation from now (1 = the next one) fails; 0 cancels. Thread-safe.
void ondrel_testing_fail_allocation(long n);
// Allocations made since the program started.
long ondrel_testing_allocation_count();
// Buffers obtained from ondrel_alloc_zeroed and not yet released with ondrel_free.
long ondrel_testing_live_allocations();
// Thread count of the parallel regions; 0 restores the number of processors.
void ondrel_testing_set_thread_count(int threads);

}  // namespace ondrel::internal
