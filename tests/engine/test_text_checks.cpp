// What counts as nothing to speak.
#include "engine/pieces.h"

#include <gtest/gtest.h>

TEST(BlankText, UnicodeWhiteSpaceAndInvisibleCharacters) {
  struct Case {
    const char *name;
    const char *text;
    bool blank;
  } cases[] = {
      {"empty", "", true},
      {"ASCII white space", " \t\r\n\v\f", true},
      {"no-break space", "\xC2\xA0", true},
      {"ideographic space", "\xE3\x80\x80\xE3\x80\x80", true},
      {"line and paragraph separators", "\xE2\x80\xA8\xE2\x80\xA9", true},
      {"zero-width space and BOM", "\xE2\x80\x8B\xEF\xBB\xBF", true},
      {"a letter among spaces", "\xC2\xA0 a \xE3\x80\x80", false},
      {"punctuation", ".", false},
      {"a CJK character", "\xE4\xBD\xA0", false},
      {"a malformed byte is spoken", "\xFF", false},
  };
  for (const Case &c : cases) EXPECT_EQ(is_blank(c.text), c.blank) << c.name;
}
