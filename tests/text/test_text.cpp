// The text front end: the per-language fixture tables, what is kept as
// written, SSML documents, and the lexicon's place before normalisation.
#include "text/language_rules.h"
#include "text/lexicon.h"
#include "text/normalizer.h"
#include "text/text_front_end.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const std::string kCases = std::string(VCLONE_SOURCE_DIR) + "/tests/text/cases";

// Every language of the tables has a fixture file, and every line of each
// reads as written there (input TAB expected).
TEST(Normalizer, FixtureTablesPerLanguage) {
  std::istringstream codes(normalizer_languages());
  int languages = 0;
  for (std::string code; codes >> code; languages++) {
    const std::string path = kCases + "/" + code + ".tsv";
    std::ifstream in(path);
    ASSERT_TRUE(in) << "no fixture file " << path;
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
      const size_t tab = line.find('\t');
      ASSERT_NE(tab, std::string::npos) << path << ":" << number;
      EXPECT_EQ(normalize_text(line.substr(0, tab), code), line.substr(tab + 1))
          << path << ":" << number;
    }
  }
  EXPECT_EQ(languages, 17);
}

TEST(Normalizer, KeepsWhatItDoesNotUnderstand) {
  struct Case {
    const char *name, *language, *text;
  } cases[] = {
      {"plain sentence", "en", "Hello there, how are you?"},
      {"symbols and words", "en", "A & B #hashtag @name ~tilde"},
      {"version-like dots", "en", "Use the v-model."},
      {"polish dates without ordinal rules", "pl", "Spotkajmy się 14.03.2024."},
      {"czech ordinal", "cs", "Skončil 3. v závodě."},
      {"arabic date", "ar", "التاريخ 14/03/2024."},
      {"invalid date stays digits", "de", "Am 45.13.2024 nicht."},
      {"unknown language", "xx", "It costs $5."},
      {"empty", "en", ""},
  };
  for (const Case &c : cases) {
    const std::string out = normalize_text(c.text, c.language);
    if (std::string(c.name) == "invalid date stays digits") {
      // Not a date, but its numbers are still numbers: nothing is dropped.
      EXPECT_NE(out.find("fünfundvierzig"), std::string::npos) << out;
      continue;
    }
    EXPECT_EQ(out, c.text) << c.name;
  }
}

TEST(Normalizer, KindsInEnglish) {
  struct Case {
    const char *kind, *text, *expected;
  } cases[] = {
      {"cardinal", "42", "forty-two"},
      {"negative", "-7", "minus seven"},
      {"decimal", "0.25", "zero point two five"},
      {"thousands", "12,000", "twelve thousand"},
      {"ordinal", "3rd", "third"},
      {"year after a cue", "since 1066", "since ten sixty-six"},
      {"quantity, not a year", "1066 people", "one thousand sixty-six people"},
      {"cents only", "$0.99", "ninety-nine cents"},
      {"one of a unit", "1 km", "one kilometer"},
      {"digits of a code", "0042", "zero zero four two"},
      {"o'clock", "at 9:00", "at nine o'clock"},
      {"ruler", "Henry VIII", "Henry the eighth"},
      {"roman numeral alone", "Type IV", "Type the fourth"},
      {"pronoun I untouched", "Then I left", "Then I left"},
      {"title before name only", "Mr. Bean", "Mister Bean"},
      {"digits in other scripts", "٣", "three"},
  };
  for (const Case &c : cases) EXPECT_EQ(normalize_text(c.text, "en"), c.expected) << c.kind;
}

TEST(Normalizer, SayAsKinds) {
  struct Case {
    const char *kind, *format, *text, *expected;
  } cases[] = {
      {"characters", "", "ABC", "A B C"},
      {"spell-out", "", "a1", "a one"},
      {"cardinal", "", "1,234", "one thousand two hundred thirty-four"},
      {"ordinal", "", "5", "fifth"},
      {"digits", "", "2024", "two zero two four"},
      {"telephone", "", "555-0100", "five five five, zero one zero zero"},
      {"date", "dmy", "14/03/2024", "March fourteenth, twenty twenty-four"},
      {"date", "", "2024-03-14", "March fourteenth, twenty twenty-four"},
      {"time", "", "7:45", "seven forty-five"},
      {"cardinal", "", "not a number", "not a number"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(say_as(c.text, c.kind, c.format, "en"), c.expected) << c.kind << " " << c.text;
}

std::vector<TextSpan> spans_of(const std::string &document, std::string *error = nullptr,
                               const Lexicon *lexicon = nullptr) {
  TextOptions options;
  options.ssml = true;
  options.lexicon = lexicon;
  std::vector<TextSpan> spans;
  std::string message;
  const bool ok = prepare_text(document, "en", options, spans, message);
  if (error) *error = ok ? "" : message;
  return spans;
}

TEST(Ssml, SpansWithLanguageRateAndBreaks) {
  const auto spans = spans_of(
      "<speak>Pay $5 now.<break time=\"750ms\"/>"
      "<prosody rate=\"slow\">Slowly <say-as interpret-as=\"characters\">AB</say-as>.</prosody>"
      "<lang xml:lang=\"de-DE\">Am 3. Mai.</lang><sub alias=\"World Wide Web\">WWW</sub>"
      "<p>One.</p><s>Two <emphasis>words</emphasis>.</s><break strength=\"strong\"/></speak>");
  ASSERT_EQ(spans.size(), 7u);
  EXPECT_EQ(spans[0].text, "Pay five dollars now.");
  EXPECT_LT(spans[0].pause_before, 0);
  EXPECT_EQ(spans[1].text, "Slowly A B.");
  EXPECT_FLOAT_EQ(spans[1].speed, 0.75f);
  EXPECT_FLOAT_EQ(spans[1].pause_before, 0.75f);
  EXPECT_EQ(spans[2].text, "Am dritten Mai.");
  EXPECT_EQ(spans[2].language, "de");
  EXPECT_EQ(spans[3].text, "World Wide Web");
  EXPECT_FLOAT_EQ(spans[3].speed, 1.0f);
  EXPECT_EQ(spans[4].text, "One.");
  EXPECT_EQ(spans[5].text, "Two words.");
  EXPECT_EQ(spans[6].text, "");  // the closing break: silence only
  EXPECT_FLOAT_EQ(spans[6].pause_before, 0.75f);
}

TEST(Ssml, RatesAsPercentAndMultiplier) {
  struct Case {
    const char *rate;
    float speed;
  } cases[] = {{"80%", 0.8f}, {"+25%", 1.25f}, {"1.5", 1.5f}, {"x-fast", 1.75f}, {"20", 4.0f}};
  for (const Case &c : cases) {
    const auto spans =
        spans_of(std::string("<speak><prosody rate=\"") + c.rate + "\">Hi.</prosody></speak>");
    ASSERT_EQ(spans.size(), 1u) << c.rate;
    EXPECT_FLOAT_EQ(spans[0].speed, c.speed) << c.rate;
  }
}

TEST(Ssml, MalformedAndRefusedDocuments) {
  struct Case {
    const char *name, *document, *message;
  } cases[] = {
      {"unclosed tag", "<speak>Hello <s>there</speak>",
       "Malformed SSML: Opening and ending tag mismatch: s line 1 and speak at line 1, column"},
      {"not xml", "Hello", "Malformed SSML: Start tag expected, '<' not found at line 1, column 1"},
      {"second line", "<speak>\n<break time=\"1s\">\n</speak>", "at line 3"},
      {"wrong root", "<voice>Hi</voice>", "root element must be <speak>, not <voice>"},
      {"bad break", "<speak><break time=\"soon\"/></speak>", "expected a duration such as 500ms"},
      {"bad strength", "<speak><break strength=\"huge\"/></speak>", "expected none, x-weak"},
      {"bad rate", "<speak><prosody rate=\"-50\">x</prosody></speak>", "expected x-slow"},
      {"external entity not fetched",
       "<!DOCTYPE speak [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><speak>&x;</speak>", ""},
  };
  for (const Case &c : cases) {
    std::string error;
    const auto spans = spans_of(c.document, &error);
    if (!*c.message) {
      for (const TextSpan &span : spans) EXPECT_EQ(span.text.find("root:"), std::string::npos);
      continue;
    }
    EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
  }
}

class LexiconFile : public ::testing::Test {
 protected:
  std::string path = ::testing::TempDir() + "/lexicon_test.tsv";
  void write(const std::string &content) { std::ofstream(path, std::ios::binary) << content; }
  void TearDown() override { std::remove(path.c_str()); }
};

TEST_F(LexiconFile, ReplacesWholeWordsCaseInsensitivelyBeforeNormalising) {
  write(
      "# names\nen\tSQL\tsequel\nen\tDr.\tDoctor Who's\nen\t5K\tfive kay\n*\tvclone\tvee clone\n"
      "de\tSQL\tes ku el\n");
  Lexicon lexicon;
  std::string error;
  ASSERT_TRUE(lexicon.load(path, error)) << error;
  TextOptions options;
  options.lexicon = &lexicon;
  struct Case {
    const char *name, *language, *text, *expected;
  } cases[] = {
      {"case-insensitive", "en", "sql and Sql", "sequel and sequel"},
      {"whole words only", "en", "SQLite mySQL", "SQLite mySQL"},
      {"before the normaliser", "en", "Run a 5K race", "Run a five kay race"},
      {"with its point", "en", "Dr. No", "Doctor Who's No"},
      {"every language", "fr", "vclone parle", "vee clone parle"},
      {"per language", "de", "SQL lernen", "es ku el lernen"},
      {"others normalised after", "en", "sql costs $2", "sequel costs two dollars"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(prepare_plain(c.text, c.language, options), c.expected) << c.name;
}

TEST_F(LexiconFile, ErrorsNameFileAndLine) {
  struct Case {
    const char *name, *content, *message;
  } cases[] = {
      {"missing field", "en\tok\tfine\nen\tbroken\n",
       ":2: expected language<TAB>word<TAB>replacement"},
      {"phrase", "en\ttwo words\tx\n", ":1: the word must be one word"},
      {"bad code", "EN!\tword\tx\n", ":1: bad language code 'EN!'"},
      {"not utf-8", "en\t\xff\xfe\tx\n", ":1: not UTF-8"},
      {"empty replacement", "en\tword\t\n", ":1: empty replacement"},
  };
  for (const Case &c : cases) {
    write(c.content);
    Lexicon lexicon;
    std::string error;
    EXPECT_FALSE(lexicon.load(path, error)) << c.name;
    EXPECT_EQ(error.rfind(path, 0), 0u) << error;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
    EXPECT_TRUE(lexicon.empty()) << c.name;
  }
  Lexicon lexicon;
  std::string error;
  EXPECT_FALSE(lexicon.load(path + ".missing", error));
  EXPECT_NE(error.find("cannot be read"), std::string::npos);
}

}  // namespace
