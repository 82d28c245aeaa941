// Optional record of the phase boundaries of one Ondrel_QUIRN call, for the benchmark.
// Recording reads the tick counter (Get_Time) at each boundary and writes the ticks into the
// caller's record; it prints nothing and changes nothing else.
#pragma once

#include <cstdint>

// Ticks read by Ondrel_QUIRN, in the order of its phases. A phase lasts from one field to
// the next: tables and allocation (start .. tables), block sums and means, the streamed cost
// rows with the aggregation, release (.. done).
struct OndrelPhaseTicks {
  uint64_t start;        // before the colour weight table
  uint64_t tables;       // tables filled and working storage allocated
  uint64_t block_means;  // cost streams opened, both block regions joined
  uint64_t aggregation;  // the streamed cost rows and the aggregation joined
  uint64_t done;         // working storage released
};

// Every later successful call of Ondrel_QUIRN writes its ticks into *sink; nullptr stops
// the recording. Not thread-safe: set it while no call runs.
void ondrel_record_phase_ticks(OndrelPhaseTicks* sink);
