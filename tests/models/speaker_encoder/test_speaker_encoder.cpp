#include "models/speaker_encoder/speaker_encoder.h"

#include "support/shared_module_test.h"

#include <gtest/gtest.h>
#include <torch/nn.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

class SpeakerEncoderTest : public SharedModuleTest<SpeakerEncoderTest, SpeakerEncoder> {
 public:
  static SpeakerEncoder build() {
    torch::manual_seed(31);
    return SpeakerEncoder();
  }
};

struct Row {
  const char *name;
  std::vector<int64_t> shape;
};

std::vector<std::string> prefix(const std::vector<std::string> &names, size_t n) {
  return {names.begin(), names.begin() + n};
}

std::vector<std::string> suffix(const std::vector<std::string> &names, size_t n) {
  return {names.end() - n, names.end()};
}

// The block as one whole-tensor expression: what forward computes a stretch
// of time columns at a time.
at::Tensor whole_block(ResBlock2dImpl &block, const at::Tensor &x) {
  at::Tensor out = block.bn2(block.conv2(torch::relu(block.bn1(block.conv1(x)))));
  out = block.se->forward(out);
  out += block.has_downsample ? block.downsample->forward(x) : x;
  return torch::relu(out);
}

}  // namespace

TEST_F(SpeakerEncoderTest, ParameterNamesAndShapes) {
  auto params = module()->named_parameters();
  ASSERT_EQ(params.size(), 218u);
  EXPECT_EQ(prefix(params.keys(), 8),
            (std::vector<std::string>{"conv1.weight", "conv1.bias", "bn1.weight", "bn1.bias",
                                      "layer1.0.conv1.weight", "layer1.0.conv1.bias",
                                      "layer1.0.bn1.weight", "layer1.0.bn1.bias"}));
  EXPECT_EQ(
      suffix(params.keys(), 12),
      (std::vector<std::string>{"layer4.2.se.fc.1.weight", "layer4.2.se.fc.1.bias",
                                "attention.0.weight", "attention.0.bias", "attention.1.weight",
                                "attention.1.bias", "attention.2.weight", "attention.2.bias",
                                "attention.3.weight", "attention.3.bias", "fc.weight", "fc.bias"}));

  const std::vector<Row> table = {
      {"conv1.weight", {32, 1, 3, 3}},
      {"layer1.0.conv2.weight", {32, 32, 3, 3}},
      {"layer1.2.se.fc.0.weight", {4, 32}},
      {"layer2.0.conv1.weight", {64, 32, 3, 3}},
      {"layer2.0.downsample.0.weight", {64, 32, 1, 1}},
      {"layer2.0.downsample.0.bias", {64}},
      {"layer2.0.downsample.1.weight", {64}},
      {"layer3.5.se.fc.1.bias", {128}},
      {"layer3.5.se.fc.0.weight", {16, 128}},
      {"layer4.0.downsample.0.weight", {256, 128, 1, 1}},
      {"layer4.2.se.fc.1.weight", {256, 32}},
      {"attention.0.weight", {128, 2048, 1}},
      {"attention.1.weight", {1, 1, 1}},
      {"attention.2.weight", {128}},
      {"attention.3.weight", {2048, 128, 1}},
      {"attention.3.bias", {2048}},
      {"fc.weight", {512, 4096}},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.name);
    const at::Tensor *p = params.find(row.name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->sizes().vec(), row.shape);
  }
}

TEST_F(SpeakerEncoderTest, BufferNamesAndShapes) {
  auto buffers = module()->named_buffers();
  ASSERT_EQ(buffers.size(), 111u);  // 37 batch norms
  EXPECT_EQ(prefix(buffers.keys(), 4),
            (std::vector<std::string>{"bn1.running_mean", "bn1.running_var",
                                      "bn1.num_batches_tracked", "layer1.0.bn1.running_mean"}));
  EXPECT_EQ(suffix(buffers.keys(), 3),
            (std::vector<std::string>{"attention.2.running_mean", "attention.2.running_var",
                                      "attention.2.num_batches_tracked"}));
  const std::vector<Row> table = {
      {"bn1.running_var", {32}},
      {"layer2.0.downsample.1.running_mean", {64}},
      {"layer3.4.bn2.running_var", {128}},
      {"attention.2.running_var", {128}},
      {"layer4.2.bn2.num_batches_tracked", {}},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.name);
    const at::Tensor *b = buffers.find(row.name);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->sizes().vec(), row.shape);
  }
  EXPECT_EQ(buffers["bn1.num_batches_tracked"].scalar_type(), torch::kLong);
}

TEST_F(SpeakerEncoderTest, OnlyFirstBlockOfLaterStagesDownsamples) {
  struct Stage {
    const char *name;
    torch::nn::ModuleList list;
    size_t blocks;
    bool first_downsamples;
  };
  const auto &e = *module();
  for (const Stage &s : {Stage{"layer1", e.layer1, 3, false}, Stage{"layer2", e.layer2, 4, true},
                         Stage{"layer3", e.layer3, 6, true}, Stage{"layer4", e.layer4, 3, true}}) {
    SCOPED_TRACE(s.name);
    ASSERT_EQ(s.list->size(), s.blocks);
    for (size_t i = 0; i < s.blocks; ++i) {
      SCOPED_TRACE(i);
      auto block = s.list->ptr<ResBlock2dImpl>(i);
      const bool expected = i == 0 && s.first_downsamples;
      EXPECT_EQ(block->has_downsample, expected);
      EXPECT_EQ(block->named_children().contains("downsample"), expected);
    }
  }
}

TEST_F(SpeakerEncoderTest, LogsShapesAndReturnsUnitRows) {
  struct Case {
    int64_t frames;
    int64_t pooled;  // ceil(frames / 8)
  };
  for (const Case &c : {Case{100, 13}, Case{8, 1}, Case{9, 2}, Case{57, 8}}) {
    SCOPED_TRACE(c.frames);
    std::string log;
    at::Tensor e = run(torch::randn({1, 64, c.frames}), &log);
    EXPECT_EQ(log, "[speaker_encoder] After ResNet: [1, 256, 8, " + std::to_string(c.pooled) +
                       "]\n[speaker_encoder] Output: [1, 512]\n");
    EXPECT_EQ(e.sizes().vec(), (std::vector<int64_t>{1, 512}));
    EXPECT_NEAR(e.norm().item<float>(), 1.0f, 1e-5);
  }
  at::Tensor pair = run(torch::randn({2, 64, 40}) * 4 - 20);
  EXPECT_TRUE(torch::allclose(pair.norm(2, 1), torch::ones({2}), 1e-5, 1e-5));
}

TEST_F(SpeakerEncoderTest, StretchesOfColumnsGiveTheWholeEncoder) {
  torch::NoGradGuard no_grad;
  torch::manual_seed(39);
  SpeakerEncoderImpl &e = *module();
  at::Tensor mel = torch::randn({1, 64, 601});
  at::Tensor x = torch::relu(e.bn1(e.conv1(e.instance_norm(mel).unsqueeze(1))));
  for (const torch::nn::ModuleList &stage : {e.layer1, e.layer2, e.layer3, e.layer4})
    for (size_t i = 0; i < stage->size(); ++i) x = whole_block(*stage->ptr<ResBlock2dImpl>(i), x);
  at::Tensor expected = e.fc(e.pool(x.reshape({1, -1, x.size(3)})));
  expected = expected / expected.norm(2, 1, true);
  EXPECT_TRUE(torch::allclose(run(mel), expected, 1e-5, 1e-6));
}

TEST_F(SpeakerEncoderTest, ConstantOffsetOfOneBinChangesNothing) {
  torch::manual_seed(32);
  at::Tensor mel = torch::randn({1, 64, 50});
  at::Tensor shifted = mel.clone();
  shifted[0][17] += 6.0f;
  at::Tensor base = run(mel);
  EXPECT_TRUE(torch::allclose(run(shifted), base, 1e-4, 1e-5));
  // Whereas a different recording does move the embedding.
  EXPECT_FALSE(torch::allclose(run(torch::randn({1, 64, 50})), base, 1e-2, 1e-3));
}

TEST_F(SpeakerEncoderTest, PlaceholderAttentionEntryIsUnused) {
  torch::manual_seed(33);
  at::Tensor mel = torch::randn({1, 64, 30});
  at::Tensor before = run(mel);
  auto placeholder = module()->attention->ptr<torch::nn::Conv1dImpl>(1);
  at::Tensor weight = placeholder->weight.detach().clone(),
             bias = placeholder->bias.detach().clone();
  {
    torch::NoGradGuard no_grad;
    placeholder->weight.fill_(-7);
    placeholder->bias.fill_(1e4);
  }
  EXPECT_TRUE(torch::equal(run(mel), before));
  torch::NoGradGuard no_grad;
  placeholder->weight.copy_(weight);
  placeholder->bias.copy_(bias);
}

TEST_F(SpeakerEncoderTest, SingleFramePoolsToItselfAndMinimumDeviation) {
  torch::NoGradGuard no_grad;
  torch::manual_seed(34);
  at::Tensor x = torch::randn({2, 2048, 1});
  at::Tensor pooled = module()->pool(x);
  ASSERT_EQ(pooled.sizes().vec(), (std::vector<int64_t>{2, 4096}));
  EXPECT_TRUE(torch::allclose(pooled.narrow(1, 0, 2048), x.squeeze(2), 1e-6, 1e-6));
  EXPECT_TRUE(torch::allclose(pooled.narrow(1, 2048, 2048),
                              torch::full({2, 2048}, std::sqrt(1e-6f)), 1e-6, 0));
}

// With the last attention convolution zeroed every frame weighs the same, so
// the pooling yields the plain mean and the biased standard deviation.
TEST(SpeakerEncoderPooling, UniformWeightsGiveMeanAndDeviation) {
  torch::NoGradGuard no_grad;
  torch::manual_seed(35);
  SpeakerEncoder encoder;
  encoder->eval();
  auto out_conv = encoder->attention->ptr<torch::nn::Conv1dImpl>(3);
  out_conv->weight.zero_();
  out_conv->bias.zero_();

  at::Tensor x = torch::randn({1, 2048, 5}) * 3 + 1000;  // large mean: centring matters
  x[0][4].fill_(2.5f);                                   // a constant channel
  at::Tensor pooled = encoder->pool(x);
  at::Tensor mean = x.mean(2);
  at::Tensor deviation = x.to(torch::kDouble).var(2, /*unbiased=*/false).clamp_min(1e-6).sqrt();
  EXPECT_TRUE(torch::allclose(pooled.narrow(1, 0, 2048), mean, 1e-5, 1e-5));
  EXPECT_TRUE(
      torch::allclose(pooled.narrow(1, 2048, 2048), deviation.to(torch::kFloat), 1e-4, 1e-5));
  EXPECT_NEAR(pooled[0][2048 + 4].item<float>(), 1e-3f, 1e-6);
}

TEST(ResBlock2d, ResidualPath) {
  torch::NoGradGuard no_grad;
  torch::manual_seed(36);
  struct Case {
    const char *name;
    int in, out, stride;
    std::vector<int64_t> out_shape;
  };
  const std::vector<Case> cases = {
      {"identity residual", 32, 32, 1, {2, 32, 9, 7}},
      {"downsampled residual", 32, 64, 2, {2, 64, 5, 4}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ResBlock2d block(c.in, c.out, c.stride);
    block->eval();
    at::Tensor x = torch::randn({2, c.in, 9, 7});
    at::Tensor full = block->forward(x);
    EXPECT_EQ(full.sizes().vec(), c.out_shape);

    // Silence the main path: bn2 then sees zeros and adds its zero bias.
    block->conv2->weight.zero_();
    block->conv2->bias.zero_();
    block->bn2->bias.zero_();
    at::Tensor residual_only = block->forward(x);
    at::Tensor expected =
        c.stride == 1 ? torch::relu(x) : torch::relu(block->downsample->forward(x));
    EXPECT_TRUE(torch::equal(residual_only, expected));
  }
}

TEST(ResBlock2d, StretchesOfColumnsGiveTheWholeComputation) {
  torch::NoGradGuard no_grad;
  torch::manual_seed(38);
  struct Case {
    int in, out, stride;
  };
  // Widths about the 256-column stretch, for both strides: the edges of
  // stretches, a last stretch of one column, and an input narrower than one.
  const std::vector<int64_t> widths = {1, 2, 255, 256, 257, 511, 513, 700};
  for (const Case &c : std::vector<Case>{{32, 32, 1}, {32, 64, 2}, {64, 64, 1}}) {
    ResBlock2d block(c.in, c.out, c.stride);
    block->eval();
    for (torch::nn::BatchNorm2d bn : {block->bn1, block->bn2}) {
      bn->running_mean.uniform_(-0.5, 0.5);
      bn->running_var.uniform_(0.5, 2.0);
    }
    for (int64_t width : widths) {
      SCOPED_TRACE(std::to_string(c.in) + "->" + std::to_string(c.out) + " stride " +
                   std::to_string(c.stride) + ", width " + std::to_string(width));
      at::Tensor x = torch::randn({1, c.in, 5, width});
      at::Tensor got = block->forward(x);
      at::Tensor expected = whole_block(*block, x);
      ASSERT_EQ(got.sizes(), expected.sizes());
      EXPECT_TRUE(torch::allclose(got, expected, 1e-5, 1e-5))
          << (got - expected).abs().max().item<float>();
    }
  }
}

TEST(SEBlock2d, GatesEachChannelByItsMean) {
  torch::NoGradGuard no_grad;
  torch::manual_seed(37);
  SEBlock2d se(64);
  at::Tensor x = torch::randn({2, 64, 3, 5});
  at::Tensor out = se->forward(x);
  auto squeeze = se->fc->ptr<torch::nn::LinearImpl>(0);
  auto excite = se->fc->ptr<torch::nn::LinearImpl>(1);
  ASSERT_EQ(squeeze->weight.sizes().vec(), (std::vector<int64_t>{8, 64}));
  for (int64_t b = 0; b < 2; ++b) {
    SCOPED_TRACE(b);
    at::Tensor means = x[b].reshape({64, 15}).mean(1);
    at::Tensor gate = torch::sigmoid(excite->forward(torch::relu(squeeze->forward(means))));
    EXPECT_TRUE(torch::allclose(out[b], x[b] * gate.view({64, 1, 1}), 1e-6, 1e-6));
  }
}
