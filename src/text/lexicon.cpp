#include "text/lexicon.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace {

using icu::UnicodeString;

std::string folded(const UnicodeString &word) {
  UnicodeString copy(word);
  copy.foldCase();
  std::string out;
  copy.toUTF8String(out);
  return out;
}

bool word_char(UChar32 c) {
  return u_isalnum(c) || u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
         u_getIntPropertyValue(c, UCHAR_GENERAL_CATEGORY_MASK) & U_GC_M_MASK;
}

std::string canonical_language(std::string code) {
  for (char &c : code) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return code == "zh" ? "zh-cn" : code;
}

bool valid_utf8(const std::string &text) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  return status != U_INVALID_CHAR_FOUND && status != U_ILLEGAL_CHAR_FOUND;
}

}  // namespace

bool Lexicon::load(const std::string &path, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be read";
    return false;
  }
  auto added = entries_;
  std::string line;
  for (int number = 1; std::getline(in, line); number++) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (line.empty() || line[0] == '#') continue;
    if (!valid_utf8(line)) {
      error = where + "not UTF-8";
      return false;
    }
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos || line.find('\t', tab2 + 1) != std::string::npos) {
      error = where + "expected language<TAB>word<TAB>replacement";
      return false;
    }
    const std::string language = canonical_language(line.substr(0, tab1));
    const UnicodeString word = UnicodeString::fromUTF8(line.substr(tab1 + 1, tab2 - tab1 - 1));
    const std::string replacement = line.substr(tab2 + 1);
    if (language.empty() ||
        language.find_first_not_of("abcdefghijklmnopqrstuvwxyz-*") != std::string::npos) {
      error = where + "bad language code '" + line.substr(0, tab1) + "'";
      return false;
    }
    bool whole_word = !word.isEmpty();
    for (int32_t i = 0; i < word.length() && whole_word; i++) {
      const UChar32 c = word.char32At(i);
      whole_word = word_char(c) || c == '\'' || c == 0x2019 || ((c == '-' || c == '.') && i > 0);
    }
    if (!whole_word) {
      error = where + "the word must be one word (letters, digits, apostrophes, inner - and .)";
      return false;
    }
    if (replacement.empty()) {
      error = where + "empty replacement";
      return false;
    }
    added[language][folded(word)] = replacement;
  }
  entries_ = std::move(added);
  return true;
}

std::string Lexicon::apply(const std::string &text, const std::string &language) const {
  if (entries_.empty()) return text;
  const auto own = entries_.find(canonical_language(language));
  const auto all = entries_.find("*");
  if (own == entries_.end() && all == entries_.end()) return text;
  auto lookup = [&](const std::string &key) -> const std::string * {
    if (own != entries_.end()) {
      const auto found = own->second.find(key);
      if (found != own->second.end()) return &found->second;
    }
    if (all != entries_.end()) {
      const auto found = all->second.find(key);
      if (found != all->second.end()) return &found->second;
    }
    return nullptr;
  };
  const UnicodeString in = UnicodeString::fromUTF8(text);
  UnicodeString out;
  for (int32_t i = 0; i < in.length();) {
    if (!word_char(in.char32At(i))) {
      out.append(in.char32At(i));
      i = in.moveIndex32(i, 1);
      continue;
    }
    // A word: letters and digits, with apostrophes, hyphens and points
    // inside; tried whole, then without its inner parts, longest first.
    std::vector<int32_t> stops;
    int32_t j = i;
    while (j < in.length()) {
      const UChar32 c = in.char32At(j);
      if (word_char(c)) {
        j = in.moveIndex32(j, 1);
        continue;
      }
      if ((c == '\'' || c == 0x2019 || c == '-' || c == '.') && j + 1 <= in.length()) {
        stops.push_back(j);
        if (c == '.') stops.push_back(j + 1);  // "Dr." with its point
        j++;
        if (j < in.length() && word_char(in.char32At(j))) continue;
        break;
      }
      break;
    }
    stops.push_back(j);
    int32_t used = -1;
    for (auto stop = stops.rbegin(); stop != stops.rend(); ++stop) {
      if (*stop <= i) continue;
      const UChar32 last = in.char32At(*stop - 1);
      if (!word_char(last) && last != '.') continue;
      if (const std::string *replacement = lookup(folded(UnicodeString(in, i, *stop - i)))) {
        out.append(UnicodeString::fromUTF8(*replacement));
        used = *stop;
        break;
      }
    }
    if (used < 0) {
      // No entry: the first run of word characters as written.
      int32_t k = i;
      while (k < in.length() && word_char(in.char32At(k))) k = in.moveIndex32(k, 1);
      out.append(in, i, k - i);
      used = k;
    }
    i = used;
  }
  std::string result;
  out.toUTF8String(result);
  return result;
}
