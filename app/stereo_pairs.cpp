#include "app/stereo_pairs.h"

// max_disparity * scale stays below 255, the byte of a pixel without a value.
const StereoPair kStereoPairs[kStereoPairCount] = {
    {1, "Tsukuba_L.png", "Tsukuba_R.png", 15, 16, "Result_Tsukuba.png", "Result_Tsukuba_SMP.png"},
    {2, "Venus_L.png", "Venus_R.png", 19, 8, "Result_Venus.png", "Result_Venus_SMP.png"},
    {3, "Teddy_L.png", "Teddy_R.png", 59, 4, "Result_Teddy.png", "Result_Teddy_SMP.png"},
    {4, "Cones_L.png", "Cones_R.png", 59, 4, "Result_Cones.png", "Result_Cones_SMP.png"},
};

const StereoPair* find_stereo_pair(int id) {
  for (const StereoPair& pair : kStereoPairs)
    if (pair.id == id) return &pair;
  return nullptr;
}
