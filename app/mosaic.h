// Two images of equal size side by side in one image, for display.
//
// W and H are the width and height of `first`; they govern both halves. Each image is
// addressed with its own row stride (bytes); channel bytes are copied in stored order.
// The caller creates the mosaic (at least 2W x H) and keeps the sizes consistent; the
// functions only write pixels 0 .. 2W-1 of rows 0 .. H-1. Both always return 0.
#pragma once

#include <opencv2/core/mat.hpp>

// first, second: 1 channel, 8 bit (second at least W x H); mosaic: 1 channel, 8 bit.
int MosaicTwoHorizontalGreyscale(const cv::Mat& first, const cv::Mat& second, cv::Mat& mosaic);

// A source whose flag is true has 3 channels and is copied byte for byte; one whose flag is
// false has 1 channel and each byte goes into all three channels (grey). mosaic: 3 channels.
int MosaicTwoHorizontalColor(const cv::Mat& first, bool first_is_color, const cv::Mat& second,
                             bool second_is_color, cv::Mat& mosaic);
