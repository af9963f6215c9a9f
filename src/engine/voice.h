// A voice: what a reference recording contributes to every synthesis, kept
// so that it is computed once and can be saved without the recording.
#pragma once

#include <ATen/core/Tensor.h>

struct vclone_model;

struct vclone_voice {
  at::Tensor cond_latents;       // [1, 1024, 32], the decoder's conditioning prefix
  at::Tensor speaker_embedding;  // [1, 512, 1], the vocoder's speaker input
};

// Reads the reference and computes both parts with the model's encoders:
// from its first 24 seconds, or with whole_recording (the original
// interface) the speaker embedding from all of it. false with the error
// recorded when the recording cannot be used.
bool compute_voice(vclone_model &model, const char *ref_wav, bool whole_recording,
                   vclone_voice &voice);

// Whether a voice fits the model's dimensions; records why not.
bool voice_fits(const vclone_voice &voice);
