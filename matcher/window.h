// What the aggregation knows about one pixel's support window: its valid blocks, and the
// winner of its window costs. Plain types, shared by kernels.h and the SIMD units.
#pragma once

// One block of a pixel's window as the fast aggregation sees it: the block is valid for the
// disparities 0 .. last, and for disparity d its weight is left_weight * right_weights[d] and
// its cost costs[d].
struct WindowBlock {
  const int* costs;             // the block's cost vector
  const double* right_weights;  // wR(x - d, k) at index d
  float left_weight;            // ws[k] * wL(x, y, k), rounded to float
  int last;                     // last valid disparity
};

// What the first half of the window kernel tells the second: the lowest estimate of a window
// cost, and whether every sum lay in the range where the estimates hold.
struct WindowEstimate {
  double lowest;
  bool in_range;
};

// Winner search over the window costs A(0 .. ndisp-1) of one pixel. The running minimum m
// is an integer, initially kInitialRunningMin: a cost wins only when it lies below m, and m
// then becomes its integer part, so ties and costs within the same integer unit keep the
// lower disparity. A NaN never wins. found is false when no cost won (h = -1).
struct Winner {
  int m, h;
  bool found;
};
Winner select_winner(const double* costs, int ndisp);
