// The one loaded-model record, and the three steps of its life.
#pragma once

#include "models/conditioning/conditioning_encoder.h"
#include "models/conditioning/perceiver_resampler.h"
#include "models/gpt/gpt_decoder.h"
#include "models/hifigan/hifi_decoder.h"
#include "models/speaker_encoder/speaker_encoder.h"
#include "tokenizer/bpe_tokenizer.h"

#include <ATen/core/Tensor.h>

struct VcloneModel {
  ConditioningEncoder conditioning_encoder{nullptr};
  PerceiverResampler conditioning_perceiver{nullptr};
  GPTDecoder gpt_decoder{nullptr};
  SpeakerEncoder speaker_encoder{nullptr};
  HifiDecoder hifi_decoder{nullptr};
  BpeTokenizer tokenizer;
  at::Tensor mel_stats;  // 80 divisors of the GPT mel; undefined when the archive has none
  bool loaded = false;
};

// Builds current_model from the two files (the steps after the entry checks).
// Returns 0, or -1 with the error recorded and the engine back to Unloaded.
int load_model(const char *model_path, const char *vocab_path);

// Destroys a record and everything it holds. Null is ignored.
void release_model(VcloneModel *model);

// Synthesis body of vclone_tts, after its entry checks. Reads the model only
// (module forwards are non-const in libtorch).
float *synthesize(VcloneModel &model, const char *text, const char *ref_wav,
                  const char *language, int *n_samples, float speed);
