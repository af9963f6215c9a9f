#include "models/gpt/reduced_kernels.h"

#include "models/gpt/step_threads.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

// GCC 12's AVX-512 intrinsics pass an "undefined" vector as the unused
// merge source, which its flow analysis reports as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// The project builds for baseline x86-64; these functions are compiled for
// wider sets and only called on a path the CPU check allowed.
#define TARGET_AVX2 __attribute__((target("avx2,fma")))
#define TARGET_AVX512 __attribute__((target("avx512f")))
#define TARGET_AVX512_BF16 __attribute__((target("avx512f,avx512bf16")))
#define TARGET_AVX512_VNNI __attribute__((target("avx512f,avx512bw,avx512vnni")))

namespace {

// Every kernel works on four rows at once, so that each load of x serves
// four rows, and finishes the last rows of a range one at a time.
constexpr int kRowBlock = 4;
// The rows of a reduced block are short (1 KB of int8, 2 KB of bf16 for the
// width), and the hardware prefetcher, which stops at page boundaries, barely
// starts on each before it ends. The kernels therefore prefetch the same
// columns of the next block of rows while they read this one; this took one
// thread from 17 to 32 GB/s on int8.
constexpr int kPrefetchRows = kRowBlock;

inline void prefetch(const void *p) { _mm_prefetch(static_cast<const char *>(p), _MM_HINT_T0); }

template <class RowsKernel>
void for_row_blocks(int64_t row_begin, int64_t row_end, const RowsKernel &kernel) {
  int64_t r = row_begin;
  for (; r + kRowBlock <= row_end; r += kRowBlock)
    kernel(std::integral_constant<int, kRowBlock>(), r);
  for (; r < row_end; r++) kernel(std::integral_constant<int, 1>(), r);
}

inline float finish(float sum, const float *bias, int64_t r) {
  return bias != nullptr ? sum + bias[r] : sum;
}

// The int8 kernels' row scale and bias, as one fused multiply-add written
// out: left to the compiler, whether it contracts the two depends on the
// code around them, and a row would then differ between kernels.
inline float finish_scaled(float sum, float scale, const float *bias, int64_t r) {
  return bias != nullptr ? std::fma(sum, scale, bias[r]) : sum * scale;
}

// ---------------------------------------------------------------- bf16

void bf16_scalar(const ReducedMatrix &m, const PreparedInput &in, const float *bias, float *y,
                 int64_t row_begin, int64_t row_end) {
  const float *x = in.floats.data();
  for (int64_t r = row_begin; r < row_end; r++) {
    const uint16_t *row = m.bf16.data() + r * m.stride;
    float part[8] = {};
    for (int64_t c = 0; c < m.stride; c += 8)
      for (int j = 0; j < 8; j++) part[j] += float_from_bf16(row[c + j]) * x[c + j];
    const float sum =
        ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
    y[r] = finish(sum, bias, r);
  }
}

TARGET_AVX2 inline float hsum256(__m256 v) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

// bf16 is the top half of a float32: widening is a shift.
TARGET_AVX2 inline __m256 widen8(const uint16_t *p) {
  const __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(bits), 16));
}

template <int R>
TARGET_AVX2 inline void bf16_rows_avx2(const ReducedMatrix &m, const float *x, const float *bias,
                                       float *y, int64_t r) {
  const uint16_t *w = m.bf16.data() + r * m.stride;
  __m256 a[R], b[R];
  for (int i = 0; i < R; i++) a[i] = b[i] = _mm256_setzero_ps();
  for (int64_t c = 0; c < m.stride; c += 16) {
    const __m256 xa = _mm256_loadu_ps(x + c);
    const __m256 xb = _mm256_loadu_ps(x + c + 8);
    for (int i = 0; i < R; i++) {
      if (c % 32 == 0) prefetch(w + (i + kPrefetchRows) * m.stride + c);
      a[i] = _mm256_fmadd_ps(widen8(w + i * m.stride + c), xa, a[i]);
      b[i] = _mm256_fmadd_ps(widen8(w + i * m.stride + c + 8), xb, b[i]);
    }
  }
  for (int i = 0; i < R; i++) y[r + i] = finish(hsum256(_mm256_add_ps(a[i], b[i])), bias, r + i);
}

TARGET_AVX2 void bf16_avx2(const ReducedMatrix &m, const PreparedInput &in, const float *bias,
                           float *y, int64_t row_begin, int64_t row_end) {
  for_row_blocks(row_begin, row_end, [&](auto rows, int64_t r) {
    bf16_rows_avx2<decltype(rows)::value>(m, in.floats.data(), bias, y, r);
  });
}

TARGET_AVX512 inline __m512 widen16(const uint16_t *p) {
  const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(bits), 16));
}

template <int R>
TARGET_AVX512 inline void bf16_rows_avx512(const ReducedMatrix &m, const float *x,
                                           const float *bias, float *y, int64_t r) {
  const uint16_t *w = m.bf16.data() + r * m.stride;
  __m512 a[R], b[R];
  for (int i = 0; i < R; i++) a[i] = b[i] = _mm512_setzero_ps();
  for (int64_t c = 0; c < m.stride; c += 32) {
    const __m512 xa = _mm512_loadu_ps(x + c);
    const __m512 xb = _mm512_loadu_ps(x + c + 16);
    for (int i = 0; i < R; i++) {
      prefetch(w + (i + kPrefetchRows) * m.stride + c);
      a[i] = _mm512_fmadd_ps(widen16(w + i * m.stride + c), xa, a[i]);
      b[i] = _mm512_fmadd_ps(widen16(w + i * m.stride + c + 16), xb, b[i]);
    }
  }
  for (int i = 0; i < R; i++)
    y[r + i] = finish(_mm512_reduce_add_ps(_mm512_add_ps(a[i], b[i])), bias, r + i);
}

TARGET_AVX512 void bf16_avx512(const ReducedMatrix &m, const PreparedInput &in, const float *bias,
                               float *y, int64_t row_begin, int64_t row_end) {
  for_row_blocks(row_begin, row_end, [&](auto rows, int64_t r) {
    bf16_rows_avx512<decltype(rows)::value>(m, in.floats.data(), bias, y, r);
  });
}

TARGET_AVX512_BF16 inline __m512bh load_bf16x32(const uint16_t *p) {
  return reinterpret_cast<__m512bh>(_mm512_loadu_si512(p));
}

// vdpbf16ps: each lane adds the products of two bf16 pairs.
template <int R>
TARGET_AVX512_BF16 inline void bf16_rows_dp(const ReducedMatrix &m, const uint16_t *x,
                                            const float *bias, float *y, int64_t r) {
  const uint16_t *w = m.bf16.data() + r * m.stride;
  __m512 a[R], b[R];
  for (int i = 0; i < R; i++) a[i] = b[i] = _mm512_setzero_ps();
  int64_t c = 0;
  for (; c + 64 <= m.stride; c += 64) {
    const __m512bh xa = load_bf16x32(x + c);
    const __m512bh xb = load_bf16x32(x + c + 32);
    for (int i = 0; i < R; i++) {
      prefetch(w + (i + kPrefetchRows) * m.stride + c);
      prefetch(w + (i + kPrefetchRows) * m.stride + c + 32);
      a[i] = _mm512_dpbf16_ps(a[i], load_bf16x32(w + i * m.stride + c), xa);
      b[i] = _mm512_dpbf16_ps(b[i], load_bf16x32(w + i * m.stride + c + 32), xb);
    }
  }
  if (c < m.stride) {
    const __m512bh xa = load_bf16x32(x + c);
    for (int i = 0; i < R; i++)
      a[i] = _mm512_dpbf16_ps(a[i], load_bf16x32(w + i * m.stride + c), xa);
  }
  for (int i = 0; i < R; i++)
    y[r + i] = finish(_mm512_reduce_add_ps(_mm512_add_ps(a[i], b[i])), bias, r + i);
}

TARGET_AVX512_BF16 void bf16_dp(const ReducedMatrix &m, const PreparedInput &in, const float *bias,
                                float *y, int64_t row_begin, int64_t row_end) {
  for_row_blocks(row_begin, row_end, [&](auto rows, int64_t r) {
    bf16_rows_dp<decltype(rows)::value>(m, in.bf16.data(), bias, y, r);
  });
}

// Several inputs: rows [r, r + R) against inputs x[0, N), each weight vector
// loaded once for all of them. Each (row, input) pair is summed as
// bf16_rows_dp sums it, so an input gets the same bits alone or beside others.
template <int R, int N>
TARGET_AVX512_BF16 inline void bf16_tile_dp(const ReducedMatrix &m, const PreparedInput *const *in,
                                            const float *bias, float *const *y, int64_t r) {
  const uint16_t *w = m.bf16.data() + r * m.stride;
  const uint16_t *x[N];
  for (int t = 0; t < N; t++) x[t] = in[t]->bf16.data();
  __m512 a[R][N], b[R][N];
  for (int i = 0; i < R; i++)
    for (int t = 0; t < N; t++) a[i][t] = b[i][t] = _mm512_setzero_ps();
  int64_t c = 0;
  for (; c + 64 <= m.stride; c += 64) {
    __m512bh wa[R], wb[R];
    for (int i = 0; i < R; i++) {
      prefetch(w + (i + kPrefetchRows) * m.stride + c);
      prefetch(w + (i + kPrefetchRows) * m.stride + c + 32);
      wa[i] = load_bf16x32(w + i * m.stride + c);
      wb[i] = load_bf16x32(w + i * m.stride + c + 32);
    }
    for (int t = 0; t < N; t++) {
      const __m512bh xa = load_bf16x32(x[t] + c), xb = load_bf16x32(x[t] + c + 32);
      for (int i = 0; i < R; i++) {
        a[i][t] = _mm512_dpbf16_ps(a[i][t], wa[i], xa);
        b[i][t] = _mm512_dpbf16_ps(b[i][t], wb[i], xb);
      }
    }
  }
  if (c < m.stride)
    for (int t = 0; t < N; t++) {
      const __m512bh xa = load_bf16x32(x[t] + c);
      for (int i = 0; i < R; i++)
        a[i][t] = _mm512_dpbf16_ps(a[i][t], load_bf16x32(w + i * m.stride + c), xa);
    }
  for (int t = 0; t < N; t++)
    for (int i = 0; i < R; i++)
      y[t][r + i] = finish(_mm512_reduce_add_ps(_mm512_add_ps(a[i][t], b[i][t])), bias, r + i);
}

// Four rows by four positions: each load of a weight vector serves four
// positions, so a block of rows is read from cache a quarter as often. This
// is what keeps the multi-position passes ahead of float32 sgemm.
constexpr int kPositionBlock = 4;

template <int R>
TARGET_AVX512_BF16 inline void bf16_rows_dp_positions(const ReducedMatrix &m,
                                                      const PreparedInput *in, const float *bias,
                                                      float *y, int64_t r) {
  const uint16_t *w = m.bf16.data() + r * m.stride;
  __m512 a[R][kPositionBlock];
  for (int i = 0; i < R; i++)
    for (int t = 0; t < kPositionBlock; t++) a[i][t] = _mm512_setzero_ps();
  for (int64_t c = 0; c < m.stride; c += 32) {
    __m512bh x[kPositionBlock];
    for (int t = 0; t < kPositionBlock; t++) x[t] = load_bf16x32(in[t].bf16.data() + c);
    for (int i = 0; i < R; i++) {
      const __m512bh wv = load_bf16x32(w + i * m.stride + c);
      for (int t = 0; t < kPositionBlock; t++) a[i][t] = _mm512_dpbf16_ps(a[i][t], wv, x[t]);
    }
  }
  for (int t = 0; t < kPositionBlock; t++)
    for (int i = 0; i < R; i++)
      y[t * m.rows + r + i] = finish(_mm512_reduce_add_ps(a[i][t]), bias, r + i);
}

// y[t * rows + r] for kPositionBlock positions starting at `in`.
TARGET_AVX512_BF16 void bf16_dp_positions(const ReducedMatrix &m, const PreparedInput *in,
                                          const float *bias, float *y, int64_t row_begin,
                                          int64_t row_end) {
  for_row_blocks(row_begin, row_end, [&](auto rows, int64_t r) {
    bf16_rows_dp_positions<decltype(rows)::value>(m, in, bias, y, r);
  });
}

// Rounds to nearest even like bf16_from_float; count is a multiple of 16.
TARGET_AVX512_BF16 void round_to_bf16_avx512(const float *x, uint16_t *out, int64_t count) {
  for (int64_t c = 0; c < count; c += 16) {
    const __m256bh rounded = _mm512_cvtneps_pbh(_mm512_loadu_ps(x + c));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + c), reinterpret_cast<__m256i>(rounded));
  }
}

// ---------------------------------------------------------------- int8
//
// y[r] = scale[r] * sum over blocks b of block_scale[b] * (integer dot of
// the block). The integer products take |x| as the unsigned operand and give
// w the sign of x: with both in [-127, 127] no pair sum can saturate.

void int8_scalar(const ReducedMatrix &m, const PreparedInput &in, const float *bias, float *y,
                 int64_t row_begin, int64_t row_end) {
  const int8_t *x = in.int8.data();
  for (int64_t r = row_begin; r < row_end; r++) {
    const int8_t *row = m.int8.data() + r * m.stride;
    float sum = 0.0f;
    for (int64_t b = 0; b < m.stride / kInt8Block; b++) {
      int32_t dot = 0;
      for (int64_t c = b * kInt8Block; c < (b + 1) * kInt8Block; c++)
        dot += static_cast<int32_t>(row[c]) * static_cast<int32_t>(x[c]);
      sum += in.block_scales[b] * static_cast<float>(dot);
    }
    y[r] = finish_scaled(sum, m.scales[r], bias, r);
  }
}

template <int R>
TARGET_AVX2 inline void int8_rows_avx2(const ReducedMatrix &m, const PreparedInput &in,
                                       const float *bias, float *y, int64_t r) {
  const int8_t *w = m.int8.data() + r * m.stride;
  const int8_t *x = in.int8.data();
  const __m256i ones = _mm256_set1_epi16(1);
  __m256 f[R];
  for (int i = 0; i < R; i++) f[i] = _mm256_setzero_ps();
  for (int64_t b = 0; b < m.stride / kInt8Block; b++) {
    __m256i d[R];
    for (int i = 0; i < R; i++) d[i] = _mm256_setzero_si256();
    for (int64_t h = 0; h < kInt8Block; h += 32) {
      const int64_t c = b * kInt8Block + h;
      const __m256i xq = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x + c));
      const __m256i magnitude = _mm256_abs_epi8(xq);
      for (int i = 0; i < R; i++) {
        if (h == 0) prefetch(w + (i + kPrefetchRows) * m.stride + c);
        const __m256i wq =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(w + i * m.stride + c));
        const __m256i pairs = _mm256_maddubs_epi16(magnitude, _mm256_sign_epi8(wq, xq));
        d[i] = _mm256_add_epi32(d[i], _mm256_madd_epi16(pairs, ones));
      }
    }
    const __m256 block_scale = _mm256_set1_ps(in.block_scales[b]);
    for (int i = 0; i < R; i++) f[i] = _mm256_fmadd_ps(_mm256_cvtepi32_ps(d[i]), block_scale, f[i]);
  }
  for (int i = 0; i < R; i++) y[r + i] = finish_scaled(hsum256(f[i]), m.scales[r + i], bias, r + i);
}

TARGET_AVX2 void int8_avx2(const ReducedMatrix &m, const PreparedInput &in, const float *bias,
                           float *y, int64_t row_begin, int64_t row_end) {
  for_row_blocks(row_begin, row_end, [&](auto rows, int64_t r) {
    int8_rows_avx2<decltype(rows)::value>(m, in, bias, y, r);
  });
}

template <int R>
TARGET_AVX512_VNNI inline void int8_rows_vnni(const ReducedMatrix &m, const PreparedInput &in,
                                              const float *bias, float *y, int64_t r) {
  const int8_t *w = m.int8.data() + r * m.stride;
  const int8_t *x = in.int8.data();
  const __m512i zero = _mm512_setzero_si512();
  __m512 f[R];
  for (int i = 0; i < R; i++) f[i] = _mm512_setzero_ps();
  for (int64_t b = 0; b < m.stride / kInt8Block; b++) {
    const int64_t c = b * kInt8Block;
    const __m512i xq = _mm512_loadu_si512(x + c);
    const __m512i magnitude = _mm512_abs_epi8(xq);
    const __mmask64 negative = _mm512_movepi8_mask(xq);
    const __m512 block_scale = _mm512_set1_ps(in.block_scales[b]);
    for (int i = 0; i < R; i++) {
      prefetch(w + (i + kPrefetchRows) * m.stride + c);
      __m512i wq = _mm512_loadu_si512(w + i * m.stride + c);
      wq = _mm512_mask_sub_epi8(wq, negative, zero, wq);
      const __m512i d = _mm512_dpbusd_epi32(zero, magnitude, wq);
      f[i] = _mm512_fmadd_ps(_mm512_cvtepi32_ps(d), block_scale, f[i]);
    }
  }
  for (int i = 0; i < R; i++)
    y[r + i] = finish_scaled(_mm512_reduce_add_ps(f[i]), m.scales[r + i], bias, r + i);
}

TARGET_AVX512_VNNI void int8_vnni(const ReducedMatrix &m, const PreparedInput &in,
                                  const float *bias, float *y, int64_t row_begin, int64_t row_end) {
  for_row_blocks(row_begin, row_end, [&](auto rows, int64_t r) {
    int8_rows_vnni<decltype(rows)::value>(m, in, bias, y, r);
  });
}

// Several inputs, as bf16_tile_dp: each (row, input) pair is summed as
// int8_rows_vnni sums it (the integer dots are exact in any case).
template <int R, int N>
TARGET_AVX512_VNNI inline void int8_tile_vnni(const ReducedMatrix &m,
                                              const PreparedInput *const *in, const float *bias,
                                              float *const *y, int64_t r) {
  const int8_t *w = m.int8.data() + r * m.stride;
  const __m512i zero = _mm512_setzero_si512();
  __m512 f[R][N];
  for (int i = 0; i < R; i++)
    for (int t = 0; t < N; t++) f[i][t] = _mm512_setzero_ps();
  for (int64_t b = 0; b < m.stride / kInt8Block; b++) {
    const int64_t c = b * kInt8Block;
    __m512i magnitude[N];
    __mmask64 negative[N];
    __m512 block_scale[N];
    for (int t = 0; t < N; t++) {
      const __m512i xq = _mm512_loadu_si512(in[t]->int8.data() + c);
      magnitude[t] = _mm512_abs_epi8(xq);
      negative[t] = _mm512_movepi8_mask(xq);
      block_scale[t] = _mm512_set1_ps(in[t]->block_scales[b]);
    }
    for (int i = 0; i < R; i++) {
      prefetch(w + (i + kPrefetchRows) * m.stride + c);
      const __m512i wq = _mm512_loadu_si512(w + i * m.stride + c);
      for (int t = 0; t < N; t++) {
        const __m512i signed_w = _mm512_mask_sub_epi8(wq, negative[t], zero, wq);
        const __m512i d = _mm512_dpbusd_epi32(zero, magnitude[t], signed_w);
        f[i][t] = _mm512_fmadd_ps(_mm512_cvtepi32_ps(d), block_scale[t], f[i][t]);
      }
    }
  }
  for (int t = 0; t < N; t++)
    for (int i = 0; i < R; i++)
      y[t][r + i] = finish_scaled(_mm512_reduce_add_ps(f[i][t]), m.scales[r + i], bias, r + i);
}

// Quantises x[0, count) padded with zeros to `stride` values, with one scale
// per `block` values (block divides stride; a multiple of kInt8Block).
void quantize_activations(const float *x, int64_t count, int64_t stride, int64_t block, int8_t *q,
                          float *block_scales) {
  for (int64_t begin = 0; begin < stride; begin += block) {
    const int64_t end = std::min(begin + block, count);
    float largest = 0.0f;
    bool finite = true;
    for (int64_t c = begin; c < end; c++) {
      finite = finite && std::isfinite(x[c]);
      largest = std::max(largest, std::fabs(x[c]));
    }
    const float scale = finite ? largest / 127.0f : std::numeric_limits<float>::quiet_NaN();
    const float inverse = 127.0f / largest;
    const bool exact_inverse = std::isfinite(inverse);
    for (int64_t c = begin; c < begin + block; c++) {
      if (c >= end || !(scale > 0.0f))
        q[c] = 0;
      else
        q[c] = round_to_int8(exact_inverse ? x[c] * inverse : x[c] / scale);
    }
    for (int64_t b = begin / kInt8Block; b < (begin + block) / kInt8Block; b++)
      block_scales[b] = scale;
  }
}

// One block of kInt8Block values, all of them real, as quantize_activations
// does it (the same products and roundings, so the same bytes), eight at a
// time: it runs on the calling thread between parallel phases of the step.
TARGET_AVX2 void quantize_block_avx2(const float *x, int8_t *q, float *block_scale) {
  const __m256 sign_bit = _mm256_set1_ps(-0.0f);
  const __m256 infinity = _mm256_set1_ps(std::numeric_limits<float>::infinity());
  __m256 v[8];
  __m256 largest = _mm256_setzero_ps();
  __m256 nonfinite = _mm256_setzero_ps();
  for (int i = 0; i < 8; i++) {
    v[i] = _mm256_loadu_ps(x + 8 * i);
    const __m256 magnitude = _mm256_andnot_ps(sign_bit, v[i]);
    nonfinite = _mm256_or_ps(nonfinite, _mm256_cmp_ps(magnitude, infinity, _CMP_NLT_UQ));
    largest = _mm256_max_ps(largest, magnitude);
  }
  __m128 m = _mm_max_ps(_mm256_castps256_ps128(largest), _mm256_extractf128_ps(largest, 1));
  m = _mm_max_ps(m, _mm_movehl_ps(m, m));
  m = _mm_max_ss(m, _mm_movehdup_ps(m));
  const float top = _mm_cvtss_f32(m);
  const float inverse = 127.0f / top;
  if (_mm256_movemask_ps(nonfinite) != 0 || !(top > 0.0f) || !std::isfinite(inverse)) {
    quantize_activations(x, kInt8Block, kInt8Block, kInt8Block, q, block_scale);
    return;
  }
  *block_scale = top / 127.0f;
  const __m256 scale = _mm256_set1_ps(inverse);
  const __m256 half = _mm256_set1_ps(0.5f);
  __m256i words[8];
  for (int i = 0; i < 8; i++) {
    const __m256 scaled = _mm256_mul_ps(v[i], scale);
    const __m256 away = _mm256_or_ps(_mm256_and_ps(scaled, sign_bit), half);
    words[i] = _mm256_cvttps_epi32(_mm256_add_ps(scaled, away));
  }
  // The packs interleave 128-bit lanes; the permutation puts them in order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (int i = 0; i < 8; i += 4) {
    const __m256i shorts_a = _mm256_packs_epi32(words[i], words[i + 1]);
    const __m256i shorts_b = _mm256_packs_epi32(words[i + 2], words[i + 3]);
    const __m256i bytes = _mm256_packs_epi16(shorts_a, shorts_b);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(q + 8 * i),
                        _mm256_permutevar8x32_epi32(bytes, order));
  }
}

using MatvecFn = void (*)(const ReducedMatrix &, const PreparedInput &, const float *, float *,
                          int64_t, int64_t);

// Inputs go in groups of up to four, over tiles of two rows (one row at the
// end of a range); a group of n inputs runs the tile built for n.
constexpr int kTileInputs = 4;
constexpr int kTileRows = 2;

template <template <int, int> class Tile, int R, int N = kTileInputs>
void run_group(int n, const ReducedMatrix &m, const PreparedInput *const *in, const float *bias,
               float *const *y, int64_t r) {
  if constexpr (N > 1)
    if (n < N) return run_group<Tile, R, N - 1>(n, m, in, bias, y, r);
  Tile<R, N>::run(m, in, bias, y, r);
}

template <template <int, int> class Tile>
void rows_in_tiles(const ReducedMatrix &m, const PreparedInput *const *in, float *const *y,
                   int count, const float *bias, int64_t row_begin, int64_t row_end) {
  int64_t r = row_begin;
  for (; r + kTileRows <= row_end; r += kTileRows)
    for (int first = 0; first < count; first += kTileInputs)
      run_group<Tile, kTileRows>(std::min(kTileInputs, count - first), m, in + first, bias,
                                 y + first, r);
  for (; r < row_end; r++)
    for (int first = 0; first < count; first += kTileInputs)
      run_group<Tile, 1>(std::min(kTileInputs, count - first), m, in + first, bias, y + first, r);
}

template <int R, int N>
struct Bf16DpTile {
  static void run(const ReducedMatrix &m, const PreparedInput *const *in, const float *bias,
                  float *const *y, int64_t r) {
    bf16_tile_dp<R, N>(m, in, bias, y, r);
  }
};
template <int R, int N>
struct Int8VnniTile {
  static void run(const ReducedMatrix &m, const PreparedInput *const *in, const float *bias,
                  float *const *y, int64_t r) {
    int8_tile_vnni<R, N>(m, in, bias, y, r);
  }
};

MatvecFn matvec_for(const ReducedMatrix &m) {
  if (m.precision == DecoderPrecision::kBF16) {
    switch (m.path) {
      case ReducedPath::kAvx512Bf16:
        return bf16_dp;
      case ReducedPath::kAvx512:
        return bf16_avx512;
      case ReducedPath::kAvx2:
        return bf16_avx2;
      default:
        return bf16_scalar;
    }
  }
  switch (m.path) {
    case ReducedPath::kAvx512Vnni:
      return int8_vnni;
    case ReducedPath::kAvx2:
      return int8_avx2;
    default:
      return int8_scalar;
  }
}

}  // namespace

bool reduced_path_supported(DecoderPrecision precision, ReducedPath path) {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  const bool avx512 = __builtin_cpu_supports("avx512f");
  if (precision == DecoderPrecision::kF32) return false;
  const bool bf16 = precision == DecoderPrecision::kBF16;
  switch (path) {
    case ReducedPath::kScalar:
      return true;
    case ReducedPath::kAvx2:
      return avx2;
    case ReducedPath::kAvx512:
      return bf16 && avx512;
    case ReducedPath::kAvx512Bf16:
      return bf16 && avx512 && __builtin_cpu_supports("avx512bf16");
    case ReducedPath::kAvx512Vnni:
      return !bf16 && avx512 && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vnni");
  }
  return false;
}

ReducedPath best_reduced_path(DecoderPrecision precision) {
  for (ReducedPath path : {ReducedPath::kAvx512Bf16, ReducedPath::kAvx512Vnni, ReducedPath::kAvx512,
                           ReducedPath::kAvx2})
    if (reduced_path_supported(precision, path)) return path;
  return ReducedPath::kScalar;
}

void PreparedInput::prepare(const ReducedMatrix &matrix, const float *x) {
  const int64_t stride = matrix.stride;
  if (matrix.precision == DecoderPrecision::kInt8) {
    int8.resize(stride);
    block_scales.resize(stride / kInt8Block);
    if (matrix.activation_scale == ActivationScale::kPerRow) {
      quantize_activations(x, matrix.cols, stride, stride, int8.data(), block_scales.data());
      return;
    }
    int64_t begin = 0;
    if (matrix.path != ReducedPath::kScalar)
      for (; begin + kInt8Block <= matrix.cols; begin += kInt8Block)
        quantize_block_avx2(x + begin, int8.data() + begin,
                            block_scales.data() + begin / kInt8Block);
    if (begin < stride)
      quantize_activations(x + begin, matrix.cols - begin, stride - begin, kInt8Block,
                           int8.data() + begin, block_scales.data() + begin / kInt8Block);
    return;
  }
  floats.resize(stride);
  std::copy_n(x, matrix.cols, floats.begin());
  std::fill(floats.begin() + matrix.cols, floats.end(), 0.0f);
  if (matrix.path == ReducedPath::kAvx512Bf16) {
    bf16.resize(stride);
    round_to_bf16_avx512(floats.data(), bf16.data(), stride);
  }
}

void reduced_matvec(const ReducedMatrix &matrix, const PreparedInput &x, const float *bias,
                    float *y, int64_t row_begin, int64_t row_end) {
  matvec_for(matrix)(matrix, x, bias, y, row_begin, row_end);
}

void reduced_matvec_rows(const ReducedMatrix &matrix, const PreparedInput *const *x,
                         float *const *y, int count, const float *bias, int64_t row_begin,
                         int64_t row_end) {
  if (count == 1) return reduced_matvec(matrix, *x[0], bias, y[0], row_begin, row_end);
  if (matrix.path == ReducedPath::kAvx512Bf16 && matrix.precision == DecoderPrecision::kBF16)
    return rows_in_tiles<Bf16DpTile>(matrix, x, y, count, bias, row_begin, row_end);
  if (matrix.path == ReducedPath::kAvx512Vnni && matrix.precision == DecoderPrecision::kInt8)
    return rows_in_tiles<Int8VnniTile>(matrix, x, y, count, bias, row_begin, row_end);
  // The other paths read the rows' weights from cache for each input after
  // the first.
  const MatvecFn matvec = matvec_for(matrix);
  for (int t = 0; t < count; t++) matvec(matrix, *x[t], bias, y[t], row_begin, row_end);
}

void reduced_matmul(const ReducedMatrix &matrix, const float *x, int64_t positions,
                    const float *bias, float *y, int threads) {
  if (positions <= 0) return;
  std::vector<PreparedInput> inputs(positions);
  const int64_t row_bytes = matrix.stride * (matrix.precision == DecoderPrecision::kBF16 ? 2 : 1);
  const int64_t rows_per_block =
      std::max<int64_t>(kRowBlock, 65536 / row_bytes / kRowBlock * kRowBlock);
  const MatvecFn matvec = matvec_for(matrix);
  auto prepare = [&](int64_t begin, int64_t end) {
    for (int64_t t = begin; t < end; t++) inputs[t].prepare(matrix, x + t * matrix.cols);
  };
  const bool position_blocks =
      matrix.precision == DecoderPrecision::kBF16 && matrix.path == ReducedPath::kAvx512Bf16;
  auto multiply = [&](int64_t begin, int64_t end) {
    for (int64_t block = begin; block < end; block += rows_per_block) {
      const int64_t block_end = std::min(end, block + rows_per_block);
      int64_t t = 0;
      if (position_blocks)
        for (; t + kPositionBlock <= positions; t += kPositionBlock)
          bf16_dp_positions(matrix, &inputs[t], bias, y + t * matrix.rows, block, block_end);
      for (; t < positions; t++)
        matvec(matrix, inputs[t], bias, y + t * matrix.rows, block, block_end);
    }
  };
  if (threads <= 1) {
    prepare(0, positions);
    multiply(0, matrix.rows);
    return;
  }
  with_workers(threads, [&](StepThreads &pool) {
    pool.run(positions, 1, prepare);
    pool.run(matrix.rows, rows_per_block, multiply);
  });
}
