// Speaking with a model handle: text pieces in order, each through pass 1
// (whose final-norm states are the latents) and the vocoder, delivered to a
// sink as a whole or in chunks while the codes are drawn.
#pragma once

#include "vclone.h"

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <functional>
#include <vector>

// Token ids as the decoder's int64 [1, n] input.
at::Tensor token_tensor(const std::vector<int32_t> &ids);

// Receives audio in order; returns false to stop the synthesis.
using AudioSink = std::function<bool(const float *samples, int64_t count)>;

// Result of speak(): every sample delivered, stopped by the sink, or failed
// with the error recorded.
enum class SpeakResult { kDone, kStopped, kFailed };

// options must have passed check_options. With streaming off the sink gets
// each piece whole (and the pauses); with it on, chunks as set in options.
SpeakResult speak(vclone_model &model, const char *text, const char *language,
                  const vclone_voice &voice, const vclone_options &options, bool streaming,
                  const AudioSink &sink);
