#include "models/conditioning/conditioning_encoder.h"

#include "support/shared_module_test.h"

#include <gtest/gtest.h>
#include <torch/nn.h>

#include <string>
#include <vector>

namespace {

struct NamedShape {
  std::string name;
  std::vector<int64_t> shape;
};

class ConditioningEncoderTest
    : public SharedModuleTest<ConditioningEncoderTest, ConditioningEncoder> {
 public:
  static ConditioningEncoder build() {
    torch::manual_seed(7);
    return ConditioningEncoder(80, 1024, 16, 6);
  }
};

// Attention written head by head straight from the channel layout
// [queries | keys | values], head h at channels h*D .. h*D + D - 1.
at::Tensor reference_block(AttentionBlockImpl &block, const at::Tensor &x) {
  const int64_t C = x.size(1), H = block.heads, D = C / H;
  at::Tensor n = block.norm(x).to(torch::kDouble);
  at::Tensor w = block.qkv->weight.squeeze(-1).to(torch::kDouble);
  at::Tensor b = block.qkv->bias.to(torch::kDouble);
  at::Tensor qkv = torch::matmul(w, n) + b.unsqueeze(-1);  // [B, 3C, T]
  std::vector<at::Tensor> heads;
  for (int64_t h = 0; h < H; ++h) {
    at::Tensor q = qkv.narrow(1, h * D, D);
    at::Tensor k = qkv.narrow(1, C + h * D, D);
    at::Tensor v = qkv.narrow(1, 2 * C + h * D, D);
    at::Tensor weights =
        torch::softmax(torch::matmul(q.transpose(1, 2), k) / std::sqrt(double(D)), -1);
    heads.push_back(torch::matmul(v, weights.transpose(1, 2)));  // [B, D, T]
  }
  at::Tensor h = torch::cat(heads, 1);
  at::Tensor pw = block.proj_out->weight.squeeze(-1).to(torch::kDouble);
  at::Tensor pb = block.proj_out->bias.to(torch::kDouble);
  return (n + torch::matmul(pw, h) + pb.unsqueeze(-1)).to(torch::kFloat);
}

}  // namespace

TEST_F(ConditioningEncoderTest, ParameterNamesAndShapes) {
  auto params = module()->named_parameters();
  EXPECT_EQ(params.size(), 38u);
  EXPECT_EQ(module()->named_buffers().size(), 0u);

  const std::vector<std::string> first = {
      "init.weight",       "init.bias",       "attn.0.norm.weight",     "attn.0.norm.bias",
      "attn.0.qkv.weight", "attn.0.qkv.bias", "attn.0.proj_out.weight", "attn.0.proj_out.bias",
      "attn.1.norm.weight"};
  for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(params.keys()[i], first[i]) << "index " << i;
  EXPECT_EQ(params.keys()[36], "attn.5.proj_out.weight");
  EXPECT_EQ(params.keys()[37], "attn.5.proj_out.bias");

  const std::vector<NamedShape> table = {
      {"init.weight", {1024, 80, 1}},
      {"init.bias", {1024}},
      {"attn.0.norm.weight", {1024}},
      {"attn.3.norm.bias", {1024}},
      {"attn.0.qkv.weight", {3072, 1024, 1}},
      {"attn.5.qkv.bias", {3072}},
      {"attn.2.proj_out.weight", {1024, 1024, 1}},
      {"attn.4.proj_out.bias", {1024}},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.name);
    const at::Tensor *p = params.find(row.name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->sizes().vec(), row.shape);
  }
  auto block = module()->attn->ptr<AttentionBlockImpl>(0);
  EXPECT_EQ(block->heads, 16);
  EXPECT_EQ(block->head_dim, 64);
  EXPECT_EQ(block->norm->options.num_groups(), 32);
}

TEST_F(ConditioningEncoderTest, KeepsFrameCountAndLogsShape) {
  struct Case {
    const char *name;
    int64_t frames;
  };
  for (const Case &c : {Case{"one chunk", 517}, Case{"single frame", 1}}) {
    SCOPED_TRACE(c.name);
    std::string log;
    at::Tensor out = run(torch::randn({1, 80, c.frames}), &log);
    EXPECT_EQ(out.sizes().vec(), (std::vector<int64_t>{1, 1024, c.frames}));
    EXPECT_TRUE(torch::isfinite(out).all().item<bool>());
    EXPECT_EQ(log,
              "[conditioning] CondEncoder output: [1, 1024, " + std::to_string(c.frames) + "]\n");
  }
}

TEST_F(ConditioningEncoderTest, PermutingFramesPermutesOutput) {
  torch::manual_seed(11);
  at::Tensor mel = torch::randn({1, 80, 37});
  at::Tensor perm = torch::randperm(37);
  at::Tensor out = run(mel);
  at::Tensor out_perm = run(mel.index_select(2, perm));
  EXPECT_TRUE(torch::allclose(out_perm, out.index_select(2, perm), 1e-4, 1e-4));
  // A batch is a set of independent sequences.
  at::Tensor pair = run(torch::cat({mel, mel.index_select(2, perm)}, 0));
  EXPECT_TRUE(torch::allclose(pair[0], out[0], 1e-4, 1e-4));
  EXPECT_TRUE(torch::allclose(pair[1], out_perm[0], 1e-4, 1e-4));
}

TEST_F(ConditioningEncoderTest, BlockMatchesHeadByHeadAttention) {
  torch::NoGradGuard no_grad;
  torch::manual_seed(12);
  auto &block = *module()->attn->ptr<AttentionBlockImpl>(2);
  for (int64_t frames : {2, 9}) {
    SCOPED_TRACE(frames);
    at::Tensor x = torch::randn({2, 1024, frames});
    EXPECT_TRUE(torch::allclose(block.forward(x), reference_block(block, x), 1e-4, 1e-4));
  }
}

TEST_F(ConditioningEncoderTest, SingleFrameBlockIsNormPlusProjectedValue) {
  torch::NoGradGuard no_grad;
  torch::manual_seed(13);
  auto &block = *module()->attn->ptr<AttentionBlockImpl>(0);
  at::Tensor x = torch::randn({1, 1024, 1}) * 3 + 1;
  at::Tensor n = block.norm(x);
  at::Tensor v = block.qkv(n).narrow(1, 2048, 1024);
  at::Tensor expected = n + block.proj_out(v);
  EXPECT_TRUE(torch::allclose(block.forward(x), expected, 1e-5, 1e-5));
  // The residual is the normalised input, so the input's offset and scale
  // do not pass through.
  EXPECT_TRUE(torch::allclose(block.forward(x * 5 - 2), expected, 1e-4, 1e-4));
}
