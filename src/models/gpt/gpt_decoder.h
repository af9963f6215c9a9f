// Acoustic token model: a 30-layer GPT-2 style decoder over one joint sequence
// of 32 conditioning latents, the text tokens and the audio codes.
//
//   conditioning latents  32        the latent itself, no position
//   text                  n + 2     261, ids, 0      + text_pos_embedding row j
//   audio                 1 + M(+1) 1024, codes(, 1025) + mel_pos_embedding row j
//
// Pass 1 (generate_codes) samples codes with an attention cache; pass 2
// (compute_latents) runs the whole sequence again and returns the normalised
// hidden states of the audio part.
#pragma once

#include <ATen/core/Tensor.h>
#include <torch/nn/module.h>
#include <torch/nn/modules/container/modulelist.h>
#include <torch/nn/modules/embedding.h>
#include <torch/nn/modules/linear.h>
#include <torch/nn/modules/normalization.h>
#include <torch/nn/pimpl.h>

#include <ATen/core/Generator.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ReducedMatrix;
class StepThreads;

// Keys and values of one generation, one entry per layer, each [B, 16, S, 64].
// Entries share storage with the tensors the layers computed.
//
// With a capacity, each layer keeps its keys and values in a buffer
// [B, 16, capacity, 64] allocated at its first call, writes new positions
// into it in place, and its entries are views of the filled part; a step
// then costs no copy of the positions before it. Without one, or past it,
// entries grow by concatenation.
struct KvCache {
  std::vector<at::Tensor> keys;
  std::vector<at::Tensor> values;
  int64_t capacity = 0;
  std::vector<at::Tensor> key_buffers;
  std::vector<at::Tensor> value_buffers;
};

// How pass 1 draws its codes.
struct CodeSampling {
  float temperature = 0.75f;
  int top_k = 50;
  float top_p = 0.85f;
  float repetition_penalty = 5.0f;
  int max_codes = 602;
  // Draws from this generator; none: from libtorch's global one.
  std::optional<at::Generator> generator;
};

// Receives, in order, the final_norm state (1024 floats, valid during the
// call) of every position a code is drawn from: the audio start token, then
// each code fed back. Row r of them is row r of the latents pass 2 would
// return. Returning false stops the generation before the next code.
using StateObserver = std::function<bool(int64_t row, const float *state)>;

// Where pass 1's single-position steps run. Without one, a generation runs
// a fused step of its own; a batch (the engine's DecodeBatch) shares each
// step among concurrent generations, reading every weight once for all.
class StepSource {
 public:
  virtual ~StepSource() = default;
  // Runs the step for x (1024 floats) at the cache's next position, extends
  // the cache and points *logits (1026) and *state (1024) at this
  // generation's results, valid until its next call. false when this source
  // cannot continue the cache; the caller then runs the layers itself.
  virtual bool step(const float *x, KvCache &cache, const float **logits, const float **state) = 0;
  // Runs fn while no step of another generation runs: the decoder's workers
  // and layers are then the caller's (the prompt pass, pass 2).
  virtual void exclusive(const std::function<void()> &fn) = 0;
  // Brackets work of the caller's own between its steps (the observer), so
  // that the steps of others need not wait for it.
  virtual void step_away() {}
  virtual void step_back() {}
};

// A learned table of position vectors.
class LearnedPosEmbeddingImpl : public torch::nn::Module {
 public:
  LearnedPosEmbeddingImpl(int32_t positions, int32_t width);

  // Rows 0 .. length - 1 as [1, length, width].
  at::Tensor forward(int length);
  // One row as [1, 1, width].
  at::Tensor embed_position(int position);

  torch::nn::Embedding emb{nullptr};
};
TORCH_MODULE(LearnedPosEmbedding);

// Initial values of the layers' projection weights. Random is libtorch's
// Linear initialisation, draw for draw; zeros serve a decoder whose every
// weight is about to be overwritten, and skip ~1.3 s of random numbers.
enum class WeightInit { kRandom, kZeros };

// y = x W^T + b with W [out, in], as torch::nn::Linear, initialised as asked.
class DenseImpl : public torch::nn::Module {
 public:
  DenseImpl(int64_t in_features, int64_t out_features, WeightInit init);
  at::Tensor forward(const at::Tensor &x);

  at::Tensor weight;
  at::Tensor bias;
  // When set (decoder_precision.h), forward reads W from here; weight may
  // then be released to an empty tensor.
  std::shared_ptr<ReducedMatrix> reduced;
};
TORCH_MODULE(Dense);

// One pre-norm transformer layer: causal self-attention and a tanh-GELU MLP.
class GPT2LayerImpl : public torch::nn::Module {
 public:
  static constexpr int64_t kWidth = 1024;
  static constexpr int64_t kHeads = 16;
  static constexpr int64_t kHeadWidth = 64;
  static constexpr int64_t kInnerWidth = 4096;

  // layer_index selects this layer's entry in a KvCache.
  explicit GPT2LayerImpl(int32_t layer_index, WeightInit init = WeightInit::kRandom);

  // x: [B, T, 1024] -> [B, T, 1024]. With a cache, attends over the cached
  // positions too and appends this call's keys and values.
  at::Tensor forward(at::Tensor x, KvCache *cache);

  int32_t layer_index;
  torch::nn::LayerNorm ln_1{nullptr};
  torch::nn::LayerNorm ln_2{nullptr};
  Dense c_attn{nullptr};
  Dense c_proj{nullptr};
  Dense c_fc{nullptr};
  Dense c_proj_mlp{nullptr};
};
TORCH_MODULE(GPT2Layer);

class GPTDecoderImpl : public torch::nn::Module {
 public:
  static constexpr int64_t kWidth = GPT2LayerImpl::kWidth;
  static constexpr int kLayers = 30;
  static constexpr int64_t kTextVocab = 6681;
  static constexpr int64_t kAudioVocab = 1026;
  static constexpr int kTextPositions = 404;
  static constexpr int kAudioPositions = 608;
  static constexpr int64_t kCondLatents = 32;

  static constexpr int64_t kTextStart = 261;
  static constexpr int64_t kTextStop = 0;
  static constexpr int64_t kAudioStart = 1024;
  static constexpr int64_t kAudioStop = 1025;

  // The text segment adds the start and stop tokens to the ids.
  static constexpr int kMaxTextTokens = kTextPositions - 2;
  // Pass 2 places the audio start token, the codes and the stop token, so
  // no more codes than this can be turned into latents.
  static constexpr int kMaxCodes = kAudioPositions - 2;

  // init sets the layers' projection weights; the rest is always random.
  explicit GPTDecoderImpl(WeightInit init = WeightInit::kRandom);

  // The 30 layers and gpt_ln_f. x: [B, T, 1024] -> [B, T, 1024]. With a
  // cache, continues the sequence the cache holds.
  at::Tensor run_layers(at::Tensor x, KvCache *cache);

  // Pass 1. cond_latents [1, 1024, 32], text_tokens int64 [1, n] -> codes
  // int64 [1, M], without the stop token. Draws at least one code and at most
  // max_codes, but never more than kMaxCodes; the progress lines report
  // against that effective limit.
  at::Tensor generate_codes(at::Tensor cond_latents, at::Tensor text_tokens, float temperature,
                            int top_k, float top_p, float repetition_penalty, int max_codes);

  // Pass 1 as above, drawing as `sampling` says and showing every state to
  // observe (when set). *stopped (when given) tells whether observe ended it.
  // threads: how many threads share the fused step (0: libtorch's count).
  // conditioning (when given) holds the layers' keys and values for
  // cond_latents, from conditioning_cache: only the text and the audio start
  // token then pass through the layers. source (when given) runs the steps
  // and lends the decoder for the rest.
  at::Tensor generate_codes(at::Tensor cond_latents, at::Tensor text_tokens,
                            const CodeSampling &sampling, const StateObserver &observe,
                            bool *stopped = nullptr, int threads = 0,
                            const KvCache *conditioning = nullptr, StepSource *source = nullptr);

  // The layers' keys and values for the conditioning positions alone. They
  // depend on the voice only (causal attention, and no position embedding
  // there), so a voice that speaks again skips a third of the prompt pass.
  KvCache conditioning_cache(at::Tensor cond_latents);

  // Pass 2. -> latents [1, M - 3, 1024]: the final_norm states at the audio
  // start token and at codes 0 .. M - 5.
  at::Tensor compute_latents(at::Tensor cond_latents, at::Tensor text_tokens, at::Tensor codes);

  // Draws one code from logits [1026] after the processing chain of
  // process_logits (sampling.h). history is the codes drawn so far.
  static int sample_next_code(at::Tensor logits, float temperature, int top_k, float top_p,
                              float repetition_penalty, const std::vector<int32_t> &history,
                              std::optional<at::Generator> generator = std::nullopt);

  // Conditioning latents followed by the text segment: [1, 32 + n + 2, 1024].
  at::Tensor embed_prefix(at::Tensor cond_latents, at::Tensor text_tokens);
  // One audio token at an audio position: [1, 1, 1024].
  at::Tensor embed_audio_token(int64_t token, int position);
  // mel_head logits [1026] of the last position of run_layers output h.
  at::Tensor next_code_logits(at::Tensor h);

  // Compute threads of this decoder's passes: its workers' count, and the
  // calling thread's libtorch count during a pass. 0 (the default): libtorch's
  // count at the time of the pass.
  void set_threads(int threads);
  int threads() const;
  // The decoder's workers with `threads` threads (the caller's included),
  // started on first use and kept while the decoder lives: one set for every
  // pass of this decoder at its count. Its passes must not overlap.
  StepThreads &workers(int threads);

  // Pass 1 runs every step after the prefix through FusedDecodeStep
  // (fused_decode_step.h). Off, the steps go through run_layers and
  // next_code_logits, the reference the fused step is checked against.
  bool fused_decode = true;

  torch::nn::Embedding text_embedding{nullptr};
  torch::nn::Embedding mel_embedding{nullptr};
  LearnedPosEmbedding text_pos_embedding{nullptr};
  LearnedPosEmbedding mel_pos_embedding{nullptr};
  torch::nn::ModuleList gpt{nullptr};
  torch::nn::LayerNorm gpt_ln_f{nullptr};
  torch::nn::LayerNorm final_norm{nullptr};
  torch::nn::Linear text_head{nullptr};
  // A Dense rather than a Linear (same parameters, same initial draws), so
  // that every caller of mel_head reads its reduced weight once one is set.
  Dense mel_head{nullptr};

 private:
  int threads_ = 0;
  std::vector<std::shared_ptr<StepThreads>> workers_;
};
TORCH_MODULE(GPTDecoder);
