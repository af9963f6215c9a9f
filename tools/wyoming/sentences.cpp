#include "wyoming/sentences.h"

#include "util/blank_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace wyoming {

namespace {

// Decodes the code point at text[i] and its length; malformed bytes read as
// one byte each (the JSON reader lets only valid UTF-8 through, but a cut
// may fall inside a character until its next piece arrives).
char32_t decode(std::string_view text, size_t i, size_t &length) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  length = 1;
  if (lead < 0x80) return lead;
  size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (need == 0 || i + need > text.size()) return 0xFFFD;
  char32_t cp = lead & (0x7F >> need);
  for (size_t k = 1; k < need; k++) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  length = need;
  return cp;
}

// Unicode's White_Space property, and the invisible characters a text may
// carry without saying anything.
bool is_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}
bool is_invisible(char32_t cp) {
  return (cp >= 0x200B && cp <= 0x200D) || cp == 0x2060 || cp == 0xFEFF || cp == 0x180E;
}

bool is_latin_end(char32_t cp) { return cp == '.' || cp == '!' || cp == '?' || cp == 0x2026; }
bool is_cjk_end(char32_t cp) { return cp == 0x3002 || cp == 0xFF01 || cp == 0xFF1F; }
bool is_closer(char32_t cp) {
  return cp == '"' || cp == '\'' || cp == ')' || cp == ']' || cp == 0x2019 || cp == 0x201D ||
         cp == 0xBB || cp == 0x300D || cp == 0x300F || cp == 0xFF09;
}

// Words after which a full stop does not end a sentence.
bool is_title(std::string word) {
  for (char &c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const char *const titles[] = {"mr", "mrs", "ms",  "dr", "prof", "st",     "sr", "jr",
                                       "vs", "e.g", "i.e", "no", "fig",  "approx", "mt", "ft"};
  for (const char *title : titles)
    if (word == title) return true;
  // An initial: one letter, as in "J. Smith".
  return word.size() == 1 && std::isalpha(static_cast<unsigned char>(word[0]));
}

// The word that ends right before text[dot].
std::string word_before(std::string_view text, size_t dot) {
  size_t start = dot;
  while (start > 0 && !std::isspace(static_cast<unsigned char>(text[start - 1])) &&
         text[start - 1] != '(' && text[start - 1] != '"')
    start--;
  return std::string(text.substr(start, dot - start));
}

std::string trimmed(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end) {
    size_t length;
    const char32_t cp = decode(text, begin, length);
    if (!is_space(cp) && !is_invisible(cp)) break;
    begin += length;
  }
  // Trailing white space is ASCII or a code point whose last byte is a
  // continuation byte; walk back whole characters.
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) start--;
    size_t length;
    const char32_t cp = decode(text, start, length);
    if (start + length != end || (!is_space(cp) && !is_invisible(cp))) break;
    end = start;
  }
  return std::string(text.substr(begin, end - begin));
}

}  // namespace

bool is_blank(std::string_view utf8) { return is_blank_text(std::string(utf8)); }

size_t code_points(std::string_view utf8) {
  return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

size_t SentenceBuffer::sentence_end() const {
  const std::string_view text = pending_;
  for (size_t i = 0, length = 0; i < text.size(); i += length) {
    const char32_t cp = decode(text, i, length);
    if (cp == '\n') {
      // A blank line ends a paragraph, whatever precedes it.
      size_t k = i + 1;
      while (k < text.size() && (text[k] == ' ' || text[k] == '\t' || text[k] == '\r')) k++;
      if (k < text.size() && text[k] == '\n') return k + 1;
      continue;
    }
    const bool latin = is_latin_end(cp), cjk = is_cjk_end(cp);
    if (!latin && !cjk) continue;
    size_t end = i + length, next_length = 0;
    char32_t next = 0;
    while (end < text.size()) {
      next = decode(text, end, next_length);
      if (!is_closer(next) && !is_latin_end(next) && !is_cjk_end(next)) break;
      end += next_length;
    }
    // What follows must have arrived: the next piece may continue "3." as
    // "3.5", or add a closing quote.
    if (end >= text.size()) return std::string::npos;
    if (cjk) return end;
    if (!is_space(next)) {
      i = end - length;  // resume after the marks just read
      continue;
    }
    if (cp == '.' && is_title(word_before(text, i))) continue;
    return end;
  }
  return std::string::npos;
}

size_t SentenceBuffer::forced_cut() const {
  if (pending_.size() < max_bytes_) return std::string::npos;
  size_t cut = pending_.rfind(' ', max_bytes_);
  if (cut == std::string::npos || cut == 0) {
    // No space: cut at a character boundary.
    cut = max_bytes_;
    while (cut > 0 && (static_cast<unsigned char>(pending_[cut]) & 0xC0) == 0x80) cut--;
    if (cut == 0) cut = max_bytes_;
  }
  return cut;
}

bool SentenceBuffer::next_sentence(std::string &sentence) {
  for (;;) {
    size_t end = sentence_end();
    if (end == std::string::npos) end = forced_cut();
    if (end == std::string::npos) return false;
    sentence = trimmed(std::string_view(pending_).substr(0, end));
    pending_.erase(0, end);
    if (!is_blank(sentence)) return true;
  }
}

std::string SentenceBuffer::take_rest() {
  std::string rest = trimmed(pending_);
  pending_.clear();
  return rest;
}

}  // namespace wyoming
