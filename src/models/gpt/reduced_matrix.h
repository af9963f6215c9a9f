// A [rows, cols] weight matrix in bf16 or int8, the form the reduced kernels
// (reduced_kernels.h) read. Each row is padded with zeros to a whole number
// of kernel blocks, so the kernels never handle a column tail.
#pragma once

#include "models/gpt/decoder_precision.h"

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// int8 activations get a scale per this many values; rows are padded to it.
constexpr int64_t kInt8Block = 64;
// bf16 rows are padded to one 512-bit vector of bf16 values.
constexpr int64_t kBf16Block = 32;

// Round to nearest even; NaN stays a (quiet) NaN, infinities stay infinite.
uint16_t bf16_from_float(float value);
float float_from_bf16(uint16_t bits);

// value rounded half away from zero into [-127, 127]; value must be within
// the int range (a value over a scale from int8_row_scale is).
int8_t round_to_int8(float value);

// The int8 scale of a row: max |w| / 127, 0 for an all-zero row, NaN for a
// row with a NaN or an infinity.
float int8_row_scale(const float *row, int64_t count);

// The values of a reduced matrix: held here, or read in place from memory
// someone else keeps alive (a mapped prepared model), which is never written.
template <class T>
class ReducedValues {
 public:
  void assign(size_t count, T value) {
    owned_.assign(count, value);
    data_ = owned_.data();
    size_ = count;
  }
  void wrap(const T *data, size_t count, std::shared_ptr<const void> keep_alive) {
    owned_.clear();
    data_ = data;
    size_ = count;
    keep_alive_ = std::move(keep_alive);
  }
  const T *data() const { return data_; }
  size_t size() const { return size_; }
  const T &operator[](size_t i) const { return data_[i]; }
  // Only owned values are ever written (while converting).
  T &operator[](size_t i) { return owned_[i]; }

 private:
  std::vector<T> owned_;
  const T *data_ = nullptr;
  size_t size_ = 0;
  std::shared_ptr<const void> keep_alive_;
};

class ReducedMatrix {
 public:
  // weight: float32 [rows, cols]; precision kBF16 or kInt8.
  ReducedMatrix(const at::Tensor &weight, DecoderPrecision precision);
  // Reads already converted values in place: values [rows, stride] of bf16
  // bits or int8, and for kInt8 the row scales [rows]. keep_alive holds the
  // memory they lie in for as long as the matrix lives.
  ReducedMatrix(DecoderPrecision reduced_precision, int64_t row_count, int64_t col_count,
                const void *values, const float *scales, std::shared_ptr<const void> keep_alive);

  // The padded row length of a width-wide matrix in precision `of`.
  static int64_t padded_cols(DecoderPrecision of, int64_t width);

  // The float32 matrix these values stand for, [rows, cols].
  at::Tensor dequantized() const;
  // Bytes a product reads: the values and the row scales.
  int64_t bytes() const;

  const DecoderPrecision precision;
  const int64_t rows;
  const int64_t cols;
  // cols rounded up to the precision's block.
  const int64_t stride;
  ReducedValues<uint16_t> bf16;  // [rows, stride] for kBF16
  ReducedValues<int8_t> int8;    // [rows, stride] in [-127, 127] for kInt8
  ReducedValues<float> scales;   // [rows] for kInt8: w ~= int8 * scale

  // Which kernel reads it, and how int8 activations are scaled.
  ReducedPath path;
  ActivationScale activation_scale = ActivationScale::kPerBlock;
};
