#include "models/gpt/decode_kernels.h"
#include "models/gpt/step_threads.h"

#include <gtest/gtest.h>
#include <torch/types.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Isa {
  const char *name;
  KernelIsa isa;
};
const Isa kIsas[] = {
    {"scalar", KernelIsa::kScalar}, {"AVX2", KernelIsa::kAvx2}, {"AVX-512", KernelIsa::kAvx512}};

// Every kernel set this CPU runs; the others cannot be checked here.
std::vector<Isa> supported_isas() {
  std::vector<Isa> isas;
  for (const Isa &i : kIsas)
    if (kernel_isa_supported(i.isa)) isas.push_back(i);
  return isas;
}

std::vector<float> values_of(const at::Tensor &t) {
  at::Tensor c = t.contiguous();
  return std::vector<float>(c.data_ptr<float>(), c.data_ptr<float>() + c.numel());
}

at::Tensor tensor_of(const std::vector<float> &v) {
  return torch::from_blob(const_cast<float *>(v.data()), {static_cast<int64_t>(v.size())}).clone();
}

}  // namespace

TEST(DecodeKernels, BestSetIsSupportedAndScalarAlwaysIs) {
  EXPECT_TRUE(kernel_isa_supported(KernelIsa::kScalar));
  EXPECT_TRUE(kernel_isa_supported(best_kernel_isa()));
  // The widest set wins.
  if (kernel_isa_supported(KernelIsa::kAvx512)) {
    EXPECT_EQ(best_kernel_isa(), KernelIsa::kAvx512);
  }
  EXPECT_EQ(&decode_kernels(), &decode_kernels(best_kernel_isa()));
}

// Shapes around the vector widths and the four-row blocks, and row ranges
// that start and end inside a block, against double precision.
TEST(DecodeKernels, MatvecRowsMatchDoublePrecision) {
  struct Case {
    const char *name;
    int64_t rows, cols, begin, end;
    bool bias;
  };
  const Case cases[] = {
      {"one element", 1, 1, 0, 1, true},
      {"columns below one vector", 5, 7, 0, 5, true},
      {"columns one past a vector", 9, 17, 0, 9, false},
      {"columns of one head", 13, 64, 0, 13, false},
      {"columns with every tail", 11, 1024 + 47, 0, 11, true},
      {"row range inside blocks", 37, 100, 3, 34, true},
      {"empty row range", 8, 16, 4, 4, true},
      {"mel_head, second half", 1026, 1024, 512, 1026, true},
      {"c_proj_mlp shape", 64, 4096, 0, 64, true},
  };
  torch::manual_seed(5);
  for (const Isa &isa : supported_isas()) {
    const DecodeKernels &k = decode_kernels(isa.isa);
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(isa.name) + ": " + c.name);
      at::Tensor w = torch::randn({c.rows, c.cols});
      at::Tensor x = torch::randn({c.cols});
      at::Tensor b = torch::randn({c.rows});
      std::vector<float> y(c.rows, 12345.0f);
      k.matvec(w.data_ptr<float>(), c.bias ? b.data_ptr<float>() : nullptr, x.data_ptr<float>(),
               y.data(), c.cols, c.begin, c.end);
      at::Tensor expected = w.to(torch::kFloat64).matmul(x.to(torch::kFloat64));
      if (c.bias) expected = expected + b.to(torch::kFloat64);
      at::Tensor got = tensor_of(y).to(torch::kFloat64);
      EXPECT_TRUE(torch::allclose(got.slice(0, c.begin, c.end), expected.slice(0, c.begin, c.end),
                                  1e-5, 1e-4))
          << (got.slice(0, c.begin, c.end) - expected.slice(0, c.begin, c.end)).abs().max();
      // Rows outside the range are not written.
      for (int64_t r = 0; r < c.rows; r++)
        if (r < c.begin || r >= c.end) {
          EXPECT_EQ(y[r], 12345.0f) << "row " << r;
        }
    }
  }
}

// Several inputs at once give each input the bits it gets alone, for every
// number of inputs (groups of the tile and remainders), every tail of
// columns and row ranges that split the row tiles.
TEST(DecodeKernels, MatvecOfSeveralInputsIsBitIdenticalToEachAlone) {
  struct Case {
    int64_t rows, cols, begin, end;
    bool bias;
  };
  const Case cases[] = {{1, 1, 0, 1, true},      {9, 17, 0, 9, false},
                        {13, 64, 1, 12, true},   {11, 1024 + 47, 0, 11, true},
                        {37, 100, 3, 34, false}, {8, 16, 4, 4, true},
                        {70, 4096, 5, 70, true}};
  torch::manual_seed(15);
  for (const Isa &isa : supported_isas()) {
    const DecodeKernels &k = decode_kernels(isa.isa);
    for (const Case &c : cases)
      for (int count = 1; count <= 9; count++) {
        SCOPED_TRACE(std::string(isa.name) + ": " + std::to_string(c.rows) + "x" +
                     std::to_string(c.cols) + ", " + std::to_string(count) + " inputs");
        at::Tensor w = torch::randn({c.rows, c.cols});
        at::Tensor x = torch::randn({count, c.cols});
        at::Tensor b = torch::randn({c.rows});
        const float *bias = c.bias ? b.data_ptr<float>() : nullptr;
        std::vector<std::vector<float>> alone(count, std::vector<float>(c.rows, 7.0f));
        std::vector<std::vector<float>> together = alone;
        std::vector<const float *> inputs;
        std::vector<float *> outputs;
        for (int t = 0; t < count; t++) {
          k.matvec(w.data_ptr<float>(), bias, x[t].data_ptr<float>(), alone[t].data(), c.cols,
                   c.begin, c.end);
          inputs.push_back(x[t].data_ptr<float>());
          outputs.push_back(together[t].data());
        }
        k.matvec_rows(w.data_ptr<float>(), bias, inputs.data(), outputs.data(), count, c.cols,
                      c.begin, c.end);
        for (int t = 0; t < count; t++)
          EXPECT_EQ(0, std::memcmp(alone[t].data(), together[t].data(), c.rows * sizeof(float)))
              << "input " << t;
      }
  }
}

TEST(DecodeKernels, WeightedRowSumMatchesDoublePrecision) {
  struct Case {
    const char *name;
    int64_t rows, cols;
  };
  const Case cases[] = {
      {"no rows gives zeros", 0, 64},     {"one row", 1, 64},
      {"one head, long cache", 1044, 64}, {"columns below one vector", 9, 5},
      {"columns with tails", 33, 70},
  };
  torch::manual_seed(6);
  for (const Isa &isa : supported_isas()) {
    const DecodeKernels &k = decode_kernels(isa.isa);
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(isa.name) + ": " + c.name);
      at::Tensor m = torch::randn({c.rows, c.cols});
      at::Tensor p = torch::rand({c.rows});
      std::vector<float> y(c.cols, 12345.0f);
      k.weighted_row_sum(m.data_ptr<float>(), p.data_ptr<float>(), y.data(), c.rows, c.cols);
      at::Tensor expected = p.to(torch::kFloat64).matmul(m.to(torch::kFloat64));
      EXPECT_TRUE(torch::allclose(tensor_of(y).to(torch::kFloat64), expected, 1e-5, 1e-5))
          << (tensor_of(y).to(torch::kFloat64) - expected).abs().max();
    }
  }
}

TEST(DecodeKernels, SoftmaxMatchesDoublePrecision) {
  struct Case {
    const char *name;
    at::Tensor scores;
  };
  torch::manual_seed(7);
  at::Tensor spread = torch::randn({1044}) * 30;
  spread[100] = -1e9;  // far below the rest: weight 0
  const Case cases[] = {
      {"one score", torch::tensor({3.5f})},      {"below one vector", torch::randn({7})},
      {"one past a vector", torch::randn({17})}, {"long cache, wide range", spread},
      {"all equal", torch::full({40}, -2.0f)},
  };
  for (const Isa &isa : supported_isas()) {
    const DecodeKernels &k = decode_kernels(isa.isa);
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(isa.name) + ": " + c.name);
      std::vector<float> s = values_of(c.scores);
      k.softmax(s.data(), static_cast<int64_t>(s.size()));
      at::Tensor expected = torch::softmax(c.scores.to(torch::kFloat64), 0);
      at::Tensor got = tensor_of(s).to(torch::kFloat64);
      EXPECT_TRUE(torch::allclose(got, expected, 1e-5, 1e-9)) << (got - expected).abs().max();
      EXPECT_NEAR(got.sum().item<double>(), 1.0, 1e-5);
    }
  }
}

// Both tails matter: far below zero the GELU is a tiny negative number, far
// above it is the input itself.
TEST(DecodeKernels, GeluTanhMatchesDoublePrecision) {
  at::Tensor h = torch::cat(
      {torch::linspace(-12, 12, 1001), torch::tensor({-100.0f, 100.0f, 0.0f}), torch::randn({37})});
  at::Tensor d = h.to(torch::kFloat64);
  at::Tensor expected =
      0.5 * d * (1 + torch::tanh(std::sqrt(2.0 / M_PI) * (d + 0.044715 * d.pow(3))));
  for (const Isa &isa : supported_isas()) {
    SCOPED_TRACE(isa.name);
    std::vector<float> v = values_of(h);
    decode_kernels(isa.isa).gelu_tanh(v.data(), static_cast<int64_t>(v.size()));
    at::Tensor got = tensor_of(v).to(torch::kFloat64);
    EXPECT_TRUE(torch::allclose(got, expected, 1e-5, 1e-6)) << (got - expected).abs().max();
    EXPECT_TRUE(got.isfinite().all().item<bool>());
  }
}

// libtorch passes a NaN on through softmax and GELU; the kernels' exp clamps
// must not turn it into a finite value.
TEST(DecodeKernels, SoftmaxAndGeluKeepNaN) {
  for (const Isa &isa : supported_isas()) {
    SCOPED_TRACE(isa.name);
    const DecodeKernels &k = decode_kernels(isa.isa);
    for (int64_t at : {0, 5, 20}) {  // first, inside the vectors, in a tail
      std::vector<float> s = values_of(torch::randn({21}));
      s[at] = std::nanf("");
      k.softmax(s.data(), 21);
      EXPECT_TRUE(std::isnan(s[at])) << "softmax, NaN at " << at;
      std::vector<float> h = values_of(torch::randn({21}));
      h[at] = std::nanf("");
      k.gelu_tanh(h.data(), 21);
      EXPECT_TRUE(std::isnan(h[at])) << "GELU, NaN at " << at;
    }
  }
}

// Every index is covered by exactly one piece per call, pieces start on
// multiples of the grain, and what they wrote is visible once run returns,
// also after the workers have gone to sleep between calls.
TEST(StepThreads, CoversEveryIndexOncePerCall) {
  struct Case {
    const char *name;
    int threads;
    int64_t count, grain;
  };
  const Case cases[] = {
      {"one thread", 1, 100, 4},
      {"two threads, heads", 2, 16, 1},
      {"two threads, mel_head rows", 2, 1026, 16},
      {"three threads, odd count", 3, 37, 4},
      {"fewer items than a grain", 2, 3, 16},
      {"nothing to do", 2, 0, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    StepThreads threads(c.threads);
    EXPECT_EQ(threads.threads(), c.threads);
    // Plain counters, written by whichever thread holds the piece.
    std::vector<int> hits(c.count);
    std::atomic<int> misaligned{0};
    for (int call = 0; call < 500; call++) {
      threads.run(c.count, c.grain, [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; i++) hits[i]++;
        if (begin % c.grain != 0) misaligned++;
      });
      for (int64_t i = 0; i < c.count; i++) ASSERT_EQ(hits[i], call + 1) << "index " << i;
      if (call % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(misaligned.load(), 0);
  }
  EXPECT_EQ(StepThreads(0).threads(), 1);
}
