// Whether the display window can be opened.
#pragma once

// True when an X display answers. The window toolkit ends the process when it cannot reach
// a display, so this is asked before any window is made.
bool display_available();
