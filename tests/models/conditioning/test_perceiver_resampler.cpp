#include "models/conditioning/perceiver_resampler.h"

#include "support/shared_module_test.h"

#include <gtest/gtest.h>
#include <torch/nn.h>

#include <string>
#include <vector>

namespace {

class PerceiverResamplerTest : public SharedModuleTest<PerceiverResamplerTest, PerceiverResampler> {
 public:
  static PerceiverResampler build() {
    torch::manual_seed(21);
    return PerceiverResampler(1024, 2, 64, 8, 32, 4);
  }

 protected:
  static at::Tensor param(const std::string &name) {
    return module()->named_parameters()[name].to(torch::kDouble);
  }
};

// The resampler written out from its parameters alone, in double precision,
// with the attention computed head by head.
at::Tensor reference_forward(const at::Tensor &context_in,
                             const std::function<at::Tensor(const std::string &)> &param) {
  const int64_t H = 8, D = 64, inner = H * D;
  at::Tensor context = context_in.to(torch::kDouble);
  at::Tensor lat = param("latents").unsqueeze(0);  // B = 1
  for (int layer = 0; layer < 2; ++layer) {
    const std::string p = "layers." + std::to_string(layer) + ".";
    at::Tensor kv_in = torch::cat({lat, context}, 1);
    at::Tensor q = torch::matmul(lat, param(p + "0.to_q.weight").t());
    at::Tensor kv = torch::matmul(kv_in, param(p + "0.to_kv.weight").t());
    std::vector<at::Tensor> heads;
    for (int64_t h = 0; h < H; ++h) {
      at::Tensor qh = q.narrow(-1, h * D, D);
      at::Tensor kh = kv.narrow(-1, h * D, D);
      at::Tensor vh = kv.narrow(-1, inner + h * D, D);
      at::Tensor w = torch::softmax(torch::matmul(qh, kh.transpose(1, 2)) / 8.0, -1);
      heads.push_back(torch::matmul(w, vh));
    }
    lat = lat + torch::matmul(torch::cat(heads, -1), param(p + "0.to_out.weight").t());
    at::Tensor a = torch::matmul(lat, param(p + "1.0.weight").t()) + param(p + "1.0.bias");
    const int64_t F = a.size(-1) / 2;
    at::Tensor value = a.narrow(-1, 0, F), gate = a.narrow(-1, F, F);
    at::Tensor gelu = gate * 0.5 * (1 + torch::erf(gate / std::sqrt(2.0)));
    lat = lat + torch::matmul(value * gelu, param(p + "1.2.weight").t()) + param(p + "1.2.bias");
  }
  at::Tensor rms = lat.pow(2).mean(-1, true).sqrt();
  return (lat / rms * param("norm.gamma")).permute({0, 2, 1}).to(torch::kFloat);
}

}  // namespace

TEST_F(PerceiverResamplerTest, ParameterNamesAndShapes) {
  auto params = module()->named_parameters();
  EXPECT_EQ(module()->named_buffers().size(), 0u);
  const std::vector<std::string> layer_names = {
      "0.to_q.weight", "0.to_kv.weight", "0.to_out.weight", "1.0.weight", "1.0.bias",
      "1.1.weight",    "1.1.bias",       "1.2.weight",      "1.2.bias"};
  std::vector<std::string> expected = {"latents"};
  for (const char *layer : {"layers.0.", "layers.1."})
    for (const auto &name : layer_names) expected.push_back(layer + name);
  expected.push_back("norm.gamma");
  EXPECT_EQ(params.keys(), expected);  // 20 tensors, in registration order

  struct Row {
    const char *name;
    std::vector<int64_t> shape;
  };
  const std::vector<Row> table = {
      {"latents", {32, 1024}},
      {"layers.0.0.to_q.weight", {512, 1024}},
      {"layers.0.0.to_kv.weight", {1024, 1024}},
      {"layers.1.0.to_out.weight", {1024, 512}},
      {"layers.1.1.0.weight", {5460, 1024}},
      {"layers.1.1.0.bias", {5460}},
      {"layers.0.1.1.weight", {1, 1}},
      {"layers.1.1.1.bias", {1}},
      {"layers.0.1.2.weight", {1024, 2730}},
      {"layers.0.1.2.bias", {1024}},
      {"norm.gamma", {1024}},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(params[row.name].sizes().vec(), row.shape);
  }
  EXPECT_TRUE(torch::equal(params["norm.gamma"], torch::ones({1024})));
  EXPECT_FLOAT_EQ(module()->norm->scale, 32.0f);
  EXPECT_FLOAT_EQ(
      module()->layers->ptr<torch::nn::ModuleListImpl>(0)->ptr<PerceiverAttentionImpl>(0)->scale,
      0.125f);
}

TEST_F(PerceiverResamplerTest, OutputShapeDoesNotDependOnFrameCount) {
  for (int64_t frames : {517, 1}) {
    SCOPED_TRACE(frames);
    std::string log;
    at::Tensor out = run(torch::randn({1, frames, 1024}), &log);
    EXPECT_EQ(out.sizes().vec(), (std::vector<int64_t>{1, 1024, 32}));
    EXPECT_EQ(log, "[conditioning] PerceiverResampler output: [1, 1024, 32]\n");
  }
}

TEST_F(PerceiverResamplerTest, MatchesReferenceComputation) {
  torch::manual_seed(22);
  auto param = [](const std::string &name) { return PerceiverResamplerTest::param(name); };
  // One frame: every latent attends over 33 keys, the latents and the frame.
  for (int64_t frames : {1, 6}) {
    SCOPED_TRACE(frames);
    at::Tensor context = torch::randn({1, frames, 1024});
    EXPECT_TRUE(torch::allclose(run(context), reference_forward(context, param), 1e-4, 1e-4));
  }
}

TEST_F(PerceiverResamplerTest, EveryLatentHasLengthThirtyTwo) {
  at::Tensor out = run(torch::randn({1, 40, 1024}));
  at::Tensor lengths = out.norm(2, 1);  // one per latent, across the channels
  EXPECT_TRUE(torch::allclose(lengths, torch::full({1, 32}, 32.0f), 1e-4, 1e-4));
}

TEST_F(PerceiverResamplerTest, BatchItemsStartFromTheSameLatents) {
  torch::manual_seed(23);
  at::Tensor a = torch::randn({1, 7, 1024}), b = torch::randn({1, 7, 1024});
  at::Tensor same = run(torch::cat({a, a}, 0));
  EXPECT_TRUE(torch::allclose(same[0], same[1], 1e-5, 1e-5));
  at::Tensor pair = run(torch::cat({a, b}, 0));
  EXPECT_TRUE(torch::allclose(pair[0], run(a)[0], 1e-5, 1e-5));
  EXPECT_TRUE(torch::allclose(pair[1], run(b)[0], 1e-5, 1e-5));
}

TEST_F(PerceiverResamplerTest, PlaceholderWeightsHaveNoEffect) {
  torch::manual_seed(24);
  at::Tensor context = torch::randn({1, 5, 1024});
  at::Tensor before = run(context);
  auto params = module()->named_parameters();
  {
    torch::NoGradGuard no_grad;
    for (const char *name :
         {"layers.0.1.1.weight", "layers.0.1.1.bias", "layers.1.1.1.weight", "layers.1.1.1.bias"})
      params[name].fill_(1e6);
  }
  EXPECT_TRUE(torch::equal(run(context), before));
}

TEST(RMSNorm, ScalesToRootWidthTimesGamma) {
  torch::NoGradGuard no_grad;
  RMSNorm norm(4);
  norm->gamma.copy_(torch::tensor({1.0f, 2.0f, 0.5f, -1.0f}));
  at::Tensor x = torch::tensor(
      {{3.0f, 4.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 0.0f}, {1e-3f, 1e-3f, 1e-3f, 1e-3f}});
  at::Tensor expected = torch::tensor({{1.2f, 3.2f, 0.0f, 0.0f},  // x / rms(x) * gamma, rms = 2.5
                                       {0.0f, 0.0f, 0.0f, 0.0f},  // zero stays zero
                                       {1.0f, 2.0f, 0.5f, -1.0f}});
  EXPECT_TRUE(torch::allclose(norm->forward(x), expected, 1e-5, 1e-6));
}
