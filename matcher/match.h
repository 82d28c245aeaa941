// The matcher's one entry behind ondrel::match and the console program's Ondrel_QUIRN: it
// checks the arguments, owns every working buffer and runs the phases in order:
//   1. tables and working storage: the colour weight table (shared while gamma_color is the
//      same), the spatial weights, per worker a ring of cost rows and the aggregation scratch;
//   2. block sums and block means of both views (all threads);
//   3. per worker, a band of rows: the cost rows streamed through the ring just ahead of the
//      aggregation that reads them, then the row's winners, refinement and uniqueness check.
// Prints nothing: failures come back as a status with the program's message text.
#pragma once

#include <cstddef>
#include <cstdint>

#include <ondrel/ondrel.h>

namespace ondrel {
namespace internal {

// 8-bit outputs as the console program writes them (see disparity_byte_of): W bytes per row,
// rows `stride` bytes apart, in the order disparity, right disparity, uniqueness.
struct ByteOutputs {
  unsigned char* data[3] = {};
  size_t stride[3] = {};
  int scale = 1;
};

// What a call tells its caller beyond the status.
struct Report {
  Timings timings;                  // the phases' seconds, as far as the call came
  bool failed_in_matching = false;  // the failure came after the tables and working storage
  char text[256] = {};              // the failure's message as the program prints it (with its newlines)
};

// The radius check of the argument checks: whether blocks of side 2r+1 tile the support
// window of side 2R+1, computed as the window's area over the block's in double, rounded to
// float and compared with its integer part. For 0 <= r, R <= kMaxSupportRadius it is exactly
// "2r+1 divides 2R+1" (a test checks every pair).
bool radii_tile(int R, int r);

// The argument checks, in the program's order. views_ok: the caller's check of the views'
// and outputs' types and sizes. Fills *status and report->text and returns false when refused.
bool check_arguments(const ImageView& left, bool views_ok, int min_disparity, const Parameters& p,
                     Status* status, Report* report);

// One call: floats and/or bytes (either may be null). report may not be null.
Status run(const ImageView& left, const ImageView& right, const Parameters& p, const Options& options,
           const DisparityPlanes* floats, const ByteOutputs* bytes, Report* report);

}  // namespace internal
}  // namespace ondrel
