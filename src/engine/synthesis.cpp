// One synthesis, in the order the data flows: reference → voice conditioning,
// text → tokens, tokens → codes → latents → waveform.
#include "audio/mel.h"
#include "audio/resample.h"
#include "audio/wav_io.h"
#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "util/log.h"

#include <torch/types.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kConditioningRate = 22050;
constexpr int kSpeakerRate = 16000;
constexpr int kOutputRate = 24000;
constexpr int64_t kChunkLength = 132300;  // 6 s at 22050 Hz
constexpr int64_t kMaxChunks = 4;

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
// The speaker path runs over the whole reference, so its memory grows with the
// duration (about 3 MB a second); a tiny file at 1 Hz would otherwise ask for
// tens of gigabytes once resampled.
constexpr int kMaxReferenceSeconds = 600;

struct Voice {
  at::Tensor cond_latents;       // [1, 1024, 32]
  at::Tensor speaker_embedding;  // [1, 512, 1]
};

// The reference as one mono channel (channels averaged frame by frame).
bool read_reference(const char *path, at::Tensor &reference, int &rate) {
  WavData wav{};
  if (read_wav(path, &wav) != 0) return false;
  // Freed on every way out, a failed allocation in the copy included.
  std::unique_ptr<WavData, void (*)(WavData *)> samples_owner(&wav, free_wav);
  const int channels = wav.channels > 0 ? wav.channels : 1;
  at::Tensor interleaved = torch::from_blob(wav.samples, {wav.frames, channels}, torch::kFloat32);
  reference = channels == 1 ? interleaved.reshape({wav.frames}).clone() : interleaved.mean(1);
  rate = wav.sample_rate;
  return true;
}

int64_t resampled_length(int64_t n, int from_rate, int to_rate) {
  return n * to_rate / from_rate;
}

// Mean of the perceiver outputs over up to four 6-second chunks.
at::Tensor conditioning_latents(VcloneModel &model, const at::Tensor &audio22) {
  const int64_t n22 = audio22.size(0);
  const int64_t chunks = std::max<int64_t>(1, std::min(kMaxChunks, n22 / kChunkLength));
  at::Tensor sum;
  for (int64_t i = 0; i < chunks; i++) {
    const int64_t start = i * kChunkLength;
    const int64_t end = std::min(n22, start + kChunkLength);
    at::Tensor mel = gpt_mel_spectrogram(audio22.slice(0, start, end), model.mel_stats);
    at::Tensor frames = model.conditioning_encoder->forward(mel);
    at::Tensor latents = model.conditioning_perceiver->forward(frames.permute({0, 2, 1}));
    sum = i == 0 ? latents : sum + latents;
  }
  return sum / static_cast<float>(chunks);
}

at::Tensor speaker_embedding(VcloneModel &model, const at::Tensor &audio16) {
  at::Tensor mel = speaker_mel_spectrogram(audio16);
  return model.speaker_encoder->forward(mel).unsqueeze(-1);
}

bool compute_voice(VcloneModel &model, const char *ref_wav, Voice &voice) {
  at::Tensor reference;
  int rate = 0;
  if (!read_reference(ref_wav, reference, rate)) {
    set_last_error("Failed to read: %s", ref_wav);
    return false;
  }
  const int64_t frames = reference.size(0);
  if (rate <= 0 || resampled_length(frames, rate, kSpeakerRate) < 1 ||
      resampled_length(frames, rate, kConditioningRate) < 1) {
    set_last_error("Reference too short: %s has %ld samples at %d Hz", ref_wav,
                   static_cast<long>(frames), rate);
    return false;
  }
  if (static_cast<double>(frames) / rate > kMaxReferenceSeconds) {
    set_last_error("Reference too long: %s lasts %.0f s, at most %d s", ref_wav,
                   static_cast<double>(frames) / rate, kMaxReferenceSeconds);
    return false;
  }
  voice.cond_latents =
      conditioning_latents(model, resample_audio(reference, rate, kConditioningRate));
  voice.speaker_embedding =
      speaker_embedding(model, resample_audio(reference, rate, kSpeakerRate));
  return true;
}

at::Tensor token_tensor(const std::vector<int32_t> &ids) {
  at::Tensor tokens = torch::zeros({1, static_cast<int64_t>(ids.size())}, torch::kInt64);
  auto view = tokens.accessor<int64_t, 2>();
  for (size_t j = 0; j < ids.size(); j++) view[0][j] = ids[j];
  return tokens;
}

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

float *synthesize(VcloneModel &model, const char *text, const char *ref_wav,
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

  Voice voice;
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
