#include "models/gpt/reduced_kernels.h"

#include "models/gpt/step_threads.h"
#include "models/gpt/tile_walk.h"
#include "models/gpt/vector_lanes.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

// GCC 12's AVX-512 intrinsics pass an "undefined" vector as the unused
// merge source, which its flow analysis reports as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// The project builds for baseline x86-64; these functions are compiled for
// wider sets and only called on a path the CPU check allowed.
#define TARGET_AVX2 __attribute__((target("avx2,fma")))
#define TARGET_AVX512 __attribute__((target("avx512f")))
#define TARGET_AVX512_BF16 __attribute__((target("avx512f,avx512bf16")))

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

// The widening bf16 paths are the float32 products of decode_kernels.cpp
// with bf16 rows (matvec_family.inc): the same sums, weights widened as they
// load.
#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace bf16_widen_avx2 {
using Lanes = Avx2Lanes;
constexpr int kTileRows = 2;
constexpr int kTileInputs = 2;
#include "models/gpt/matvec_family.inc"
}  // namespace bf16_widen_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
namespace bf16_widen_avx512 {
using Lanes = Avx512Lanes;
constexpr int kTileRows = 4;
constexpr int kTileInputs = 2;
#include "models/gpt/matvec_family.inc"
}  // namespace bf16_widen_avx512
#pragma GCC pop_options

TARGET_AVX2 void bf16_avx2(const ReducedMatrix &m, const PreparedInput &in, const float *bias,
                           float *y, int64_t row_begin, int64_t row_end) {
  const float *x = in.floats.data();
  bf16_widen_avx2::matvec_rows(m.bf16.data(), bias, &x, &y, 1, m.stride, row_begin, row_end);
}

TARGET_AVX512 void bf16_avx512(const ReducedMatrix &m, const PreparedInput &in, const float *bias,
                               float *y, int64_t row_begin, int64_t row_end) {
  const float *x = in.floats.data();
  bf16_widen_avx512::matvec_rows(m.bf16.data(), bias, &x, &y, 1, m.stride, row_begin, row_end);
}

TARGET_AVX512_BF16 inline __m512bh load_bf16x32(const uint16_t *p) {
  return reinterpret_cast<__m512bh>(_mm512_loadu_si512(p));
}

// vdpbf16ps: each lane adds the products of two bf16 pairs. Rows [r, r + R)
// against inputs x[0, N), each weight vector loaded once for all of them.
// Each (row, input) pair has its own two accumulators, taking alternate
// 32-value halves (the odd tail into the first), so an input gets the same
// bits alone or beside others.
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

// Inputs go in groups of up to four, over tiles of two rows; one input, four
// rows at a time.
TARGET_AVX512_BF16 void bf16_dp_rows(const ReducedMatrix &m, const PreparedInput *const *in,
                                     float *const *y, int count, const float *bias,
                                     int64_t row_begin, int64_t row_end) {
  walk_tiles<2, 4, 4>(count, row_begin, row_end,
                      [&](auto rows, auto inputs, int64_t r, int first) {
                        bf16_tile_dp<decltype(rows)::value, decltype(inputs)::value>(
                            m, in + first, bias, y + first, r);
                      });
}

TARGET_AVX512_BF16 void bf16_dp(const ReducedMatrix &m, const PreparedInput &in, const float *bias,
                                float *y, int64_t row_begin, int64_t row_end) {
  const PreparedInput *input = &in;
  bf16_dp_rows(m, &input, &y, 1, bias, row_begin, row_end);
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

// AVX2: a block is two 32-byte halves; maddubs takes |x| as the unsigned
// operand and w with the sign of x.
#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace int8_avx2 {
struct Lanes {
  using F = __m256;
  using I = __m256i;
  struct X {
    __m256i magnitude[2], value[2];
  };
  struct Block {
    __m256i half[2];
  };
  static X input(const int8_t *p) {
    X x;
    for (int h = 0; h < 2; h++) {
      x.value[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32 * h));
      x.magnitude[h] = _mm256_abs_epi8(x.value[h]);
    }
    return x;
  }
  static Block load(const int8_t *p) {
    return {{_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)),
             _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32))}};
  }
  static I dot(const Block &w, const X &x) {
    const __m256i ones = _mm256_set1_epi16(1);
    I d[2];
    for (int h = 0; h < 2; h++)
      d[h] = _mm256_madd_epi16(
          _mm256_maddubs_epi16(x.magnitude[h], _mm256_sign_epi8(w.half[h], x.value[h])), ones);
    return _mm256_add_epi32(d[0], d[1]);
  }
  static F zero() { return _mm256_setzero_ps(); }
  static F set1(float v) { return _mm256_set1_ps(v); }
  static F to_float(I v) { return _mm256_cvtepi32_ps(v); }
  static F fmadd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
  static float sum(F v) { return Avx2Lanes::sum(v); }
};
// 16 registers: two rows by two inputs.
constexpr int kTileRows = 2;
constexpr int kTileInputs = 2;
#include "models/gpt/int8_matvec_family.inc"
}  // namespace int8_avx2
#pragma GCC pop_options

// AVX512-VNNI: a block is one 64-byte vector; vpdpbusd takes |x| and w with
// the sign of x, negated under a mask.
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vnni")
namespace int8_vnni {
struct Lanes {
  using F = __m512;
  using I = __m512i;
  struct X {
    __m512i magnitude;
    __mmask64 negative;
  };
  using Block = __m512i;
  static X input(const int8_t *p) {
    const __m512i value = _mm512_loadu_si512(p);
    return {_mm512_abs_epi8(value), _mm512_movepi8_mask(value)};
  }
  static Block load(const int8_t *p) { return _mm512_loadu_si512(p); }
  static I dot(const Block &w, const X &x) {
    const __m512i zero = _mm512_setzero_si512();
    return _mm512_dpbusd_epi32(zero, x.magnitude, _mm512_mask_sub_epi8(w, x.negative, zero, w));
  }
  static F zero() { return _mm512_setzero_ps(); }
  static F set1(float v) { return _mm512_set1_ps(v); }
  static F to_float(I v) { return _mm512_cvtepi32_ps(v); }
  static F fmadd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
  static float sum(F v) { return _mm512_reduce_add_ps(v); }
};
// 32 registers: two rows by four inputs.
constexpr int kTileRows = 2;
constexpr int kTileInputs = 4;
#include "models/gpt/int8_matvec_family.inc"
}  // namespace int8_vnni
#pragma GCC pop_options

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
      return int8_vnni::int8_matvec;
    case ReducedPath::kAvx2:
      return int8_avx2::int8_matvec;
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
    return bf16_dp_rows(matrix, x, y, count, bias, row_begin, row_end);
  if (matrix.precision == DecoderPrecision::kInt8 && matrix.path == ReducedPath::kAvx512Vnni)
    return int8_vnni::int8_rows(matrix, x, y, count, bias, row_begin, row_end);
  if (matrix.precision == DecoderPrecision::kInt8 && matrix.path == ReducedPath::kAvx2)
    return int8_avx2::int8_rows(matrix, x, y, count, bias, row_begin, row_end);
  if (matrix.precision == DecoderPrecision::kBF16 &&
      (matrix.path == ReducedPath::kAvx512 || matrix.path == ReducedPath::kAvx2)) {
    // Inputs are independent of each other: a few at a time, without allocating.
    constexpr int kChunk = 8;
    for (int first = 0; first < count; first += kChunk) {
      const int n = std::min(kChunk, count - first);
      const float *floats[kChunk];
      for (int t = 0; t < n; t++) floats[t] = x[first + t]->floats.data();
      if (matrix.path == ReducedPath::kAvx512)
        bf16_widen_avx512::matvec_rows(matrix.bf16.data(), bias, floats, y + first, n,
                                       matrix.stride, row_begin, row_end);
      else
        bf16_widen_avx2::matvec_rows(matrix.bf16.data(), bias, floats, y + first, n, matrix.stride,
                                     row_begin, row_end);
    }
    return;
  }
  // The scalar paths read the rows' weights from cache for each input after
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
      // The rest in groups that share each weight load (the same bits as one
      // position at a time).
      constexpr int64_t kGroup = 8;
      for (; t < positions; t += kGroup) {
        const int n = static_cast<int>(std::min(kGroup, positions - t));
        const PreparedInput *group[kGroup];
        float *outputs[kGroup];
        for (int i = 0; i < n; i++) {
          group[i] = &inputs[t + i];
          outputs[i] = y + (t + i) * matrix.rows;
        }
        reduced_matvec_rows(matrix, group, outputs, n, bias, block, block_end);
      }
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
