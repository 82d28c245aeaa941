// The keys of a Middlebury calib.txt that matching, depth and point clouds need: the one
// reader of that file for the programs, the tools and Python.
//
// The file is lines of key=value (white space around either is ignored, as are CR line ends
// and lines without '='). These keys are read:
//   ndisp     the number of disparities: required, an integer in 1 .. 536870912
//   width, height   optional, integers in 1 .. 2147483647
//   cam0      optional, the left camera's matrix "[f 0 cx; 0 f cy; 0 0 1]": nine finite
//             numbers, f > 0 (its focal length and principal point in pixels)
//   baseline  optional, a finite number > 0 (the distance of the cameras, in the file's unit)
//   doffs     optional, a finite number (the x-difference of the principal points; 0 when absent)
// Every other key (cam1, vmin, isint, ...) is ignored unread, so the files of the 2006 layout,
// which have no camera, are fine. A read key given twice, or with a value not of its form (a
// fraction or trailing text where an integer is due, an overflow, a matrix of another size),
// is refused with a reason naming the key and the value.
#pragma once

#include <string>

struct Calibration {
  int ndisp = 0;
  int width = 0, height = 0;  // 0 when the file does not give them
  bool has_camera = false;    // cam0 given: focal, cx and cy hold its values
  double focal = 0, cx = 0, cy = 0;
  bool has_baseline = false;  // baseline given
  double baseline = 0;
  double doffs = 0;
};

// The calibration in `text`; false with *reason (one phrase) when it is refused. *calibration
// is changed only on success.
bool parse_calib(const std::string& text, Calibration* calibration, std::string* reason);

// parse_calib of the file `path`; the reason also tells a missing or unreadable file.
bool read_calib(const std::string& path, Calibration* calibration, std::string* reason);
