// Encodes mono float audio into the formats the command-line program and the
// server hand out, chunk by chunk as the synthesis makes it.
//
// A streamed encoder gives out each byte as soon as the codec has made it and
// never takes one back: a WAV stream's header leaves the length unknown
// (0xFFFFFFFF, as players of piped WAV expect), and a FLAC or MP3 stream
// keeps the placeholders of its header. A whole-file encoder gives
// everything out at finish(), with the lengths filled in.
#pragma once

#include "common/audio_format.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class AudioEncoder {
 public:
  virtual ~AudioEncoder() = default;

  // Null with a message when the codec cannot be set up.
  static std::unique_ptr<AudioEncoder> create(AudioFormat format, int32_t sample_rate,
                                              bool streamed, std::string &error);

  // Takes the next samples (any count, 0 included) and appends to `out` the
  // bytes that are ready. False with error() set when the codec fails.
  virtual bool write(const float *samples, size_t count, std::string &out) = 0;
  // Drains the codec (the last Ogg page, MP3 frame, FLAC frame or AAC
  // packet) and appends what is left. Nothing may be written afterwards.
  virtual bool finish(std::string &out) = 0;

  const std::string &error() const { return error_; }

 protected:
  std::string error_;
};

// Samples as little-endian 16-bit PCM, as the library's WAV writer stores
// them: clamped to [-1, 1], scaled by 32767 and truncated, NaN as 0.
std::string pcm16_bytes(const float *samples, size_t count);

// The samples of a whole file in one call: "" with `error` set on failure.
std::string encode_whole(AudioFormat format, const float *samples, size_t count,
                         int32_t sample_rate, std::string &error);
