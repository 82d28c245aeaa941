// The one vector layer of the SIMD kernels: vectors of N elements of type T (GCC/clang vector
// extensions; the compiler maps them onto the registers of the unit's instruction set, two or
// more registers per vector where one is too narrow), and the few helpers the kernels need.
// Where the unit is compiled for the width, a helper names its instruction: some compilers
// split the generic code into narrower pieces. Vectors go through references: no vector is
// passed or returned by value, so no call depends on the vector ABI.
//
// Included only by matcher/simd/kernels.simd.h, inside the namespace of the unit's
// instruction set (ONDREL_SIMD_ISA), after <cstring> and the intrinsics.
#pragma once

template <typename T, int N>
struct VecOf {
  typedef T type __attribute__((vector_size(sizeof(T) * N)));
};
template <typename T, int N>
using Vec = typename VecOf<T, N>::type;

// Masks of N lanes of 64 bits, as the comparisons of doubles give them.
template <int N>
using Mask = Vec<long long, N>;

template <typename V, typename T>
[[gnu::always_inline]] inline void load(V& v, const T* p) {
  std::memcpy(&v, p, sizeof v);
}

template <typename T, typename V>
[[gnu::always_inline]] inline void store(T* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

// v = the lanes of a where m is set, of b elsewhere (doubles, bit for bit).
template <int N>
[[gnu::always_inline]] inline void blend(Vec<double, N>& v, const Mask<N>& m, const Vec<double, N>& a,
                                          const Vec<double, N>& b) {
  v = reinterpret_cast<Vec<double, N>>((m & reinterpret_cast<Mask<N>>(a)) | (~m & reinterpret_cast<Mask<N>>(b)));
}

// v = a < b ? a : b lane by lane (b where either is NaN): the instruction's own rule.
template <int N>
[[gnu::always_inline]] inline void lower(Vec<double, N>& v, const Vec<double, N>& a, const Vec<double, N>& b) {
#if defined(__AVX512F__)
  if constexpr (N == 8) {
    v = _mm512_min_pd(a, b);
    return;
  }
#endif
#if defined(__AVX__)
  if constexpr (N == 4) {
    v = _mm256_min_pd(a, b);
    return;
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 2) {
    v = _mm_min_pd(a, b);
    return;
  }
#endif
  blend<N>(v, a < b, a, b);
}

// 0, 1, 2, ...: lane numbers, read into a vector rather than built lane by lane.
alignas(64) constexpr long long kLaneIndex[64] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
    22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
    44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};

alignas(64) constexpr int16_t kLaneIndex16[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                                  11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                                  22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

// m = the lanes whose number first + j is below n.
template <int N>
[[gnu::always_inline]] inline void lanes_below(Mask<N>& m, int first, int n) {
  load(m, kLaneIndex + first);
  m = m < (Mask<N>{} + n);
}

// v = N consecutive ints or 16-bit ints (I) converted to double (exact).
template <int N, typename I>
[[gnu::always_inline]] inline void widen(Vec<double, N>& v, const I* p) {
  static_assert(sizeof(I) == 4 || sizeof(I) == 2, "ints or 16-bit ints");
  constexpr bool kShort = sizeof(I) == 2;
#if defined(__AVX512F__)
  if constexpr (N == 8) {
    if constexpr (kShort)  // (through 64-bit ints: two instructions where 32-bit ones take three)
      v = _mm512_cvtepi64_pd(_mm512_cvtepi16_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    else
      v = _mm512_cvtepi32_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    return;
  }
#endif
#if defined(__AVX__)
  if constexpr (N == 4) {
    if constexpr (kShort)
      v = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    else
      v = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    return;
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 2 && !kShort) {
    v = _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    return;
  }
#endif
  Vec<I, N> i;
  load(i, p);
  v = __builtin_convertvector(i, Vec<double, N>);
}

// v = N consecutive 16-bit ints converted to float (exact).
template <int N>
[[gnu::always_inline]] inline void widen(Vec<float, N>& v, const int16_t* p) {
#if defined(__AVX512F__)
  if constexpr (N == 16) {
    v = _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (N == 8) {
    v = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    return;
  }
#endif
  Vec<int16_t, N> i;
  load(i, p);
  v = __builtin_convertvector(i, Vec<float, N>);
}

// v = the floats of half h (0: the lower lanes) of the 2N 16-bit ints of s (exact).
template <int N>
[[gnu::always_inline]] inline void widen_half(Vec<float, N>& v, const Vec<int16_t, 2 * N>& s, int h) {
#if defined(__AVX512F__)
  if constexpr (N == 16) {
    const __m512i i = reinterpret_cast<__m512i>(s);
    v = _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(h ? _mm512_extracti64x4_epi64(i, 1) : _mm512_castsi512_si256(i)));
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (N == 8) {
    const __m256i i = reinterpret_cast<__m256i>(s);
    v = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(h ? _mm256_extracti128_si256(i, 1) : _mm256_castsi256_si128(i)));
    return;
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 4) {
    const __m128i i = reinterpret_cast<__m128i>(s);
    v = _mm_cvtepi32_ps(_mm_srai_epi32(h ? _mm_unpackhi_epi16(i, i) : _mm_unpacklo_epi16(i, i), 16));
    return;
  }
#endif
  Vec<int16_t, N> half;
  std::memcpy(&half, reinterpret_cast<const char*>(&s) + h * sizeof half, sizeof half);
  v = __builtin_convertvector(half, Vec<float, N>);
}

// sum += x in the lanes j where a[h N + j] == b[h N + j] (half h of the 2N 16-bit lanes of a
// and b); the others add nothing (a sum that is not -0 stays the same when +0 is added).
template <int N>
[[gnu::always_inline]] inline void add_where_equal(Vec<float, N>& sum, const Vec<int16_t, 2 * N>& a,
                                                   const Vec<int16_t, 2 * N>& b, int h, const Vec<float, N>& x) {
#if defined(__AVX512BW__)
  if constexpr (N == 16) {
    const __mmask32 equal = _mm512_cmpeq_epi16_mask(reinterpret_cast<__m512i>(a), reinterpret_cast<__m512i>(b));
    sum = _mm512_mask_add_ps(sum, static_cast<__mmask16>(h ? equal >> 16 : equal), sum, x);
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (N == 8) {
    const __m256i equal = _mm256_cmpeq_epi16(reinterpret_cast<__m256i>(a), reinterpret_cast<__m256i>(b));
    const __m256i m = _mm256_cvtepi16_epi32(h ? _mm256_extracti128_si256(equal, 1) : _mm256_castsi256_si128(equal));
    sum += reinterpret_cast<Vec<float, N>>(reinterpret_cast<__m256i>(x) & m);
    return;
  }
#endif
  const Vec<int16_t, 2 * N> equal = a == b;
  Vec<int16_t, N> half;
  std::memcpy(&half, reinterpret_cast<const char*>(&equal) + h * sizeof half, sizeof half);
  sum += reinterpret_cast<Vec<float, N>>(reinterpret_cast<Vec<int, N>>(x) & __builtin_convertvector(half, Vec<int, N>));
}

// s += a * b for floats: one rounding where the unit fuses the two (AVX-512), two elsewhere.
template <int N>
[[gnu::always_inline]] inline void add_product(Vec<float, N>& s, const Vec<float, N>& a, const Vec<float, N>& b) {
#if defined(__AVX512F__)
  if constexpr (N == 16) {
    s = _mm512_fmadd_ps(a, b, s);
    return;
  }
#endif
  s += a * b;
}

// The lowest lane of v, NaNs left out (+inf when every lane is NaN or +inf).
template <int N>
[[gnu::always_inline]] inline float lowest_lane(const Vec<float, N>& v) {
#if defined(__AVX512F__)
  if constexpr (N == 16) return _mm512_reduce_min_ps(_mm512_min_ps(v, _mm512_set1_ps(__builtin_inff())));
#endif
  float low = __builtin_inff();
  for (int j = 0; j < N; ++j) low = v[j] < low ? v[j] : low;
  return low;
}

// load and widen of the first n lanes only (0 < n < N): the lanes from n on are 0 and their
// memory is not read (on AVX-512, masked loads, which do not fault beyond the lanes read).
template <int N>
[[gnu::always_inline]] inline void load_first(Vec<double, N>& v, const double* p, int n) {
#if defined(__AVX512F__)
  if constexpr (N == 8) {
    v = _mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << n) - 1), p);
    return;
  }
#endif
  double lanes[N] = {};
  for (int j = 0; j < n; ++j) lanes[j] = p[j];
  load(v, lanes);
}
template <int N, typename I>
[[gnu::always_inline]] inline void widen_first(Vec<double, N>& v, const I* p, int n) {
#if defined(__AVX512BW__)
  if constexpr (N == 8 && sizeof(I) == 2) {
    const __m512i i = _mm512_maskz_loadu_epi16(static_cast<__mmask32>((1u << n) - 1), p);
    v = _mm512_cvtepi32_pd(_mm256_cvtepi16_epi32(_mm512_castsi512_si128(i)));
    return;
  }
#endif
#if defined(__AVX512F__)
  if constexpr (N == 8 && sizeof(I) == 4) {
    v = _mm512_cvtepi32_pd(_mm512_castsi512_si256(_mm512_maskz_loadu_epi32(static_cast<__mmask16>((1u << n) - 1), p)));
    return;
  }
#endif
  I lanes[N] = {};
  for (int j = 0; j < n; ++j) lanes[j] = p[j];
  widen<N>(v, lanes);
}

// v = v rounded to float and back, lane by lane.
template <int N>
[[gnu::always_inline]] inline void round_to_float(Vec<double, N>& v) {
#if defined(__AVX512F__)
  if constexpr (N == 8) {
    v = _mm512_cvtps_pd(_mm512_cvtpd_ps(v));
    return;
  }
#endif
  v = __builtin_convertvector(__builtin_convertvector(v, Vec<float, N>), Vec<double, N>);
}

// v = K consecutive bytes as ints (the compilers' generic conversion goes lane by lane).
template <int K>
[[gnu::always_inline]] inline void widen(Vec<int, K>& v, const unsigned char* p) {
#if defined(__AVX512F__)
  if constexpr (K == 16) {
    v = reinterpret_cast<Vec<int, K>>(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (K == 8) {
    v = reinterpret_cast<Vec<int, K>>(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    return;
  }
#endif
#if defined(__SSE2__)
  if constexpr (K == 4) {
    int four;
    std::memcpy(&four, p, sizeof four);
    const __m128i zero = _mm_setzero_si128();
    v = reinterpret_cast<Vec<int, K>>(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(four), zero), zero));
    return;
  }
#endif
  for (int j = 0; j < K; ++j) v[j] = p[j];
}

// v = N consecutive bytes as 16-bit ints (the compilers' generic conversion goes a part of the
// register at a time).
template <int N>
[[gnu::always_inline]] inline void widen(Vec<int16_t, N>& v, const unsigned char* p) {
#if defined(__AVX512BW__)
  if constexpr (N == 32) {
    v = reinterpret_cast<Vec<int16_t, N>>(_mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (N == 16) {
    v = reinterpret_cast<Vec<int16_t, N>>(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    return;
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 8) {
    v = reinterpret_cast<Vec<int16_t, N>>(
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128()));
    return;
  }
#endif
  Vec<unsigned char, N> bytes;
  load(bytes, p);
  v = __builtin_convertvector(bytes, Vec<int16_t, N>);
}

// p[j] = v[j] cut to 0 .. 255, j = 0 .. N - 1: N 16-bit lanes stored as bytes.
template <int N>
[[gnu::always_inline]] inline void narrow(unsigned char* p, const Vec<int16_t, N>& v) {
#if defined(__AVX512BW__)
  if constexpr (N == 32) {
    const __m512i cut = _mm512_min_epi16(_mm512_max_epi16(reinterpret_cast<__m512i>(v), _mm512_setzero_si512()),
                                         _mm512_set1_epi16(255));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtepi16_epi8(cut));
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (N == 16) {
    const __m256i w = reinterpret_cast<__m256i>(v);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                     _mm_packus_epi16(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1)));
    return;
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 8) {
    const __m128i w = reinterpret_cast<__m128i>(v);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(w, w));
    return;
  }
#endif
  for (int j = 0; j < N; ++j) p[j] = static_cast<unsigned char>(v[j] < 0 ? 0 : v[j] > 255 ? 255 : v[j]);
}

// Floats looked up by index: v[j] = table[index[j]], j = 0 .. 15, in one gather where the
// unit has gathers of 16 lanes (kGathers16; the other units' callers look up one by one).
#if defined(__AVX512F__)
constexpr bool kGathers16 = true;
[[gnu::always_inline]] inline void look_up16(Vec<float, 16>& v, const float* table, const int* index) {
  v = _mm512_i32gather_ps(_mm512_loadu_si512(index), table, 4);
}
// p[15 - j] = v[j], j = 0 .. 15: the floats stored in reverse order, as floats or widened.
[[gnu::always_inline]] inline void store_reversed16(float* p, const Vec<float, 16>& v) {
  _mm512_storeu_ps(p, _mm512_permutexvar_ps(_mm512_setr_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0), v));
}
[[gnu::always_inline]] inline void store_reversed16(double* p, const Vec<float, 16>& v) {
  const __m512i reverse = _mm512_setr_epi64(7, 6, 5, 4, 3, 2, 1, 0);
  const __m512 f = v;
  const __m256 high = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(f), 1));
  _mm512_storeu_pd(p, _mm512_permutexvar_pd(reverse, _mm512_cvtps_pd(high)));
  _mm512_storeu_pd(p + 8, _mm512_permutexvar_pd(reverse, _mm512_cvtps_pd(_mm512_castps512_ps256(f))));
}
#else
constexpr bool kGathers16 = false;
[[gnu::always_inline]] inline void look_up16(Vec<float, 16>& v, const float* table, const int* index) {
  for (int j = 0; j < 16; ++j) v[j] = table[index[j]];
}
template <typename T>
[[gnu::always_inline]] inline void store_reversed16(T* p, const Vec<float, 16>& v) {
  for (int j = 0; j < 16; ++j) p[15 - j] = v[j];
}
#endif

// Ints looked up by index: v[j] = table[index[j]], in one gather where the unit has gathers
// of K lanes (AVX2: 8, AVX-512: 16), one by one elsewhere.
template <int K>
[[gnu::always_inline]] inline void look_up(Vec<int, K>& v, const int32_t* table, const Vec<int, K>& index) {
#if defined(__AVX512F__)
  if constexpr (K == 16) {
    v = reinterpret_cast<Vec<int, K>>(_mm512_i32gather_epi32(reinterpret_cast<__m512i>(index), table, 4));
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (K == 8) {
    v = reinterpret_cast<Vec<int, K>>(_mm256_i32gather_epi32(table, reinterpret_cast<__m256i>(index), 4));
    return;
  }
#endif
  for (int j = 0; j < K; ++j) v[j] = table[index[j]];
}

// 16-bit ints looked up by index in a table of 256: v[j] = table[index[j]] for 32 indices in
// 0 .. 255, the table in 8 vectors; four permutes of two vectors, chosen by the index's bits
// 6 and 7, where the unit has them (kLooksUp256; gathers are slow on CPUs with the microcode
// against gather data sampling).
#if defined(__AVX512BW__)
constexpr bool kLooksUp256 = true;
[[gnu::always_inline]] inline void look_up256(Vec<int16_t, 32>& v, const Vec<int16_t, 32>* table,
                                              const Vec<int16_t, 32>& index) {
  const __m512i i = reinterpret_cast<__m512i>(index);
  __m512i part[4];
  for (int p = 0; p < 4; ++p)
    part[p] = _mm512_permutex2var_epi16(reinterpret_cast<__m512i>(table[2 * p]), i,
                                        reinterpret_cast<__m512i>(table[2 * p + 1]));
  const __mmask32 bit6 = _mm512_test_epi16_mask(i, _mm512_set1_epi16(64)),
                  bit7 = _mm512_test_epi16_mask(i, _mm512_set1_epi16(128));
  v = reinterpret_cast<Vec<int16_t, 32>>(_mm512_mask_blend_epi16(
      bit7, _mm512_mask_blend_epi16(bit6, part[0], part[1]), _mm512_mask_blend_epi16(bit6, part[2], part[3])));
}
#else
constexpr bool kLooksUp256 = false;
[[gnu::always_inline]] inline void look_up256(Vec<int16_t, 32>& v, const Vec<int16_t, 32>* table,
                                              const Vec<int16_t, 32>& index) {
  for (int j = 0; j < 32; ++j) v[j] = table[index[j] >> 5][index[j] & 31];
}
#endif

// Bit j set when p[j] < bound, for j = 0 .. N-1 (a NaN is not below).
template <int N>
[[gnu::always_inline]] inline unsigned below_bits(const double* p, double bound) {
#if defined(__AVX512F__)
  if constexpr (N == 8) return _mm512_cmp_pd_mask(_mm512_loadu_pd(p), _mm512_set1_pd(bound), _CMP_LT_OQ);
#endif
#if defined(__AVX__)
  if constexpr (N == 4)
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(p), _mm256_set1_pd(bound), _CMP_LT_OQ)));
#endif
#if defined(__SSE2__)
  if constexpr (N == 2) return static_cast<unsigned>(_mm_movemask_pd(_mm_cmplt_pd(_mm_loadu_pd(p), _mm_set1_pd(bound))));
#endif
  unsigned bits = 0;
  for (int j = 0; j < N; ++j) bits |= (p[j] < bound ? 1u : 0u) << j;
  return bits;
}

// Bit j set when p[j] < bound, for j = 0 .. N-1, for floats (a NaN is not below).
template <int N>
[[gnu::always_inline]] inline unsigned below_bits(const float* p, float bound) {
#if defined(__AVX512F__)
  if constexpr (N == 16) return _mm512_cmp_ps_mask(_mm512_loadu_ps(p), _mm512_set1_ps(bound), _CMP_LT_OQ);
#endif
#if defined(__AVX__)
  if constexpr (N == 8)
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(p), _mm256_set1_ps(bound), _CMP_LT_OQ)));
#endif
#if defined(__SSE2__)
  if constexpr (N == 4) return static_cast<unsigned>(_mm_movemask_ps(_mm_cmplt_ps(_mm_loadu_ps(p), _mm_set1_ps(bound))));
#endif
  unsigned bits = 0;
  for (int j = 0; j < N; ++j) bits |= (p[j] < bound ? 1u : 0u) << j;
  return bits;
}

// The lowest lane of v (v has no NaN), by halving rather than lane after lane.
template <int N>
[[gnu::always_inline]] inline double lowest_lane(const Vec<double, N>& v) {
#if defined(__AVX512F__)
  if constexpr (N == 8) return _mm512_reduce_min_pd(v);
#endif
#if defined(__AVX__)
  if constexpr (N == 4) {
    const __m128d m = _mm_min_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_min_sd(m, _mm_unpackhi_pd(m, m)));
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 2) return _mm_cvtsd_f64(_mm_min_sd(v, _mm_unpackhi_pd(v, v)));
#endif
  double low = v[0];
  for (int j = 1; j < N; ++j) low = v[j] < low ? v[j] : low;
  return low;
}

// True when one of p[0 .. K-1] lies below bound.
template <int K>
[[gnu::always_inline]] inline bool any_below(const int* p, int bound) {
#if defined(__AVX512F__)
  if constexpr (K == 16)
    return _mm512_cmplt_epi32_mask(_mm512_loadu_si512(p), _mm512_set1_epi32(bound)) != 0;
#endif
#if defined(__AVX2__)
  if constexpr (K == 8) {
    const __m256i below = _mm256_cmpgt_epi32(_mm256_set1_epi32(bound), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    return _mm256_testz_si256(below, below) == 0;
  }
#endif
#if defined(__SSE2__)
  if constexpr (K == 4)
    return _mm_movemask_epi8(_mm_cmplt_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi32(bound))) != 0;
#endif
  bool any = false;
  for (int j = 0; j < K; ++j) any = any || p[j] < bound;
  return any;
}
template <int K>
[[gnu::always_inline]] inline bool any_below(const int16_t* p, int16_t bound) {
#if defined(__AVX2__)
  if constexpr (K == 16) {
    const __m256i below = _mm256_cmpgt_epi16(_mm256_set1_epi16(bound), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    return _mm256_testz_si256(below, below) == 0;
  }
#endif
#if defined(__SSE2__)
  if constexpr (K == 8)
    return _mm_movemask_epi8(_mm_cmplt_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi16(bound))) != 0;
  if constexpr (K == 4)
    return (_mm_movemask_epi8(_mm_cmplt_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi16(bound))) & 0xFF) != 0;
#endif
  bool any = false;
  for (int j = 0; j < K; ++j) any = any || p[j] < bound;
  return any;
}

// v = the lower of a and b lane by lane, for 16-bit ints.
template <int N>
[[gnu::always_inline]] inline void lower(Vec<int16_t, N>& v, const Vec<int16_t, N>& a, const Vec<int16_t, N>& b) {
#if defined(__AVX512BW__)
  if constexpr (N == 32) {
    v = reinterpret_cast<Vec<int16_t, N>>(_mm512_min_epi16(reinterpret_cast<__m512i>(a), reinterpret_cast<__m512i>(b)));
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (N == 16) {
    v = reinterpret_cast<Vec<int16_t, N>>(_mm256_min_epi16(reinterpret_cast<__m256i>(a), reinterpret_cast<__m256i>(b)));
    return;
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 8) {
    v = reinterpret_cast<Vec<int16_t, N>>(_mm_min_epi16(reinterpret_cast<__m128i>(a), reinterpret_cast<__m128i>(b)));
    return;
  }
#endif
  const Vec<int16_t, N> m = a < b;
  v = (a & m) | (b & ~m);
}

// v = the higher of a and b lane by lane, for 16-bit ints.
template <int N>
[[gnu::always_inline]] inline void higher(Vec<int16_t, N>& v, const Vec<int16_t, N>& a, const Vec<int16_t, N>& b) {
#if defined(__AVX512BW__)
  if constexpr (N == 32) {
    v = reinterpret_cast<Vec<int16_t, N>>(_mm512_max_epi16(reinterpret_cast<__m512i>(a), reinterpret_cast<__m512i>(b)));
    return;
  }
#endif
#if defined(__AVX2__)
  if constexpr (N == 16) {
    v = reinterpret_cast<Vec<int16_t, N>>(_mm256_max_epi16(reinterpret_cast<__m256i>(a), reinterpret_cast<__m256i>(b)));
    return;
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 8) {
    v = reinterpret_cast<Vec<int16_t, N>>(_mm_max_epi16(reinterpret_cast<__m128i>(a), reinterpret_cast<__m128i>(b)));
    return;
  }
#endif
  const Vec<int16_t, N> m = a > b;
  v = (a & m) | (b & ~m);
}

// The lowest lane of v, for 16-bit ints, by halving in registers (halves copied through
// memory made the compilers keep v on the stack, and a wide store read back in halves waits
// for the store); the last eight lanes in one instruction where the unit has it (it takes
// unsigned ints: the sign bit flipped on the way in and out), in register shifts elsewhere.
template <int N>
[[gnu::always_inline]] inline int lowest_lane(const Vec<int16_t, N>& v) {
#if defined(__AVX512BW__)
  if constexpr (N == 32) {
    const __m512i w = reinterpret_cast<__m512i>(v);
    const Vec<int16_t, 16> m =
        reinterpret_cast<Vec<int16_t, 16>>(_mm256_min_epi16(_mm512_castsi512_si256(w), _mm512_extracti64x4_epi64(w, 1)));
    return lowest_lane<16>(m);
  }
#endif
#if defined(__AVX2__)
  if constexpr (N == 16) {
    const __m256i w = reinterpret_cast<__m256i>(v);
    const Vec<int16_t, 8> m =
        reinterpret_cast<Vec<int16_t, 8>>(_mm_min_epi16(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1)));
    return lowest_lane<8>(m);
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 8) {
    __m128i m = reinterpret_cast<__m128i>(v);
#if defined(__SSE4_1__)
    const __m128i sign = _mm_set1_epi16(static_cast<int16_t>(0x8000));
    m = _mm_minpos_epu16(_mm_xor_si128(m, sign));
    return static_cast<int16_t>(static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_xor_si128(m, sign))));
#else
    m = _mm_min_epi16(m, _mm_srli_si128(m, 8));
    m = _mm_min_epi16(m, _mm_srli_si128(m, 4));
    m = _mm_min_epi16(m, _mm_srli_si128(m, 2));
    return static_cast<int16_t>(static_cast<uint16_t>(_mm_cvtsi128_si32(m)));
#endif
  }
#endif
  if constexpr (N == 1) {
    return v[0];
  } else {
    Vec<int16_t, N / 2> low, high, m;
    std::memcpy(&low, &v, sizeof low);
    std::memcpy(&high, reinterpret_cast<const char*>(&v) + sizeof low, sizeof high);
    lower<N / 2>(m, low, high);
    return lowest_lane<N / 2>(m);
  }
}

// The lowest (a[j], b[j]) of the lanes j, a compared first, then b as unsigned: the two joined
// into one 32-bit int per lane, a the high half, so one reduction finds both. Returns the
// joined int (a = it >> 16, b = it & 0xFFFF).
template <int N>
[[gnu::always_inline]] inline int lowest_pair(const Vec<int16_t, N>& a, const Vec<int16_t, N>& b) {
#if defined(__AVX512BW__)
  if constexpr (N == 32) {
    const __m512i x = reinterpret_cast<__m512i>(a), y = reinterpret_cast<__m512i>(b);
    const __m512i m16 = _mm512_min_epi32(_mm512_unpacklo_epi16(y, x), _mm512_unpackhi_epi16(y, x));
    const __m256i m8 = _mm256_min_epi32(_mm512_castsi512_si256(m16), _mm512_extracti64x4_epi64(m16, 1));
    __m128i m = _mm_min_epi32(_mm256_castsi256_si128(m8), _mm256_extracti128_si256(m8, 1));
    m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4E));
    return _mm_cvtsi128_si32(_mm_min_epi32(m, _mm_shuffle_epi32(m, 0xB1)));
  }
#endif
#if defined(__AVX2__)
  if constexpr (N == 16) {
    const __m256i x = reinterpret_cast<__m256i>(a), y = reinterpret_cast<__m256i>(b);
    const __m256i m8 = _mm256_min_epi32(_mm256_unpacklo_epi16(y, x), _mm256_unpackhi_epi16(y, x));
    __m128i m = _mm_min_epi32(_mm256_castsi256_si128(m8), _mm256_extracti128_si256(m8, 1));
    m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4E));
    return _mm_cvtsi128_si32(_mm_min_epi32(m, _mm_shuffle_epi32(m, 0xB1)));
  }
#endif
#if defined(__SSE2__)
  if constexpr (N == 8) {
    const auto lower32 = [](__m128i p, __m128i q) {
      const __m128i m = _mm_cmpgt_epi32(q, p);
      return _mm_or_si128(_mm_and_si128(m, p), _mm_andnot_si128(m, q));
    };
    const __m128i x = reinterpret_cast<__m128i>(a), y = reinterpret_cast<__m128i>(b);
    __m128i m = lower32(_mm_unpacklo_epi16(y, x), _mm_unpackhi_epi16(y, x));
    m = lower32(m, _mm_shuffle_epi32(m, 0x4E));
    return _mm_cvtsi128_si32(lower32(m, _mm_shuffle_epi32(m, 0xB1)));
  }
#endif
  int key = 0x7FFFFFFF;
  for (int j = 0; j < N; ++j) {
    const int k = static_cast<int>(static_cast<unsigned>(a[j]) << 16 | static_cast<uint16_t>(b[j]));
    key = k < key ? k : key;
  }
  return key;
}

// v = p[0 .. n-1] (0 < n <= N), the lanes from n on `fill`: reads p[0 .. N-1] (on AVX-512,
// a masked load, which reads only p[0 .. n-1]).
template <int N>
[[gnu::always_inline]] inline void load_first(Vec<int16_t, N>& v, const int16_t* p, int n, int16_t fill) {
#if defined(__AVX512BW__)
  if constexpr (N == 32) {
    const __mmask32 lanes = n >= 32 ? ~__mmask32{0} : static_cast<__mmask32>((1u << n) - 1);
    v = reinterpret_cast<Vec<int16_t, N>>(_mm512_mask_loadu_epi16(_mm512_set1_epi16(fill), lanes, p));
    return;
  }
#endif
  Vec<int16_t, N> index, limit, rest;
  load(v, p);
  load(index, kLaneIndex16);
  limit = Vec<int16_t, N>{} + static_cast<int16_t>(n);
  rest = Vec<int16_t, N>{} + fill;
  const Vec<int16_t, N> beyond = index >= limit;
  v = (v & ~beyond) | (rest & beyond);
}

// Where v[j] < p[j], j = 0 .. N-1 (16-bit ints): p[j] = v[j] and q[j] = w[j]; the other lanes
// of p and q keep their values (on AVX-512 masked stores leave them unwritten).
template <int N>
[[gnu::always_inline]] inline void lower_into(int16_t* p, int16_t* q, const Vec<int16_t, N>& v, const Vec<int16_t, N>& w) {
#if defined(__AVX512BW__)
  if constexpr (N == 32) {
    const __m512i a = reinterpret_cast<__m512i>(v);
    const __mmask32 m = _mm512_cmplt_epi16_mask(a, _mm512_loadu_si512(p));
    _mm512_mask_storeu_epi16(p, m, a);
    _mm512_mask_storeu_epi16(q, m, reinterpret_cast<__m512i>(w));
    return;
  }
#endif
  Vec<int16_t, N> a, b;
  load(a, p);
  load(b, q);
  const Vec<int16_t, N> m = v < a;
  lower<N>(a, a, v);
  b = (w & m) | (b & ~m);
  store(p, a);
  store(q, b);
}

// v = x in every lane (one broadcast: a loop over the lanes compiles to one insert per lane).
template <typename T, int N>
[[gnu::always_inline]] inline void splat(Vec<T, N>& v, T x) {
  v = Vec<T, N>{} + x;
}

// v = first, first + 1, ... (16-bit ints, N <= 32).
template <int N>
[[gnu::always_inline]] inline void lane_numbers(Vec<int16_t, N>& v, int first) {
  Vec<int16_t, N> f;
  load(v, kLaneIndex16);
  splat<int16_t, N>(f, static_cast<int16_t>(first));
  v += f;
}

// c[j] = the number of bits that differ between a and r[-j], j = 0 .. 7 (reads r[-7] .. r[0]):
// eight Hamming distances, counted lane by lane where the unit has the instructions (on AVX2
// and AVX-512 without its own popcount, the bytes' counts from a nibble table, summed per lane).
[[gnu::always_inline]] inline void hamming8(uint8_t* c, uint64_t a, const uint64_t* r) {
#if defined(__AVX512BW__)
  const __m512i x = _mm512_xor_si512(_mm512_loadu_si512(r - 7), _mm512_set1_epi64(static_cast<long long>(a)));
#if defined(__AVX512VPOPCNTDQ__)
  const __m512i counts = _mm512_popcnt_epi64(x);
#else
  const __m512i table = _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4));
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  const __m512i bytes = _mm512_add_epi8(_mm512_shuffle_epi8(table, _mm512_and_si512(x, nibble)),
                                        _mm512_shuffle_epi8(table, _mm512_and_si512(_mm512_srli_epi16(x, 4), nibble)));
  const __m512i counts = _mm512_sad_epu8(bytes, _mm512_setzero_si512());
#endif
  // lane j holds r[j - 7]: the bytes reversed
  const __m128i reversed = _mm_shuffle_epi8(_mm512_cvtepi64_epi8(counts), _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 8, 9, 10, 11, 12, 13, 14, 15));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(c), reversed);
#elif defined(__AVX2__)
  const __m256i lut = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2,
                                       3, 3, 4);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i l = _mm256_set1_epi64x(static_cast<long long>(a));
  __m256i counts[2];
  for (int h = 0; h < 2; ++h) {
    const __m256i x = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r - 7 + 4 * h)), l);
    const __m256i bytes = _mm256_add_epi8(_mm256_shuffle_epi8(lut, _mm256_and_si256(x, nibble)),
                                          _mm256_shuffle_epi8(lut, _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble)));
    counts[h] = _mm256_sad_epu8(bytes, _mm256_setzero_si256());
  }
  // 32-bit lanes c3 c7 c2 c6 | c1 c5 c0 c4; per half the bytes of lanes 2, 0, 3, 1, then the
  // halves' 16-bit pairs interleaved: c0 .. c7 without a move across the halves
  const __m256i both = _mm256_or_si256(counts[1], _mm256_slli_epi64(counts[0], 32));
  const __m256i pairs = _mm256_shuffle_epi8(
      both, _mm256_setr_epi8(8, 0, 12, 4, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 8, 0, 12, 4, -1, -1, -1, -1, -1, -1, -1,
                             -1, -1, -1, -1, -1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(c),
                   _mm_unpacklo_epi16(_mm256_extracti128_si256(pairs, 1), _mm256_castsi256_si128(pairs)));
#else
  for (int j = 0; j < 8; ++j) c[j] = static_cast<uint8_t>(__builtin_popcountll(a ^ r[-j]));
#endif
}
