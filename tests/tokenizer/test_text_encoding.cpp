#include "support/archive_fixture.h"
#include "tokenizer/bpe_tokenizer.h"

#include <gtest/gtest.h>

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
  static const BpeTokenizer tokenizer = make_tokenizer(
      {{"[en]", EN}, {"[SPACE]", SPACE}, {"[zh-cn]", ZH}, {"h", H}, {"e", E}, {"l", L}, {"o", O},
       {"he", HE}, {"ll", LL}, {"hell", HELL}, {"hello", HELLO}},
      {{"h", "e"}, {"l", "l"}, {"he", "ll"}, {"hell", "o"}});
  return tokenizer;
}

Ids encode_quietly(const BpeTokenizer &tokenizer, const std::string &text, const std::string &language) {
  testing::internal::CaptureStderr();
  Ids ids = encode(tokenizer, text, language);
  testing::internal::GetCapturedStderr();
  return ids;
}

}  // namespace

TEST(NormalizeText, LowerCasesAndCollapsesWhiteSpace) {
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
      {"bytes from 128 kept", "\xc3\x84Z \xff", "\xc3\x84z \xff"},
      {"NUL kept", "A\0B"s, "a\0b"s},
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
      {"typed [SPACE] is lower-cased into plain text", "[SPACE]", "en",
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

TEST(Encode, LogShowsTextAndLanguageAsGiven) {
  testing::internal::CaptureStderr();
  encode(hello_tokenizer(), "  Hello ", "zh");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[tokenizer] Encoded '  Hello ' (zh) \xe2\x86\x92 2 tokens\n");
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
