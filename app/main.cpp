// ondrel: interactive dense stereo matching on the four classic pairs.
#include <csignal>
#include <cstdio>

#include "app/dialogue.h"
#include "app/process.h"

int main() {
  // the four pairs one after the other, and their matches take about 16 MiB: page faults
  // were a fifth of the matching time. Pairs enlarged 4x (1800x1500) take about 40 MiB with
  // their images: with less made resident, one run in three paid 40-60 ms of first touches.
  keep_freed_memory_for_reuse(48 << 20);
  // Past a file size limit, a write should fail with a message (and the earlier result stay)
  // rather than end the program.
  std::signal(SIGXFSZ, SIG_IGN);
  return run_dialogue(stdin);
}
