#include "engine/language_codes.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// Language tokens are lower-case letters with an optional region after a
// dash; the other special tokens ("[SPACE]", "[UNK]", ...) are upper-case.
bool is_language_token(const std::string &token) {
  if (token.size() < 4 || token.front() != '[' || token.back() != ']') return false;
  const std::string code = token.substr(1, token.size() - 2);
  if (code.size() > 12 || code.front() == '-' || code.back() == '-') return false;
  return std::all_of(code.begin(), code.end(),
                     [](char c) { return (c >= 'a' && c <= 'z') || c == '-'; });
}

}  // namespace

std::string language_codes(const BpeTokenizer &tokenizer) {
  std::vector<std::pair<int32_t, std::string>> found;
  for (const auto &[token, id] : tokenizer.vocab)
    if (is_language_token(token)) found.emplace_back(id, token.substr(1, token.size() - 2));
  std::sort(found.begin(), found.end());
  std::string codes;
  for (const auto &entry : found) codes += (codes.empty() ? "" : " ") + entry.second;
  return codes;
}

bool has_language(const BpeTokenizer &tokenizer, const std::string &code) {
  const std::string tag = "[" + (code == "zh" ? std::string("zh-cn") : code) + "]";
  return is_language_token(tag) && tokenizer.vocab.count(tag) > 0;
}
