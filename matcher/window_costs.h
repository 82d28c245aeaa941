// The kernel of the fast aggregation: the window costs of one pixel for all disparities,
// accumulated several disparities at a time in SIMD registers, and their winner.
//
// The template is compiled once per vector width, each time in a unit built for that width:
// aggregation.cpp (SSE2, or generic vectors elsewhere), window_costs_avx2.cpp (-mavx2) and
// window_costs_avx512.cpp (-mavx512f -mavx512bw); aggregation.cpp picks one at run time
// (simd_width_bits). Its helpers sit in an unnamed namespace on purpose: every unit gets its
// own copy built for its own instruction set, so no wide-instruction copy can stand in for
// another unit's. For the same reason this header includes no library header with inline
// functions beyond <cstring> and the intrinsics.
//
// Exactness: per disparity d, the same operations as the straightforward aggregation, in the
// same order: w = (double)left_weight * (double)wR, weight_sum += w, cost_sum += w * (double)C
// for the valid blocks in block order, A(d) = (float)(cost_sum / weight_sum). Vector lanes
// do exactly what the scalar code does per d; no fused multiply-add (-ffp-contract=off).
#pragma once

#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "matcher/constants.h"
#include "matcher/window.h"

// The kernel per vector width, all with the contract of window_costs below. The AVX2 and
// AVX-512 ones exist in x86-64 builds (ONDREL_SIMD_X86); call them only on a CPU that has
// those instructions. (Chunks of twice the disparities were tried: fewer instructions, no
// faster on AVX2, slower on AVX-512, and more lanes wasted for small disparity counts.)
Winner window_costs_sse2(const WindowBlock* window, int count, int ndisp, double* A);
Winner window_costs_avx2(const WindowBlock* window, int count, int ndisp, double* A);
Winner window_costs_avx512(const WindowBlock* window, int count, int ndisp, double* A);
using WindowCosts = Winner (*)(const WindowBlock* window, int count, int ndisp, double* A);

namespace {

// The integer part of a cost below the running minimum; the clamp only guards the type.
inline int truncate_cost(float a) {
  if (a <= -2147483648.0f) return -2147483647 - 1;
  return static_cast<int>(a);
}

// Vector types of N doubles (GCC/clang vector extensions); the compiler maps them onto the
// SIMD registers the unit is compiled for: SSE2 (N = 2) on every x86-64, AVX2 (N = 4) and
// AVX-512 (N = 8) in the units compiled for those.
template <int N>
struct Vec {
  typedef double Doubles __attribute__((vector_size(8 * N)));
  typedef long long Mask __attribute__((vector_size(8 * N)));
  typedef int Ints __attribute__((vector_size(4 * N)));
  typedef float Floats __attribute__((vector_size(4 * N)));
};

// v = N consecutive ints converted to double (exact). Where the unit is compiled for the
// width, the conversion instruction is named: some compilers split the generic conversion
// into narrower pieces. The vectors go through references: no vector is passed or returned
// by value, so no call depends on the vector ABI.
template <int N>
[[gnu::always_inline]] inline void widen(typename Vec<N>::Doubles& v, const int* p) {
#if defined(__AVX512F__)
  if constexpr (N == 8) {
    v = _mm512_cvtepi32_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    return;
  }
#endif
#if defined(__AVX__)
  if constexpr (N == 4) {
    v = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    return;
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 2) {
    v = _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    return;
  }
#endif
  typename Vec<N>::Ints i;
  std::memcpy(&i, p, sizeof i);
  v = __builtin_convertvector(i, typename Vec<N>::Doubles);
}

// v rounded to float (to nearest, as a scalar conversion does) and widened back, exactly.
template <int N>
[[gnu::always_inline]] inline void round_to_float(typename Vec<N>::Doubles& v) {
#if defined(__AVX512F__)
  if constexpr (N == 8) {
    v = _mm512_cvtps_pd(_mm512_cvtpd_ps(v));
    return;
  }
#endif
#if defined(__AVX__)
  if constexpr (N == 4) {
    v = _mm256_cvtps_pd(_mm256_cvtpd_ps(v));
    return;
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 2) {
    v = _mm_cvtps_pd(_mm_cvtpd_ps(v));
    return;
  }
#endif
  v = __builtin_convertvector(__builtin_convertvector(v, typename Vec<N>::Floats), typename Vec<N>::Doubles);
}

template <int N>
[[gnu::always_inline]] inline void load(typename Vec<N>::Doubles& v, const double* p) {
  std::memcpy(&v, p, sizeof v);
}

// Window costs A(d) of one pixel, d = 0 .. ndisp-1 (A: ndisp doubles, each a float value),
// from its `count` valid blocks in block order (window[i].last < ndisp), and
// their winner under the rules of select_winner. Those rules pick, when every cost is >= 0
// or NaN, the first d with A(d) < trunc(lowest cost) + 1, and m = trunc(lowest cost): no
// earlier cost lies below that bound, so the running minimum is above A(d) when d comes and
// d wins, and no later cost lies below trunc(lowest cost). So the chunks keep the lowest
// cost, and one scan finds that first d. Should a cost be negative, select_winner itself
// decides.
// The disparities go in chunks of N * V, V vectors per sum held in registers; the last chunk
// ends at ndisp (it overlaps the one before when ndisp is not a multiple of the chunk and
// recomputes a few disparities with the same result), so that blocks valid up to
// max_disparity never take the partial path.
template <int N, int V>
[[gnu::always_inline]] inline Winner window_costs(const WindowBlock* window, int count, int ndisp, double* A) {
  typedef typename Vec<N>::Doubles Doubles;
  typedef typename Vec<N>::Mask Mask;
  constexpr int kChunk = N * V;
  Doubles lowest[V];  // per lane, the lowest cost so far (NaN never lowest)
  for (int v = 0; v < V; ++v)
    for (int j = 0; j < N; ++j) lowest[v][j] = static_cast<double>(ondrel::kInitialRunningMin);
  // most pixels have every block valid for every disparity: their loop needs no tests
  bool all_valid = ndisp >= kChunk;
  for (int i = 0; i < count; ++i) all_valid = all_valid && window[i].last == ndisp - 1;
  for (int d0 = 0;; d0 += kChunk) {
    if (d0 + kChunk > ndisp) d0 = ndisp > kChunk ? ndisp - kChunk : 0;
    Doubles weight_sum[V] = {}, cost_sum[V] = {};
    for (int i = 0; all_valid && i < count; ++i) {
      const WindowBlock& b = window[i];
      const double left = b.left_weight;
      for (int v = 0; v < V; ++v) {
        Doubles right, cost;
        load<N>(right, b.right_weights + d0 + N * v);
        widen<N>(cost, b.costs + d0 + N * v);
        const Doubles w = right * left;
        weight_sum[v] += w;
        cost_sum[v] += w * cost;
      }
    }
    for (int i = 0; !all_valid && i < count; ++i) {
      const WindowBlock& b = window[i];
      const int valid = b.last + 1 - d0;  // disparities of this chunk for which b is valid
      if (valid <= 0) continue;
      const double left = b.left_weight;  // broadcast by the vector-scalar products
      Doubles right, cost;
      if (valid >= kChunk) {
        for (int v = 0; v < V; ++v) {
          load<N>(right, b.right_weights + d0 + N * v);
          widen<N>(cost, b.costs + d0 + N * v);
          const Doubles w = right * left;
          weight_sum[v] += w;
          cost_sum[v] += w * cost;
        }
      } else {
        // the block's last disparities: nothing is read beyond them, and the lanes beyond
        // add exactly +0.0, which leaves the sums unchanged (they are never -0.0)
        double rights[kChunk] = {};
        int costs[kChunk] = {};
        for (int j = 0; j < valid; ++j) {
          rights[j] = b.right_weights[d0 + j];
          costs[j] = b.costs[d0 + j];
        }
        for (int v = 0; v < V; ++v) {
          load<N>(right, rights + N * v);
          widen<N>(cost, costs + N * v);
          Mask index;
          for (int j = 0; j < N; ++j) index[j] = N * v + j;
          const Mask inside = index < (Mask{} + valid);
          const Doubles w = reinterpret_cast<Doubles>(reinterpret_cast<Mask>(right * left) & inside);
          weight_sum[v] += w;
          cost_sum[v] += w * cost;
        }
      }
    }
    // the quotients rounded to float; the lowest of them
    const int n = ndisp - d0 < kChunk ? ndisp - d0 : kChunk;
    double a[kChunk];
    for (int v = 0; v < V; ++v) {
      Doubles rounded = cost_sum[v] / weight_sum[v];
      round_to_float<N>(rounded);
      const Mask below = rounded < lowest[v];
      lowest[v] = reinterpret_cast<Doubles>((below & reinterpret_cast<Mask>(rounded)) |
                                            (~below & reinterpret_cast<Mask>(lowest[v])));
      std::memcpy(n == kChunk ? A + d0 + N * v : a + N * v, &rounded, sizeof rounded);
    }
    if (n < kChunk)
      for (int j = 0; j < n; ++j) A[d0 + j] = a[j];
    if (d0 + kChunk >= ndisp) break;
  }

  // the winner (ndisp < kChunk leaves lanes beyond ndisp in `lowest`: they are 0/0, NaN)
  double low = static_cast<double>(ondrel::kInitialRunningMin);
  for (int v = 0; v < V; ++v)
    for (int j = 0; j < N; ++j)
      if (lowest[v][j] < low) low = lowest[v][j];
  Winner winner{ondrel::kInitialRunningMin, -1, false};
  if (!(low < static_cast<double>(ondrel::kInitialRunningMin))) return winner;
  if (low < 0.0) return select_winner(A, ndisp);
  winner.m = truncate_cost(static_cast<float>(low));
  const double bound = static_cast<double>(winner.m) + 1.0;
  int h = 0;
  while (!(A[h] < bound)) ++h;
  winner.h = h;
  winner.found = true;
  return winner;
}

}  // namespace
