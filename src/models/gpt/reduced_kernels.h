// Matrix-vector and matrix-matrix products over ReducedMatrix weights, for
// the fused decode step (one position) and the multi-position passes.
#pragma once

#include "models/gpt/aligned_vector.h"
#include "models/gpt/reduced_matrix.h"

#include <cstdint>
#include <vector>

// One input vector in the form a matrix's kernel path reads, made once and
// shared by all rows and threads of a product.
struct PreparedInput {
  // x: matrix.cols floats. NaNs and infinities reach the outputs as NaN.
  void prepare(const ReducedMatrix &matrix, const float *x);

  // Each padded with zeros to matrix.stride; only the path's form is filled.
  AlignedVector<float> floats;      // bf16 widening paths
  AlignedVector<uint16_t> bf16;     // kAvx512Bf16
  AlignedVector<int8_t> int8;       // int8 paths: x ~= int8 * block scale
  std::vector<float> block_scales;  // one per kInt8Block values
};

// y[r] = row r . x (+ bias[r]) for r in [row_begin, row_end); bias may be
// null. x was prepared for this matrix and its current path.
void reduced_matvec(const ReducedMatrix &matrix, const PreparedInput &x, const float *bias,
                    float *y, int64_t row_begin, int64_t row_end);

// The same for `count` inputs: y[t][r] = row r . x[t] (+ bias[r]). Each
// y[t][r] has the same bits as reduced_matvec with x[t] alone. The vector
// paths load each weight once for several inputs; the scalar paths read it
// from cache again for each input after the first.
void reduced_matvec_rows(const ReducedMatrix &matrix, const PreparedInput *const *x,
                         float *const *y, int count, const float *bias, int64_t row_begin,
                         int64_t row_end);

// y [positions, rows] = x [positions, cols] W^T (+ bias), on `threads`
// threads (the caller's included). Rows go in blocks of ~64 KB of weights,
// each read from memory once and then from cache for every position.
void reduced_matmul(const ReducedMatrix &matrix, const float *x, int64_t positions,
                    const float *bias, float *y, int threads);
