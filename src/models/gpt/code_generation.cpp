#include "models/gpt/gpt_decoder.h"

#include "models/gpt/fused_decode_step.h"
#include "models/gpt/step_threads.h"
#include "util/log.h"

#include <ATen/Parallel.h>
#include <c10/core/GradMode.h>
#include <torch/types.h>

#include <algorithm>
#include <cstdio>
#include <optional>

at::Tensor GPTDecoderImpl::generate_codes(at::Tensor cond_latents, at::Tensor text_tokens,
                                          float temperature, int top_k, float top_p,
                                          float repetition_penalty, int max_codes) {
  CodeSampling sampling;
  sampling.temperature = temperature;
  sampling.top_k = top_k;
  sampling.top_p = top_p;
  sampling.repetition_penalty = repetition_penalty;
  sampling.max_codes = max_codes;
  return generate_codes(std::move(cond_latents), std::move(text_tokens), sampling, nullptr);
}

namespace {

// Runs every step on a fused step of this generation's own, and lends the
// decoder without waiting: nothing else uses it.
class OwnSteps : public StepSource {
 public:
  OwnSteps(GPTDecoderImpl &decoder, int threads) {
    if (decoder.fused_decode) fused_.emplace(decoder, threads);
  }
  bool step(const float *x, KvCache &cache, const float **logits, const float **state) override {
    if (!fused_ || !fused_->accepts(cache)) return false;
    fused_->step_rows({{x, &cache}});
    *logits = fused_->logits(0);
    *state = fused_->final_state(0);
    return true;
  }
  void exclusive(const std::function<void()> &fn) override { fn(); }

 private:
  std::optional<FusedDecodeStep> fused_;
};

}  // namespace

at::Tensor GPTDecoderImpl::generate_codes(at::Tensor cond_latents, at::Tensor text_tokens,
                                          const CodeSampling &sampling,
                                          const StateObserver &observe, bool *stopped, int threads,
                                          const KvCache *conditioning, StepSource *source) {
  c10::NoGradGuard no_grad;
  if (stopped) *stopped = false;
  // Pass 2 needs a position row for every code plus the two audio framing
  // tokens; drawing more codes than that would only fail there.
  const int limit = std::min(sampling.max_codes, kMaxCodes);
  std::optional<OwnSteps> own;
  if (!source) source = &own.emplace(*this, threads > 0 ? threads : this->threads());

  std::vector<int32_t> history;
  int64_t rows = 0;
  // Shows the state to the observer, then draws; false when the observer
  // stops the generation.
  auto draw = [&](const at::Tensor &logits, const float *state) {
    if (observe) {
      source->step_away();
      const bool going = observe(rows, state);
      source->step_back();
      if (!going) {
        if (stopped) *stopped = true;
        return false;
      }
    }
    rows++;
    history.push_back(sample_next_code(logits, sampling.temperature, sampling.top_k, sampling.top_p,
                                       sampling.repetition_penalty, history, sampling.generator));
    return true;
  };
  // The unfused path: the layers, then final_norm state and head logits of
  // the last position, with the decoder lent by the source.
  auto draw_from_layers = [&](const at::Tensor &x, KvCache *cache) {
    at::Tensor state, logits;
    source->exclusive([&] {
      at::Tensor h = run_layers(x, cache);
      WorkerScope scope(workers(this->threads()));
      state = final_norm(h.select(1, -1)).contiguous();
      logits = mel_head(state).squeeze(0);
    });
    return draw(logits, state.data_ptr<float>());
  };

  at::Tensor prefix =
      torch::cat({embed_prefix(cond_latents, text_tokens), embed_audio_token(kAudioStart, 0)}, 1);
  // Room for the prefix and every position a step can add.
  KvCache cache;
  cache.capacity = prefix.size(1) + std::max(limit, 1);
  if (conditioning && conditioning->keys.size() == static_cast<size_t>(kLayers) &&
      conditioning->keys[0].size(2) == cond_latents.size(2)) {
    // The layers copy these into buffers of their own; the shared entries stay as they are.
    cache.keys = conditioning->keys;
    cache.values = conditioning->values;
    prefix = prefix.narrow(1, cond_latents.size(2), prefix.size(1) - cond_latents.size(2));
  }
  bool going = draw_from_layers(prefix, &cache);

  auto step = [&](const at::Tensor &x) {
    const at::Tensor input = x.contiguous();
    const float *logits = nullptr;
    const float *state = nullptr;
    if (source->step(input.data_ptr<float>(), cache, &logits, &state))
      return draw(torch::from_blob(const_cast<float *>(logits), {kAudioVocab}), state);
    return draw_from_layers(input, &cache);
  };

  // The code drawn at step i - 1 sits at audio position i; the start token
  // holds position 0.
  for (int i = 1; going && i < limit; i++) {
    if (history.back() == kAudioStop) break;
    going = step(embed_audio_token(history.back(), i));
    if (i % 50 == 0) log_line(kLogDebug, "[gpt] Generated %d/%d tokens...", i, limit);
  }
  if (!history.empty() && history.back() == kAudioStop) history.pop_back();

  const int64_t count = static_cast<int64_t>(history.size());
  at::Tensor codes = torch::zeros({1, count}, torch::kInt64);
  int64_t *out = codes.data_ptr<int64_t>();
  for (int64_t j = 0; j < count; j++) out[j] = history[j];
  log_line(kLogDebug, "[gpt] Pass 1: %d audio tokens", static_cast<int>(count));
  return codes;
}

KvCache GPTDecoderImpl::conditioning_cache(at::Tensor cond_latents) {
  c10::NoGradGuard no_grad;
  KvCache cache;
  cache.capacity = cond_latents.size(2);
  run_layers(cond_latents.permute({0, 2, 1}), &cache);
  // Only the entries are kept; each generation copies them into its own buffers.
  cache.key_buffers.clear();
  cache.value_buffers.clear();
  return cache;
}

at::Tensor GPTDecoderImpl::compute_latents(at::Tensor cond_latents, at::Tensor text_tokens,
                                           at::Tensor codes) {
  c10::NoGradGuard no_grad;
  const int64_t text_length = text_tokens.size(1) + 2;
  const int64_t code_count = codes.size(1);

  at::Tensor audio = torch::cat({torch::full({1, 1}, kAudioStart, torch::kInt64), codes,
                                 torch::full({1, 1}, kAudioStop, torch::kInt64)},
                                1);
  at::Tensor a =
      mel_embedding(audio) + mel_pos_embedding->forward(static_cast<int>(code_count + 2));
  at::Tensor x = torch::cat({embed_prefix(cond_latents, text_tokens), a}, 1);

  at::Tensor h = run_layers(x, nullptr);
  h = final_norm(h.slice(1, kCondLatents, h.size(1)));
  // From the audio start token; the states of the last four codes and of the
  // stop token are dropped.
  const int64_t n = h.size(1);
  at::Tensor latents = h.slice(1, text_length, n - 5);
  log_line(kLogDebug, "[gpt] Pass 2: latents [%ld, %ld, %ld]\n", static_cast<long>(latents.size(0)),
           static_cast<long>(latents.size(1)), static_cast<long>(latents.size(2)));
  return latents;
}
