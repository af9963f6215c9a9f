#include "decoder_fixture.h"
#include "models/gpt/decode_kernels.h"
#include "models/gpt/fused_decode_step.h"
#include "models/gpt/gpt_decoder.h"

#include <gtest/gtest.h>
#include <torch/types.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using Shape = std::vector<int64_t>;

// An independent cache holding the same positions, in buffers of its own.
KvCache copy_of(const KvCache &cache) {
  KvCache copy;
  copy.capacity = cache.capacity;
  for (size_t i = 0; i < cache.keys.size(); i++) {
    const int64_t held = cache.keys[i].size(2);
    copy.key_buffers.push_back(cache.key_buffers[i].clone());
    copy.value_buffers.push_back(cache.value_buffers[i].clone());
    copy.keys.push_back(copy.key_buffers[i].narrow(2, 0, held));
    copy.values.push_back(copy.value_buffers[i].narrow(2, 0, held));
  }
  return copy;
}

const char *isa_name(KernelIsa isa) {
  return isa == KernelIsa::kAvx512 ? "AVX-512" : isa == KernelIsa::kAvx2 ? "AVX2" : "scalar";
}

}  // namespace

// The fused steps continue a prefix exactly as the libtorch layers do: the
// same logits up to float rounding, the same keys and values written into the
// same buffers, and entries that stay views of them.
TEST(FusedDecodeStep, MatchesTheLibtorchLayers) {
  constexpr int64_t kPrefix = 37, kSteps = 4;
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  c10::NoGradGuard no_grad;
  torch::manual_seed(41);
  at::Tensor prefix = torch::randn({1, kPrefix, 1024});
  at::Tensor steps = torch::randn({1, kSteps, 1024});

  KvCache start;
  start.capacity = kPrefix + kSteps;
  decoder.run_layers(prefix, &start);

  KvCache reference = copy_of(start);
  std::vector<at::Tensor> expected;
  for (int64_t t = 0; t < kSteps; t++)
    expected.push_back(
        decoder.next_code_logits(decoder.run_layers(steps.slice(1, t, t + 1), &reference)));

  struct Case {
    KernelIsa isa;
    int threads;
  };
  const Case cases[] = {{best_kernel_isa(), 1},
                        {best_kernel_isa(), 2},
                        {best_kernel_isa(), 3},
                        {KernelIsa::kAvx2, 2},
                        {KernelIsa::kScalar, 2}};
  for (const Case &c : cases) {
    if (!kernel_isa_supported(c.isa)) continue;
    SCOPED_TRACE(std::string(isa_name(c.isa)) + ", " + std::to_string(c.threads) + " threads");
    KvCache cache = copy_of(start);
    FusedDecodeStep fused(decoder, c.threads, decode_kernels(c.isa));
    for (int64_t t = 0; t < kSteps; t++) {
      SCOPED_TRACE("step " + std::to_string(t));
      ASSERT_TRUE(fused.accepts(cache));
      at::Tensor logits = fused.step(steps.slice(1, t, t + 1), cache);
      ASSERT_EQ(logits.sizes(), (Shape{1026}));
      EXPECT_TRUE(torch::allclose(logits, expected[t], 1e-4, 1e-4))
          << (logits - expected[t]).abs().max();
    }
    for (int i = 0; i < 30; i++) {
      SCOPED_TRACE("layer " + std::to_string(i));
      ASSERT_EQ(cache.keys[i].sizes(), (Shape{1, 16, kPrefix + kSteps, 64}));
      ASSERT_EQ(cache.values[i].sizes(), (Shape{1, 16, kPrefix + kSteps, 64}));
      EXPECT_EQ(cache.keys[i].data_ptr(), cache.key_buffers[i].data_ptr());
      EXPECT_EQ(cache.values[i].data_ptr(), cache.value_buffers[i].data_ptr());
      // The prefix positions are untouched; the new ones match up to rounding.
      EXPECT_TRUE(torch::equal(cache.keys[i].narrow(2, 0, kPrefix),
                               reference.keys[i].narrow(2, 0, kPrefix)));
      EXPECT_TRUE(torch::allclose(cache.keys[i], reference.keys[i], 1e-4, 1e-4));
      EXPECT_TRUE(torch::allclose(cache.values[i], reference.values[i], 1e-4, 1e-4));
    }
    // The buffers are full now.
    EXPECT_FALSE(fused.accepts(cache));
  }
}

// A row's results do not depend on the rows beside it in a step: three
// generations at different positions, stepped together and each alone, give
// bit-identical logits, states and cache entries, on every kernel path.
TEST(FusedDecodeStep, RowsOfABatchAreBitIdenticalToAlone) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  c10::NoGradGuard no_grad;
  torch::manual_seed(44);
  std::vector<KvCache> starts;
  for (int64_t prefix : {5, 19, 11}) {
    KvCache cache;
    cache.capacity = prefix + 2;
    decoder.run_layers(torch::randn({1, prefix, 1024}), &cache);
    starts.push_back(std::move(cache));
  }
  at::Tensor inputs = torch::randn({3, 1024});
  for (KernelIsa isa : {KernelIsa::kScalar, KernelIsa::kAvx2, KernelIsa::kAvx512}) {
    if (!kernel_isa_supported(isa)) continue;
    SCOPED_TRACE(isa_name(isa));
    FusedDecodeStep fused(decoder, 2, decode_kernels(isa));
    std::vector<KvCache> together;
    for (const KvCache &start : starts) together.push_back(copy_of(start));
    std::vector<StepRow> rows;
    for (int i = 0; i < 3; i++) rows.push_back({inputs[i].data_ptr<float>(), &together[i]});
    fused.step_rows(rows);
    std::vector<std::vector<float>> logits, states;
    for (size_t i = 0; i < 3; i++) {
      logits.emplace_back(fused.logits(i), fused.logits(i) + 1026);
      states.emplace_back(fused.final_state(i), fused.final_state(i) + 1024);
    }
    for (int i : {1, 0, 2}) {
      KvCache alone = copy_of(starts[i]);
      fused.step_rows({{inputs[i].data_ptr<float>(), &alone}});
      EXPECT_EQ(std::vector<float>(fused.logits(0), fused.logits(0) + 1026), logits[i]) << i;
      EXPECT_EQ(std::vector<float>(fused.final_state(0), fused.final_state(0) + 1024), states[i])
          << i;
      for (size_t layer = 0; layer < alone.keys.size(); layer += 7) {
        EXPECT_TRUE(torch::equal(alone.keys[layer], together[i].keys[layer])) << i;
        EXPECT_TRUE(torch::equal(alone.values[layer], together[i].values[layer])) << i;
      }
    }
  }
}

// Caches the fused step must leave to the libtorch layers.
TEST(FusedDecodeStep, RefusesCachesWithoutRoomForAPosition) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  c10::NoGradGuard no_grad;
  torch::manual_seed(42);
  FusedDecodeStep fused(decoder, 2);
  auto filled = [&](int64_t batch, int64_t positions, int64_t capacity) {
    KvCache cache;
    cache.capacity = capacity;
    decoder.run_layers(torch::randn({batch, positions, 1024}), &cache);
    return cache;
  };
  struct Case {
    const char *name;
    KvCache cache;
    bool accepted;
  };
  const Case cases[] = {
      {"room for one more", filled(1, 3, 4), true},       {"empty cache", KvCache{}, false},
      {"grown by concatenation", filled(1, 3, 0), false}, {"full", filled(1, 4, 4), false},
      {"two sequences", filled(2, 3, 8), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(fused.accepts(c.cache), c.accepted);
  }
}

// Pass 1 with the fused steps draws what it draws through the libtorch
// layers from the same generator state, at the engine's settings.
TEST(GenerateCodes, FusedStepsDrawTheSameCodesAsTheLibtorchLayers) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  fixture::MelHeadOverride head(decoder, fixture::bias_without_stop(decoder), false);
  torch::manual_seed(43);
  at::Tensor cond_latents = torch::randn({1, 1024, 32});
  at::Tensor text_tokens = torch::randint(0, 6681, {1, 12}, torch::kInt64);

  std::vector<at::Tensor> codes;
  for (bool fused : {false, true}) {
    decoder.fused_decode = fused;
    torch::manual_seed(44);
    testing::internal::CaptureStderr();
    codes.push_back(decoder.generate_codes(cond_latents, text_tokens, 0.75f, 50, 0.85f, 5.0f, 24));
    testing::internal::GetCapturedStderr();
  }
  decoder.fused_decode = true;
  ASSERT_EQ(codes[0].sizes(), (Shape{1, 24}));
  EXPECT_TRUE(torch::equal(codes[0], codes[1])) << codes[0] << codes[1];
}

// A NaN in one cached key makes one attention score NaN. libtorch's softmax
// turns that head's weights into NaN; the fused step's exp must not clamp
// the NaN into a finite weight and hide it, on any kernel set.
TEST(FusedDecodeStep, KeepsANaNScoreVisibleAsTheLayersDo) {
  constexpr int64_t kPrefix = 6;
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  c10::NoGradGuard no_grad;
  torch::manual_seed(45);
  at::Tensor prefix = torch::randn({1, kPrefix, 1024});
  at::Tensor step = torch::randn({1, 1, 1024});
  KvCache start;
  start.capacity = kPrefix + 1;
  decoder.run_layers(prefix, &start);
  start.key_buffers[12][0][3][2][17] = std::nanf("");

  KvCache reference = copy_of(start);
  const at::Tensor expected = decoder.next_code_logits(decoder.run_layers(step, &reference));
  ASSERT_TRUE(expected.isnan().any().item<bool>());
  for (KernelIsa isa : {KernelIsa::kScalar, KernelIsa::kAvx2, KernelIsa::kAvx512}) {
    if (!kernel_isa_supported(isa)) continue;
    SCOPED_TRACE(isa_name(isa));
    KvCache cache = copy_of(start);
    FusedDecodeStep fused(decoder, 2, decode_kernels(isa));
    ASSERT_TRUE(fused.accepts(cache));
    EXPECT_TRUE(fused.step(step, cache).isnan().any().item<bool>());
  }
}
