// Text as it is written (numbers, dates, times, money, units, abbreviations,
// Roman numerals, phone numbers) turned into the words a speaker says, in one
// of the vocabulary's languages. Anything not understood is kept as written.
#pragma once

#include <string>

// False for a language without rules (see normalizer_languages()).
bool normalizer_knows(const std::string &language);

// The spoken form of UTF-8 text; the text unchanged for an unknown language.
std::string normalize_text(const std::string &text, const std::string &language);

// SSML's <say-as>: interpret_as is characters, spell-out, cardinal, ordinal,
// digits, date, time or telephone; format orders a date ("mdy", "dmy",
// "ymd"). The text as normalize_text reads it for any other kind, or when
// it is not of the kind.
std::string say_as(const std::string &text, const std::string &interpret_as,
                   const std::string &format, const std::string &language);
