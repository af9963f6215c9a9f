// Vocabulary loading. The file is not parsed as JSON: the "vocab" object and
// the "merges" array after the "model" key are found by substring search and
// read by two forward scans. No escape sequence is decoded; a string is the
// raw bytes up to the next double quote.
#include "tokenizer/bpe_tokenizer.h"
#include "util/log.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string_view>

namespace {

const std::string kModelKey = "\"model\"";
const std::string kVocabKey = "\"vocab\"";
const std::string kMergesKey = "\"merges\"";

enum class SectionResult { ok, not_found, bad_number };

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads in blocks rather than asking for the size, so that anything the
// stream can open (a pipe, a directory) gives a defined, possibly empty, text.
std::string read_all(std::ifstream &in) {
  std::string text;
  char block[1 << 16];
  while (in.read(block, sizeof block) || in.gcount() > 0)
    text.append(block, static_cast<size_t>(in.gcount()));
  return text;
}

// Position of the "model" key, or npos.
size_t find_model(const std::string &text) {
  if (text.size() < kModelKey.size()) return std::string::npos;
  return text.find(kModelKey);
}

// The id written at text[i], which is "-" or a digit. Only the sign and the
// digits are handed to std::stoi: it stops there anyway, and converting the
// rest of the file for every entry would make loading quadratic.
bool read_id(const std::string &text, size_t i, const std::string &key, int32_t *id) {
  size_t end = i + (text[i] == '-' ? 1 : 0);
  while (end < text.size() && is_digit(text[end])) end++;
  try {
    *id = std::stoi(text.substr(i, end - i));
    return true;
  } catch (const std::invalid_argument &e) {
    log_line(kLogWarn, "[tokenizer] Failed to parse vocab: id of '%s' is not a number (%s)\n",
            key.c_str(), e.what());
  } catch (const std::out_of_range &e) {
    log_line(kLogWarn, "[tokenizer] Failed to parse vocab: id of '%s' is out of range (%s)\n",
            key.c_str(), e.what());
  }
  return false;
}

SectionResult parse_vocab(const std::string &text, std::unordered_map<std::string, int32_t> &vocab) {
  size_t m = find_model(text);
  if (m == std::string::npos) return SectionResult::not_found;
  size_t v = text.find(kVocabKey, m);
  if (v == std::string::npos) return SectionResult::not_found;
  size_t o = text.find('{', v + kVocabKey.size());
  if (o == std::string::npos) return SectionResult::not_found;

  const size_t n = text.size();
  size_t i = o + 1;
  int depth = 1;
  std::string key;
  while (i < n && depth > 0) {
    char c = text[i];
    if (c == '{') {
      depth++;
      i++;
    } else if (c == '}') {
      depth--;
      i++;
    } else if (c != '"') {
      i++;
    } else {
      size_t q = text.find('"', i + 1);
      if (q == std::string::npos) break;
      size_t colon = text.find(':', q + 1);
      if (colon == std::string::npos) break;
      key.assign(text, i + 1, q - i - 1);
      i = colon + 1;
      while (i < n && is_json_space(text[i])) i++;
      if (i < n && (text[i] == '-' || is_digit(text[i]))) {
        int32_t id = 0;
        if (!read_id(text, i, key, &id)) return SectionResult::bad_number;
        vocab[key] = id;
      }
      // A "}" is left for the next pass, which closes the object.
      i = text.find_first_of(",}", i);
      if (i == std::string::npos) break;
      if (text[i] == ',') i++;
    }
  }
  return vocab.empty() ? SectionResult::not_found : SectionResult::ok;
}

SectionResult parse_merges(const std::string &text,
                           std::vector<std::pair<std::string, std::string>> &merges) {
  size_t m = find_model(text);
  if (m == std::string::npos) return SectionResult::not_found;
  size_t g = text.find(kMergesKey, m);
  if (g == std::string::npos) return SectionResult::not_found;
  size_t a = text.find('[', g);
  if (a == std::string::npos) return SectionResult::not_found;

  const size_t n = text.size();
  size_t i = a + 1;
  // First "]" at or after i. It stays valid while i has not passed it, so the
  // array is not searched to its end once per entry.
  size_t close = text.find(']', i);
  while (i < n) {
    size_t q1 = text.find('"', i);
    if (q1 == std::string::npos) break;
    if (close != std::string::npos && close < i) close = text.find(']', i);
    if (close != std::string::npos && close < q1) break;
    size_t q2 = text.find('"', q1 + 1);
    if (q2 == std::string::npos) break;
    std::string_view rule = std::string_view(text).substr(q1 + 1, q2 - q1 - 1);
    size_t space = rule.find(' ');
    if (space != std::string_view::npos)
      merges.emplace_back(rule.substr(0, space), rule.substr(space + 1));
    i = q2 + 1;
  }
  return SectionResult::ok;
}

}  // namespace

int load_vocabulary(BpeTokenizer *tokenizer, const char *path) {
  if (!tokenizer || !path) return -1;
  clear_tokenizer(tokenizer);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    log_line(kLogWarn, "[tokenizer] Cannot open: %s\n", path);
    return -1;
  }
  const std::string text = read_all(in);

  SectionResult vocab_result = parse_vocab(text, tokenizer->vocab);
  if (vocab_result != SectionResult::ok) {
    if (vocab_result == SectionResult::not_found) log_line(kLogWarn, "[tokenizer] Failed to parse vocab\n");
    return -1;
  }
  if (parse_merges(text, tokenizer->merges) != SectionResult::ok) {
    log_line(kLogWarn, "[tokenizer] Failed to parse merges\n");
    return -1;
  }

  // A rule listed twice keeps the rank of its last occurrence.
  tokenizer->merge_ranks.reserve(tokenizer->merges.size());
  for (size_t r = 0; r < tokenizer->merges.size(); r++) {
    const auto &[left, right] = tokenizer->merges[r];
    tokenizer->merge_ranks[left + " " + right] = static_cast<int32_t>(r);
  }
  log_line(kLogInfo, "[tokenizer] Loaded %d vocab entries, %d merges from %s\n",
          static_cast<int>(tokenizer->vocab.size()), static_cast<int>(tokenizer->merges.size()), path);
  return 0;
}

void clear_tokenizer(BpeTokenizer *tokenizer) {
  if (!tokenizer) return;
  tokenizer->vocab.clear();
  tokenizer->merges.clear();
  tokenizer->merge_ranks.clear();
}
