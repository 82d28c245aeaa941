// Settings of a program's whole process.
#pragma once

// Keeps the memory that the program frees in the process for its next allocations (glibc;
// elsewhere nothing changes). Each match allocates its working storage and frees it at its
// end: freed pages that stay in the heap serve the next match without the page faults of
// fresh ones. Call at the start of main, before any allocation of note.
void keep_freed_memory_for_reuse();
