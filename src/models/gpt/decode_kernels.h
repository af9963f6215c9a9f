// Float32 kernels of the fused decode step: matrix-vector products over
// row-major [rows, cols] matrices read in place, for one input or several, a
// softmax and the tanh GELU. Each comes as AVX-512, AVX2+FMA and plain C++
// (the products of the two vector sets from one body, matvec_family.inc); the
// widest one the CPU runs is picked once, at first use.
#pragma once

#include <cstdint>

enum class KernelIsa { kScalar, kAvx2, kAvx512 };

struct DecodeKernels {
  // y[r] = bias[r] + sum_c w[r * cols + c] * x[c] for r in [row_begin, row_end).
  // bias may be null.
  void (*matvec)(const float *w, const float *bias, const float *x, float *y, int64_t cols,
                 int64_t row_begin, int64_t row_end);
  // The same for `count` inputs: y[t][r] = bias[r] + row r . x[t]. Each
  // weight is loaded once for several inputs, and each y[t][r] has the same
  // bits as matvec with x[t] alone.
  void (*matvec_rows)(const float *w, const float *bias, const float *const *x, float *const *y,
                      int count, int64_t cols, int64_t row_begin, int64_t row_end);
  // y[c] = sum_r p[r] * m[r * cols + c] for c in [0, cols): the product with
  // the transposed matrix, as attention applies its weights to the values.
  void (*weighted_row_sum)(const float *m, const float *p, float *y, int64_t rows, int64_t cols);
  // s = softmax(s) over n values.
  void (*softmax)(float *s, int64_t n);
  // h = 0.5 h (1 + tanh(sqrt(2 / pi) (h + 0.044715 h^3))) over n values.
  void (*gelu_tanh)(float *h, int64_t n);
};

bool kernel_isa_supported(KernelIsa isa);
// The widest supported set.
KernelIsa best_kernel_isa();
const DecodeKernels &decode_kernels(KernelIsa isa);
const DecodeKernels &decode_kernels();
