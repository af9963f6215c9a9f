// Byte-pair tokenizer: tables loaded from a JSON vocabulary file, and the
// encoder that turns a request text into token ids.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

struct BpeTokenizer {
  std::unordered_map<std::string, int32_t> vocab;
  std::vector<std::pair<std::string, std::string>> merges;
  std::unordered_map<std::string, int32_t> merge_ranks;
};

// Fills the three tables from a JSON vocabulary file: ids from the
// "model"."vocab" object, rules from the "model"."merges" list, each written
// "left right" (split at the first space) or ["left", "right"]. Returns 0, or
// -1 with the tables empty and the reason, naming the file (strerror, or the
// JSON parser's message and position, or the entry at fault), in *error; when
// error is null the reason is logged. Tables already present are replaced.
int load_vocabulary(BpeTokenizer *tokenizer, const char *path, std::string *error = nullptr);

// As load_vocabulary, from the JSON text itself (a prepared model embeds it);
// origin names where it came from in messages.
int load_vocabulary_text(BpeTokenizer *tokenizer, const std::string &text, const char *origin,
                         std::string *error = nullptr);

// Empties the three tables.
void clear_tokenizer(BpeTokenizer *tokenizer);

// Replaces each byte that does not begin a well-formed UTF-8 sequence with
// U+FFFD, lower-cases every code point (Unicode's simple case mapping, and a
// word-final capital sigma to "ς"), composes to NFC, collapses runs of white space (space, tab, CR,
// LF) into one space and trims the ends.
std::string normalize_text(const std::string &text);

// The text for a log line: line breaks, tabs and other control characters
// escaped (\n, \t, \xNN, \uNNNN for C1 controls and U+2028/2029), a
// backslash doubled, and each byte of invalid UTF-8 shown as \xNN.
std::string printable_text(const std::string &text);

// Splits a segment into UTF-8 characters and merges adjacent pieces by rank.
std::vector<std::string> bpe_split(const BpeTokenizer &tokenizer, const std::string &segment);

// Token ids of "[language]" followed by the normalised text; an unknown piece
// gets id 1.
std::vector<int32_t> encode(const BpeTokenizer &tokenizer, const std::string &text,
                            const std::string &language);
