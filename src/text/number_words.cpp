#include "text/number_words.h"

#include <unicode/plurrule.h>
#include <unicode/rbnf.h>

#include <cstdlib>
#include <map>
#include <memory>

namespace {

// Some rule sets (German, Dutch, Italian, Hungarian) put soft hyphens between
// the parts of a compound; they are not spoken.
std::string plain_utf8(const icu::UnicodeString &text) {
  icu::UnicodeString copy(text);
  copy.findAndReplace(icu::UnicodeString(static_cast<UChar>(0x00AD)), icu::UnicodeString());
  std::string out;
  copy.toUTF8String(out);
  return out;
}

}  // namespace

struct NumberWords::Impl {
  std::unique_ptr<icu::RuleBasedNumberFormat> format;
  std::unique_ptr<icu::PluralRules> plurals;
  icu::UnicodeString cardinal_masculine, cardinal_feminine, cardinal_neuter, plain;
};

NumberWords::NumberWords(const std::string &locale) : impl_(new Impl) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Locale loc(locale.c_str());
  impl_->format.reset(new icu::RuleBasedNumberFormat(icu::URBNF_SPELLOUT, loc, status));
  if (U_FAILURE(status)) impl_->format.reset();
  status = U_ZERO_ERROR;
  impl_->plurals.reset(icu::PluralRules::forLocale(loc, status));
  if (U_FAILURE(status)) impl_->plurals.reset();
  // A language names its genders in one of two ways ("-masculine" or, in
  // German, "-masculine" beside "-neuter"); the first rule set present wins.
  auto pick = [&](std::initializer_list<const char *> names) {
    for (const char *name : names)
      if (has_ruleset(name)) return icu::UnicodeString(name);
    return icu::UnicodeString();
  };
  impl_->plain = pick({"%spellout-numbering"});
  impl_->cardinal_masculine = pick({"%spellout-cardinal-masculine", "%spellout-cardinal"});
  impl_->cardinal_feminine = pick({"%spellout-cardinal-feminine", "%spellout-cardinal"});
  impl_->cardinal_neuter = pick({"%spellout-cardinal-neuter", "%spellout-cardinal"});
}

NumberWords::~NumberWords() { delete impl_; }

bool NumberWords::has_ruleset(const std::string &ruleset) const {
  if (!impl_->format) return false;
  const icu::UnicodeString wanted = icu::UnicodeString::fromUTF8(ruleset);
  for (int32_t i = 0; i < impl_->format->getNumberOfRuleSetNames(); i++)
    if (impl_->format->getRuleSetName(i) == wanted) return true;
  return false;
}

std::string NumberWords::cardinal(const std::string &number, Gender gender) const {
  if (!impl_->format) return {};
  const icu::UnicodeString *ruleset = &impl_->plain;
  if (gender == Gender::kMasculine) ruleset = &impl_->cardinal_masculine;
  if (gender == Gender::kFeminine) ruleset = &impl_->cardinal_feminine;
  if (gender == Gender::kNeuter) ruleset = &impl_->cardinal_neuter;
  if (ruleset->isEmpty()) ruleset = &impl_->plain;
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString out;
  icu::FieldPosition position;
  if (number.find('.') == std::string::npos) {
    char *end = nullptr;
    const long long value = std::strtoll(number.c_str(), &end, 10);
    if (*end != '\0' || number.size() > 18) return {};
    impl_->format->format(static_cast<int64_t>(value), *ruleset, out, position, status);
  } else {
    if (number.size() > 17) return {};
    impl_->format->format(std::strtod(number.c_str(), nullptr), *ruleset, out, position, status);
  }
  return U_FAILURE(status) ? std::string() : plain_utf8(out);
}

std::string NumberWords::year(int64_t value) const {
  return spell(value, "%spellout-numbering-year");
}

std::string NumberWords::spell(int64_t value, const std::string &ruleset) const {
  if (!impl_->format || !has_ruleset(ruleset)) return {};
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString out;
  icu::FieldPosition position;
  impl_->format->format(value, icu::UnicodeString::fromUTF8(ruleset), out, position, status);
  return U_FAILURE(status) ? std::string() : plain_utf8(out);
}

std::string NumberWords::plural_category(double value) const {
  if (!impl_->plurals) return "other";
  std::string out;
  impl_->plurals->select(value).toUTF8String(out);
  return out;
}

const NumberWords &number_words(const std::string &locale) {
  thread_local std::map<std::string, std::unique_ptr<NumberWords>> made;
  auto &slot = made[locale];
  if (!slot) slot.reset(new NumberWords(locale));
  return *slot;
}
