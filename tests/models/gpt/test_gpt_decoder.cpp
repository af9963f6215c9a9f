#include "decoder_fixture.h"
#include "models/gpt/gpt_decoder.h"

#include <ATen/Parallel.h>
#include <gtest/gtest.h>
#include <torch/types.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace {

using Shape = std::vector<int64_t>;

at::Tensor layer_norm_reference(const at::Tensor &x, const torch::nn::LayerNorm &ln) {
  at::Tensor mean = x.mean(-1, true);
  at::Tensor var = (x - mean).pow(2).mean(-1, true);
  return (x - mean) / torch::sqrt(var + 1e-5) * ln->weight.to(torch::kFloat64) +
         ln->bias.to(torch::kFloat64);
}

template <class Linear>
at::Tensor linear_reference(const at::Tensor &x, const Linear &linear) {
  return x.matmul(linear->weight.to(torch::kFloat64).t()) + linear->bias.to(torch::kFloat64);
}

// The layer written head by head in double precision, with an explicit causal
// mask, scale and tanh GELU: x [1, T, 1024], no cache.
at::Tensor layer_reference(GPT2LayerImpl &layer, const at::Tensor &input) {
  at::Tensor x = input.to(torch::kFloat64)[0];
  const int64_t T = x.size(0);
  at::Tensor qkv = linear_reference(layer_norm_reference(x, layer.ln_1), layer.c_attn);
  at::Tensor future = torch::ones({T, T}, torch::kBool).triu(1);
  std::vector<at::Tensor> heads;
  for (int64_t j = 0; j < 16; j++) {
    at::Tensor q = qkv.slice(1, 64 * j, 64 * j + 64);
    at::Tensor k = qkv.slice(1, 1024 + 64 * j, 1024 + 64 * j + 64);
    at::Tensor v = qkv.slice(1, 2048 + 64 * j, 2048 + 64 * j + 64);
    at::Tensor scores = (q.matmul(k.t()) * 0.125).masked_fill(future, -INFINITY);
    heads.push_back(torch::softmax(scores, -1).matmul(v));
  }
  x = x + linear_reference(torch::cat(heads, 1), layer.c_proj);
  at::Tensor h = linear_reference(layer_norm_reference(x, layer.ln_2), layer.c_fc);
  h = 0.5 * h * (1 + torch::tanh(std::sqrt(2.0 / M_PI) * (h + 0.044715 * h.pow(3))));
  return (x + linear_reference(h, layer.c_proj_mlp)).unsqueeze(0);
}

// A layer whose attention and MLP are far from linear, so that a wrong scale,
// head split or GELU shows in the output.
GPT2Layer sharp_layer() {
  torch::manual_seed(7);
  GPT2Layer layer(0);
  c10::NoGradGuard no_grad;
  layer->c_attn->weight.mul_(3);
  layer->c_fc->weight.mul_(4);
  layer->ln_1->weight.uniform_(0.5, 1.5);
  layer->ln_2->bias.uniform_(-0.5, 0.5);
  return layer;
}

std::vector<std::pair<std::string, Shape>> expected_parameters() {
  std::vector<std::pair<std::string, Shape>> expected = {
      {"text_embedding.weight", {6681, 1024}},
      {"mel_embedding.weight", {1026, 1024}},
      {"text_pos_embedding.emb.weight", {404, 1024}},
      {"mel_pos_embedding.emb.weight", {608, 1024}}};
  const std::vector<std::pair<std::string, Shape>> layer = {{"ln_1.weight", {1024}},
                                                            {"ln_1.bias", {1024}},
                                                            {"ln_2.weight", {1024}},
                                                            {"ln_2.bias", {1024}},
                                                            {"c_attn.weight", {3072, 1024}},
                                                            {"c_attn.bias", {3072}},
                                                            {"c_proj.weight", {1024, 1024}},
                                                            {"c_proj.bias", {1024}},
                                                            {"c_fc.weight", {4096, 1024}},
                                                            {"c_fc.bias", {4096}},
                                                            {"c_proj_mlp.weight", {1024, 4096}},
                                                            {"c_proj_mlp.bias", {1024}}};
  for (int n = 0; n < 30; n++)
    for (const auto &[name, shape] : layer)
      expected.push_back({"gpt." + std::to_string(n) + "." + name, shape});
  const std::vector<std::pair<std::string, Shape>> tail = {
      {"gpt_ln_f.weight", {1024}},        {"gpt_ln_f.bias", {1024}},
      {"final_norm.weight", {1024}},      {"final_norm.bias", {1024}},
      {"text_head.weight", {6681, 1024}}, {"text_head.bias", {6681}},
      {"mel_head.weight", {1026, 1024}},  {"mel_head.bias", {1026}}};
  expected.insert(expected.end(), tail.begin(), tail.end());
  return expected;
}

}  // namespace

// Random projections are libtorch's Linear draw for draw, so a seeded model
// is the same whichever layer type holds them; zeros are all zero.
TEST(Dense, InitialisesAsLinearOrWithZeros) {
  torch::manual_seed(11);
  torch::nn::Linear linear(48, 20);
  torch::manual_seed(11);
  Dense random(48, 20, WeightInit::kRandom);
  EXPECT_TRUE(torch::equal(random->weight, linear->weight));
  EXPECT_TRUE(torch::equal(random->bias, linear->bias));

  Dense zeros(48, 20, WeightInit::kZeros);
  EXPECT_EQ(zeros->weight.sizes(), (std::vector<int64_t>{20, 48}));
  EXPECT_EQ(zeros->weight.count_nonzero().item<int64_t>(), 0);
  EXPECT_EQ(zeros->bias.count_nonzero().item<int64_t>(), 0);
  EXPECT_EQ(zeros->named_parameters().size(), 2u);

  c10::NoGradGuard no_grad;
  at::Tensor x = torch::randn({3, 48});
  EXPECT_TRUE(torch::allclose(random->forward(x), linear->forward(x)));
}

TEST(GPT2Layer, MatchesHeadByHeadReference) {
  GPT2Layer layer = sharp_layer();
  c10::NoGradGuard no_grad;
  for (int64_t T : {1, 2, 7}) {
    SCOPED_TRACE("T = " + std::to_string(T));
    at::Tensor x = torch::randn({1, T, 1024});
    at::Tensor before = x.clone();
    at::Tensor y = layer->forward(x, nullptr);
    EXPECT_EQ(y.sizes(), x.sizes());
    EXPECT_TRUE(torch::allclose(y.to(torch::kFloat64), layer_reference(*layer, x), 0, 2e-5))
        << (y.to(torch::kFloat64) - layer_reference(*layer, x)).abs().max();
    EXPECT_TRUE(torch::equal(x, before));
  }
}

// Feeding a sequence in two calls through a cache must give what one
// uncached call over the whole sequence gives: the mask then lets query row t
// of the second call see key columns 0 .. t + cached. With a capacity that
// holds the sequence, both calls write into one buffer per list and the
// entries are views of it; with less, the cache falls back to concatenation.
TEST(GPT2Layer, CachedCallsMatchOneUncachedCall) {
  struct Case {
    const char *name;
    int64_t cached;
    int64_t fresh;
    int64_t capacity;
  };
  const Case cases[] = {
      {"3 cached, 2 new (rows see 0..3 and 0..4)", 3, 2, 0},
      {"4 cached, 1 new (no mask)", 4, 1, 0},
      {"1 cached, 4 new", 1, 4, 0},
      {"fresh cache, 5 new", 0, 5, 0},
      {"3 cached, 2 new, in place", 3, 2, 5},
      {"4 cached, 1 new, in place with spare room", 4, 1, 9},
      {"fresh cache, 5 new, in place", 0, 5, 5},
      {"3 cached in place, 2 new past the capacity", 3, 2, 4},
  };
  GPT2Layer layer = sharp_layer();
  c10::NoGradGuard no_grad;
  at::Tensor x = torch::randn({1, 5, 1024});
  at::Tensor whole = layer->forward(x, nullptr);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    KvCache cache;
    cache.capacity = c.capacity;
    if (c.cached > 0) layer->forward(x.slice(1, 0, c.cached), &cache);
    const void *first_buffer =
        cache.key_buffers.empty() ? nullptr : cache.key_buffers[0].data_ptr();
    at::Tensor tail = layer->forward(x.slice(1, c.cached, 5), &cache);
    ASSERT_EQ(cache.keys.size(), 1u);
    ASSERT_EQ(cache.values.size(), 1u);
    EXPECT_EQ(cache.keys[0].sizes(), (Shape{1, 16, 5, 64}));
    EXPECT_EQ(cache.values[0].sizes(), (Shape{1, 16, 5, 64}));
    EXPECT_TRUE(torch::allclose(tail, whole.slice(1, c.cached, 5), 0, 1e-5))
        << (tail - whole.slice(1, c.cached, 5)).abs().max();
    const bool in_place = c.capacity >= 5;
    ASSERT_EQ(cache.key_buffers.size(), c.capacity > 0 ? 1u : 0u);
    if (in_place) {
      EXPECT_EQ(cache.key_buffers[0].sizes(), (Shape{1, 16, c.capacity, 64}));
      EXPECT_EQ(cache.keys[0].data_ptr(), cache.key_buffers[0].data_ptr());
      EXPECT_EQ(cache.values[0].data_ptr(), cache.value_buffers[0].data_ptr());
      if (first_buffer != nullptr) {
        EXPECT_EQ(cache.key_buffers[0].data_ptr(), first_buffer);
      }
    } else if (c.capacity > 0) {
      EXPECT_NE(cache.keys[0].data_ptr(), cache.key_buffers[0].data_ptr());
    }
  }
}

// Two positions with opposite keys in one channel of head 0: the attention of
// the second query follows softmax(0.125 * q.k), which fixes the scale.
TEST(GPT2Layer, AttentionScaleIsOneEighth) {
  GPT2Layer layer(0);
  c10::NoGradGuard no_grad;
  for (auto &p : layer->parameters()) p.zero_();
  layer->ln_1->weight.fill_(1);
  layer->ln_2->weight.fill_(1);
  // Head 0, channel 0: q = 1, k = 0.25 h, v = h; c_proj passes it to channel 0.
  // The MLP is all zero and adds nothing.
  layer->c_attn->bias[0] = 1;
  layer->c_attn->weight[1024][0] = 0.25;
  layer->c_attn->weight[2048][0] = 1;
  layer->c_proj->weight[0][0] = 1;

  at::Tensor x = torch::zeros({1, 2, 1024});
  x[0][0][0] = 1;
  x[0][0][1] = -1;
  x[0][1] = -x[0][0];
  const double g = torch::layer_norm(x, {1024})[0][0][0].item<double>();
  at::Tensor y = layer->forward(x, nullptr);

  // Query 1 sees scores +-0.125 * 0.25 g on keys 0 and 1.
  const double w0 = 1 / (1 + std::exp(-2 * 0.125 * 0.25 * g));
  EXPECT_NEAR(y[0][0][0].item<double>(), 1 + g, 1e-4);
  EXPECT_NEAR(y[0][1][0].item<double>(), -1 + g * w0 - g * (1 - w0), 1e-4);
}

TEST(GPTDecoder, ParametersInBindingOrder) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  auto named = decoder.named_parameters();
  const auto expected = expected_parameters();
  ASSERT_EQ(expected.size(), 372u);
  ASSERT_EQ(named.size(), expected.size());
  for (size_t i = 0; i < expected.size(); i++) {
    SCOPED_TRACE("parameter " + std::to_string(i));
    EXPECT_EQ(named[i].key(), expected[i].first);
    EXPECT_EQ(named[i].value().sizes(), expected[i].second);
    EXPECT_EQ(named[i].value().dtype(), torch::kFloat32);
  }
  for (int i = 0; i < GPTDecoderImpl::kLayers; i++)
    EXPECT_EQ(decoder.gpt[i]->as<GPT2LayerImpl>()->layer_index, i);
}

TEST(GPTDecoder, PositionTableRowsAndLimits) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  c10::NoGradGuard no_grad;
  struct Case {
    const char *name;
    LearnedPosEmbeddingImpl &table;
    int rows;
  };
  const Case cases[] = {{"text", *decoder.text_pos_embedding, GPTDecoderImpl::kTextPositions},
                        {"audio", *decoder.mel_pos_embedding, GPTDecoderImpl::kAudioPositions}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (int length : {1, 17, c.rows}) {
      at::Tensor rows = c.table.forward(length);
      ASSERT_EQ(rows.sizes(), (Shape{1, length, 1024}));
      std::vector<at::Tensor> one_by_one;
      for (int j = 0; j < length; j++) {
        at::Tensor row = c.table.embed_position(j);
        ASSERT_EQ(row.sizes(), (Shape{1, 1, 1024}));
        one_by_one.push_back(row);
      }
      EXPECT_TRUE(torch::equal(rows, torch::cat(one_by_one, 1)));
    }
    EXPECT_THROW(c.table.forward(c.rows + 1), c10::IndexError);
    EXPECT_THROW(c.table.embed_position(c.rows), c10::IndexError);
  }
}

// With and without room reserved for every position (the way pass 1 runs).
TEST(GPTDecoder, CacheGrowsByOnePositionPerStep) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  c10::NoGradGuard no_grad;
  torch::manual_seed(3);
  at::Tensor x = torch::randn({1, 41, 1024});
  // The cached step sees the same sequence as one uncached call, which is
  // the layers in order and gpt_ln_f.
  const int threads = at::get_num_threads();
  at::Tensor whole = decoder.run_layers(x, nullptr);
  // Passes over many positions run their elementwise ops on one thread and
  // give the setting back.
  EXPECT_EQ(at::get_num_threads(), threads);
  at::Tensor layered = x;
  for (int i = 0; i < 30; i++)
    layered = decoder.gpt[i]->as<GPT2LayerImpl>()->forward(layered, nullptr);
  EXPECT_TRUE(torch::equal(whole, decoder.gpt_ln_f(layered)));

  for (int64_t capacity : {0, 41}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    KvCache cache;
    cache.capacity = capacity;
    at::Tensor prefix = decoder.run_layers(x.slice(1, 0, 40), &cache);
    EXPECT_EQ(prefix.sizes(), (Shape{1, 40, 1024}));
    ASSERT_EQ(cache.keys.size(), 30u);
    ASSERT_EQ(cache.values.size(), 30u);
    for (int i = 0; i < 30; i++) {
      EXPECT_EQ(cache.keys[i].sizes(), (Shape{1, 16, 40, 64}));
      EXPECT_EQ(cache.values[i].sizes(), (Shape{1, 16, 40, 64}));
    }
    at::Tensor step = decoder.run_layers(x.slice(1, 40, 41), &cache);
    EXPECT_EQ(step.sizes(), (Shape{1, 1, 1024}));
    ASSERT_EQ(cache.keys.size(), 30u);
    for (int i = 0; i < 30; i++) {
      EXPECT_EQ(cache.keys[i].sizes(), (Shape{1, 16, 41, 64}));
      EXPECT_EQ(cache.values[i].sizes(), (Shape{1, 16, 41, 64}));
    }
    EXPECT_TRUE(torch::allclose(prefix, whole.slice(1, 0, 40), 0, 1e-4));
    EXPECT_TRUE(torch::allclose(step, whole.slice(1, 40, 41), 0, 1e-4))
        << (step - whole.slice(1, 40, 41)).abs().max();
  }
}
