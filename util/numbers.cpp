#include "util/numbers.h"

#include <climits>

int truncate_to_int(float v) {
  if (!(v == v)) return 0;
  if (v >= 2147483648.0f) return INT_MAX;
  if (v <= -2147483648.0f) return INT_MIN;
  return static_cast<int>(v);
}
