// Text encoding: normalise, prefix the language tag, mark spaces as
// "[SPACE]", then look up bracketed special tokens whole and merge the plain
// segments between them.
#include "tokenizer/bpe_tokenizer.h"
#include "util/log.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int32_t kUnknownId = 1;
const std::string kSpaceToken = "[SPACE]";
constexpr utf8proc_int32_t kReplacementCharacter = 0xFFFD;
constexpr utf8proc_int32_t kCapitalSigma = 0x03A3, kFinalSigma = 0x03C2;

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

// Code points of the text; each byte that does not begin a well-formed UTF-8
// sequence (a stray continuation byte, a cut-short sequence, an overlong
// form, a surrogate) becomes U+FFFD, so everything after this sees valid text.
std::vector<utf8proc_int32_t> code_points(const std::string &text) {
  std::vector<utf8proc_int32_t> points;
  points.reserve(text.size());
  const auto *bytes = reinterpret_cast<const utf8proc_uint8_t *>(text.data());
  for (size_t i = 0; i < text.size();) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t length = utf8proc_iterate(bytes + i, text.size() - i, &cp);
    if (length <= 0) {
      points.push_back(kReplacementCharacter);
      i++;
    } else {
      points.push_back(cp);
      i += static_cast<size_t>(length);
    }
  }
  return points;
}

bool is_letter(utf8proc_int32_t cp) {
  utf8proc_category_t category = utf8proc_category(cp);
  return category >= UTF8PROC_CATEGORY_LU && category <= UTF8PROC_CATEGORY_LO;
}

bool is_mark(utf8proc_int32_t cp) {
  utf8proc_category_t category = utf8proc_category(cp);
  return category >= UTF8PROC_CATEGORY_MN && category <= UTF8PROC_CATEGORY_ME;
}

// A capital sigma that ends a word (a letter before it, none after it,
// combining marks skipped) lower-cases to the final form, as Greek is written.
bool ends_a_word(const std::vector<utf8proc_int32_t> &points, size_t at) {
  size_t before = at;
  while (before > 0 && is_mark(points[before - 1])) before--;
  if (before == 0 || !is_letter(points[before - 1])) return false;
  size_t after = at + 1;
  while (after < points.size() && is_mark(points[after])) after++;
  return after == points.size() || !is_letter(points[after]);
}

// Lower-cased code point by code point (Unicode's simple case mapping, so
// "İ" becomes the "i" a vocabulary holds, plus the final sigma) and composed
// to NFC, so that an accent typed as a combining mark finds its composed token.
std::string lower_case_nfc(const std::string &text) {
  std::vector<utf8proc_int32_t> points = code_points(text);
  std::string lowered;
  lowered.reserve(text.size() + 8);
  utf8proc_uint8_t buffer[4];
  for (size_t i = 0; i < points.size(); i++) {
    utf8proc_int32_t cp = points[i] == kCapitalSigma && ends_a_word(points, i)
                              ? kFinalSigma
                              : utf8proc_tolower(points[i]);
    lowered.append(reinterpret_cast<const char *>(buffer), utf8proc_encode_char(cp, buffer));
  }
  utf8proc_uint8_t *composed = nullptr;
  utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t *>(lowered.data()),
                   static_cast<utf8proc_ssize_t>(lowered.size()), &composed,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0) return lowered;  // out of memory: lower-cased, not composed
  std::string result(reinterpret_cast<const char *>(composed), static_cast<size_t>(length));
  free(composed);
  return result;
}

int32_t id_or_unknown(const BpeTokenizer &tokenizer, const std::string &piece) {
  auto found = tokenizer.vocab.find(piece);
  return found == tokenizer.vocab.end() ? kUnknownId : found->second;
}

}  // namespace

std::string normalize_text(const std::string &text) {
  const std::string unicode = lower_case_nfc(text);
  std::string collapsed;
  collapsed.reserve(unicode.size());
  bool in_space = false;
  for (char c : unicode) {
    if (is_white_space(c)) {
      if (!in_space) collapsed += ' ';
      in_space = true;
    } else {
      collapsed += c;
      in_space = false;
    }
  }
  size_t begin = collapsed.find_first_not_of(' ');
  if (begin == std::string::npos) return {};
  size_t end = collapsed.find_last_not_of(' ');
  return collapsed.substr(begin, end - begin + 1);
}

std::string printable_text(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  const auto *bytes = reinterpret_cast<const utf8proc_uint8_t *>(text.data());
  char escape[16];
  for (size_t i = 0; i < text.size();) {
    utf8proc_int32_t cp = -1;
    utf8proc_ssize_t length = utf8proc_iterate(bytes + i, text.size() - i, &cp);
    if (length <= 0) {
      snprintf(escape, sizeof escape, "\\x%02x", bytes[i]);
      out += escape;
      i++;
      continue;
    }
    if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\\') {
      out += "\\\\";
    } else if (cp < 0x20 || cp == 0x7f) {
      snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(cp));
      out += escape;
    } else if ((cp >= 0x80 && cp < 0xa0) || cp == 0x2028 || cp == 0x2029) {
      // C1 controls and the Unicode line breaks end lines in some viewers.
      snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(cp));
      out += escape;
    } else {
      out.append(text, i, static_cast<size_t>(length));
    }
    i += static_cast<size_t>(length);
  }
  return out;
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
  const std::string tagged =
      "[" + (language == "zh" ? std::string("zh-cn") : language) + "]" + normalize_text(text);
  std::string s;
  s.reserve(tagged.size() +
            std::count(tagged.begin(), tagged.end(), ' ') * (kSpaceToken.size() - 1));
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

  log_line(kLogInfo, "[tokenizer] Encoded '%s' (%s) → %d tokens\n", printable_text(text).c_str(),
           printable_text(language).c_str(), static_cast<int>(ids.size()));
  return ids;
}
