// Float32 products over a few positions at once (the prompt pass of code
// generation), with AVX-512. OpenBLAS picks its AVX2 kernels on CPUs it does
// not know, such as recent AMD ones, and at a few dozen positions this is
// about a fifth faster there.
#pragma once

#include <cstdint>

// The most positions float_matmul is meant for: beyond it the packed
// kernels of the BLAS library catch up.
constexpr int64_t kFloatMatmulMaxPositions = 160;

// Whether this CPU runs float_matmul (AVX-512F) and cols suits it.
bool float_matmul_usable(int64_t cols);

// y [positions, rows] = x [positions, cols] w^T (+ bias), w row-major
// [rows, cols], on `threads` threads (the caller's included). bias may be null.
void float_matmul(const float *w, int64_t rows, int64_t cols, const float *x, int64_t positions,
                  const float *bias, float *y, int threads);
