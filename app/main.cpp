// ondrel: interactive dense stereo matching on the four classic pairs.
#include <csignal>
#include <cstdio>

#include "app/dialogue.h"
#include "util/process.h"

int main() {
  // the four pairs one after the other, and their matches take about 16 MiB: page faults
  // were a fifth of the matching time
  keep_freed_memory_for_reuse(24 << 20);
  // Past a file size limit, a write should fail with a message (and the earlier result stay)
  // rather than end the program.
  std::signal(SIGXFSZ, SIG_IGN);
  return run_dialogue(stdin);
}
