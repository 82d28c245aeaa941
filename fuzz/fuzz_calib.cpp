// Fuzz target: arbitrary bytes as a calib.txt. A calibration that reads holds values in their
// ranges; a refused one leaves the caller's calibration as it was and says why in one line.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "util/calib.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Calibration c;
  c.ndisp = -7, c.width = -8, c.height = -9;  // no parse gives these
  std::string reason;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!parse_calib(text, &c, &reason)) {
    if (reason.empty() || reason.find('\n') != std::string::npos || c.ndisp != -7 || c.width != -8 || c.height != -9)
      std::abort();
    return 0;
  }
  if (c.ndisp < 1 || c.ndisp > 536870912 || c.width < 0 || c.height < 0) std::abort();
  if (!std::isfinite(c.focal) || !std::isfinite(c.cx) || !std::isfinite(c.cy) || !std::isfinite(c.doffs) ||
      !(c.baseline >= 0) || !std::isfinite(c.baseline) || (c.has_camera && !(c.focal > 0)) ||
      (c.has_baseline && !(c.baseline > 0)))
    std::abort();
  return 0;
}
