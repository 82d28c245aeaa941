// Constants shared by the matcher's kernels.
#pragma once

namespace ondrel::internal {

// Colour weight table: indexed by a squared colour distance of three 8-bit channels.
constexpr int kExpLutSize = 3 * 256 * 256;  // 196608 entries
constexpr int kExpLutFilled = 3 * 255 * 255;  // 195075: entries from here on are never written

// Winner search: start of the integer running minimum; a cost at or above it never wins.
constexpr int kInitialRunningMin = 1000000;

// Uniqueness claim table: an unclaimed right-view column.
constexpr int kUnclaimedDisparity = -1;
constexpr float kUnclaimedCost = 500000000.0f;

}  // namespace ondrel::internal
