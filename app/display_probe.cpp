// Kept apart: the X11 header's macros clash with the image library's headers.
#include <X11/Xlib.h>

#include "app/display_probe.h"

bool display_available() {
  // Once had, the connection stays open for the life of the process. An X server with no
  // other client resets itself when its last client leaves, and refuses connections
  // meanwhile: closing here would let the window toolkit's own connection, made a moment
  // later, fail, and the toolkit would then end the whole program.
  static Display* display = nullptr;
  if (!display) display = XOpenDisplay(nullptr);
  return display != nullptr;
}
