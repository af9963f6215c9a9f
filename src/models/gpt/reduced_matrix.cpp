#include "models/gpt/reduced_matrix.h"

#include <ATen/Parallel.h>
#include <torch/types.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

uint16_t bf16_from_float(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  // Without this, rounding could carry a NaN's payload into an infinity.
  if (std::isnan(value)) return static_cast<uint16_t>((bits >> 16) | 0x0040);
  const uint32_t rounding = 0x7fff + ((bits >> 16) & 1);
  return static_cast<uint16_t>((bits + rounding) >> 16);
}

float float_from_bf16(uint16_t bits) {
  const uint32_t wide = static_cast<uint32_t>(bits) << 16;
  float value;
  std::memcpy(&value, &wide, sizeof value);
  return value;
}

float int8_row_scale(const float *row, int64_t count) {
  float largest = 0.0f;
  for (int64_t c = 0; c < count; c++) {
    // A NaN or infinite weight makes the whole row NaN rather than a guess.
    if (!std::isfinite(row[c])) return std::numeric_limits<float>::quiet_NaN();
    largest = std::max(largest, std::fabs(row[c]));
  }
  return largest / 127.0f;
}

int8_t round_to_int8(float value) {
  const float rounded = value + (value >= 0.0f ? 0.5f : -0.5f);
  return static_cast<int8_t>(std::clamp(static_cast<int>(rounded), -127, 127));
}

namespace {

int64_t round_up(int64_t value, int64_t block) { return (value + block - 1) / block * block; }

// Rows in parallel: a layer's c_fc alone is four million values.
template <class F>
void for_rows(int64_t rows, const F &convert_row) {
  at::parallel_for(0, rows, 64, [&](int64_t begin, int64_t end) {
    for (int64_t r = begin; r < end; r++) convert_row(r);
  });
}

}  // namespace

ReducedMatrix::ReducedMatrix(const at::Tensor &weight, DecoderPrecision reduced_precision)
    : precision(reduced_precision),
      rows(weight.size(0)),
      cols(weight.size(1)),
      stride(padded_cols(reduced_precision, cols)),
      path(best_reduced_path(reduced_precision)) {
  const at::Tensor w = weight.detach().to(torch::kFloat).contiguous();
  const float *values = w.data_ptr<float>();
  if (precision == DecoderPrecision::kBF16) {
    bf16.assign(rows * stride, 0);
    for_rows(rows, [&](int64_t r) {
      for (int64_t c = 0; c < cols; c++)
        bf16[r * stride + c] = bf16_from_float(values[r * cols + c]);
    });
    return;
  }
  int8.assign(rows * stride, 0);
  scales.assign(rows, 0.0f);
  for_rows(rows, [&](int64_t r) {
    const float *row = values + r * cols;
    const float scale = int8_row_scale(row, cols);
    scales[r] = scale;
    if (!(scale > 0.0f)) return;
    // A division rather than a product with 1 / scale, which overflows for
    // rows of subnormal values.
    for (int64_t c = 0; c < cols; c++) int8[r * stride + c] = round_to_int8(row[c] / scale);
  });
}

ReducedMatrix::ReducedMatrix(DecoderPrecision reduced_precision, int64_t row_count,
                             int64_t col_count, const void *values, const float *scales_in,
                             std::shared_ptr<const void> keep_alive)
    : precision(reduced_precision),
      rows(row_count),
      cols(col_count),
      stride(padded_cols(reduced_precision, col_count)),
      path(best_reduced_path(reduced_precision)) {
  const size_t count = static_cast<size_t>(rows * stride);
  if (precision == DecoderPrecision::kBF16) {
    bf16.wrap(static_cast<const uint16_t *>(values), count, std::move(keep_alive));
    return;
  }
  int8.wrap(static_cast<const int8_t *>(values), count, keep_alive);
  scales.wrap(scales_in, static_cast<size_t>(rows), std::move(keep_alive));
}

int64_t ReducedMatrix::padded_cols(DecoderPrecision of, int64_t width) {
  return round_up(width, of == DecoderPrecision::kInt8 ? kInt8Block : kBf16Block);
}

at::Tensor ReducedMatrix::dequantized() const {
  at::Tensor out = torch::empty({rows, cols});
  float *values = out.data_ptr<float>();
  for (int64_t r = 0; r < rows; r++)
    for (int64_t c = 0; c < cols; c++)
      values[r * cols + c] = precision == DecoderPrecision::kBF16
                                 ? float_from_bf16(bf16[r * stride + c])
                                 : static_cast<float>(int8[r * stride + c]) * scales[r];
  return out;
}

int64_t ReducedMatrix::bytes() const {
  return static_cast<int64_t>(bf16.size() * sizeof(uint16_t) + int8.size() +
                              scales.size() * sizeof(float));
}
