// Text encoding: normalise, prefix the language tag, mark spaces as
// "[SPACE]", then look up bracketed special tokens whole and merge the plain
// segments between them.
#include "tokenizer/bpe_tokenizer.h"
#include "util/log.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int32_t kUnknownId = 1;
const std::string kSpaceToken = "[SPACE]";

bool is_white_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Length of the UTF-8 character led by b, judged by the lead byte alone; a
// stray continuation byte or an invalid lead counts as one byte.
size_t utf8_length(unsigned char b) {
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0) return 2;
  if ((b & 0xF0) == 0xE0) return 3;
  if ((b & 0xF8) == 0xF0) return 4;
  return 1;
}

int32_t id_or_unknown(const BpeTokenizer &tokenizer, const std::string &piece) {
  auto found = tokenizer.vocab.find(piece);
  return found == tokenizer.vocab.end() ? kUnknownId : found->second;
}

}  // namespace

std::string normalize_text(const std::string &text) {
  std::string collapsed;
  collapsed.reserve(text.size());
  bool in_space = false;
  for (char c : text) {
    if (is_white_space(c)) {
      if (!in_space) collapsed += ' ';
      in_space = true;
    } else {
      collapsed += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
      in_space = false;
    }
  }
  size_t begin = collapsed.find_first_not_of(' ');
  if (begin == std::string::npos) return {};
  size_t end = collapsed.find_last_not_of(' ');
  return collapsed.substr(begin, end - begin + 1);
}

std::vector<std::string> bpe_split(const BpeTokenizer &tokenizer, const std::string &segment) {
  std::vector<std::string> symbols;
  for (size_t i = 0; i < segment.size();) {
    size_t length = utf8_length(static_cast<unsigned char>(segment[i]));
    if (length > segment.size() - i) length = segment.size() - i;
    symbols.emplace_back(segment, i, length);
    i += length;
  }
  if (symbols.size() < 2) return symbols;

  std::string key;  // reused for every lookup
  std::string best_left, best_right;
  for (;;) {
    bool found = false;
    int32_t best_rank = 0;
    size_t best = 0;
    for (size_t j = 0; j + 1 < symbols.size(); j++) {
      key.assign(symbols[j]);
      key += ' ';
      key += symbols[j + 1];
      auto rank = tokenizer.merge_ranks.find(key);
      // Only a strictly lower rank wins, so the leftmost of equal pairs is kept.
      if (rank != tokenizer.merge_ranks.end() && (!found || rank->second < best_rank)) {
        found = true;
        best_rank = rank->second;
        best = j;
      }
    }
    if (!found) break;

    // Copies, because the compaction below moves symbols over each other.
    best_left = symbols[best];
    best_right = symbols[best + 1];
    size_t out = 0;
    for (size_t j = 0; j < symbols.size();) {
      if (j + 1 < symbols.size() && symbols[j] == best_left && symbols[j + 1] == best_right) {
        symbols[j] += symbols[j + 1];
        if (out != j) symbols[out] = std::move(symbols[j]);
        j += 2;
      } else {
        if (out != j) symbols[out] = std::move(symbols[j]);
        j++;
      }
      out++;
    }
    symbols.resize(out);
    if (symbols.size() == 1) break;
  }
  return symbols;
}

std::vector<int32_t> encode(const BpeTokenizer &tokenizer, const std::string &text,
                            const std::string &language) {
  const std::string tagged = "[" + (language == "zh" ? std::string("zh-cn") : language) + "]" +
                             normalize_text(text);
  std::string s;
  s.reserve(tagged.size() + std::count(tagged.begin(), tagged.end(), ' ') * (kSpaceToken.size() - 1));
  for (char c : tagged) {
    if (c == ' ')
      s += kSpaceToken;
    else
      s += c;
  }

  std::vector<int32_t> ids;
  std::string candidate;
  // First "]" at or after p, kept while p has not passed it, so a text full
  // of unmatched "[" is not searched to its end once per bracket.
  size_t close = s.find(']');
  for (size_t p = 0; p < s.size();) {
    if (s[p] == '[') {
      if (close != std::string::npos && close < p) close = s.find(']', p);
      if (close != std::string::npos) {
        candidate.assign(s, p, close - p + 1);
        auto special = tokenizer.vocab.find(candidate);
        if (special != tokenizer.vocab.end()) {
          ids.push_back(special->second);
          p = close + 1;
          continue;
        }
      }
    }
    size_t r = s.find('[', p + 1);
    if (r == std::string::npos) r = s.size();
    for (const std::string &piece : bpe_split(tokenizer, s.substr(p, r - p)))
      ids.push_back(id_or_unknown(tokenizer, piece));
    p = r;
  }

  log_line(kLogInfo, "[tokenizer] Encoded '%s' (%s) → %d tokens\n", text.c_str(), language.c_str(),
          static_cast<int>(ids.size()));
  return ids;
}
