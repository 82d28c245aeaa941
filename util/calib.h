// The few keys of a Middlebury calib.txt that matching needs.
//
// The file is lines of key=value (white space around either is ignored, as are CR line ends
// and lines without '='). Only three keys are read: ndisp, the number of disparities
// (required, an integer in 1 .. 536870912), and width and height (optional, integers in
// 1 .. 2147483647). Every other key (camera matrices, doffs, baseline, vmin, ...) is ignored
// unread, so files without camera matrices are fine. A read key given twice, or with a value
// that is not such a decimal integer (a sign, a fraction, an exponent, trailing text,
// overflow), is refused with a reason naming the key and the value.
#pragma once

#include <string>

struct Calibration {
  int ndisp = 0;
  int width = 0, height = 0;  // 0 when the file does not give them
};

// The calibration in `text`; false with *reason (one phrase) when it is refused. *calibration
// is changed only on success.
bool parse_calib(const std::string& text, Calibration* calibration, std::string* reason);

// parse_calib of the file `path`; the reason also tells a missing or unreadable file.
bool read_calib(const std::string& path, Calibration* calibration, std::string* reason);
