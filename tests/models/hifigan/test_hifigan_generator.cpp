#include "models/hifigan/hifigan_generator.h"
#include "shared_decoder.h"

#include <ATen/Parallel.h>
#include <gtest/gtest.h>
#include <torch/torch.h>

#include <string>
#include <vector>

using hifi_test::param;
using hifi_test::ParamOverride;
using hifi_test::shared_generator;

namespace {

struct ExpectedParam {
  std::string name;
  std::vector<int64_t> shape;
};

// The generator's parameters in registration order, as the weight binding
// enumerates them.
std::vector<ExpectedParam> expected_generator_params() {
  const int64_t ch[] = {512, 256, 128, 64, 32};
  const int64_t ku[] = {16, 16, 4, 4};
  const int64_t kr[] = {3, 7, 11};
  std::vector<ExpectedParam> p = {{"conv_pre.weight", {512, 1024, 7}},
                                  {"conv_pre.bias", {512}},
                                  {"cond_layer.weight", {512, 512, 1}},
                                  {"cond_layer.bias", {512}}};
  for (int i = 0; i < 4; i++) {
    std::string n = "ups." + std::to_string(i);
    p.push_back({n + ".weight", {ch[i], ch[i + 1], ku[i]}});
    p.push_back({n + ".bias", {ch[i + 1]}});
  }
  for (int i = 0; i < 4; i++) {
    std::string n = "conds." + std::to_string(i);
    p.push_back({n + ".weight", {ch[i + 1], 512, 1}});
    p.push_back({n + ".bias", {ch[i + 1]}});
  }
  for (int n = 0; n < 12; n++) {
    int64_t c = ch[n / 3 + 1], k = kr[n % 3];
    for (const char *list : {"convs1", "convs2"}) {
      for (int m = 0; m < 3; m++) {
        std::string name = "resblocks." + std::to_string(n) + "." + list + "." + std::to_string(m);
        p.push_back({name + ".weight", {c, c, k}});
        p.push_back({name + ".bias", {c}});
      }
    }
  }
  p.push_back({"conv_post.weight", {1, 32, 7}});
  return p;
}

torch::Tensor run_generator(const torch::Tensor &x, const torch::Tensor &g) {
  torch::NoGradGuard no_grad;
  return shared_generator()->forward(x, g);
}

}  // namespace

TEST(HifiganGenerator, RegistersParametersInOrderWithTheirShapes) {
  auto params = shared_generator()->named_parameters();
  auto expected = expected_generator_params();
  ASSERT_EQ(expected.size(), 165u);
  ASSERT_EQ(params.size(), expected.size());
  for (size_t i = 0; i < expected.size(); i++) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(params[i].key(), expected[i].name);
    EXPECT_EQ(params[i].value().sizes().vec(), expected[i].shape);
  }
  EXPECT_TRUE(shared_generator()->named_buffers().is_empty());
}

TEST(HifiganGenerator, OutputHas256SamplesPerFrameAndInputsStayUntouched) {
  for (int64_t frames : {1, 2, 5, 13}) {
    SCOPED_TRACE("frames " + std::to_string(frames));
    torch::Tensor x = torch::randn({1, 1024, frames}), g = torch::randn({1, 512, 1});
    torch::Tensor x_before = x.clone(), g_before = g.clone();
    torch::Tensor out = run_generator(x, g);
    EXPECT_EQ(out.sizes().vec(), (std::vector<int64_t>{1, 1, 256 * frames}));
    EXPECT_EQ(out.scalar_type(), torch::kFloat32);
    EXPECT_TRUE(torch::equal(x, x_before));
    EXPECT_TRUE(torch::equal(g, g_before));
  }
}

TEST(HifiganGenerator, SaturatesWithinUnitRange) {
  // A huge conv_post drives the pre-tanh signal far beyond 1 in magnitude.
  ParamOverride override;
  torch::Tensor w = param(*shared_generator(), "conv_post.weight");
  override.set(w, w * 1000.0);
  torch::Tensor out = run_generator(torch::randn({1, 1024, 4}), torch::randn({1, 512, 1}));
  EXPECT_LE(out.abs().max().item<float>(), 1.0f);
  EXPECT_GT(out.abs().max().item<float>(), 0.99f);
  EXPECT_FALSE(out.isnan().any().item<bool>());
}

TEST(HifiganGenerator, ZeroConvPostGivesExactSilence) {
  ParamOverride override;
  torch::Tensor w = param(*shared_generator(), "conv_post.weight");
  override.set(w, torch::zeros_like(w));
  torch::Tensor out = run_generator(torch::randn({1, 1024, 3}) * 10.0, torch::randn({1, 512, 1}));
  EXPECT_TRUE(torch::equal(out, torch::zeros({1, 1, 768})));
}

TEST(HifiganGenerator, WithoutResidualCorrectionsEachStagePassesItsSignalOn) {
  // Zero convs2 makes every block the identity, so the three branches of a
  // stage agree and their average is the stage input again.
  auto &gen = *shared_generator();
  ParamOverride override;
  for (const auto &item : gen.named_parameters()) {
    if (item.key().find(".convs2.") != std::string::npos) {
      override.set(item.value(), torch::zeros_like(item.value()));
    }
  }
  torch::Tensor x = torch::randn({1, 1024, 3});
  torch::Tensor g = torch::randn({1, 512, 1});
  torch::Tensor out = run_generator(x, g);

  torch::NoGradGuard no_grad;
  torch::Tensor ref = gen.conv_pre(x) + gen.cond_layer(g);
  for (int i = 0; i < 4; i++) {
    ref = gen.ups[i]->as<torch::nn::ConvTranspose1dImpl>()->forward(torch::leaky_relu(ref, 0.1));
    ref = ref + gen.conds[i]->as<torch::nn::Conv1dImpl>()->forward(g);
  }
  ref = torch::tanh(gen.conv_post(torch::leaky_relu(ref, 0.1)));
  // (x + x + x) / 3 may differ from x by one rounding step.
  EXPECT_TRUE(torch::allclose(out, ref, 1e-5, 1e-6)) << (out - ref).abs().max().item<float>();
}

TEST(UpsamplingConvolution, MatchesTheTransposedConvolution) {
  struct Case {
    int64_t in, out, stride, length;
    bool bias;
  };
  // The generator's strides, a single input sample, lengths that are not a
  // multiple of anything, and no bias.
  const Case cases[] = {{16, 8, 8, 1, true},  {16, 8, 8, 13, true}, {6, 4, 2, 1, true},
                        {6, 4, 2, 29, false}, {3, 5, 4, 7, true},   {32, 16, 8, 64, false}};
  torch::manual_seed(5);
  for (const Case &c : cases) {
    SCOPED_TRACE("stride " + std::to_string(c.stride) + ", length " + std::to_string(c.length));
    const torch::Tensor weight = torch::randn({c.in, c.out, 2 * c.stride});
    const torch::Tensor bias = c.bias ? torch::randn({c.out}) : torch::Tensor();
    const torch::Tensor x = torch::randn({2, c.in, c.length});
    const torch::Tensor expected = torch::conv_transpose1d(
        x.to(torch::kDouble), weight.to(torch::kDouble),
        c.bias ? bias.to(torch::kDouble) : torch::Tensor(), c.stride, c.stride / 2);
    const torch::Tensor got = UpsamplingConvolution(weight, bias, c.stride).forward(x);
    ASSERT_EQ(got.sizes(), expected.sizes());
    EXPECT_LT((got.to(torch::kDouble) - expected).abs().max().item<double>(), 1e-4);
  }
}

TEST(HifiganGenerator, FollowsAChangeOfTheUpsamplingWeights) {
  // The upsampling layers run as convolutions made from their weights on
  // first use; a change of those weights must reach the output.
  auto &gen = *shared_generator();
  const torch::Tensor x = torch::randn({1, 1024, 3}), g = torch::randn({1, 512, 1});
  const torch::Tensor before = run_generator(x, g);
  {
    ParamOverride override;
    torch::Tensor w = param(gen, "ups.1.weight");
    override.set(w, torch::zeros_like(w));
    const torch::Tensor zeroed = run_generator(x, g);
    EXPECT_GT((zeroed - before).abs().max().item<float>(), 1e-3f);
  }
  EXPECT_TRUE(torch::equal(run_generator(x, g), before));
}

TEST(HifiganGenerator, SlicingTheResidualStagesLeavesTheOutputUnchanged) {
  // Slices from a few samples (narrower than a block's reach) to ones that
  // split only the later, narrower stages; shared out to one or two threads.
  struct Case {
    const char *name;
    int64_t slice_elements;
    int threads;
  };
  const Case cases[] = {{"16 to 128 samples", 4096, 1},
                        {"only the last two stages", 3000 * 64, 1},
                        {"16 to 128 samples, two threads", 4096, 2}};
  auto &gen = *shared_generator();
  const int64_t default_slice = gen.slice_elements;
  const int default_threads = at::get_num_threads();
  torch::Tensor x = torch::randn({1, 1024, 5});
  torch::Tensor g = torch::randn({1, 512, 1});
  gen.slice_elements = int64_t{1} << 62;
  torch::Tensor whole = run_generator(x, g);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    gen.slice_elements = c.slice_elements;
    at::set_num_threads(c.threads);
    torch::Tensor sliced = run_generator(x, g);
    // Very narrow slices may take other convolution kernels, so allow rounding.
    EXPECT_TRUE(torch::allclose(sliced, whole, 1e-5, 1e-6))
        << (sliced - whole).abs().max().item<float>();
  }
  gen.slice_elements = default_slice;
  at::set_num_threads(default_threads);
}

TEST(HifiResBlock, ZeroSecondConvolutionsReturnTheInput) {
  torch::NoGradGuard no_grad;
  HifiResBlock block(8, 7, std::vector<int>{1, 3, 5});
  for (auto &item : block->convs2->named_parameters()) item.value().zero_();
  torch::Tensor x = torch::randn({1, 8, 40});
  torch::Tensor before = x.clone();
  torch::Tensor out = block->forward(x);
  EXPECT_TRUE(torch::equal(out, x));
  EXPECT_TRUE(torch::equal(x, before));
}

TEST(HifiResBlock, DilatedBranchesAddShiftedCopiesWithSlopePointOne) {
  // One channel; convs1 takes only its leftmost tap (x[p - d]), convs2 only
  // its centre tap. Each branch then adds x shifted right by d through two
  // leaky ReLUs: unchanged when positive, times 0.01 when negative.
  struct Case {
    const char *name;
    float impulse;
    std::vector<std::pair<int, float>> expected;  // position, value; all else 0
  };
  const std::vector<Case> cases = {
      {"positive impulse",
       1.0f,
       {{10, 1}, {11, 1}, {13, 1}, {14, 1}, {15, 1}, {16, 1}, {18, 1}, {19, 1}}},
      {"negative impulse",
       -1.0f,
       {{10, -1},
        {11, -1e-2f},
        {13, -1e-2f},
        {14, -1e-4f},
        {15, -1e-2f},
        {16, -1e-4f},
        {18, -1e-4f},
        {19, -1e-6f}}},
  };
  torch::NoGradGuard no_grad;
  HifiResBlock block(1, 3, std::vector<int>{1, 3, 5});
  for (size_t i = 0; i < 3; i++) {
    auto c1 = block->convs1[i]->as<torch::nn::Conv1dImpl>();
    auto c2 = block->convs2[i]->as<torch::nn::Conv1dImpl>();
    c1->weight.copy_(torch::tensor({1.0f, 0.0f, 0.0f}).view({1, 1, 3}));
    c2->weight.copy_(torch::tensor({0.0f, 1.0f, 0.0f}).view({1, 1, 3}));
    c1->bias.zero_();
    c2->bias.zero_();
  }
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    torch::Tensor x = torch::zeros({1, 1, 24});
    x[0][0][10] = c.impulse;
    torch::Tensor expected = torch::zeros({1, 1, 24});
    for (const auto &[pos, value] : c.expected) expected[0][0][pos] = value;
    torch::Tensor out = block->forward(x);
    EXPECT_TRUE(torch::allclose(out, expected, 1e-5, 1e-9)) << out;
  }
}
