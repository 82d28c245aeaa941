// Settings of a program's whole process.
#pragma once

#include <cstddef>

// Keeps the memory that the program frees in the process for its next allocations, and puts
// the heap that serves them on huge pages where the kernel allows it (glibc; elsewhere
// nothing changes). Each match allocates its working storage and frees it at its end: freed
// pages that stay in the heap serve the next match without the page faults of fresh ones,
// and the fresh ones fault in 2 MiB at a time. warm_bytes of that heap (at most 120 MiB)
// are made resident at once (the first touch of a page the system has never given the
// process costs most where the machine is virtual: about 3 ms per 2 MiB on the machines here,
// and at times ten times as much), for a program that knows its next matches need that much.
// Call at the start of main, before any allocation of note.
void keep_freed_memory_for_reuse(size_t warm_bytes = 0);
