// What the two fuzz targets share: a private working folder holding tiny input images, the
// dialogue run in-process on a byte string, and the caps that keep one input fast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Largest number a dialogue answer may read as (when it is at most 2047, the largest
// support radius the dialogue takes) for the dialogue target to run the input. The cost of a
// pass grows with the square of the support radius over the block radius (up to 16.7 million
// blocks per window at radius 2047), so large radii make a pass take minutes on even the
// tiniest image without reaching any code that small radii do not. The cap also keeps the
// gammas and the TAD threshold at 7 or less, or above 2047: above a few units those answers
// change only numbers, never the path taken.
constexpr int kFuzzLargestRadius = 7;

// Largest decoded image (pixels) for the image target: the image library refuses anything
// larger as unreadable (its own size limit, lowered through its environment variable), so
// that a header claiming a huge size costs no gigabytes and a large image no seconds.
constexpr int kFuzzLargestImagePixels = 4096;

// Creates a fresh folder under $TMPDIR (or /dev/shm, or /tmp), makes it the working directory and arranges
// for it to be removed at exit. Standard output goes to /dev/null, the display is switched
// off (DISPLAY unset), the image library's log is silenced and the matcher uses 2 threads
// whatever the processor count.
// Returns the folder. The fuzzing engine reads its arguments after this: give it absolute
// paths for the corpus and the artifacts.
std::string enter_fuzz_work_dir();

// Writes the eight input files of the four pairs into the working directory, each pair
// tiny and with a shape of its own: Tsukuba 20x7 colour; Venus 12x9, narrower than its
// disparity range; Teddy 64x5, just wider than its range; Cones a 16x8 grey left view and a
// 17x8 right view (sizes differ).
void write_fixture_pairs();

// Runs the dialogue with `size` bytes of `data` as standard input. Returns its status.
int run_dialogue_on_bytes(const uint8_t* data, size_t size);

// Removes the result files a dialogue may have left in the working directory.
void remove_result_files();

// True when some whitespace-delimited word of data reads (as the dialogue reads numbers)
// as a value in kFuzzLargestRadius + 1 .. 2047.
bool has_costly_number(const uint8_t* data, size_t size);
