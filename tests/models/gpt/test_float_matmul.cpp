#include "models/gpt/float_matmul.h"

#include <gtest/gtest.h>
#include <torch/types.h>

#include <vector>

namespace {

struct Case {
  int64_t rows, cols, positions;
  bool bias;
  int threads;
};

// Shapes on and off the four-by-four tiles, one and several column blocks,
// with and without a bias, on one thread and two: against a float64 product.
TEST(FloatMatmul, MatchesADoublePrecisionProduct) {
  const std::vector<Case> cases = {
      {4, 16, 4, false, 1},      {1, 16, 2, true, 1},       {5, 32, 3, true, 2},
      {17, 1024, 7, true, 2},    {3072, 1024, 47, true, 2}, {1024, 4096, 9, true, 2},
      {1024, 4112, 5, false, 2}, {64, 1024, 160, true, 1},  {13, 2048, 1, true, 2},
  };
  for (const Case &c : cases) {
    if (!float_matmul_usable(c.cols)) GTEST_SKIP() << "no AVX-512 on this CPU";
    SCOPED_TRACE(testing::Message() << c.rows << "x" << c.cols << ", " << c.positions
                                    << " positions, threads " << c.threads);
    torch::manual_seed(c.rows * 31 + c.cols + c.positions);
    const at::Tensor w = torch::randn({c.rows, c.cols}) * 0.05;
    const at::Tensor x = torch::randn({c.positions, c.cols});
    const at::Tensor b = c.bias ? torch::randn({c.rows}) : at::Tensor();
    at::Tensor y = torch::full({c.positions, c.rows}, 1e30f);  // every entry must be written
    float_matmul(w.data_ptr<float>(), c.rows, c.cols, x.data_ptr<float>(), c.positions,
                 c.bias ? b.data_ptr<float>() : nullptr, y.data_ptr<float>(), c.threads);
    at::Tensor expected = torch::linear(x.to(torch::kDouble), w.to(torch::kDouble),
                                        c.bias ? b.to(torch::kDouble) : at::Tensor());
    const double worst = (y.to(torch::kDouble) - expected).abs().max().item<double>();
    EXPECT_LT(worst, 1e-4 * std::sqrt(static_cast<double>(c.cols) / 1024)) << worst;
  }
}

TEST(FloatMatmul, RefusesWidthsOffTheVectorLanes) {
  if (!float_matmul_usable(1024)) GTEST_SKIP() << "no AVX-512 on this CPU";
  EXPECT_FALSE(float_matmul_usable(1000));
  EXPECT_FALSE(float_matmul_usable(0));
}

}  // namespace
