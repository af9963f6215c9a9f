// The one synthesis pipeline of the library: text → pieces → tokens, and for
// each piece codes → latents → waveform, delivered in order to a sink, whole
// or in chunks while the codes are drawn. The handle API and the original
// interface both run it; they differ only in the request they make.
#pragma once

#include "vclone.h"

#include <cstdint>
#include <functional>

// Receives audio in order; returns false to stop the synthesis.
using AudioSink = std::function<bool(const float *samples, int64_t count)>;

// Every sample delivered, stopped by the sink, or failed with the error recorded.
enum class SpeakResult { kDone, kStopped, kFailed };

struct SynthesisRequest {
  const char *text = nullptr;
  const char *language = nullptr;
  // The voice, or the reference recording to compute it from once the text
  // has been checked.
  const vclone_voice *voice = nullptr;
  const char *reference_path = nullptr;
  vclone_options options{};  // checked by check_options
  bool streaming = false;    // chunks while the codes are drawn, else a piece at a time
  // The original interface's results: one piece, latents from a second pass
  // over the whole sequence, speed only shortening the code budget, no
  // voice-prefix cache and its own log line.
  bool original = false;
};

SpeakResult synthesize(vclone_model &model, const SynthesisRequest &request, const AudioSink &sink);
