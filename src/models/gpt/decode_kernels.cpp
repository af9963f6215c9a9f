#include "models/gpt/decode_kernels.h"

#include "models/gpt/tile_walk.h"
#include "models/gpt/vector_lanes.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <type_traits>

// GCC 12's AVX-512 intrinsics pass an "undefined" vector as the unused
// merge source, which its flow analysis reports as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// The project builds for baseline x86-64; these functions are compiled for
// wider sets and only called after the CPU check below.
#define TARGET_AVX512 __attribute__((target("avx512f")))
#define TARGET_AVX2 __attribute__((target("avx2,fma")))

namespace {

constexpr float kGeluScale = 0.7978845608028654f;  // sqrt(2 / pi)
constexpr float kGeluCubic = 0.044715f;

// exp as range reduction to r in [-ln2/2, ln2/2] and a degree-6 polynomial,
// within 2 ulp of the true value over the float range.
constexpr float kLog2e = 1.44269504088896341f;
constexpr float kLn2Hi = 0.693359375f;
constexpr float kLn2Lo = -2.12194440e-4f;
constexpr float kExpPoly[6] = {1.9875691500e-4f, 1.3981999507e-3f, 8.3334519073e-3f,
                               4.1665795894e-2f, 1.6666665459e-1f, 5.0000001201e-1f};

// ---------------------------------------------------------------- scalar

void matvec_scalar(const float *w, const float *bias, const float *x, float *y, int64_t cols,
                   int64_t row_begin, int64_t row_end) {
  for (int64_t r = row_begin; r < row_end; r++) {
    const float *row = w + r * cols;
    // Eight partial sums break the dependency chain of one running sum.
    float part[8] = {};
    int64_t c = 0;
    for (; c + 8 <= cols; c += 8)
      for (int j = 0; j < 8; j++) part[j] += row[c + j] * x[c + j];
    for (; c < cols; c++) part[0] += row[c] * x[c];
    float sum =
        ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
    y[r] = bias != nullptr ? sum + bias[r] : sum;
  }
}

void matvec_rows_scalar(const float *w, const float *bias, const float *const *x, float *const *y,
                        int count, int64_t cols, int64_t row_begin, int64_t row_end) {
  for (int t = 0; t < count; t++) matvec_scalar(w, bias, x[t], y[t], cols, row_begin, row_end);
}

void weighted_row_sum_scalar(const float *m, const float *p, float *y, int64_t rows, int64_t cols) {
  for (int64_t c = 0; c < cols; c++) y[c] = 0.0f;
  for (int64_t r = 0; r < rows; r++) {
    const float *row = m + r * cols;
    const float pr = p[r];
    for (int64_t c = 0; c < cols; c++) y[c] += pr * row[c];
  }
}

void softmax_scalar(float *s, int64_t n) {
  if (n <= 0) return;
  float max = s[0];
  for (int64_t i = 1; i < n; i++) max = s[i] > max ? s[i] : max;
  float sum = 0.0f;
  for (int64_t i = 0; i < n; i++) {
    s[i] = std::exp(s[i] - max);
    sum += s[i];
  }
  for (int64_t i = 0; i < n; i++) s[i] /= sum;
}

void gelu_tanh_scalar(float *h, int64_t n) {
  for (int64_t i = 0; i < n; i++) {
    const float v = h[i];
    h[i] = 0.5f * v * (1.0f + std::tanh(kGeluScale * (v + kGeluCubic * v * v * v)));
  }
}

// ---------------------------------------------------------------- AVX2

TARGET_AVX2 inline float hmax256(__m256 v) {
  __m128 s = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_max_ps(s, _mm_movehl_ps(s, s));
  s = _mm_max_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

// Inputs are clamped so that 2^n stays a normal float: below about -87.3
// the result is ~1e-38 rather than 0, which no sum it enters can notice.
// min and max return their second operand when either is NaN, so x goes
// second: a NaN passes through as NaN, as in libtorch, rather than turning
// into a clamp bound.
TARGET_AVX2 inline __m256 exp256(__m256 x) {
  x = _mm256_min_ps(_mm256_set1_ps(88.3f), _mm256_max_ps(_mm256_set1_ps(-87.3f), x));
  const __m256 n = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(kLog2e)),
                                   _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(kLn2Hi), x);
  r = _mm256_fnmadd_ps(n, _mm256_set1_ps(kLn2Lo), r);
  __m256 p = _mm256_set1_ps(kExpPoly[0]);
  for (int i = 1; i < 6; i++) p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpPoly[i]));
  p = _mm256_fmadd_ps(p, _mm256_mul_ps(r, r), _mm256_add_ps(r, _mm256_set1_ps(1.0f)));
  const __m256i bits =
      _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(n), _mm256_set1_epi32(127)), 23);
  return _mm256_mul_ps(p, _mm256_castsi256_ps(bits));
}

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2 {
using Lanes = Avx2Lanes;
// 16 registers: two rows by two inputs, two accumulators each.
constexpr int kTileRows = 2;
constexpr int kTileInputs = 2;
#include "models/gpt/matvec_family.inc"
}  // namespace avx2
#pragma GCC pop_options

TARGET_AVX2 void weighted_row_sum_avx2(const float *m, const float *p, float *y, int64_t rows,
                                       int64_t cols) {
  int64_t c = 0;
  for (; c + 32 <= cols; c += 32) {
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (int64_t r = 0; r < rows; r++) {
      const float *row = m + r * cols + c;
      const __m256 pr = _mm256_set1_ps(p[r]);
      a0 = _mm256_fmadd_ps(pr, _mm256_loadu_ps(row), a0);
      a1 = _mm256_fmadd_ps(pr, _mm256_loadu_ps(row + 8), a1);
      a2 = _mm256_fmadd_ps(pr, _mm256_loadu_ps(row + 16), a2);
      a3 = _mm256_fmadd_ps(pr, _mm256_loadu_ps(row + 24), a3);
    }
    _mm256_storeu_ps(y + c, a0);
    _mm256_storeu_ps(y + c + 8, a1);
    _mm256_storeu_ps(y + c + 16, a2);
    _mm256_storeu_ps(y + c + 24, a3);
  }
  for (; c < cols; c += 8) {
    const __m256i mask = Avx2Lanes::first_mask(cols - c < 8 ? cols - c : 8);
    __m256 a = _mm256_setzero_ps();
    for (int64_t r = 0; r < rows; r++)
      a = _mm256_fmadd_ps(_mm256_set1_ps(p[r]), _mm256_maskload_ps(m + r * cols + c, mask), a);
    _mm256_maskstore_ps(y + c, mask, a);
  }
}

TARGET_AVX2 void softmax_avx2(float *s, int64_t n) {
  if (n <= 0) return;
  const int64_t full = n & ~int64_t{7};
  __m256 mv = _mm256_set1_ps(s[0]);
  for (int64_t i = 0; i < full; i += 8) mv = _mm256_max_ps(mv, _mm256_loadu_ps(s + i));
  float max = hmax256(mv);
  for (int64_t i = full; i < n; i++) max = s[i] > max ? s[i] : max;
  const __m256 maxv = _mm256_set1_ps(max);
  __m256 sv = _mm256_setzero_ps();
  for (int64_t i = 0; i < full; i += 8) {
    const __m256 e = exp256(_mm256_sub_ps(_mm256_loadu_ps(s + i), maxv));
    _mm256_storeu_ps(s + i, e);
    sv = _mm256_add_ps(sv, e);
  }
  float sum = Avx2Lanes::sum(sv);
  if (full < n) {
    const __m256i m = Avx2Lanes::first_mask(n - full);
    const __m256 e = exp256(_mm256_sub_ps(_mm256_maskload_ps(s + full, m), maxv));
    _mm256_maskstore_ps(s + full, m, e);
    sum += Avx2Lanes::sum(_mm256_and_ps(e, _mm256_castsi256_ps(m)));
  }
  const __m256 sumv = _mm256_set1_ps(sum);
  for (int64_t i = 0; i < full; i += 8)
    _mm256_storeu_ps(s + i, _mm256_div_ps(_mm256_loadu_ps(s + i), sumv));
  for (int64_t i = full; i < n; i++) s[i] /= sum;
}

// 0.5 h (1 + tanh u) = h / (1 + exp(-2u)), which needs one exp and stays
// exact in both tails.
TARGET_AVX2 inline __m256 gelu256(__m256 h) {
  const __m256 h3 = _mm256_mul_ps(_mm256_mul_ps(h, h), h);
  const __m256 u =
      _mm256_mul_ps(_mm256_set1_ps(kGeluScale), _mm256_fmadd_ps(_mm256_set1_ps(kGeluCubic), h3, h));
  const __m256 e = exp256(_mm256_mul_ps(_mm256_set1_ps(-2.0f), u));
  return _mm256_div_ps(h, _mm256_add_ps(_mm256_set1_ps(1.0f), e));
}

TARGET_AVX2 void gelu_tanh_avx2(float *h, int64_t n) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(h + i, gelu256(_mm256_loadu_ps(h + i)));
  if (i < n) {
    const __m256i m = Avx2Lanes::first_mask(n - i);
    _mm256_maskstore_ps(h + i, m, gelu256(_mm256_maskload_ps(h + i, m)));
  }
}

// ---------------------------------------------------------------- AVX-512

// scalef builds 2^n without overflow or a clamp to normal floats, so tiny
// results go to 0 as they should. x goes second in the clamp, as in exp256,
// so that a NaN stays NaN.
TARGET_AVX512 inline __m512 exp512(__m512 x) {
  x = _mm512_min_ps(_mm512_set1_ps(88.7f), _mm512_max_ps(_mm512_set1_ps(-104.0f), x));
  const __m512 n = _mm512_roundscale_ps(_mm512_mul_ps(x, _mm512_set1_ps(kLog2e)),
                                        _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  __m512 r = _mm512_fnmadd_ps(n, _mm512_set1_ps(kLn2Hi), x);
  r = _mm512_fnmadd_ps(n, _mm512_set1_ps(kLn2Lo), r);
  __m512 p = _mm512_set1_ps(kExpPoly[0]);
  for (int i = 1; i < 6; i++) p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExpPoly[i]));
  p = _mm512_fmadd_ps(p, _mm512_mul_ps(r, r), _mm512_add_ps(r, _mm512_set1_ps(1.0f)));
  return _mm512_scalef_ps(p, n);
}

#pragma GCC push_options
#pragma GCC target("avx512f")
namespace avx512 {
using Lanes = Avx512Lanes;
// 32 registers: four rows by two inputs, two accumulators each. Of the
// shapes that fit, this one kept 4 inputs closest to the time of 1 (1.5x
// rather than 1.6-1.75x): it streams four rows from memory at once.
constexpr int kTileRows = 4;
constexpr int kTileInputs = 2;
#include "models/gpt/matvec_family.inc"
}  // namespace avx512
#pragma GCC pop_options

TARGET_AVX512 void weighted_row_sum_avx512(const float *m, const float *p, float *y, int64_t rows,
                                           int64_t cols) {
  int64_t c = 0;
  for (; c + 64 <= cols; c += 64) {
    __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (int64_t r = 0; r < rows; r++) {
      const float *row = m + r * cols + c;
      const __m512 pr = _mm512_set1_ps(p[r]);
      a0 = _mm512_fmadd_ps(pr, _mm512_loadu_ps(row), a0);
      a1 = _mm512_fmadd_ps(pr, _mm512_loadu_ps(row + 16), a1);
      a2 = _mm512_fmadd_ps(pr, _mm512_loadu_ps(row + 32), a2);
      a3 = _mm512_fmadd_ps(pr, _mm512_loadu_ps(row + 48), a3);
    }
    _mm512_storeu_ps(y + c, a0);
    _mm512_storeu_ps(y + c + 16, a1);
    _mm512_storeu_ps(y + c + 32, a2);
    _mm512_storeu_ps(y + c + 48, a3);
  }
  for (; c < cols; c += 16) {
    const __mmask16 mask = Avx512Lanes::first_mask(cols - c < 16 ? cols - c : 16);
    __m512 a = _mm512_setzero_ps();
    for (int64_t r = 0; r < rows; r++)
      a = _mm512_fmadd_ps(_mm512_set1_ps(p[r]), _mm512_maskz_loadu_ps(mask, m + r * cols + c), a);
    _mm512_mask_storeu_ps(y + c, mask, a);
  }
}

TARGET_AVX512 void softmax_avx512(float *s, int64_t n) {
  if (n <= 0) return;
  const int64_t full = n & ~int64_t{15};
  const __mmask16 tail = Avx512Lanes::first_mask(n - full);
  __m512 mv = _mm512_set1_ps(s[0]);
  for (int64_t i = 0; i < full; i += 16) mv = _mm512_max_ps(mv, _mm512_loadu_ps(s + i));
  mv = _mm512_mask_max_ps(mv, tail, mv, _mm512_maskz_loadu_ps(tail, s + full));
  const __m512 maxv = _mm512_set1_ps(_mm512_reduce_max_ps(mv));
  __m512 sv = _mm512_setzero_ps();
  for (int64_t i = 0; i < full; i += 16) {
    const __m512 e = exp512(_mm512_sub_ps(_mm512_loadu_ps(s + i), maxv));
    _mm512_storeu_ps(s + i, e);
    sv = _mm512_add_ps(sv, e);
  }
  if (tail != 0) {
    const __m512 e = exp512(_mm512_sub_ps(_mm512_maskz_loadu_ps(tail, s + full), maxv));
    _mm512_mask_storeu_ps(s + full, tail, e);
    sv = _mm512_mask_add_ps(sv, tail, sv, e);
  }
  const __m512 sumv = _mm512_set1_ps(_mm512_reduce_add_ps(sv));
  for (int64_t i = 0; i < full; i += 16)
    _mm512_storeu_ps(s + i, _mm512_div_ps(_mm512_loadu_ps(s + i), sumv));
  if (tail != 0)
    _mm512_mask_storeu_ps(s + full, tail,
                          _mm512_div_ps(_mm512_maskz_loadu_ps(tail, s + full), sumv));
}

TARGET_AVX512 inline __m512 gelu512(__m512 h) {
  const __m512 h3 = _mm512_mul_ps(_mm512_mul_ps(h, h), h);
  const __m512 u =
      _mm512_mul_ps(_mm512_set1_ps(kGeluScale), _mm512_fmadd_ps(_mm512_set1_ps(kGeluCubic), h3, h));
  const __m512 e = exp512(_mm512_mul_ps(_mm512_set1_ps(-2.0f), u));
  return _mm512_div_ps(h, _mm512_add_ps(_mm512_set1_ps(1.0f), e));
}

TARGET_AVX512 void gelu_tanh_avx512(float *h, int64_t n) {
  int64_t i = 0;
  for (; i + 16 <= n; i += 16) _mm512_storeu_ps(h + i, gelu512(_mm512_loadu_ps(h + i)));
  if (i < n) {
    const __mmask16 m = Avx512Lanes::first_mask(n - i);
    _mm512_mask_storeu_ps(h + i, m, gelu512(_mm512_maskz_loadu_ps(m, h + i)));
  }
}

constexpr DecodeKernels kScalarKernels{matvec_scalar, matvec_rows_scalar, weighted_row_sum_scalar,
                                       softmax_scalar, gelu_tanh_scalar};
constexpr DecodeKernels kAvx2Kernels{avx2::matvec_one<float>, avx2::matvec_rows<float>,
                                     weighted_row_sum_avx2, softmax_avx2, gelu_tanh_avx2};
constexpr DecodeKernels kAvx512Kernels{avx512::matvec_one<float>, avx512::matvec_rows<float>,
                                       weighted_row_sum_avx512, softmax_avx512,
                                       gelu_tanh_avx512};

}  // namespace

bool kernel_isa_supported(KernelIsa isa) {
  __builtin_cpu_init();
  switch (isa) {
    case KernelIsa::kAvx512:
      return __builtin_cpu_supports("avx512f");
    case KernelIsa::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case KernelIsa::kScalar:
      return true;
  }
  return false;
}

KernelIsa best_kernel_isa() {
  static const KernelIsa best = kernel_isa_supported(KernelIsa::kAvx512) ? KernelIsa::kAvx512
                                : kernel_isa_supported(KernelIsa::kAvx2) ? KernelIsa::kAvx2
                                                                         : KernelIsa::kScalar;
  return best;
}

const DecodeKernels &decode_kernels(KernelIsa isa) {
  switch (isa) {
    case KernelIsa::kAvx512:
      return kAvx512Kernels;
    case KernelIsa::kAvx2:
      return kAvx2Kernels;
    case KernelIsa::kScalar:
      break;
  }
  return kScalarKernels;
}

const DecodeKernels &decode_kernels() { return decode_kernels(best_kernel_isa()); }
