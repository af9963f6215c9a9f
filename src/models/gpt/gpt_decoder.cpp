#include "models/gpt/gpt_decoder.h"

#include "models/gpt/compute_threads.h"
#include "models/gpt/step_threads.h"

#include "models/gpt/float_matmul.h"
#include "models/gpt/reduced_kernels.h"

#include <ATen/Parallel.h>
#include <c10/core/GradMode.h>
#include <torch/nn/functional/activation.h>
#include <torch/nn/init.h>
#include <torch/types.h>

#include <algorithm>
#include <cmath>

namespace {

// Blocked scores get a large finite value rather than -inf, so a softmax row
// can never be all -inf and turn into NaNs.
constexpr double kBlockedScore = -1e9;

// Writes fresh [B, 16, T, 64] after the `held` positions of this layer's
// buffer and makes the cache entry the view of all filled positions.
at::Tensor append_in_place(std::vector<at::Tensor> &buffers, std::vector<at::Tensor> &entries,
                           size_t slot, int64_t held, const at::Tensor &fresh, int64_t capacity) {
  if (buffers.size() <= slot) buffers.resize(slot + 1);
  at::Tensor &buffer = buffers[slot];
  if (!buffer.defined()) {
    buffer = torch::empty({fresh.size(0), fresh.size(1), capacity, fresh.size(3)}, fresh.options());
    if (held > 0) buffer.narrow(2, 0, held).copy_(entries[slot]);
  }
  buffer.narrow(2, held, fresh.size(2)).copy_(fresh);
  at::Tensor filled = buffer.narrow(2, 0, held + fresh.size(2));
  if (slot < entries.size())
    entries[slot] = filled;
  else
    entries.push_back(filled);
  return filled;
}

// The reduced and float products of the layers run on the workers a pass
// lends them (WorkerScope), all of them.
int projection_threads() {
  const StepThreads *workers = scoped_workers();
  return workers ? workers->threads() : at::get_num_threads();
}

// x [..., cols] -> [..., rows] through one of the hand-written products,
// called as product(x, positions, bias or null, y) on float32 buffers.
template <class Product>
at::Tensor hand_written_linear(int64_t rows, int64_t cols, const at::Tensor &x,
                               const at::Tensor &bias, const Product &product) {
  const at::Tensor input = x.to(torch::kFloat).contiguous();
  TORCH_CHECK(input.size(-1) == cols, "projection: input width ", input.size(-1), ", expected ",
              cols);
  std::vector<int64_t> sizes = input.sizes().vec();
  sizes.back() = rows;
  at::Tensor out = torch::empty(sizes);
  const at::Tensor b = bias.defined() ? bias.to(torch::kFloat).contiguous() : at::Tensor();
  product(input.data_ptr<float>(), input.numel() / cols,
          b.defined() ? b.data_ptr<float>() : nullptr, out.data_ptr<float>());
  return out;
}

at::Tensor reduced_linear(const ReducedMatrix &matrix, const at::Tensor &x,
                          const at::Tensor &bias) {
  return hand_written_linear(matrix.rows, matrix.cols, x, bias,
                             [&](const float *in, int64_t positions, const float *b, float *y) {
                               reduced_matmul(matrix, in, positions, b, y, projection_threads());
                             });
}

at::Tensor float_linear(const at::Tensor &weight, const at::Tensor &x, const at::Tensor &bias) {
  const float *w = weight.data_ptr<float>();
  const int64_t rows = weight.size(0), cols = weight.size(1);
  return hand_written_linear(
      rows, cols, x, bias, [&](const float *in, int64_t positions, const float *b, float *y) {
        float_matmul(w, rows, cols, in, positions, b, y, projection_threads());
      });
}

}  // namespace

LearnedPosEmbeddingImpl::LearnedPosEmbeddingImpl(int32_t positions, int32_t width) {
  emb = register_module("emb", torch::nn::Embedding(positions, width));
}

at::Tensor LearnedPosEmbeddingImpl::forward(int length) {
  return emb(torch::arange(0, length, torch::kInt64)).unsqueeze(0);
}

at::Tensor LearnedPosEmbeddingImpl::embed_position(int position) {
  return emb(torch::full({1}, position, torch::kInt64)).unsqueeze(0);
}

DenseImpl::DenseImpl(int64_t in_features, int64_t out_features, WeightInit init) {
  if (init == WeightInit::kZeros) {
    weight = register_parameter("weight", torch::zeros({out_features, in_features}));
    bias = register_parameter("bias", torch::zeros({out_features}));
    return;
  }
  weight = register_parameter("weight", torch::empty({out_features, in_features}));
  bias = register_parameter("bias", torch::empty({out_features}));
  c10::NoGradGuard no_grad;
  torch::nn::init::kaiming_uniform_(weight, std::sqrt(5.0));
  const double bound = 1.0 / std::sqrt(static_cast<double>(in_features));
  bias.uniform_(-bound, bound);
}

at::Tensor DenseImpl::forward(const at::Tensor &x) {
  if (reduced) return reduced_linear(*reduced, x, bias);
  const int64_t positions = x.dim() > 0 ? x.numel() / std::max<int64_t>(1, x.size(-1)) : 0;
  if (positions > 1 && positions <= kFloatMatmulMaxPositions && x.scalar_type() == at::kFloat &&
      weight.scalar_type() == at::kFloat && weight.is_contiguous() &&
      x.size(-1) == weight.size(1) && float_matmul_usable(weight.size(1)))
    return float_linear(weight, x, bias);
  return torch::linear(x, weight, bias);
}

GPT2LayerImpl::GPT2LayerImpl(int32_t index, WeightInit init) : layer_index(index) {
  ln_1 = register_module("ln_1", torch::nn::LayerNorm(torch::nn::LayerNormOptions({kWidth})));
  ln_2 = register_module("ln_2", torch::nn::LayerNorm(torch::nn::LayerNormOptions({kWidth})));
  c_attn = register_module("c_attn", Dense(kWidth, 3 * kWidth, init));
  c_proj = register_module("c_proj", Dense(kWidth, kWidth, init));
  c_fc = register_module("c_fc", Dense(kWidth, kInnerWidth, init));
  c_proj_mlp = register_module("c_proj_mlp", Dense(kInnerWidth, kWidth, init));
}

at::Tensor GPT2LayerImpl::forward(at::Tensor x, KvCache *cache) {
  const int64_t B = x.size(0);
  const int64_t T = x.size(1);

  at::Tensor residual = x;
  std::vector<at::Tensor> qkv = c_attn(ln_1(x)).chunk(3, -1);
  auto split_heads = [&](const at::Tensor &t) {
    return t.reshape({B, T, kHeads, kHeadWidth}).permute({0, 2, 1, 3});
  };
  at::Tensor q = split_heads(qkv[0]);
  at::Tensor k = split_heads(qkv[1]);
  at::Tensor v = split_heads(qkv[2]);

  if (cache != nullptr) {
    // Layers run in order 0..29, so on an empty cache appending lands each
    // layer at its own index.
    const size_t slot = static_cast<size_t>(layer_index);
    const int64_t held = slot < cache->keys.size() ? cache->keys[slot].size(2) : 0;
    if (held + T <= cache->capacity) {
      k = append_in_place(cache->key_buffers, cache->keys, slot, held, k, cache->capacity);
      v = append_in_place(cache->value_buffers, cache->values, slot, held, v, cache->capacity);
    } else if (slot < cache->keys.size()) {
      k = torch::cat({cache->keys[slot], k}, 2);
      v = torch::cat({cache->values[slot], v}, 2);
      cache->keys[slot] = k;
      cache->values[slot] = v;
    } else {
      cache->keys.push_back(k);
      cache->values.push_back(v);
    }
  }
  const int64_t S = k.size(2);

  const float scale = 1.0f / sqrtf(static_cast<float>(kHeadWidth));
  at::Tensor scores = torch::matmul(q, k.transpose(-2, -1)) * scale;
  // A single new position after a cache may see every key.
  if (cache == nullptr || T > 1) {
    at::Tensor allowed = torch::ones({T, S}, torch::kBool).tril(S - T);
    at::Tensor blocked = torch::logical_not(allowed).view({1, 1, T, S});
    scores = scores.masked_fill(blocked, kBlockedScore);
  }
  at::Tensor p = torch::softmax(scores, -1);
  at::Tensor a = torch::matmul(p, v).permute({0, 2, 1, 3}).reshape({B, T, kWidth});
  x = residual + c_proj(a);

  residual = x;
  at::Tensor h = c_fc(ln_2(x));
  h = torch::gelu(h, "tanh");
  return residual + c_proj_mlp(h);
}

GPTDecoderImpl::GPTDecoderImpl(WeightInit init) {
  text_embedding = register_module("text_embedding", torch::nn::Embedding(kTextVocab, kWidth));
  mel_embedding = register_module("mel_embedding", torch::nn::Embedding(kAudioVocab, kWidth));
  text_pos_embedding =
      register_module("text_pos_embedding", LearnedPosEmbedding(kTextPositions, kWidth));
  mel_pos_embedding =
      register_module("mel_pos_embedding", LearnedPosEmbedding(kAudioPositions, kWidth));
  gpt = register_module("gpt", torch::nn::ModuleList());
  for (int i = 0; i < kLayers; i++) gpt->push_back(GPT2Layer(i, init));
  gpt_ln_f =
      register_module("gpt_ln_f", torch::nn::LayerNorm(torch::nn::LayerNormOptions({kWidth})));
  final_norm =
      register_module("final_norm", torch::nn::LayerNorm(torch::nn::LayerNormOptions({kWidth})));
  text_head = register_module("text_head", torch::nn::Linear(kWidth, kTextVocab));
  mel_head = register_module("mel_head", Dense(kWidth, kAudioVocab, WeightInit::kRandom));
}

void GPTDecoderImpl::set_threads(int threads) { threads_ = threads; }

int GPTDecoderImpl::threads() const { return threads_ > 0 ? threads_ : at::get_num_threads(); }

StepThreads &GPTDecoderImpl::workers(int threads) {
  threads = std::max(1, threads);
  for (const auto &pool : workers_)
    if (pool->threads() == threads) return *pool;
  workers_.push_back(std::make_shared<StepThreads>(threads));
  return *workers_.back();
}

at::Tensor GPTDecoderImpl::run_layers(at::Tensor x, KvCache *cache) {
  WorkerScope scope(workers(threads()));
  // Over many positions the time goes to the matrix products, on the
  // decoder's workers or OpenBLAS's threads. The elementwise kernels in
  // between would each fork and join libtorch's OpenMP threads, which then
  // spin on the cores the products need, and every join waits for a thread
  // the system may have descheduled: measured here, a 40-position pass took
  // 8 times as long with two OpenMP threads as with one. So they run on the
  // calling thread alone (its own count only: see compute_threads.h).
  ComputeThreads serial(x.size(1) > 1 ? 1 : 0);
  for (int i = 0; i < kLayers; i++) x = gpt[i]->as<GPT2LayerImpl>()->forward(x, cache);
  return gpt_ln_f(x);
}

at::Tensor GPTDecoderImpl::embed_prefix(at::Tensor cond_latents, at::Tensor text_tokens) {
  at::Tensor c = cond_latents.permute({0, 2, 1});
  at::Tensor text = torch::cat({torch::full({1, 1}, kTextStart, torch::kInt64), text_tokens,
                                torch::full({1, 1}, kTextStop, torch::kInt64)},
                               1);
  at::Tensor t = text_embedding(text) + text_pos_embedding->forward(static_cast<int>(text.size(1)));
  return torch::cat({c, t}, 1);
}

at::Tensor GPTDecoderImpl::embed_audio_token(int64_t token, int position) {
  return mel_embedding(torch::full({1, 1}, token, torch::kInt64)) +
         mel_pos_embedding->embed_position(position);
}

at::Tensor GPTDecoderImpl::next_code_logits(at::Tensor h) {
  at::Tensor z = final_norm(h.select(1, -1).unsqueeze(1));
  return mel_head(z.squeeze(1)).squeeze(0);
}
