// The languages a vocabulary speaks: its "[code]" tokens.
#pragma once

#include "tokenizer/bpe_tokenizer.h"

#include <string>

// The codes of every language token ("[en]", "[zh-cn]", ...) in id order,
// separated by single spaces.
std::string language_codes(const BpeTokenizer &tokenizer);

// Whether text in `code` can be tagged: the vocabulary has "[code]" ("zh"
// stands for "zh-cn", as the encoder tags it).
bool has_language(const BpeTokenizer &tokenizer, const std::string &code);
