// ondrel: interactive dense stereo matching on the four classic pairs.
#include <cstdio>

#include "app/dialogue.h"

int main() { return run_dialogue(stdin); }
