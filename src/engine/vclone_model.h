// A loaded model: the five networks, the tokenizer and what a call needs to
// run them. The public handle vclone_model is this record.
#pragma once

#include "models/conditioning/conditioning_encoder.h"
#include "models/conditioning/perceiver_resampler.h"
#include "models/gpt/gpt_decoder.h"
#include "models/hifigan/hifi_decoder.h"
#include "models/speaker_encoder/speaker_encoder.h"
#include "text/lexicon.h"
#include "tokenizer/bpe_tokenizer.h"
#include "vclone.h"

#include <ATen/core/Tensor.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class DecodeBatch;

struct vclone_model {
  ConditioningEncoder conditioning_encoder{nullptr};
  PerceiverResampler conditioning_perceiver{nullptr};
  GPTDecoder gpt_decoder{nullptr};
  SpeakerEncoder speaker_encoder{nullptr};
  HifiDecoder hifi_decoder{nullptr};
  BpeTokenizer tokenizer;
  at::Tensor mel_stats;  // 80 divisors of the GPT mel
  bool loaded = false;

  int n_threads = 1;      // compute threads of every call on this model (the caller's included)
  int precision = 0;      // a vclone_precision
  int max_parallel = 1;   // syntheses sharing each decode step
  std::string languages;  // the vocabulary's language codes, space-separated
  Lexicon lexicon;        // words the host wants read otherwise; empty by default
  // The decoder's keys and values for the conditioning of the voices spoken
  // most recently, newest first (see voice_prefix in pipeline.cpp). Each entry
  // holds its voice's latents, so a freed voice's memory cannot come back as
  // another voice and match; a call holds its entry's cache while it speaks.
  struct VoicePrefix {
    at::Tensor cond_latents;
    std::shared_ptr<const KvCache> cache;
  };
  std::vector<VoicePrefix> voice_prefixes;
  std::mutex prefix_mutex;
  // The speaking calls' places and their shared decode steps.
  std::shared_ptr<DecodeBatch> batch;
  // Serialises the making of voices: the encoders' passes are not shared.
  std::mutex call_mutex;
};

// Builds a model from the two files. Returns it, or null with the error
// recorded; nothing is left behind on failure.
vclone_model *load_model(const char *model_path, const char *vocab_path,
                         const vclone_load_options &options);

// Destroys a model and everything it holds. Null is ignored.
void release_model(vclone_model *model);

// The samples as a malloc'ed buffer (at least one float, so that an empty
// result is not NULL), their count in *n_samples. NULL with the error recorded.
float *samples_buffer(const std::vector<float> &samples, int32_t *n_samples);
