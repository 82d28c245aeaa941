// ondrel: interactive dense stereo matching on the four classic pairs.
#include <csignal>
#include <cstdio>

#include "app/dialogue.h"

int main() {
  // Past a file size limit, a write should fail with a message (and the earlier result stay)
  // rather than end the program.
  std::signal(SIGXFSZ, SIG_IGN);
  return run_dialogue(stdin);
}
