// The library on a pair it makes itself (no image library needed): a random texture seen
// through a shift of SHIFT pixels, matched with ondrel::match, an ondrel::Matcher and
// ondrel::match_refined.
//   match_pair [SHIFT]      prints the disparity at the centre of each map
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <ondrel/ondrel.h>
#include <ondrel/refine.h>

int main(int argc, char** argv) {
  const int W = 96, H = 64, shift = argc > 1 ? std::atoi(argv[1]) : 7;
  // right(x) = left(x + shift): every left pixel lies `shift` columns further right than its match
  std::vector<unsigned char> left(3 * W * H), right(3 * W * H);
  std::mt19937 random(1);
  for (unsigned char& v : left) v = static_cast<unsigned char>(random());
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < 3; ++c) right[3 * (y * W + x) + c] = left[3 * (y * W + std::min(x + shift, W - 1)) + c];
  const ondrel::ImageView l{left.data(), W, H, 3 * W}, r{right.data(), W, H, 3 * W};

  ondrel::Parameters p;  // the example answers: R 19, r 6, gamma_space 14, gamma_color 23, TAD 53
  p.max_disparity = 15;
  p.support_radius = 4;
  p.block_radius = 1;
  std::vector<float> disparity(W * H), refined(W * H);
  ondrel::DisparityPlanes out;
  out.disparity = {disparity.data(), W, H, W};
  ondrel::Status s = ondrel::match(l, r, p, ondrel::Options{}, out);
  if (!s.ok()) return std::fprintf(stderr, "%s\n", s.message), 1;
  std::printf("match: disparity at the centre: %.0f\n", disparity[H / 2 * W + W / 2]);

  ondrel::Matcher matcher;  // keeps its storage for the next calls
  for (int call = 0; call < 2; ++call) {
    std::fill(disparity.begin(), disparity.end(), 0.0f);
    s = matcher.compute(l, r, p, ondrel::Options{}, out);
    if (!s.ok()) return std::fprintf(stderr, "%s\n", s.message), 1;
  }
  std::printf("Matcher: disparity at the centre: %.0f\n", disparity[H / 2 * W + W / 2]);

  s = ondrel::match_refined(l, r, p, ondrel::RefineOptions{}, ondrel::Options{}, {refined.data(), W, H, W});
  if (!s.ok()) return std::fprintf(stderr, "%s\n", s.message), 1;
  std::printf("match_refined: disparity at the centre: %.0f\n", refined[H / 2 * W + W / 2]);
  return 0;
}
