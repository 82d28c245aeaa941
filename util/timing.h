// Elapsed time in ticks of the image library's tick counter.
#pragma once

#include <cstdint>

// Current value of the tick counter.
uint64_t Get_Time();

// Seconds from `start` to `end`: the tick difference modulo 2^64 read as unsigned, divided
// by the tick frequency, rounded to float. An end before the start gives a huge positive
// time, never a negative one.
float ElapsedTime(uint64_t start, uint64_t end);

// Reads the counter as end tick and prints "<seconds> sec : <label>\n" ("%3.3f").
void GetTimeAndPrintElapsedTime(const char* label, uint64_t start);

// Prints "<label> : <seconds> sec\n" ("%3.3f").
void PrintElapsedTime(const char* label, uint64_t start, uint64_t end);
