// The body of POST /v1/audio/speech, read and checked before it may queue.
#pragma once

#include "common/audio_format.h"
#include "serve/api_error.h"
#include "vclone.h"

#include <string>
#include <vector>

struct SpeechRequest {
  std::string input;
  std::string voice;  // "voice": a name, or an object's "id"
  std::string language = "en";
  AudioFormat format = AudioFormat::kWav;  // "response_format"
  bool stream = false;
  bool sse = false;          // "stream_format": "sse"; streams server-sent events
  vclone_options options{};  // SpeechLimits::defaults, then the body's fields
};

struct SpeechLimits {
  size_t max_body_bytes;
  size_t max_text_chars;
  std::vector<std::string> languages;  // empty: any
  // vclone_default_options() in the server; given here so that the parser
  // builds without the library (the fuzz build links only this).
  vclone_options defaults;
};

// Fills `request` from a JSON body. Unknown fields (and "model" and
// "instructions") are ignored, so clients written for the common shape of
// this endpoint work. An error
// names the field: 400 for a wrong type or range, 413 for a body or text
// over the limits.
ApiError parse_speech_request(const std::string &body, const SpeechLimits &limits,
                              SpeechRequest &request);

// Unicode code points in UTF-8 text (continuation bytes are not counted).
size_t utf8_length(const std::string &text);
