// The body of a streamed speech response as the synthesis makes audio: the
// encoded bytes themselves, or server-sent events carrying them in base64
// (`"stream_format": "sse"`: speech.audio.delta events, then one
// speech.audio.done with the usage, or an error event after a failure).
#pragma once

#include "common/audio_encoder.h"
#include "serve/api_error.h"

#include <memory>
#include <string>

class SpeechOutput {
 public:
  // Null with a message when the encoder cannot start.
  static std::unique_ptr<SpeechOutput> create(AudioFormat format, bool sse, int32_t sample_rate,
                                              std::string &error);

  const char *content_type() const;
  // Appends to `out` what is ready to send after these samples (may be none).
  bool audio(const float *samples, size_t count, std::string &out);
  // Appends the rest: the codec's last bytes, and the done event (whose
  // usage counts the input's characters).
  bool finish(std::string &out, size_t input_characters);
  // An event telling the client the synthesis failed (empty for a raw stream,
  // which can only be cut short).
  std::string error_event(const ApiError &error) const;

  const std::string &error() const { return encoder_->error(); }
  long long samples() const { return samples_; }

 private:
  SpeechOutput(std::unique_ptr<AudioEncoder> encoder, AudioFormat format, bool sse,
               int32_t sample_rate)
      : encoder_(std::move(encoder)), format_(format), sse_(sse), sample_rate_(sample_rate) {}
  void put(const std::string &bytes, std::string &out) const;

  std::unique_ptr<AudioEncoder> encoder_;
  const AudioFormat format_;
  const bool sse_;
  const int32_t sample_rate_;
  long long samples_ = 0;
  size_t bytes_sent_ = 0;
};

std::string base64(const std::string &bytes);
