#include "models/gpt/decoder_precision.h"
#include "models/gpt/reduced_kernels.h"
#include "models/gpt/reduced_matrix.h"

#include <gtest/gtest.h>
#include <torch/types.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

struct Path {
  const char *name;
  DecoderPrecision precision;
  ReducedPath path;
};
const Path kPaths[] = {
    {"bf16 scalar", DecoderPrecision::kBF16, ReducedPath::kScalar},
    {"bf16 AVX2", DecoderPrecision::kBF16, ReducedPath::kAvx2},
    {"bf16 AVX-512F", DecoderPrecision::kBF16, ReducedPath::kAvx512},
    {"bf16 AVX512-BF16", DecoderPrecision::kBF16, ReducedPath::kAvx512Bf16},
    {"int8 scalar", DecoderPrecision::kInt8, ReducedPath::kScalar},
    {"int8 AVX2", DecoderPrecision::kInt8, ReducedPath::kAvx2},
    {"int8 AVX512-VNNI", DecoderPrecision::kInt8, ReducedPath::kAvx512Vnni},
};

// Every path this CPU runs; the others cannot be checked here.
std::vector<Path> supported_paths() {
  std::vector<Path> paths;
  for (const Path &p : kPaths)
    if (reduced_path_supported(p.precision, p.path)) paths.push_back(p);
  return paths;
}

uint32_t bits_of(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

float float_of_bits(uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

// What the kernel is meant to compute, in double precision: the matrix's
// own values times the input as the path reads it (rounded to bf16 for
// vdpbf16ps, quantised for int8).
at::Tensor expected_product(const ReducedMatrix &m, const PreparedInput &in, const at::Tensor &x) {
  at::Tensor input = x.to(torch::kFloat64);
  if (m.precision == DecoderPrecision::kInt8) {
    std::vector<double> v(m.cols);
    for (int64_t c = 0; c < m.cols; c++)
      v[c] = in.int8[c] * static_cast<double>(in.block_scales[c / kInt8Block]);
    input = torch::tensor(v, torch::kFloat64);
  } else if (m.path == ReducedPath::kAvx512Bf16) {
    std::vector<double> v(m.cols);
    for (int64_t c = 0; c < m.cols; c++) v[c] = float_from_bf16(in.bf16[c]);
    input = torch::tensor(v, torch::kFloat64);
  }
  return m.dequantized().to(torch::kFloat64).matmul(input);
}

}  // namespace

TEST(ReducedMatrix, Bf16RoundsToNearestEven) {
  struct Case {
    const char *name;
    float value;
    float rounded;
  };
  const float ulp = std::ldexp(1.0f, -7);  // bf16 spacing at 1
  const Case cases[] = {
      {"exact", 1.5f, 1.5f},
      {"below half an ulp", 1.0f + 0.49f * ulp, 1.0f},
      {"above half an ulp", 1.0f + 0.51f * ulp, 1.0f + ulp},
      {"tie to even, down", 1.0f + 0.5f * ulp, 1.0f},
      {"tie to even, up", 1.0f + 1.5f * ulp, 1.0f + 2 * ulp},
      {"negative", -(1.0f + 0.51f * ulp), -(1.0f + ulp)},
      {"negative zero", -0.0f, -0.0f},
      {"largest float overflows", std::numeric_limits<float>::max(),
       std::numeric_limits<float>::infinity()},
      {"infinity", -std::numeric_limits<float>::infinity(),
       -std::numeric_limits<float>::infinity()},
      {"subnormal", float_of_bits(0x00012345), float_of_bits(0x00010000)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bits_of(float_from_bf16(bf16_from_float(c.value))), bits_of(c.rounded));
  }
  // A NaN whose payload sits only in the dropped bits stays a NaN.
  EXPECT_TRUE(std::isnan(float_from_bf16(bf16_from_float(float_of_bits(0x7f800001)))));
  EXPECT_TRUE(std::isnan(float_from_bf16(bf16_from_float(std::nanf("")))));
}

TEST(ReducedMatrix, Int8RowsRoundTripWithinHalfAScale) {
  at::Tensor w = torch::randn({6, 70});
  w[1].zero_();  // all zero
  w[2].fill_(0.25f);
  w[2][5] = 1e30f;     // one huge value
  w[3][69] = -40.0f;   // the extreme in the padded tail block
  w[4].fill_(1e-41f);  // subnormal
  ReducedMatrix m(w, DecoderPrecision::kInt8);
  EXPECT_EQ(m.stride, 128);
  const at::Tensor back = m.dequantized();
  for (int64_t r = 0; r < 6; r++) {
    SCOPED_TRACE("row " + std::to_string(r));
    const float scale = m.scales[r];
    EXPECT_FLOAT_EQ(scale, w[r].abs().max().item<float>() / 127.0f);
    EXPECT_LE((back[r] - w[r]).abs().max().item<float>(), 0.5f * scale * 1.0001f + 2e-45f);
    for (int64_t c = 0; c < m.stride; c++) {
      ASSERT_LE(std::abs(m.int8[r * m.stride + c]), 127);
      if (c >= m.cols) {
        ASSERT_EQ(m.int8[r * m.stride + c], 0) << "padding";
      }
    }
  }
  EXPECT_EQ(m.scales[1], 0.0f);
  EXPECT_TRUE(torch::equal(back[1], torch::zeros({70})));
  EXPECT_EQ(m.int8[2 * m.stride + 5], 127);
  EXPECT_EQ(back[2][5].item<float>(), 1e30f / 127.0f * 127.0f);
  EXPECT_EQ(m.int8[3 * m.stride + 69], -127);

  // A NaN weight makes its row NaN instead of a plausible value.
  at::Tensor poisoned = torch::ones({2, 8});
  poisoned[1][3] = std::nanf("");
  ReducedMatrix p(poisoned, DecoderPrecision::kInt8);
  EXPECT_TRUE(std::isnan(p.scales[1]));
  EXPECT_FLOAT_EQ(p.scales[0], 1.0f / 127.0f);
}

TEST(ReducedMatrix, Bf16KeepsShapeAndPadsWithZeros) {
  at::Tensor w = torch::randn({3, 33});
  ReducedMatrix m(w, DecoderPrecision::kBF16);
  EXPECT_EQ(m.stride, 64);
  EXPECT_EQ(m.bytes(), 3 * 64 * 2);
  EXPECT_TRUE(torch::allclose(m.dequantized(), w, std::ldexp(1.0, -8), 0));
  for (int64_t r = 0; r < 3; r++)
    for (int64_t c = 33; c < 64; c++) ASSERT_EQ(m.bf16[r * m.stride + c], 0);
}

TEST(ReducedKernels, PathSupportFollowsPrecision) {
  EXPECT_TRUE(reduced_path_supported(DecoderPrecision::kBF16, ReducedPath::kScalar));
  EXPECT_TRUE(reduced_path_supported(DecoderPrecision::kInt8, ReducedPath::kScalar));
  EXPECT_FALSE(reduced_path_supported(DecoderPrecision::kBF16, ReducedPath::kAvx512Vnni));
  EXPECT_FALSE(reduced_path_supported(DecoderPrecision::kInt8, ReducedPath::kAvx512Bf16));
  EXPECT_FALSE(reduced_path_supported(DecoderPrecision::kInt8, ReducedPath::kAvx512));
  EXPECT_FALSE(reduced_path_supported(DecoderPrecision::kF32, ReducedPath::kScalar));
  for (DecoderPrecision p : {DecoderPrecision::kBF16, DecoderPrecision::kInt8})
    EXPECT_TRUE(reduced_path_supported(p, best_reduced_path(p)));
}

// Shapes of the decoder and odd ones around the vector widths, the four-row
// blocks and the padded column tails, and row ranges inside blocks.
TEST(ReducedKernels, EveryPathMatchesDoublePrecision) {
  struct Case {
    const char *name;
    int64_t rows, cols, begin, end;
    bool bias;
  };
  const Case cases[] = {
      {"one element", 1, 1, 0, 1, true},
      {"columns below one vector", 5, 7, 0, 5, true},
      {"columns one past a block", 9, 65, 0, 9, false},
      {"columns with every tail", 11, 1024 + 47, 0, 11, true},
      {"row range inside blocks", 37, 100, 3, 34, true},
      {"empty row range", 8, 64, 4, 4, true},
      {"mel_head, second half", 1026, 1024, 512, 1026, true},
      {"c_attn rows", 40, 1024, 0, 40, true},
      {"c_proj_mlp shape", 64, 4096, 0, 64, true},
  };
  torch::manual_seed(15);
  for (const Path &path : supported_paths()) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(path.name) + ": " + c.name);
      at::Tensor w = torch::randn({c.rows, c.cols}) * 0.05;
      at::Tensor x = torch::randn({c.cols});
      at::Tensor b = torch::randn({c.rows});
      ReducedMatrix m(w, path.precision);
      m.path = path.path;
      PreparedInput in;
      in.prepare(m, x.data_ptr<float>());
      std::vector<float> y(c.rows, 12345.0f);
      reduced_matvec(m, in, c.bias ? b.data_ptr<float>() : nullptr, y.data(), c.begin, c.end);

      at::Tensor expected = expected_product(m, in, x);
      if (c.bias) expected = expected + b.to(torch::kFloat64);
      at::Tensor got = torch::tensor(y, torch::kFloat64);
      // Float32 sums of |w| |x| terms: the error grows with that sum.
      const at::Tensor magnitude =
          m.dequantized().abs().to(torch::kFloat64).matmul(x.abs().to(torch::kFloat64));
      const at::Tensor error = (got - expected).abs().slice(0, c.begin, c.end);
      const at::Tensor allowed = 1e-5 * magnitude.slice(0, c.begin, c.end) + 1e-6;
      EXPECT_TRUE((error <= allowed).all().item<bool>()) << (error - allowed).max();
      for (int64_t r = 0; r < c.rows; r++)
        if (r < c.begin || r >= c.end) {
          EXPECT_EQ(y[r], 12345.0f) << "row " << r << " is outside the range";
        }
      // And the whole scheme stays near the float32 product: a bound a
      // wrong scale or a lost block would break.
      const at::Tensor exact = w.to(torch::kFloat64).matmul(x.to(torch::kFloat64));
      const double tolerance = path.precision == DecoderPrecision::kInt8 ? 0.02 : 0.01;
      const at::Tensor drift = (got - (c.bias ? exact + b.to(torch::kFloat64) : exact)).abs();
      EXPECT_TRUE(
          (drift.slice(0, c.begin, c.end) <= tolerance * magnitude.slice(0, c.begin, c.end) + 1e-6)
              .all()
              .item<bool>());
    }
  }
}

TEST(ReducedKernels, Int8ActivationScalesPerBlockOrPerRow) {
  at::Tensor x = torch::randn({200});
  x[10] = 50.0f;  // only the first block's scale should see it
  at::Tensor w = torch::randn({4, 200});
  ReducedMatrix m(w, DecoderPrecision::kInt8);
  PreparedInput in;
  in.prepare(m, x.data_ptr<float>());
  ASSERT_EQ(in.block_scales.size(), 4u);
  EXPECT_FLOAT_EQ(in.block_scales[0], 50.0f / 127.0f);
  EXPECT_LT(in.block_scales[1], 10.0f / 127.0f);
  EXPECT_EQ(in.int8[10], 127);
  for (int64_t c = 200; c < 256; c++) ASSERT_EQ(in.int8[c], 0) << "padding";

  m.activation_scale = ActivationScale::kPerRow;
  in.prepare(m, x.data_ptr<float>());
  for (float s : in.block_scales) EXPECT_FLOAT_EQ(s, 50.0f / 127.0f);

  // All-zero input: zero scales and a product of exactly the bias.
  at::Tensor zeros = torch::zeros({200});
  at::Tensor bias = torch::randn({4});
  in.prepare(m, zeros.data_ptr<float>());
  std::vector<float> y(4);
  reduced_matvec(m, in, bias.data_ptr<float>(), y.data(), 0, 4);
  for (int r = 0; r < 4; r++) EXPECT_EQ(y[r], bias[r].item<float>());
}

// The vector quantisation of the int8 paths writes the same bytes and
// scales as the scalar one, block by block, whatever the block holds.
TEST(ReducedKernels, Int8PathsQuantiseActivationsAlike) {
  at::Tensor x = torch::randn({7 * 64 + 5}) * 3;
  x.slice(0, 64, 128).zero_();         // all-zero block
  x.slice(0, 128, 192).fill_(1e-41f);  // subnormal block
  x[200] = 3e38f;                      // huge value
  x[300] = std::nanf("");              // NaN block
  x[330] = -std::numeric_limits<float>::infinity();
  x[400] = 2.5f * 127;  // ties after scaling
  ReducedMatrix scalar(torch::randn({4, x.size(0)}), DecoderPrecision::kInt8);
  scalar.path = ReducedPath::kScalar;
  PreparedInput expected;
  expected.prepare(scalar, x.data_ptr<float>());
  for (const Path &path : supported_paths()) {
    if (path.precision != DecoderPrecision::kInt8 || path.path == ReducedPath::kScalar) continue;
    SCOPED_TRACE(path.name);
    ReducedMatrix m(torch::randn({4, x.size(0)}), DecoderPrecision::kInt8);
    m.path = path.path;
    PreparedInput in;
    in.prepare(m, x.data_ptr<float>());
    EXPECT_EQ(in.int8, expected.int8);
    ASSERT_EQ(in.block_scales.size(), expected.block_scales.size());
    for (size_t b = 0; b < in.block_scales.size(); b++) {
      const float got = in.block_scales[b], want = expected.block_scales[b];
      EXPECT_TRUE(got == want || (std::isnan(got) && std::isnan(want))) << "block " << b;
    }
  }
  EXPECT_TRUE(std::isnan(expected.block_scales[4]));
  EXPECT_EQ(expected.block_scales[1], 0.0f);
}

// A NaN in the input must reach the outputs on every path, not vanish in
// a quantisation or a rounding.
TEST(ReducedKernels, NaNInputGivesNaNOutputs) {
  at::Tensor w = torch::randn({8, 96});
  at::Tensor x = torch::randn({96});
  x[70] = std::nanf("");
  for (const Path &path : supported_paths()) {
    SCOPED_TRACE(path.name);
    ReducedMatrix m(w, path.precision);
    m.path = path.path;
    PreparedInput in;
    in.prepare(m, x.data_ptr<float>());
    std::vector<float> y(8);
    reduced_matvec(m, in, nullptr, y.data(), 0, 8);
    for (float v : y) EXPECT_TRUE(std::isnan(v));
  }
}

// The multi-position product gives each position what the one-position
// product gives it, whatever the number of threads and however the positions
// fall into blocks.
TEST(ReducedKernels, MatmulMatchesMatvecPerPosition) {
  struct Case {
    const char *name;
    int64_t positions, rows, cols;
    int threads;
  };
  const Case cases[] = {
      {"one position", 1, 40, 64, 1},
      {"odd positions, odd rows", 7, 37, 100, 2},
      {"prefix-like, two threads", 33, 1024, 1024, 2},
      {"wide rows, three threads", 5, 130, 4096, 3},
  };
  torch::manual_seed(16);
  for (const Path &path : supported_paths()) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(path.name) + ": " + c.name);
      at::Tensor w = torch::randn({c.rows, c.cols});
      at::Tensor x = torch::randn({c.positions, c.cols});
      at::Tensor b = torch::randn({c.rows});
      ReducedMatrix m(w, path.precision);
      m.path = path.path;
      std::vector<float> y(c.positions * c.rows);
      reduced_matmul(m, x.data_ptr<float>(), c.positions, b.data_ptr<float>(), y.data(), c.threads);
      for (int64_t t = 0; t < c.positions; t++) {
        PreparedInput in;
        in.prepare(m, x[t].data_ptr<float>());
        std::vector<float> one(c.rows);
        reduced_matvec(m, in, b.data_ptr<float>(), one.data(), 0, c.rows);
        // Blocks of positions may sum in another order: float rounding only.
        const at::Tensor magnitude = w.abs().matmul(x[t].abs());
        for (int64_t r = 0; r < c.rows; r++)
          ASSERT_NEAR(y[t * c.rows + r], one[r], 1e-6 * magnitude[r].item<float>() + 1e-6)
              << "position " << t << ", row " << r;
      }
    }
  }
}

// Several inputs at once give each input the bits it gets alone, on every
// path: for every group size and remainder of the tiles, with row ranges
// that split them.
TEST(ReducedKernels, SeveralInputsAreBitIdenticalToEachAlone) {
  struct Case {
    int64_t rows, cols, begin, end;
  };
  const Case cases[] = {{1, 1, 0, 1}, {9, 65, 0, 9}, {37, 100, 3, 34}, {70, 4096, 5, 70}};
  torch::manual_seed(17);
  for (const Path &path : supported_paths())
    for (const Case &c : cases) {
      at::Tensor w = torch::randn({c.rows, c.cols}) * 0.05;
      at::Tensor b = torch::randn({c.rows});
      ReducedMatrix m(w, path.precision);
      m.path = path.path;
      for (int count = 1; count <= 9; count++) {
        SCOPED_TRACE(std::string(path.name) + ": " + std::to_string(c.rows) + "x" +
                     std::to_string(c.cols) + ", " + std::to_string(count) + " inputs");
        at::Tensor x = torch::randn({count, c.cols});
        std::vector<PreparedInput> inputs(count);
        std::vector<std::vector<float>> alone(count, std::vector<float>(c.rows, 7.0f));
        std::vector<std::vector<float>> together = alone;
        std::vector<const PreparedInput *> prepared;
        std::vector<float *> outputs;
        for (int t = 0; t < count; t++) {
          inputs[t].prepare(m, x[t].data_ptr<float>());
          reduced_matvec(m, inputs[t], b.data_ptr<float>(), alone[t].data(), c.begin, c.end);
          prepared.push_back(&inputs[t]);
          outputs.push_back(together[t].data());
        }
        reduced_matvec_rows(m, prepared.data(), outputs.data(), count, b.data_ptr<float>(), c.begin,
                            c.end);
        for (int t = 0; t < count; t++)
          EXPECT_EQ(0, std::memcmp(alone[t].data(), together[t].data(), c.rows * sizeof(float)))
              << "input " << t;
      }
    }
}
