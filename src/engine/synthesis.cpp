// One synthesis, in the order the data flows: reference → voice conditioning,
// text → tokens, tokens → codes → latents → waveform.
#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "engine/speech.h"
#include "engine/voice.h"
#include "util/log.h"

#include <torch/types.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kOutputRate = 24000;

constexpr float kTemperature = 0.75f;
constexpr int kTopK = 50;
constexpr float kTopP = 0.85f;
constexpr float kRepetitionPenalty = 5.0f;
constexpr float kCodeBudget = 602.0f;  // codes at speed 1.0

// Three codes leave the latent pass nothing to return.
constexpr int kMinimumCodes = 4;
// The text position table has 404 rows, two of them for the start and stop tokens.
constexpr int kMaxTextTokens = 402;
// The audio position table has 608 rows; pass 2 adds the start and stop tokens.
constexpr int kMaxCodes = 606;


// 602 codes at speed 1.0, never more than the position tables hold.
int code_budget(float speed) {
  const float budget = kCodeBudget / speed;
  return budget >= static_cast<float>(kMaxCodes) ? kMaxCodes : static_cast<int>(budget);
}

float *copy_samples(const at::Tensor &waveform, int *n_samples) {
  at::Tensor flat = waveform.squeeze().contiguous();
  const int count = static_cast<int>(flat.numel());
  float *buffer = static_cast<float *>(malloc(sizeof(float) * std::max(count, 1)));
  if (!buffer) {
    set_last_error("Out of memory for %d samples", count);
    return nullptr;
  }
  std::memcpy(buffer, flat.data_ptr<float>(), sizeof(float) * count);
  *n_samples = count;
  return buffer;
}

}  // namespace

float *synthesize(vclone_model &model, const char *text, const char *ref_wav,
                  const char *language, int *n_samples, float speed) {
  *n_samples = 0;
  const int64_t t0 = now_ns();
  torch::NoGradGuard no_grad;
  if (!std::isfinite(speed) || speed <= 0.0f) {
    set_last_error("Bad speed: %g (must be a finite number greater than 0)", speed);
    return nullptr;
  }

  std::vector<int32_t> ids = encode(model.tokenizer, text, language);
  if (ids.size() > static_cast<size_t>(kMaxTextTokens)) {
    set_last_error("Text too long: %d tokens, at most %d", static_cast<int>(ids.size()),
                   kMaxTextTokens);
    return nullptr;
  }
  at::Tensor text_tokens = token_tensor(ids);

  vclone_voice voice;
  if (!compute_voice(model, ref_wav, voice)) return nullptr;

  at::Tensor codes =
      model.gpt_decoder->generate_codes(voice.cond_latents, text_tokens, kTemperature, kTopK,
                                        kTopP, kRepetitionPenalty, code_budget(speed));
  if (codes.size(1) < kMinimumCodes) {
    set_last_error("Too few codes");
    return nullptr;
  }
  at::Tensor latents = model.gpt_decoder->compute_latents(voice.cond_latents, text_tokens, codes);
  at::Tensor waveform = model.hifi_decoder->forward(latents, voice.speaker_embedding);

  float *samples = copy_samples(waveform, n_samples);
  if (!samples) return nullptr;
  log_line(kLogInfo, "[vclone] Done: %d samples (%.2f sec audio) in %.2f sec\n", *n_samples,
          static_cast<double>(static_cast<float>(*n_samples) / kOutputRate),
          (now_ns() - t0) / 1e9);
  return samples;
}
