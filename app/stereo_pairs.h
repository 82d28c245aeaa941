// The four stereo pairs the program offers.
#pragma once

struct StereoPair {
  int id;                       // the number the user types
  const char* left_file;        // input, in the working directory
  const char* right_file;
  int max_disparity;            // disparities 0 .. max_disparity are examined
  int scale;                    // grey level per pixel of disparity
  const char* disparity_file;   // output: disparity map
  const char* uniqueness_file;  // output: disparity map after the uniqueness constraint
};

constexpr int kStereoPairCount = 4;
extern const StereoPair kStereoPairs[kStereoPairCount];

// The row whose id is `id`, or nullptr.
const StereoPair* find_stereo_pair(int id);
