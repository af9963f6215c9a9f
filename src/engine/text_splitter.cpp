#include "engine/text_splitter.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <set>

namespace {

// One decoded character and where its bytes lie; an invalid byte is a
// character of its own, so every byte of the text belongs to one.
struct Char {
  int32_t code;
  size_t begin, end;
};

std::vector<Char> decode(const std::string &text) {
  std::vector<Char> chars;
  const auto *bytes = reinterpret_cast<const utf8proc_uint8_t *>(text.data());
  size_t p = 0;
  while (p < text.size()) {
    utf8proc_int32_t code = -1;
    utf8proc_ssize_t n =
        utf8proc_iterate(bytes + p, static_cast<utf8proc_ssize_t>(text.size() - p), &code);
    if (n <= 0) {
      n = 1;
      code = -1;
    }
    chars.push_back({code, p, p + static_cast<size_t>(n)});
    p += static_cast<size_t>(n);
  }
  return chars;
}

bool is_space(int32_t c) {
  if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') return true;
  if (c < 0x80) return false;
  const utf8proc_category_t cat = utf8proc_category(c);
  return cat == UTF8PROC_CATEGORY_ZS || cat == UTF8PROC_CATEGORY_ZL || cat == UTF8PROC_CATEGORY_ZP;
}

bool is_sentence_mark(int32_t c) { return c == '.' || c == '!' || c == '?' || c == 0x2026; }
bool is_cjk_sentence_mark(int32_t c) { return c == 0x3002 || c == 0xFF01 || c == 0xFF1F; }
bool is_clause_mark(int32_t c) {
  return c == ',' || c == ';' || c == ':' || c == 0xFF0C || c == 0xFF1B || c == 0xFF1A ||
         c == 0x3001;
}
// Closing quotes and brackets that stay with the sentence they end.
bool is_closer(int32_t c) {
  return c == '"' || c == '\'' || c == ')' || c == ']' || c == 0x201D || c == 0x2019 ||
         c == 0x00BB || c == 0x300D || c == 0x300F || c == 0xFF09;
}

bool is_letter(int32_t c) {
  if (c < 0) return false;
  const utf8proc_category_t cat = utf8proc_category(c);
  return cat >= UTF8PROC_CATEGORY_LU && cat <= UTF8PROC_CATEGORY_LO;
}

// Words after which a full stop abbreviates rather than ends, lower-cased.
const std::set<std::string> &abbreviations() {
  static const std::set<std::string> words = {
      "mr",   "mrs",  "ms",  "dr",   "prof", "sr",   "jr",  "st",  "mt",     "vs",
      "etc",  "e.g",  "i.e", "inc",  "ltd",  "corp", "fig", "cf",  "approx", "dept",
      "capt", "lt",   "sgt", "rev",  "jan",  "feb",  "apr", "jun", "jul",    "aug",
      "sep",  "sept", "oct", "nov",  "dec",  "a.m",  "p.m", "u.s", "u.k",    "z.b",
      "bzw",  "usw",  "sra", "srta", "mme",  "mlle", "vol", "pp",  "al"};
  return words;
}

// Whether the full stop at chars[i] follows an abbreviation or an initial.
bool ends_abbreviation(const std::vector<Char> &chars, const std::string &text, size_t i) {
  size_t start = i;
  while (start > 0 && (is_letter(chars[start - 1].code) || chars[start - 1].code == '.')) start--;
  if (start == i) return false;
  std::string word = text.substr(chars[start].begin, chars[i].begin - chars[start].begin);
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return c < 0x80 ? std::tolower(c) : c; });
  if (i - start == 1 && is_letter(chars[start].code)) return true;  // an initial
  return abbreviations().count(word) > 0;
}

size_t length_of(const std::string &text) { return decode(text).size(); }

std::string trimmed(const std::string &text) {
  const std::vector<Char> chars = decode(text);
  size_t first = 0, last = chars.size();
  while (first < last && is_space(chars[first].code)) first++;
  while (last > first && is_space(chars[last - 1].code)) last--;
  if (first == last) return {};
  return text.substr(chars[first].begin, chars[last - 1].end - chars[first].begin);
}

// Cuts text after every character for which `cut_after` holds, trimmed.
template <typename Predicate>
std::vector<std::string> cut_after(const std::string &text, Predicate cut_here) {
  const std::vector<Char> chars = decode(text);
  std::vector<std::string> parts;
  size_t begin = 0;
  for (size_t i = 0; i < chars.size(); i++) {
    if (!cut_here(chars, i)) continue;
    std::string part = trimmed(text.substr(begin, chars[i].end - begin));
    if (!part.empty()) parts.push_back(part);
    begin = chars[i].end;
  }
  std::string rest = trimmed(text.substr(begin));
  if (!rest.empty()) parts.push_back(rest);
  return parts;
}

// Cuts between grapheme clusters so that no piece is longer than max_chars
// and no emoji sequence or combining accent is torn apart.
std::vector<std::string> cut_characters(const std::string &text, size_t max_chars) {
  const std::vector<Char> chars = decode(text);
  std::vector<std::string> parts;
  size_t begin = 0, last_break = 0;
  utf8proc_int32_t state = 0;
  for (size_t i = 0; i < chars.size(); i++) {
    const bool boundary =
        i == 0 || chars[i].code < 0 || chars[i - 1].code < 0 ||
        utf8proc_grapheme_break_stateful(chars[i - 1].code, chars[i].code, &state);
    if (boundary) last_break = i;
    if (i - begin < max_chars) continue;
    // Character i would overflow the part: end it at the last boundary, or
    // here when one cluster alone is longer than the budget.
    const size_t cut = last_break > begin ? last_break : i;
    parts.push_back(text.substr(chars[begin].begin, chars[cut].begin - chars[begin].begin));
    begin = cut;
  }
  if (begin < chars.size()) parts.push_back(text.substr(chars[begin].begin));
  return parts;
}

// Packs parts in order into pieces of at most max_chars, joined by a space
// (parts that were cut at white space) or by nothing.
std::vector<std::string> pack(const std::vector<std::string> &parts, size_t max_chars,
                              const std::string &joiner) {
  std::vector<std::string> pieces;
  std::string current;
  size_t current_length = 0;
  for (const std::string &part : parts) {
    const size_t length = length_of(part);
    const size_t joined = current.empty() ? length : current_length + length_of(joiner) + length;
    if (!current.empty() && joined > max_chars) {
      pieces.push_back(current);
      current.clear();
    }
    current = current.empty() ? part : current + joiner + part;
    current_length = length_of(current);
  }
  if (!current.empty()) pieces.push_back(current);
  return pieces;
}

bool has_space(const std::string &text) {
  for (const Char &c : decode(text))
    if (is_space(c.code)) return true;
  return false;
}

// A sentence longer than the budget as parts that each fit.
std::vector<std::string> cut_long(const std::string &sentence, size_t max_chars) {
  if (length_of(sentence) <= max_chars) return {sentence};
  std::vector<std::string> result;
  auto clause_end = [](const std::vector<Char> &chars, size_t i) {
    return is_clause_mark(chars[i].code);
  };
  for (const std::string &clause : cut_after(sentence, clause_end)) {
    if (length_of(clause) <= max_chars) {
      result.push_back(clause);
      continue;
    }
    auto word_end = [](const std::vector<Char> &chars, size_t i) {
      return is_space(chars[i].code);
    };
    std::vector<std::string> words;
    for (const std::string &word : cut_after(clause, word_end)) {
      if (length_of(word) <= max_chars) {
        words.push_back(word);
      } else {
        for (const std::string &run : cut_characters(word, max_chars)) words.push_back(run);
      }
    }
    for (const std::string &piece : pack(words, max_chars, " ")) result.push_back(piece);
  }
  return result;
}

}  // namespace

size_t piece_budget(const std::string &language) {
  if (language == "zh" || language == "zh-cn" || language == "ja") return 100;
  if (language == "ko") return 150;
  return 250;
}

std::vector<std::string> split_sentences(const std::string &text) {
  auto sentence_end = [&text](const std::vector<Char> &chars, size_t i) {
    const int32_t c = chars[i].code;
    size_t next = i + 1;
    if (is_cjk_sentence_mark(c)) {
      return next >= chars.size() ||
             !(is_closer(chars[next].code) || is_cjk_sentence_mark(chars[next].code));
    }
    if (!is_sentence_mark(c)) return false;
    // "?!", "..." and closing quotes stay with the mark before them.
    if (next < chars.size() && (is_sentence_mark(chars[next].code) || is_closer(chars[next].code)))
      return false;
    if (next < chars.size() && !is_space(chars[next].code)) return false;
    if (c == '.' && (i == 0 || chars[i - 1].code != '.') && ends_abbreviation(chars, text, i))
      return false;
    return true;
  };
  // A closing quote after the mark moves the end to the quote.
  auto end_here = [&](const std::vector<Char> &chars, size_t i) {
    if (is_closer(chars[i].code)) {
      // Only the last closer of a run can end a sentence; deciding that first
      // keeps the walk back over the run to once per run, not once per closer.
      const size_t next = i + 1;
      if (next < chars.size() && is_closer(chars[next].code)) return false;
      size_t mark = i;
      while (mark > 0 && is_closer(chars[mark].code)) mark--;
      if (!is_sentence_mark(chars[mark].code) && !is_cjk_sentence_mark(chars[mark].code))
        return false;
      if (next < chars.size() && !is_space(chars[next].code) &&
          !is_cjk_sentence_mark(chars[mark].code))
        return false;
      if (chars[mark].code == '.' && ends_abbreviation(chars, text, mark)) return false;
      return true;
    }
    return sentence_end(chars, i);
  };
  return cut_after(text, end_here);
}

std::vector<std::string> split_text(const std::string &text, size_t max_chars) {
  if (max_chars == 0) max_chars = 1;
  std::vector<std::string> parts;
  for (const std::string &sentence : split_sentences(text))
    for (const std::string &part : cut_long(sentence, max_chars)) parts.push_back(part);
  // Sentences keep a space between them unless neither side has any (CJK).
  return pack(parts, max_chars, has_space(text) ? " " : "");
}
