// A text as the pieces the decoder speaks one at a time, with their tokens.
#pragma once

#include "tokenizer/bpe_tokenizer.h"
#include "vclone.h"

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <string>
#include <vector>

struct Piece {
  std::string text;
  std::vector<int32_t> ids;    // none: only the silence before it
  float speed = 0.0f;          // 0: the request's speed
  float pause_before = -1.0f;  // < 0: pause_seconds, after the first piece
};

// The text as pieces of at most the decoder's text positions each: split as
// the language's budget says (text_splitter.h), and any piece still too long
// split again with half the budget. Without splitting, the whole text, or
// false with a "Text too long" error (`hint` is appended to it).
bool make_pieces(const BpeTokenizer &tokenizer, const std::string &text,
                 const std::string &language, bool split, const char *hint,
                 std::vector<Piece> &pieces);

struct vclone_model;

// The handle API's text through the front end (lexicon, then the normaliser
// when options.normalize, or SSML when options.ssml), each of its spans cut
// into pieces in the span's language, rate and pause. False with the error
// recorded (malformed SSML, a span's unknown language, nothing to speak).
bool text_pieces(const vclone_model &model, const char *text, const char *language,
                 const vclone_options &options, const char *hint, std::vector<Piece> &pieces);

// Token ids as the decoder's int64 [1, n] input.
at::Tensor token_tensor(const std::vector<int32_t> &ids);

// Whether the text holds nothing but white space (Unicode's, not only ASCII's)
// and invisible format characters.
bool is_blank(const char *text);
