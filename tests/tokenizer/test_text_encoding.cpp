#include "support/archive_fixture.h"
#include "tokenizer/bpe_tokenizer.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::string_literals;

namespace {

using Ids = std::vector<int32_t>;
using Pieces = std::vector<std::string>;

BpeTokenizer make_tokenizer(const std::vector<std::pair<std::string, int32_t>> &vocab,
                            const std::vector<std::pair<std::string, std::string>> &merges) {
  BpeTokenizer tokenizer;
  for (const auto &[token, id] : vocab) tokenizer.vocab[token] = id;
  tokenizer.merges = merges;
  for (size_t r = 0; r < merges.size(); r++)
    tokenizer.merge_ranks[merges[r].first + " " + merges[r].second] = static_cast<int32_t>(r);
  return tokenizer;
}

enum : int32_t { EN = 10, SPACE = 11, ZH = 12, H = 20, E = 21, L = 22, O = 23 };
enum : int32_t { HE = 30, LL = 31, HELL = 32, HELLO = 33, UNK = 1 };

const BpeTokenizer &hello_tokenizer() {
  static const BpeTokenizer tokenizer =
      make_tokenizer({{"[en]", EN},
                      {"[SPACE]", SPACE},
                      {"[zh-cn]", ZH},
                      {"h", H},
                      {"e", E},
                      {"l", L},
                      {"o", O},
                      {"he", HE},
                      {"ll", LL},
                      {"hell", HELL},
                      {"hello", HELLO}},
                     {{"h", "e"}, {"l", "l"}, {"he", "ll"}, {"hell", "o"}});
  return tokenizer;
}

Ids encode_quietly(const BpeTokenizer &tokenizer, const std::string &text,
                   const std::string &language) {
  testing::internal::CaptureStderr();
  Ids ids = encode(tokenizer, text, language);
  testing::internal::GetCapturedStderr();
  return ids;
}

}  // namespace

TEST(NormalizeText, LowerCasesComposesAndCollapsesWhiteSpace) {
  struct Case {
    const char *name;
    std::string text;
    std::string expected;
  } cases[] = {
      {"empty", "", ""},
      {"white space only", " \t\r\n ", ""},
      {"runs collapsed, ends trimmed", "  Hello \t\r\n WORLD  ", "hello world"},
      {"vertical tab and form feed are ordinary", "a\vB\fc", "a\vb\fc"},
      {"digits and punctuation kept", "A1, B2! [SPACE]", "a1, b2! [space]"},
      {"NUL kept", "A\0B"s, "a\0b"s},
      {"German", "\xc3\x84RGER \xc3\x9c\xc3\x9f", "\xc3\xa4rger \xc3\xbc\xc3\x9f"},  // ÄRGER Üß
      {"Greek, final sigma", "\xce\xa3\xce\x9f\xce\xa6\xce\x9f\xce\xa3 \xce\xa3",
       "\xcf\x83\xce\xbf\xcf\x86\xce\xbf\xcf\x82 \xcf\x83"},  // ΣΟΦΟΣ Σ -> σοφος σ
      {"Cyrillic", "\xd0\x9c\xd0\x9e\xd0\xa1\xd0\x9a\xd0\x92\xd0\x90",
       "\xd0\xbc\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0"},  // МОСКВА
      {"Turkish dotted capital I", "\xc4\xb0stanbul", "istanbul"},
      {"decomposed accent composed", "Cafe\xcc\x81 E\xcc\x81", "caf\xc3\xa9 \xc3\xa9"},
      {"already composed kept", "caf\xc3\xa9", "caf\xc3\xa9"},
      {"CJK and emoji kept", "\xe4\xb8\x96 \xf0\x9f\x98\x80", "\xe4\xb8\x96 \xf0\x9f\x98\x80"},
      // Each byte that begins no well-formed sequence becomes U+FFFD.
      {"stray bytes replaced",
       "A\xff\x80"
       "b",
       "a\xef\xbf\xbd\xef\xbf\xbd"
       "b"},
      {"sequence cut short", "\xe2\x82 x", "\xef\xbf\xbd\xef\xbf\xbd x"},
      {"overlong slash", "\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"surrogate", "\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(normalize_text(c.text), c.expected);
  }
}

TEST(BpeSplit, MergesByRank) {
  struct Case {
    const char *name;
    std::string segment;
    Pieces expected;
  } cases[] = {
      {"empty", "", {}},
      {"one symbol", "h", {"h"}},
      {"whole word", "hello", {"hello"}},
      {"every occurrence merged", "hellhello", {"hell", "hello"}},
      {"overlap: leftmost pair wins", "lll", {"ll", "l"}},
      {"no rule applies", "oh", {"o", "h"}},
      {"three-byte character is one symbol", "\xe2\x82\xac", {"\xe2\x82\xac"}},
      {"four-byte character is one symbol", "\xf0\x9f\x98\x80o", {"\xf0\x9f\x98\x80", "o"}},
      {"lone continuation byte", "\x80llo", {"\x80", "ll", "o"}},
      {"invalid lead byte", "\xf8\xe2\x82\xac", {"\xf8", "\xe2\x82\xac"}},
      {"sequence cut short by the end", "he\xe2\x82", {"he", "\xe2\x82"}},
      {"lead byte swallows what follows", "\xe2he", {"\xe2he"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bpe_split(hello_tokenizer(), c.segment), c.expected);
  }
}

// The lowest rank wins wherever it stands in the segment.
TEST(BpeSplit, LowerRankMergesFirst) {
  BpeTokenizer ab_first = make_tokenizer({}, {{"a", "b"}, {"b", "c"}});
  BpeTokenizer bc_first = make_tokenizer({}, {{"b", "c"}, {"a", "b"}});
  EXPECT_EQ(bpe_split(ab_first, "abc"), (Pieces{"ab", "c"}));
  EXPECT_EQ(bpe_split(bc_first, "abc"), (Pieces{"a", "bc"}));
  EXPECT_EQ(bpe_split(BpeTokenizer{}, "abc"), (Pieces{"a", "b", "c"}));
}

TEST(Encode, Ids) {
  struct Case {
    const char *name;
    std::string text;
    std::string language;
    Ids expected;
  } cases[] = {
      {"collapsed white space", "  Hello   HELLO ", "en", {EN, HELLO, SPACE, HELLO}},
      {"empty text", "", "en", {EN}},
      {"white space only", " \t\n", "en", {EN}},
      {"zh becomes zh-cn", "hello", "zh", {ZH, HELLO}},
      {"zh-cn kept", "hello", "zh-cn", {ZH, HELLO}},
      {"upper-case tag merged with the text", "hello", "EN", {UNK, UNK, UNK, UNK, HELLO}},
      {"unknown tag", "", "fr", {UNK, UNK, UNK, UNK}},
      {"known lower-case token inside text", "Hello[en]", "en", {EN, HELLO, EN}},
      {"typed [SPACE] is lower-cased into plain text",
       "[SPACE]",
       "en",
       {EN, UNK, UNK, UNK, UNK, UNK, E, UNK}},
      {"unknown bracketed word", "[xx]hello", "en", {EN, UNK, UNK, UNK, UNK, HELLO}},
      {"stray ]", "he]llo", "en", {EN, HE, UNK, LL, O}},
      {"[ without ]", "he[llo", "en", {EN, HE, UNK, LL, O}},
      {"[ before a later ]", "he[ll ]o", "en", {EN, HE, UNK, LL, SPACE, UNK, O}},
      {"three-byte character", "\xe2\x82\xac", "en", {EN, UNK}},
      {"three-byte character inside a word", "h\xe2\x82\xacllo", "en", {EN, H, UNK, LL, O}},
      {"lone continuation byte", "\x80", "en", {EN, UNK}},
      {"sequence cut short by a bracket", "\xe2[en]", "en", {EN, UNK, EN}},
      {"NUL byte", "h\0e"s, "en", {EN, H, UNK, E}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encode_quietly(hello_tokenizer(), c.text, c.language), c.expected);
  }
}

// Capitalised and decomposed text finds the lower-case, composed tokens of
// a multilingual vocabulary; before, only A-Z was lower-cased.
TEST(Encode, UnicodeTextFindsLowerCaseTokens) {
  const std::vector<std::string> letters = {
      "\xc3\xa4", "r",        "g",        "e",                                 // ä r g e
      "\xce\xb1", "\xce\xb8", "\xce\xb7", "\xce\xbd", "\xcf\x83", "\xcf\x82",  // α θ η ν σ ς
      "\xd0\xbc", "\xd0\xbe", "\xd1\x81", "\xd0\xba", "\xd0\xb2", "\xd0\xb0",  // м о с к в а
      "i",        "s",        "t",        "a",        "n",        "b",
      "u",        "l",        "c",        "f",        "\xc3\xa9"};  // ... é
  std::vector<std::pair<std::string, int32_t>> vocab = {{"[en]", EN}, {"[SPACE]", SPACE}};
  for (size_t i = 0; i < letters.size(); i++)
    vocab.push_back({letters[i], 100 + static_cast<int32_t>(i)});
  BpeTokenizer tokenizer = make_tokenizer(vocab, {});
  auto id = [&](const char *letter) {
    return static_cast<int32_t>(
        100 + (std::find(letters.begin(), letters.end(), letter) - letters.begin()));
  };
  struct Case {
    const char *name;
    std::string text;
    Ids expected;
  } cases[] = {
      {"German", "\xc3\x84rger", {EN, id("\xc3\xa4"), id("r"), id("g"), id("e"), id("r")}},
      {"capitalised Greek",
       "\xce\x91\xce\x98\xce\x97\xce\x9d\xce\x91",
       {EN, id("\xce\xb1"), id("\xce\xb8"), id("\xce\xb7"), id("\xce\xbd"), id("\xce\xb1")}},
      {"Greek final sigma",
       "\xce\x91\xce\xa3 \xce\xa3\xce\x91",
       {EN, id("\xce\xb1"), id("\xcf\x82"), SPACE, id("\xcf\x83"), id("\xce\xb1")}},
      {"Cyrillic",
       "\xd0\x9c\xd0\x9e\xd0\xa1\xd0\x9a\xd0\x92\xd0\x90",
       {EN, id("\xd0\xbc"), id("\xd0\xbe"), id("\xd1\x81"), id("\xd0\xba"), id("\xd0\xb2"),
        id("\xd0\xb0")}},
      {"Turkish",
       "\xc4\xb0stanbul",
       {EN, id("i"), id("s"), id("t"), id("a"), id("n"), id("b"), id("u"), id("l")}},
      {"decomposed accent", "CAFE\xcc\x81", {EN, id("c"), id("a"), id("f"), id("\xc3\xa9")}},
      {"invalid byte is one unknown piece",
       "a\xff"
       "a",
       {EN, id("a"), UNK, id("a")}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encode_quietly(tokenizer, c.text, "en"), c.expected);
  }
}

TEST(Encode, LogShowsTextAndLanguageAsGiven) {
  struct Case {
    const char *name;
    std::string text;
    std::string language;
    std::string line;
  } cases[] = {
      {"plain", "  Hello ", "zh", "[tokenizer] Encoded '  Hello ' (zh) \xe2\x86\x92 2 tokens\n"},
      // A text read from standard input must stay on one log line.
      {"line breaks and tabs", "he\nl\r\nlo\t", "en",
       "[tokenizer] Encoded 'he\\nl\\r\\nlo\\t' (en) \xe2\x86\x92 7 tokens\n"},
      {"other controls, backslash", "h\x1b[0m\\\x7f", "e\n",
       "[tokenizer] Encoded 'h\\x1b[0m\\\\\\x7f' (e\\n) \xe2\x86\x92 11 tokens\n"},
      {"Unicode line separator and C1",
       "a\xe2\x80\xa8"
       "b\xc2\x85",
       "en", "[tokenizer] Encoded 'a\\u2028b\\u0085' (en) \xe2\x86\x92 5 tokens\n"},
      {"invalid UTF-8 shown as bytes, valid kept", "\xff\xc3\xa9", "en",
       "[tokenizer] Encoded '\\xff\xc3\xa9' (en) \xe2\x86\x92 3 tokens\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    encode(hello_tokenizer(), c.text, c.language);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
  }
}

// The path the engine takes: a vocabulary file loaded, then a text encoded.
TEST(Encode, WithLoadedVocabulary) {
  fixture::TempDir dir;
  std::string path = dir.file("vocab.json");
  fixture::write_file(path,
                      "{\"model\": {\"type\": \"BPE\", \"vocab\": {\"[en]\": 10, \"[SPACE]\": 11, "
                      "\"h\": 20, \"i\": 21, \"hi\": 22}, \"merges\": [\"h i\"]}}");
  BpeTokenizer tokenizer;
  testing::internal::CaptureStderr();
  ASSERT_EQ(load_vocabulary(&tokenizer, path.c_str()), 0);
  Ids ids = encode(tokenizer, "Hi hI", "en");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ids, (Ids{10, 22, 11, 22}));
}
