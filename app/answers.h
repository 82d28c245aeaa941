// Reading the user's answers: one whitespace-delimited word each.
#pragma once

#include <cstdio>

// An answer buffer: 255 characters and the terminator.
constexpr int kAnswerSize = 256;

// Reads the next word from `in`, whatever line it stands on, into `word`. A longer word is
// consumed whole and kept truncated to 255 characters. Returns false at the end of input
// before any character of a word.
bool read_word(FILE* in, char word[kAnswerSize]);

// The word's leading base-10 integer: an optional sign and the digits that follow, the rest
// ignored; 0 without leading digits; saturated at the ends of the 32-bit range.
int number_of(const char* word);
