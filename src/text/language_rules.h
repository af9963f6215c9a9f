// What the normaliser knows of each language: how numbers are written in it
// (separators, date order, ordinal marks) and the words it reads them with
// (months, units, currencies, abbreviations). One table per language, in
// language_rules.cpp.
#pragma once

#include "text/number_words.h"

#include <string>
#include <vector>

// A noun's forms by plural category, separated by '|': "one|other",
// "one|few|many" (few doubles as the fractional form) or "one|few|many|other".
struct NounForms {
  Gender gender;
  const char *forms;
};

struct Unit {
  const char *symbol;  // as written after a number: "km", "°C", "%"
  NounForms name;
};

struct Currency {
  const char *symbol;  // "$", "€", "zł", "CHF"
  NounForms main;
  NounForms sub;  // forms nullptr: amounts are read as decimals
};

struct Abbreviation {
  const char *written;  // exactly as written, with its dots
  const char *spoken;
  // ' ' always; 'N' only before a capitalised word ("M. Dupont"); '#' only
  // before a number ("No. 5", where "No." alone is a word).
  char context;
};

// How a Roman numeral after a name or with a century word is read.
enum class RomanStyle { kLeave, kOrdinal, kOrdinalToTen, kCardinal };

enum class DateOrder { kMonthDay, kDayMonth, kYearMonth };

struct OrdinalMark {
  const char *suffix;   // written after the digits: "st", "e", "ª"; "." for "3."
  const char *ruleset;  // ICU rule set that reads it
};

struct LanguageRules {
  const char *code;
  const char *locale;
  const char *decimal;  // "." or ","
  const char *group;    // thousands separators, as an ICU set body
  bool cjk;             // no spaces between words, numbers in the CJK system
  DateOrder date_order;
  const char *months[12];
  const char *date_format;              // {d} day, {M} month, {y} year
  const char *day_ruleset;              // ordinal rule set for the day; "" reads a cardinal
  const char *first_day;                // the 1st when days are cardinals ("premier"); "" none
  bool year_rules;                      // years through ICU's year rules (en "nineteen ninety")
  std::vector<const char *> year_cues;  // lower-case words after which 4 digits are a year
  std::vector<OrdinalMark> ordinals;
  const char *time_hm;  // {h} {m}, with {H} {M} for the hour and minute nouns
  const char *time_h;
  Gender hour_gender;
  NounForms hour_noun, minute_noun;
  const char *money_join;  // between the main and the subunit amount
  std::vector<Unit> units;
  std::vector<Currency> currencies;
  std::vector<Abbreviation> abbreviations;
  RomanStyle roman_name, roman_century;
  const char *roman_article;  // before a ruler's ordinal: "the", "der"
  std::vector<const char *> century_words;
};

// NULL for a language without a table.
const LanguageRules *language_rules(const std::string &code);
// The codes that have tables, space-separated.
std::string normalizer_languages();
