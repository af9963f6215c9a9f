// The two vector instruction sets the decode kernels are written for, behind
// one interface, so that a kernel body (matvec_family.inc) is written once
// over the vector width: AvxLanes (AVX2 + FMA, 8 floats) and Avx512Lanes
// (AVX-512F, 16 floats). Each is compiled for its set only; callers check the
// CPU first (decode_kernels.h, reduced_kernels.h).
#pragma once

#include <immintrin.h>

#include <cstdint>

#pragma GCC push_options
#pragma GCC target("avx2,fma")
struct Avx2Lanes {
  using V = __m256;
  static constexpr int64_t kWidth = 8;
  static V zero() { return _mm256_setzero_ps(); }
  static V load(const float *p) { return _mm256_loadu_ps(p); }
  // bf16 is the top half of a float32: widening is a shift.
  static V load(const uint16_t *p) {
    const __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(bits), 16));
  }
  // The mask of the first n (<= kWidth) lanes, for tails.
  static __m256i first_mask(int64_t n) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), lanes);
  }
  // The first n (< kWidth) values, zeros after them.
  static V load_first(const float *p, int64_t n) { return _mm256_maskload_ps(p, first_mask(n)); }
  static V fmadd(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
  // The lanes summed: halves, then quarters, then pairs.
  static float sum(V v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    s = _mm_add_ps(s, _mm_movehl_ps(s, s));
    s = _mm_add_ss(s, _mm_movehdup_ps(s));
    return _mm_cvtss_f32(s);
  }
  static float sum(V a, V b) { return sum(_mm256_add_ps(a, b)); }
  static void prefetch(const void *p) { _mm_prefetch(static_cast<const char *>(p), _MM_HINT_T0); }
};
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
struct Avx512Lanes {
  using V = __m512;
  static constexpr int64_t kWidth = 16;
  static V zero() { return _mm512_setzero_ps(); }
  static V load(const float *p) { return _mm512_loadu_ps(p); }
  static V load(const uint16_t *p) {
    const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(bits), 16));
  }
  static __mmask16 first_mask(int64_t n) { return static_cast<__mmask16>((1u << n) - 1); }
  static V load_first(const float *p, int64_t n) { return _mm512_maskz_loadu_ps(first_mask(n), p); }
  static V fmadd(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
  static float sum(V v) { return _mm512_reduce_add_ps(v); }
  static float sum(V a, V b) { return sum(_mm512_add_ps(a, b)); }
  static void prefetch(const void *p) { _mm_prefetch(static_cast<const char *>(p), _MM_HINT_T0); }
};
#pragma GCC pop_options
