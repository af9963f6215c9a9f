// Numbers as words through ICU's rule-based spell-out, which has rules for
// every language of the vocabulary: cardinals with gender and case, ordinals
// where the language's rules define them, years, and plural categories for
// choosing a noun's form.
#pragma once

#include <cstdint>
#include <string>

// Grammatical gender of the noun a number counts; kNone reads the number
// alone ("eins", "veintiuno").
enum class Gender { kNone, kMasculine, kFeminine, kNeuter };

class NumberWords {
 public:
  // locale: an ICU locale name ("en", "zh", "pt").
  explicit NumberWords(const std::string &locale);
  ~NumberWords();
  NumberWords(const NumberWords &) = delete;
  NumberWords &operator=(const NumberWords &) = delete;

  // Integer or decimal written with '.' as the decimal point ("-12", "3.05").
  // Empty when ICU cannot read it.
  std::string cardinal(const std::string &number, Gender gender = Gender::kNone) const;
  std::string year(int64_t value) const;
  // ruleset: a name such as "%spellout-ordinal-feminine"; empty when the
  // language has no such rule.
  std::string spell(int64_t value, const std::string &ruleset) const;
  bool has_ruleset(const std::string &ruleset) const;
  // ICU's plural category of a count in this language: "one", "few", ...
  std::string plural_category(double value) const;

 private:
  struct Impl;
  Impl *impl_;
};

// The formatter of a language, made once per thread (ICU formatters are not
// documented as safe to share while formatting).
const NumberWords &number_words(const std::string &locale);
