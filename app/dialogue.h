// The console dialogue: banner, display question, and the run loop over stereo pairs.
#pragma once

#include <cstdio>

// Runs the whole dialogue, reading answers from `in` and writing every text to standard
// output. Returns the program's exit status: 0 when the user quits (answer "q", or the end of
// input at the continue question), 1 when the input ends at any other question.
int run_dialogue(FILE* in);
