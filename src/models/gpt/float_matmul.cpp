#include "models/gpt/float_matmul.h"

#include "models/gpt/step_threads.h"

#include <immintrin.h>

#include <algorithm>

// GCC 12's AVX-512 intrinsics pass an "undefined" vector as the unused
// merge source, which its flow analysis reports as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

#define TARGET_AVX512 __attribute__((target("avx512f")))

namespace {

// A tile is four weight rows by four positions: sixteen accumulators, and
// each vector loaded serves four products.
constexpr int kTileRows = 4;
constexpr int kTilePositions = 4;
// Columns taken per sweep over the positions, so that the positions' slices
// (a few hundred KB) stay in the second-level cache.
constexpr int64_t kColumnBlock = 1024;
constexpr int64_t kLanes = 16;

// y[t * ldy + i] (+)= w row i . x row t over `cols` columns, for R rows and T positions.
template <int R, int T>
TARGET_AVX512 inline void tile(const float *w, int64_t ldw, const float *x, int64_t ldx,
                               int64_t cols, float *y, int64_t ldy, bool accumulate) {
  __m512 sum[R][T];
#pragma GCC unroll 8
  for (int i = 0; i < R; i++)
#pragma GCC unroll 8
    for (int t = 0; t < T; t++) sum[i][t] = _mm512_setzero_ps();
  for (int64_t c = 0; c < cols; c += kLanes) {
    __m512 xv[T];
#pragma GCC unroll 8
    for (int t = 0; t < T; t++) xv[t] = _mm512_loadu_ps(x + t * ldx + c);
#pragma GCC unroll 8
    for (int i = 0; i < R; i++) {
      const __m512 wv = _mm512_loadu_ps(w + i * ldw + c);
#pragma GCC unroll 8
      for (int t = 0; t < T; t++) sum[i][t] = _mm512_fmadd_ps(wv, xv[t], sum[i][t]);
    }
  }
  for (int t = 0; t < T; t++)
    for (int i = 0; i < R; i++) {
      const float s = _mm512_reduce_add_ps(sum[i][t]);
      y[t * ldy + i] = accumulate ? y[t * ldy + i] + s : s;
    }
}

template <int R>
TARGET_AVX512 void rows_by_positions(const float *w, int64_t ldw, const float *x, int64_t ldx,
                                     int64_t positions, int64_t cols, float *y, int64_t ldy,
                                     bool accumulate) {
  int64_t t = 0;
  for (; t + kTilePositions <= positions; t += kTilePositions)
    tile<R, kTilePositions>(w, ldw, x + t * ldx, ldx, cols, y + t * ldy, ldy, accumulate);
  for (; t < positions; t++)
    tile<R, 1>(w, ldw, x + t * ldx, ldx, cols, y + t * ldy, ldy, accumulate);
}

// Rows [row_begin, row_end) of y for every position.
TARGET_AVX512 void multiply_rows(const float *w, int64_t rows, int64_t cols, const float *x,
                                 int64_t positions, const float *bias, float *y, int64_t row_begin,
                                 int64_t row_end) {
  for (int64_t k = 0; k < cols; k += kColumnBlock) {
    const int64_t width = std::min(kColumnBlock, cols - k);
    int64_t r = row_begin;
    for (; r + kTileRows <= row_end; r += kTileRows)
      rows_by_positions<kTileRows>(w + r * cols + k, cols, x + k, cols, positions, width, y + r,
                                   rows, k > 0);
    for (; r < row_end; r++)
      rows_by_positions<1>(w + r * cols + k, cols, x + k, cols, positions, width, y + r, rows,
                           k > 0);
  }
  if (bias)
    for (int64_t t = 0; t < positions; t++)
      for (int64_t r = row_begin; r < row_end; r++) y[t * rows + r] += bias[r];
}

}  // namespace

bool float_matmul_usable(int64_t cols) {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && cols > 0 && cols % kLanes == 0;
}

void float_matmul(const float *w, int64_t rows, int64_t cols, const float *x, int64_t positions,
                  const float *bias, float *y, int threads) {
  if (positions <= 0 || rows <= 0) return;
  // Rows go in blocks of about 64 KB of weights, read from memory once and
  // then from cache for every position.
  const int64_t block = std::max<int64_t>(kTileRows, 16384 / cols / kTileRows * kTileRows);
  auto multiply = [&](int64_t begin, int64_t end) {
    for (int64_t r = begin; r < end; r += block)
      multiply_rows(w, rows, cols, x, positions, bias, y, r, std::min(end, r + block));
  };
  if (threads <= 1) {
    multiply(0, rows);
    return;
  }
  with_workers(threads, [&](StepThreads &pool) { pool.run(rows, block, multiply); });
}
