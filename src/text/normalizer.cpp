#include "text/normalizer.h"

#include "text/language_rules.h"
#include "text/number_words.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using icu::RegexMatcher;
using icu::RegexPattern;
using icu::UnicodeString;

std::string utf8(const UnicodeString &text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

UnicodeString u(const std::string &text) { return UnicodeString::fromUTF8(text); }

// Escapes a literal for an ICU regular expression.
std::string quoted(const std::string &literal) {
  std::string out;
  for (char c : literal) {
    if (std::string("\\^$.|?*+()[]{}-/").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

bool is_letter(UChar32 c) { return u_isalpha(c) || u_hasBinaryProperty(c, UCHAR_ALPHABETIC); }
bool is_word_char(UChar32 c) { return is_letter(c) || u_isdigit(c); }

// Digits of other scripts (Arabic-Indic, Devanagari, full-width) read as the
// ASCII ones they stand for.
UnicodeString ascii_digits(const UnicodeString &text) {
  UnicodeString out;
  for (int32_t i = 0; i < text.length();) {
    const UChar32 c = text.char32At(i);
    const int32_t value = u_charDigitValue(c);
    if (value >= 0 && c > 0x7F && u_charType(c) == U_DECIMAL_DIGIT_NUMBER)
      out.append(static_cast<UChar>('0' + value));
    else
      out.append(c);
    i += U16_LENGTH(c);
  }
  return out;
}

// The noun's form for a count, by the language's plural category.
std::string noun_form(const NounForms &noun, const std::string &category) {
  std::vector<std::string> forms;
  std::string all = noun.forms ? noun.forms : "";
  for (size_t start = 0;;) {
    const size_t bar = all.find('|', start);
    forms.push_back(all.substr(start, bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  size_t index = 0;
  if (forms.size() == 2) index = category == "one" ? 0 : 1;
  if (forms.size() >= 3) {
    if (category == "one")
      index = 0;
    else if (category == "few")
      index = 1;
    else if (category == "many")
      index = 2;
    else
      index = forms.size() == 4 ? 3 : 1;
  }
  return forms[std::min(index, forms.size() - 1)];
}

std::string replace_all(std::string text, const std::string &key, const std::string &value) {
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
    text.replace(at, key.size(), value);
  return text;
}

std::string lower(const std::string &text) {
  UnicodeString copy = u(text);
  copy.toLower();
  return utf8(copy);
}

// Value of a Roman numeral written in canonical form (II to MMMCMXCIX), 0
// otherwise, so "DIV" or "IIII" stay words.
int roman_value(const std::string &text) {
  static const std::pair<int, const char *> kParts[] = {
      {1000, "M"}, {900, "CM"}, {500, "D"}, {400, "CD"}, {100, "C"}, {90, "XC"}, {50, "L"},
      {40, "XL"},  {10, "X"},   {9, "IX"},  {5, "V"},    {4, "IV"},  {1, "I"}};
  int value = 0;
  for (char c : text) {
    const int digit = c == 'I'   ? 1
                      : c == 'V' ? 5
                      : c == 'X' ? 10
                      : c == 'L' ? 50
                      : c == 'C' ? 100
                      : c == 'D' ? 500
                      : c == 'M' ? 1000
                                 : 0;
    if (digit == 0) return 0;
  }
  size_t i = 0;
  for (const auto &[number, letters] : kParts) {
    const std::string part(letters);
    while (text.compare(i, part.size(), part) == 0) {
      value += number;
      i += part.size();
    }
  }
  return i == text.size() && value < 4000 ? value : 0;
}

// One language's patterns, compiled once and shared; every call makes its
// own matchers.
struct Grammar {
  const LanguageRules *rules;
  std::string number;  // pattern text of a written number
  std::unique_ptr<RegexPattern> time, time_h, am_pm_hour, iso_date, numeric_date, currency_after,
      unit_after, ordinal, phone, number_only, roman;
  std::vector<const Currency *> currencies;  // longest symbol first
  std::vector<const Unit *> units;
};

std::unique_ptr<RegexPattern> compile(const std::string &pattern) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError where;
  std::unique_ptr<RegexPattern> compiled(RegexPattern::compile(u(pattern), where, status));
  if (U_FAILURE(status)) compiled.reset();
  return compiled;
}

std::string alternation(std::vector<std::string> items) {
  std::sort(items.begin(), items.end(),
            [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
  std::string out;
  for (const std::string &item : items) out += (out.empty() ? "" : "|") + quoted(item);
  return out.empty() ? "(?!)" : out;
}

Grammar *make_grammar(const LanguageRules &rules) {
  auto *g = new Grammar;
  g->rules = &rules;
  const std::string decimal = quoted(rules.decimal);
  const std::string group = std::string("[") + rules.group + "]";
  // A point after 1-2 or 4+ digits is a decimal point even where the comma
  // is one ("3.5" in German text), but "1.234" stays thousands there.
  const std::string loose_point =
      std::string(rules.decimal) == "," ? "|[0-9]+\\.(?:[0-9]{1,2}|[0-9]{4,})(?![0-9])" : "";
  g->number = "[-−]?(?:[0-9]{1,3}(?:" + group + "[0-9]{3})+(?![0-9])(?:" + decimal + "[0-9]+)?" +
              loose_point + "|[0-9]+(?:" + decimal + "[0-9]+)?)";
  const std::string num = "(" + g->number + ")";
  g->time = compile(
      "([0-9]{1,2}):([0-5][0-9])(?::([0-5][0-9]))?(?![0-9])(?:\\s?([aApP])\\.?\\s?[mM]\\.?(?![\\p{"
      "L}]))?");
  if (std::string(rules.code) == "fr")
    g->time_h = compile("([0-9]{1,2})\\s?h\\s?([0-5][0-9])?(?![\\p{L}0-9])");
  if (std::string(rules.code) == "en")
    g->am_pm_hour = compile("([0-9]{1,2})\\s?([aApP])\\.?[mM]\\.?(?![\\p{L}])");
  g->iso_date = compile("([12][0-9]{3})-([01]?[0-9])-([0-3]?[0-9])(?![0-9])");
  g->numeric_date = compile("([0-9]{1,4})([./-])([0-9]{1,2})\\2([0-9]{2,4})(\\.?)(?![0-9])");
  std::vector<std::string> symbols, unit_symbols;
  for (const Currency &c : rules.currencies) {
    symbols.push_back(c.symbol);
    g->currencies.push_back(&c);
  }
  for (const Unit &unit : rules.units) {
    unit_symbols.push_back(unit.symbol);
    g->units.push_back(&unit);
  }
  auto longest_first = [](auto *a, auto *b) {
    return std::string(a->symbol).size() > std::string(b->symbol).size();
  };
  std::stable_sort(g->currencies.begin(), g->currencies.end(), longest_first);
  std::stable_sort(g->units.begin(), g->units.end(), longest_first);
  // A unit ends where a word would go on in Latin, Cyrillic or Greek script;
  // Korean, Japanese or Hindi particles may follow it directly.
  const std::string unit_end = "(?![\\p{Latin}\\p{Cyrillic}\\p{Greek}0-9])";
  g->currency_after = compile(num + "\\s?(" + alternation(symbols) + ")" + unit_end);
  g->unit_after = compile(num + "\\s?(" + alternation(unit_symbols) + ")" + unit_end);
  std::vector<std::string> marks;
  bool dot = false;
  for (const OrdinalMark &mark : rules.ordinals) {
    if (std::string(mark.suffix) == ".")
      dot = true;
    else
      marks.push_back(mark.suffix);
  }
  std::string ordinal;
  if (!marks.empty()) ordinal = "([0-9]+)(" + alternation(marks) + ")(?![\\p{L}0-9])";
  // "3." is an ordinal only before a word: at a sentence's end it is a number.
  if (dot)
    ordinal += std::string(ordinal.empty() ? "" : "|") + "([0-9]{1,4})(\\.)(?=[ \\u00A0]+[\\p{L}])";
  if (!ordinal.empty()) g->ordinal = compile(ordinal);
  g->phone = compile(
      "\\+[0-9]{1,3}(?:[ -]?\\(?[0-9]{1,4}\\)?)(?:[ -]?[0-9]{2,4}){2,}(?![0-9])"
      "|\\(?0[0-9]{1,4}\\)?[ /-][0-9]{2,}(?:[ -][0-9]{2,})*(?![0-9])"
      "|\\(?[0-9]{3}\\)?[ -][0-9]{3}-[0-9]{4}(?![0-9])");
  g->number_only = compile(g->number);
  g->roman = compile("([IVXLCDM]{2,9})(e|ème|er|\\.)?(?![\\p{L}0-9])");
  return g;
}

const Grammar *grammar(const LanguageRules &rules) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<Grammar>> made;
  std::lock_guard<std::mutex> lock(mutex);
  auto &slot = made[rules.code];
  if (!slot) slot.reset(make_grammar(rules));
  return slot.get();
}

// A number as written, in the plain form ICU reads: "-1234.5".
std::string plain_number(const UnicodeString &written, const LanguageRules &rules) {
  std::string out;
  const std::string text = utf8(written);
  const bool comma_decimal = std::string(rules.decimal) == ",";
  // Where the comma is the decimal mark, a point is one only as the loose
  // form ("3.5"), never between groups of three.
  const size_t point = text.find('.');
  const bool loose = comma_decimal && text.find(',') == std::string::npos &&
                     point != std::string::npos && text.find('.', point + 1) == std::string::npos &&
                     text.size() - point - 1 != 3;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= '0' && c <= '9')
      out += text[i];
    else if (c == '-')
      out += '-';
    else if (text.compare(i, 3, "−") == 0)
      out += '-';
    else if (text[i] == rules.decimal[0] || (loose && text[i] == '.'))
      out += '.';
    i += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  }
  return out;
}

class Reader {
 public:
  Reader(const Grammar &g, const UnicodeString &text)
      : g_(g), r_(*g.rules), words_(number_words(g.rules->locale)), text_(text) {}

  std::string run() {
    for (int32_t i = 0; i < text_.length();) {
      int32_t next = i;
      std::string words;
      if (read_at(i, next, words)) {
        emit(words, i, next);
        i = next;
        continue;
      }
      const UChar32 c = text_.char32At(i);
      out_.append(c);
      i += U16_LENGTH(c);
    }
    return utf8(out_);
  }

  // The number in text_ read with a say-as kind; empty when it is not one.
  std::string read_as(const std::string &kind, const std::string &format);

 private:
  const Grammar &g_;
  const LanguageRules &r_;
  const NumberWords &words_;
  UnicodeString text_;
  UnicodeString out_;

  bool cjk() const { return r_.cjk; }
  std::string code() const { return r_.code; }

  // Matches pattern at exactly position at; groups go to the matcher.
  std::unique_ptr<RegexMatcher> match_at(const RegexPattern *pattern, int32_t at) {
    if (!pattern) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<RegexMatcher> m(pattern->matcher(text_, status));
    if (U_FAILURE(status)) return nullptr;
    m->useTransparentBounds(true);
    m->useAnchoringBounds(false);
    m->region(at, text_.length(), status);
    if (U_FAILURE(status) || !m->lookingAt(status) || U_FAILURE(status)) return nullptr;
    return m;
  }

  UnicodeString group(RegexMatcher &m, int n) {
    UErrorCode status = U_ZERO_ERROR;
    UnicodeString out = m.group(n, status);
    return U_FAILURE(status) ? UnicodeString() : out;
  }
  int32_t end(RegexMatcher &m) {
    UErrorCode status = U_ZERO_ERROR;
    return m.end(status);
  }
  static int64_t to_int(const UnicodeString &digits) {
    const std::string text = utf8(digits);
    return text.empty() || text.size() > 9 ? -1 : std::stoll(text);
  }

  UChar32 before(int32_t at) const {
    return at > 0 ? text_.char32At(text_.moveIndex32(at, -1)) : 0;
  }
  UChar32 after(int32_t at) const { return at < text_.length() ? text_.char32At(at) : 0; }

  // The word before position at (after spaces), lower-cased.
  std::string word_before(int32_t at) const {
    int32_t stop = at;
    while (stop > 0 && u_isspace(before(stop))) stop = text_.moveIndex32(stop, -1);
    int32_t start = stop;
    while (start > 0 && is_letter(before(start))) start = text_.moveIndex32(start, -1);
    UnicodeString word(text_, start, stop - start);
    word.toLower();
    return utf8(word);
  }
  // The word after position at (after spaces), as written.
  std::string word_after(int32_t at) const {
    int32_t start = at;
    while (start < text_.length() && u_isspace(after(start))) start = text_.moveIndex32(start, 1);
    int32_t stop = start;
    while (stop < text_.length() && is_letter(after(stop))) stop = text_.moveIndex32(stop, 1);
    return utf8(UnicodeString(text_, start, stop - start));
  }

  // Words replace text_[from, to); spaces keep them apart from letters and
  // digits around them, except in scripts written without spaces.
  void emit(const std::string &words, int32_t from, int32_t to) {
    if (!cjk() && !words.empty() && from > 0 && spaced(before(from))) out_.append(' ');
    out_.append(u(words));
    if (!cjk() && !words.empty() && to < text_.length() && spaced(after(to))) out_.append(' ');
  }
  // Digits and letters of scripts whose words are apart; Hangul, kana and
  // ideographs take a number's counter or particle without a space.
  static bool spaced(UChar32 c) {
    if (u_isdigit(c)) return true;
    if (!is_letter(c)) return false;
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode code = uscript_getScript(c, &status);
    return code != USCRIPT_HANGUL && code != USCRIPT_HAN && code != USCRIPT_HIRAGANA &&
           code != USCRIPT_KATAKANA;
  }

  // A match that took "a.m." ending a sentence leaves its last point to it.
  int32_t sentence_point(int32_t stop) const {
    if (stop == 0 || text_.charAt(stop - 1) != '.') return stop;
    int32_t look = stop;
    while (look < text_.length() && u_isspace(after(look))) look++;
    return look == text_.length() || u_isupper(after(look)) ? stop - 1 : stop;
  }

  bool read_at(int32_t at, int32_t &next, std::string &words);
  bool read_abbreviation(int32_t at, int32_t &next, std::string &words);
  bool read_currency_before(int32_t at, int32_t &next, std::string &words);
  bool read_roman(int32_t at, int32_t &next, std::string &words);

  std::string cardinal(const std::string &number, Gender gender = Gender::kNone);
  std::string digits(const std::string &text);
  std::string plus_word() const;
  std::string counted(const std::string &number, const NounForms &noun);
  std::string money(const std::string &number, const Currency &currency);
  std::string time(int64_t h, int64_t m, int64_t s, const std::string &am_pm, bool with_minutes);
  std::string date(int64_t y, int64_t m, int64_t d, bool two_digit_year, int32_t at);
  std::string ordinal(int64_t value, const std::string &ruleset, int32_t at, int32_t end_at);
  std::string year(int64_t value);
};

std::string Reader::cardinal(const std::string &number, Gender gender) {
  if (code() == "ja" && number.find('.') != std::string::npos) {
    // ICU writes Japanese decimals with a middle dot; they are read "ten".
    const size_t point = number.find('.');
    std::string out = words_.cardinal(number.substr(0, point), gender) + "点";
    for (char c : number.substr(point + 1)) out += words_.cardinal(std::string(1, c));
    return out;
  }
  std::string out = words_.cardinal(number, gender);
  return out.empty() ? digits(number) : out;
}

std::string Reader::plus_word() const {
  static const std::map<std::string, std::string> kPlus = {
      {"en", "plus"},   {"de", "plus"}, {"fr", "plus"},  {"es", "más"},    {"it", "più"},
      {"pt", "mais"},   {"pl", "plus"}, {"tr", "artı"},  {"ru", "плюс"},   {"nl", "plus"},
      {"cs", "plus"},   {"ar", "زائد"}, {"zh-cn", "加"}, {"ja", "プラス"}, {"hu", "plusz"},
      {"ko", "플러스"}, {"hi", "प्लस"}};
  const auto found = kPlus.find(code());
  return found == kPlus.end() ? "+" : found->second;
}

std::string Reader::digits(const std::string &text) {
  std::string out;
  for (char c : text) {
    std::string word;
    if (c >= '0' && c <= '9')
      word = words_.cardinal(std::string(1, c));
    else if (c == '+')
      word = plus_word();
    else if (c == '-' || c == ' ' || c == '/' || c == '(' || c == ')' || c == '.') {
      if (!out.empty() && out.back() != ',' && !cjk()) out += ",";
      continue;
    } else
      word = std::string(1, c);
    if (!out.empty() && !cjk()) out += ' ';
    out += word;
  }
  return out;
}

std::string Reader::counted(const std::string &number, const NounForms &noun) {
  const std::string category = words_.plural_category(std::stod(number));
  const std::string name = noun_form(noun, category);
  if (cjk() && name.rfind("百分之", 0) == 0) return name + cardinal(number);
  return cardinal(number, noun.gender) + (cjk() ? "" : " ") + name;
}

std::string Reader::money(const std::string &number, const Currency &currency) {
  const size_t point = number.find('.');
  const std::string whole = number.substr(0, point);
  std::string fraction = point == std::string::npos ? "" : number.substr(point + 1);
  if (!currency.sub.forms || fraction.size() > 2 || whole.empty() || whole[0] == '-')
    return counted(number, currency.main);
  if (fraction.size() == 1) fraction += '0';
  const bool has_whole = std::stoll(whole) != 0 || fraction.empty() || std::stoll(fraction) == 0;
  const bool has_sub = !fraction.empty() && std::stoll(fraction) != 0;
  std::string out = has_whole ? counted(whole, currency.main) : "";
  if (has_sub) {
    const std::string cents = std::to_string(std::stoll(fraction));
    out += (has_whole ? r_.money_join : "") + counted(cents, currency.sub);
  }
  return out;
}

std::string Reader::year(int64_t value) {
  if (r_.year_rules) {
    const std::string out = words_.year(value);
    if (!out.empty()) return out;
  }
  return cardinal(std::to_string(value));
}

std::string Reader::ordinal(int64_t value, const std::string &ruleset, int32_t at, int32_t end_at) {
  std::string chosen = ruleset;
  if (code() == "de") {
    // German ordinals decline: "am dritten", "der dritte", "dritter März".
    static const char *kDative[] = {"am", "im", "vom", "zum", "beim", "dem", "den", "zur", "des"};
    const std::string before_word = word_before(at);
    bool dative = false;
    for (const char *w : kDative) dative |= before_word == w;
    bool month = false;
    const std::string next = word_after(end_at);
    for (const char *m : r_.months) month |= next == m;
    if (dative)
      chosen = "%spellout-ordinal-n";
    else if (month)
      chosen = "%spellout-ordinal-r";
  }
  return words_.spell(value, chosen);
}

std::string Reader::time(int64_t h, int64_t m, int64_t s, const std::string &am_pm,
                         bool with_minutes) {
  auto hour_words = [&]() {
    if (code() == "zh-cn" && h == 2) return std::string("两");
    if (code() == "ko") {
      const std::string native = words_.spell(h, "%spellout-cardinal-native-attributive");
      if (!native.empty()) return native;
    }
    return cardinal(std::to_string(h), r_.hour_gender);
  };
  std::string minute_words = cardinal(std::to_string(m), r_.minute_noun.gender);
  if (code() == "en" && m > 0 && m < 10) minute_words = "oh " + minute_words;
  if (code() == "zh-cn" && m > 0 && m < 10) minute_words = "零" + minute_words;
  const std::string pattern =
      with_minutes && (m != 0 || code() == "ru" || code() == "cs") ? r_.time_hm : r_.time_h;
  std::string out = replace_all(pattern, "{h}", hour_words());
  out = replace_all(out, "{m}", minute_words);
  if (r_.hour_noun.forms)
    out = replace_all(out, "{H}",
                      noun_form(r_.hour_noun, words_.plural_category(static_cast<double>(h))));
  if (r_.minute_noun.forms)
    out = replace_all(out, "{M}",
                      noun_form(r_.minute_noun, words_.plural_category(static_cast<double>(m))));
  if (!am_pm.empty()) {
    if (m == 0) out = hour_words();
    out += am_pm == "a" || am_pm == "A" ? " a m" : " p m";
  }
  if (s > 0)
    out += (cjk() ? "" : " ") + cardinal(std::to_string(s)) +
           (code() == "zh-cn" ? "秒"
            : code() == "ja"  ? "秒"
                              : "");
  return out;
}

std::string Reader::date(int64_t y, int64_t m, int64_t d, bool two_digit_year, int32_t at) {
  if (m < 1 || m > 12 || d < 1 || d > 31 || !*r_.date_format) return {};
  std::string day;
  if (*r_.day_ruleset) {
    std::string ruleset = r_.day_ruleset;
    if (code() == "de") {
      static const char *kDative[] = {"am", "vom", "zum", "bis", "ab", "seit"};
      for (const char *w : kDative)
        if (word_before(at) == w) ruleset = "%spellout-ordinal-n";
    }
    day = words_.spell(d, ruleset);
  } else if (d == 1 && *r_.first_day) {
    day = r_.first_day;
  } else {
    day = cardinal(std::to_string(d));
  }
  std::string year_words = two_digit_year ? cardinal(std::to_string(y)) : year(y);
  // Russian reads the year of a date as an ordinal in the genitive.
  if (code() == "ru" && !two_digit_year)
    year_words = words_.spell(y, "%spellout-ordinal-masculine-genitive");
  std::string out = replace_all(r_.date_format, "{d}", day);
  out = replace_all(out, "{M}", r_.months[m - 1]);
  return replace_all(out, "{y}", year_words);
}

bool Reader::read_abbreviation(int32_t at, int32_t &next, std::string &words) {
  for (const Abbreviation &a : r_.abbreviations) {
    const UnicodeString written = u(a.written);
    if (text_.compare(at, written.length(), written) != 0) {
      // "Bijv." opening a sentence; one- and two-letter ones ("r.", "г.")
      // capitalised are initials.
      UnicodeString seen(text_, at, written.length()), wanted(written);
      if (written.length() < 4 || seen.toLower() != wanted.toLower() ||
          !u_islower(written.char32At(0)))
        continue;
    }
    const int32_t stop = at + written.length();
    const bool ends_in_dot = written.endsWith(UnicodeString("."));
    if (!ends_in_dot && is_word_char(after(stop))) continue;
    if (ends_in_dot && is_letter(after(stop)) && !u_isupper(written.char32At(0))) continue;
    int32_t look = stop;
    while (look < text_.length() && u_isspace(after(look))) look++;
    if (a.context == 'N' && (look == stop || !u_isupper(after(look)))) continue;
    if (a.context == '#' && !u_isdigit(after(look))) continue;
    words = a.spoken;
    // The abbreviation's point also ended the text: keep the full stop.
    if (ends_in_dot && stop == text_.length()) words += ".";
    next = stop;
    return true;
  }
  return false;
}

bool Reader::read_currency_before(int32_t at, int32_t &next, std::string &words) {
  for (const Currency *c : g_.currencies) {
    const UnicodeString symbol = u(c->symbol);
    if (text_.compare(at, symbol.length(), symbol) != 0) continue;
    if (is_letter(symbol.char32At(0)) && is_letter(before(at))) continue;
    int32_t start = at + symbol.length();
    if (start < text_.length() && (after(start) == ' ' || after(start) == 0xA0)) start++;
    auto m = match_at(g_.number_only.get(), start);
    if (!m) continue;
    next = end(*m);
    const std::string number = plain_number(group(*m, 0), r_);
    // "$3 million": the scale word comes before the currency's name.
    if (code() == "en" || code() == "de" || code() == "nl") {
      static const char *kScales[] = {"thousand",  "million", "billion",    "trillion",
                                      "Millionen", "Million", "Milliarden", "Milliarde",
                                      "miljoen",   "miljard"};
      const std::string scale = word_after(next);
      for (const char *s : kScales)
        if (scale == s) {
          int32_t stop = next;
          while (u_isspace(after(stop))) stop++;
          next = stop + u(scale).length();
          words = cardinal(number) + " " + scale + " " + noun_form(c->main, "other");
          return true;
        }
    }
    words = money(number, *c);
    return true;
  }
  return false;
}

bool Reader::read_roman(int32_t at, int32_t &next, std::string &words) {
  auto m = match_at(g_.roman.get(), at);
  if (!m) return false;
  const int value = roman_value(utf8(group(*m, 1)));
  if (value < 2 || value > 39) return false;
  const std::string suffix = utf8(group(*m, 2));
  int32_t stop = end(*m);
  const std::string previous = word_before(at);
  const std::string following = word_after(stop);
  bool century = false;
  for (const char *w : r_.century_words)
    century |= lower(following) == lower(w) || previous == lower(w);
  // A ruler: a capitalised word right before ("Louis XIV", "Henry VIII").
  int32_t name_end = at;
  while (name_end > 0 && before(name_end) == ' ') name_end--;
  const bool after_name =
      name_end < at && name_end > 0 && is_letter(before(name_end)) && !previous.empty() &&
      u_isupper(text_.char32At(name_end - static_cast<int32_t>(u(previous).length())));
  const RomanStyle style = century      ? r_.roman_century
                           : after_name ? r_.roman_name
                                        : RomanStyle::kLeave;
  if (style == RomanStyle::kLeave) return false;
  bool dot_ordinals = false;
  for (const OrdinalMark &mark : r_.ordinals) dot_ordinals |= std::string(mark.suffix) == ".";
  const bool lower_next = !following.empty() && u_islower(u(following).char32At(0));
  if (suffix == "." && !(dot_ordinals && (century || lower_next))) {
    stop -= 1;  // a full stop, not an ordinal mark
  }
  std::string ruleset = "%spellout-ordinal";
  for (const char *name : {"%spellout-ordinal-masculine", "%spellout-ordinal"})
    if (words_.has_ruleset(name)) {
      ruleset = name;
      break;
    }
  // Russian ordinals agree with the case of "век" after them.
  if (code() == "ru" && lower(following) == "века")
    ruleset = "%spellout-ordinal-masculine-genitive";
  if (code() == "ru" && lower(following) == "веке")
    ruleset = "%spellout-ordinal-masculine-locative";
  const bool as_ordinal = style == RomanStyle::kOrdinal ||
                          (style == RomanStyle::kOrdinalToTen && value <= 10) ||
                          (code() == "fr" && (value == 1 || (century && !suffix.empty())));
  if (as_ordinal) {
    words = words_.spell(value, ruleset);
    if (!century && *r_.roman_article) words = std::string(r_.roman_article) + " " + words;
  } else {
    words = cardinal(std::to_string(value));
  }
  next = stop;
  return !words.empty();
}

bool Reader::read_at(int32_t at, int32_t &next, std::string &words) {
  const UChar32 c = text_.char32At(at);
  const UChar32 previous = before(at);
  if (!u_isdigit(previous) && read_currency_before(at, next, words)) return true;
  if (!is_letter(previous) && !u_isdigit(previous)) {
    if (is_letter(c)) {
      if (read_abbreviation(at, next, words)) return true;
      if (read_roman(at, next, words)) return true;
    }
  }
  const bool sign = (c == '-' || c == 0x2212) && u_isdigit(after(at + 1)) &&
                    (at == 0 || u_isspace(previous) || previous == '(');
  if ((c == '+' || c == '(') && u_isdigit(after(at + 1)) && (cjk() || !is_word_char(previous))) {
    if (auto m = match_at(g_.phone.get(), at)) {
      words = digits(utf8(group(*m, 0)));
      next = end(*m);
      return true;
    }
  }
  if (!u_isdigit(c) && !sign) return false;
  if (u_isdigit(c)) {
    if (auto m = match_at(g_.time.get(), at)) {
      const int64_t h = to_int(group(*m, 1)), mi = to_int(group(*m, 2));
      const int64_t s = group(*m, 3).isEmpty() ? 0 : to_int(group(*m, 3));
      if (h <= 24) {
        words = time(h, mi, s, utf8(group(*m, 4)), true);
        next = sentence_point(end(*m));
        // "14:30 Uhr": the hour's noun is already in the words.
        const std::string noun = word_after(next);
        if (!noun.empty() && std::string(r_.time_h).find(" " + noun) != std::string::npos) {
          while (u_isspace(after(next))) next++;
          next += u(noun).length();
        }
        return true;
      }
    }
    if (auto m = match_at(g_.time_h.get(), at)) {
      const int64_t h = to_int(group(*m, 1));
      const bool minutes = !group(*m, 2).isEmpty();
      if (h <= 24) {
        words = time(h, minutes ? to_int(group(*m, 2)) : 0, 0, "", minutes);
        next = end(*m);
        return true;
      }
    }
    if (auto m = match_at(g_.am_pm_hour.get(), at)) {
      const int64_t h = to_int(group(*m, 1));
      if (h >= 1 && h <= 12) {
        words = time(h, 0, 0, utf8(group(*m, 2)), false);
        next = sentence_point(end(*m));
        return true;
      }
    }
    if (auto m = match_at(g_.iso_date.get(), at)) {
      words = date(to_int(group(*m, 1)), to_int(group(*m, 2)), to_int(group(*m, 3)), false, at);
      next = end(*m);
      if (words.empty()) words = utf8(UnicodeString(text_, at, next - at));
      return true;
    }
    if (auto m = match_at(g_.numeric_date.get(), at)) {
      const UnicodeString a = group(*m, 1), b = group(*m, 3), c3 = group(*m, 4);
      int64_t y = -1, mo = -1, d = -1;
      bool two = false;
      if (a.length() == 4 && c3.length() <= 2) {
        y = to_int(a), mo = to_int(b), d = to_int(c3);
      } else if (a.length() <= 2 && c3.length() != 3) {
        y = to_int(c3), two = c3.length() == 2;
        if (r_.date_order == DateOrder::kMonthDay)
          mo = to_int(a), d = to_int(b);
        else
          d = to_int(a), mo = to_int(b);
      }
      if (y >= 0) {
        next = end(*m);
        // "2024.03.14." ends in the date's own point in Hungarian.
        if (!group(*m, 5).isEmpty() && code() != "hu") next--;
        words = date(y, mo, d, two, at);
        if (words.empty() && (mo < 1 || mo > 12 || d < 1 || d > 31)) {
          next = at;
        } else {
          if (words.empty()) words = utf8(UnicodeString(text_, at, next - at));
          return true;
        }
      }
    }
    if (auto m = match_at(g_.phone.get(), at)) {
      words = digits(utf8(group(*m, 0)));
      next = end(*m);
      return true;
    }
  }
  if (auto m = match_at(g_.currency_after.get(), at)) {
    const std::string symbol = utf8(group(*m, 2));
    for (const Currency *cur : g_.currencies)
      if (symbol == cur->symbol) {
        words = money(plain_number(group(*m, 1), r_), *cur);
        next = end(*m);
        return true;
      }
  }
  if (auto m = match_at(g_.unit_after.get(), at)) {
    const std::string symbol = utf8(group(*m, 2));
    for (const Unit *unit : g_.units)
      if (symbol == unit->symbol) {
        words = counted(plain_number(group(*m, 1), r_), unit->name);
        next = end(*m);
        return true;
      }
  }
  if (u_isdigit(c)) {
    if (auto m = match_at(g_.ordinal.get(), at)) {
      const bool dot = !group(*m, 3).isEmpty();
      const UnicodeString number = group(*m, dot ? 3 : 1);
      const std::string suffix = utf8(group(*m, dot ? 4 : 2));
      for (const OrdinalMark &mark : r_.ordinals)
        if (suffix == mark.suffix) {
          words = ordinal(to_int(number), mark.ruleset, at, end(*m));
          next = end(*m);
          if (words.empty())
            words = utf8(UnicodeString(text_, at, next - at));  // no rule: as written
          return true;
        }
    }
    auto m = match_at(g_.number_only.get(), at);
    const std::string written = m ? utf8(group(*m, 0)) : "";
    const bool plain_run = written.find_first_not_of("0123456789") == std::string::npos;
    // Codes, not quantities: a long run of digits, or one led by a zero.
    if (plain_run && (written.size() >= 10 || (written.size() >= 2 && written[0] == '0'))) {
      words = digits(written);
      next = end(*m);
      return true;
    }
    if (plain_run && written.size() == 4 && (written[0] == '1' || written[0] == '2')) {
      bool cue = false;
      const std::string previous_word = word_before(at);
      for (const char *w : r_.year_cues) cue |= previous_word == w;
      const UChar32 following = after(at + 4);
      cue |= following == 0x5E74 /* 年 */ || following == 0xB144 /* 년 */;
      if (cue) {
        words = year(std::stoll(written));
        next = end(*m);
        return true;
      }
    }
  }
  if (auto m = match_at(g_.number_only.get(), at)) {
    words = cardinal(plain_number(group(*m, 0), r_));
    next = end(*m);
    return true;
  }
  return false;
}

std::string Reader::read_as(const std::string &kind, const std::string &format) {
  const std::string text = utf8(text_);
  if (kind == "characters" || kind == "spell-out" || kind == "verbatim") {
    std::string out;
    for (int32_t i = 0; i < text_.length();) {
      const UChar32 c = text_.char32At(i);
      i += U16_LENGTH(c);
      if (u_isspace(c)) continue;
      std::string item =
          u_isdigit(c) ? cardinal(std::string(1, static_cast<char>('0' + u_charDigitValue(c))))
                       : utf8(UnicodeString(c));
      out += (out.empty() || cjk() ? "" : " ") + item;
    }
    return out;
  }
  if (kind == "digits" || kind == "telephone") return digits(text);
  auto whole = [&](const RegexPattern *pattern) -> std::unique_ptr<RegexMatcher> {
    auto m = match_at(pattern, 0);
    return m && end(*m) == text_.length() ? std::move(m) : nullptr;
  };
  if (kind == "cardinal" || kind == "number") {
    if (auto m = whole(g_.number_only.get())) return cardinal(plain_number(text_, r_));
  }
  if (kind == "ordinal") {
    auto m = whole(g_.number_only.get());
    std::string value = m ? plain_number(text_, r_) : "";
    if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos &&
        value.size() < 10) {
      for (const char *ruleset : {"%spellout-ordinal", "%spellout-ordinal-masculine"}) {
        const std::string out = words_.spell(std::stoll(value), ruleset);
        if (!out.empty()) return out;
      }
    }
  }
  if (kind == "date") {
    static const auto pattern = compile("([0-9]{1,4})[./-]([0-9]{1,2})[./-]([0-9]{1,4})");
    if (auto m = whole(pattern.get())) {
      int64_t p[3] = {to_int(group(*m, 1)), to_int(group(*m, 2)), to_int(group(*m, 3))};
      std::string order = format;
      if (order.empty())
        order = group(*m, 1).length() == 4              ? "ymd"
                : r_.date_order == DateOrder::kMonthDay ? "mdy"
                                                        : "dmy";
      if (order.size() == 3) {
        int64_t y = -1, mo = -1, d = -1;
        for (size_t i = 0; i < 3; i++) (order[i] == 'y' ? y : order[i] == 'm' ? mo : d) = p[i];
        const std::string out = date(y, mo, d, y < 100, 0);
        if (!out.empty()) return out;
      }
    }
  }
  if (kind == "time") {
    if (auto m = whole(g_.time.get())) {
      const std::string out =
          time(to_int(group(*m, 1)), to_int(group(*m, 2)),
               group(*m, 3).isEmpty() ? 0 : to_int(group(*m, 3)), utf8(group(*m, 4)), true);
      if (!out.empty()) return out;
    }
  }
  return run();
}

}  // namespace

bool normalizer_knows(const std::string &language) { return language_rules(language) != nullptr; }

std::string normalize_text(const std::string &text, const std::string &language) {
  const LanguageRules *rules = language_rules(language);
  if (!rules) return text;
  Reader reader(*grammar(*rules), ascii_digits(UnicodeString::fromUTF8(text)));
  return reader.run();
}

std::string say_as(const std::string &text, const std::string &interpret_as,
                   const std::string &format, const std::string &language) {
  const LanguageRules *rules = language_rules(language);
  if (!rules) return text;
  Reader reader(*grammar(*rules), ascii_digits(UnicodeString::fromUTF8(text).trim()));
  return reader.read_as(interpret_as, format);
}
