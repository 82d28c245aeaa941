// Kept apart: the X11 header's macros clash with the image library's headers.
#include <X11/Xlib.h>

#include "app/display_probe.h"

bool display_available() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  XCloseDisplay(display);
  return true;
}
