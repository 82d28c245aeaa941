// Small numeric conversions shared by the program's texts.
#pragma once

// v truncated toward zero to an int, saturated at the ends of the int range; 0 for a NaN.
// (A plain conversion of a float outside the range is undefined.)
int truncate_to_int(float v);
