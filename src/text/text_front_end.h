// The one step between a caller's text and the tokenizer: lexicon, then the
// normaliser, or an SSML document parsed into spans. A span is spoken in its
// own language at its own rate, after its own silence.
#pragma once

#include <string>
#include <vector>

class Lexicon;

struct TextSpan {
  std::string text;
  std::string language;
  float speed;
  float pause_before;  // seconds of silence before it; < 0: the caller's pause between pieces
};

struct TextOptions {
  bool normalize = true;
  bool ssml = false;
  float speed = 1.0f;
  const Lexicon *lexicon = nullptr;
};

// Spans of text to speak, in order. False with a message in error for
// malformed SSML (the parser's message, line and column).
bool prepare_text(const std::string &text, const std::string &language, const TextOptions &options,
                  std::vector<TextSpan> &spans, std::string &error);

// A text read as prepare_text reads a plain text (lexicon, then normaliser).
std::string prepare_plain(const std::string &text, const std::string &language,
                          const TextOptions &options);
