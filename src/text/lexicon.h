// A pronunciation lexicon: words a user wants read otherwise ("SQL" as
// "sequel", a name as it sounds), replaced whole and case-insensitively before
// the normaliser sees the text.
#pragma once

#include <map>
#include <string>

class Lexicon {
 public:
  // Adds the entries of a UTF-8 file of "language<TAB>word<TAB>replacement"
  // lines (language "*" for all; blank lines and lines starting with '#'
  // skipped). On failure returns false with "path:line: reason" in error and
  // adds nothing.
  bool load(const std::string &path, std::string &error);
  // Each whole word of text found for language (or "*") replaced.
  std::string apply(const std::string &text, const std::string &language) const;
  bool empty() const { return entries_.empty(); }

 private:
  // language → case-folded word → replacement
  std::map<std::string, std::map<std::string, std::string>> entries_;
};
