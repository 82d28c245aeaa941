// Image files and the display window, with failures returned as results (the image library
// reports some of them by exception; nothing here lets one escape).
#pragma once

#include <opencv2/core/mat.hpp>

// The PNG (or other image) `file` as a 3-channel 8-bit colour image; grey images are expanded,
// alpha dropped, 16-bit samples reduced. An empty Mat when it is missing or unreadable.
cv::Mat load_color_image(const char* file);

// A new rows x cols image of `type` in `image`; false when it cannot be had.
bool create_image(cv::Mat& image, int rows, int cols, int type);

// Writes `image` as PNG to `file` completely or not at all: the data goes to a temporary file
// beside it, which then replaces `file`. On failure prints a message naming the file and the
// reason, removes the temporary file and leaves any earlier `file` as it was.
bool save_png(const char* file, const cv::Mat& image);

// Shows `image` in an auto-sized window named `title` until a key is pressed in it, then
// closes the window. False when the window could not be shown.
bool show_until_key(const char* title, const cv::Mat& image);
