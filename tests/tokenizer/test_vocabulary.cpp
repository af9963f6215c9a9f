#include "support/archive_fixture.h"
#include "tokenizer/bpe_tokenizer.h"

#include <gtest/gtest.h>

#include <map>

using namespace std::string_literals;

namespace {

struct Loaded {
  int result;
  std::string error;
  std::string log;
  BpeTokenizer tokenizer;
};

// Loads the text from a fresh file; the file's path in the messages reads
// as "PATH".
Loaded load_text(const std::string &text) {
  fixture::TempDir dir;
  std::string path = dir.file("vocab.json");
  fixture::write_file(path, text);
  Loaded loaded;
  testing::internal::CaptureStderr();
  loaded.result = load_vocabulary(&loaded.tokenizer, path.c_str(), &loaded.error);
  loaded.log = testing::internal::GetCapturedStderr();
  for (std::string *message : {&loaded.error, &loaded.log})
    for (size_t at; (at = message->find(path)) != std::string::npos;)
      message->replace(at, path.size(), "PATH");
  return loaded;
}

std::string vocab_file(const std::string &vocab, const std::string &merges) {
  return "{\"version\": \"1.0\", \"model\": {\"type\": \"BPE\", \"vocab\": {" + vocab +
         "}, \"merges\": [" + merges + "]}}";
}

const std::string kMinimal = vocab_file("\"a\": 0, \"b\": 1, \"ab\": 2", "\"a b\"");

using Vocab = std::map<std::string, int32_t>;
using Merges = std::vector<std::pair<std::string, std::string>>;

Vocab sorted(const std::unordered_map<std::string, int32_t> &table) {
  return Vocab(table.begin(), table.end());
}

}  // namespace

// Well-formed files: the same tables as the earlier scanner gave, and
// strings decoded as JSON says, which the scanner never did.
TEST(Vocabulary, LoadsTables) {
  struct Case {
    const char *name;
    std::string text;
    Vocab vocab;
    Merges merges;
  } cases[] = {
      {"minimal", kMinimal, {{"a", 0}, {"b", 1}, {"ab", 2}}, {{"a", "b"}}},
      {"negative id", vocab_file("\"a\": -5", ""), {{"a", -5}}, {}},
      {"32-bit limits",
       vocab_file("\"lo\": -2147483648, \"hi\": 2147483647", ""),
       {{"lo", INT32_MIN}, {"hi", INT32_MAX}},
       {}},
      {"white space before numbers",
       vocab_file("\"a\": \t\n\r 7,\"b\":\r\n8", ""),
       {{"a", 7}, {"b", 8}},
       {}},
      {"empty merges", vocab_file("\"a\": 0", ""), {{"a", 0}}, {}},
      {"merge with two spaces splits at the first",
       vocab_file("\"a\": 0", "\"a  b\""),
       {{"a", 0}},
       {{"a", " b"}}},
      {"duplicate key: last value kept",
       vocab_file("\"a\": 1, \"b\": 2, \"a\": 3", ""),
       {{"a", 3}, {"b", 2}},
       {}},
      {"members outside model are ignored",
       "{\"vocab\": {\"early\": 9}, \"merges\": [\"e x\"], " + kMinimal.substr(1),
       {{"a", 0}, {"b", 1}, {"ab", 2}},
       {{"a", "b"}}},
      {"raw UTF-8 keys",
       vocab_file("\"\xc3\xa9\": 3, \"\xe4\xb8\x96\": 4", "\"\xc3\xa9 \xe4\xb8\x96\""),
       {{"\xc3\xa9", 3}, {"\xe4\xb8\x96", 4}},
       {{"\xc3\xa9", "\xe4\xb8\x96"}}},
      // Before, "\"" was stored as a backslash, "\\" collided with it, and
      // \u keys could never match a typed character.
      {"escaped quote and backslash",
       vocab_file("\"\\\"\": 4, \"\\\\\": 5, \"x\": 6", "\"\\\" \\\\\""),
       {{"\"", 4}, {"\\", 5}, {"x", 6}},
       {{"\"", "\\"}}},
      {"\\u escapes",
       vocab_file("\"\\u00e9\": 3, \"\\u0120t\": 7", "\"\\u00e9 \\u0120t\""),
       {{"\xc3\xa9", 3}, {"\xc4\xa0t", 7}},
       {{"\xc3\xa9", "\xc4\xa0t"}}},
      {"surrogate pair", vocab_file("\"\\ud83d\\ude00\": 8", ""), {{"\xf0\x9f\x98\x80", 8}}, {}},
      {"control escapes", vocab_file("\"\\n\": 1, \"\\t\\/\": 2", ""), {{"\n", 1}, {"\t/", 2}}, {}},
      // The newer tokenizer-file layout; before, it loaded with no rules.
      {"merges as pairs",
       vocab_file("\"a\": 0", "[\"a\", \"b\"], [\"c d\", \"\\u00e9\"]"),
       {{"a", 0}},
       {{"a", "b"}, {"c d", "\xc3\xa9"}}},
      {"both layouts mixed",
       vocab_file("\"a\": 0", "\"a b\", [\"c\", \"d\"]"),
       {{"a", 0}},
       {{"a", "b"}, {"c", "d"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Loaded loaded = load_text(c.text);
    EXPECT_EQ(loaded.result, 0) << loaded.error;
    EXPECT_EQ(loaded.error, "");
    EXPECT_EQ(loaded.log, "[tokenizer] Loaded " + std::to_string(c.vocab.size()) +
                              " vocab entries, " + std::to_string(c.merges.size()) +
                              " merges from PATH\n");
    EXPECT_EQ(sorted(loaded.tokenizer.vocab), c.vocab);
    EXPECT_EQ(loaded.tokenizer.merges, c.merges);
  }
}

TEST(Vocabulary, MergeRanksFollowFileOrder) {
  Loaded loaded = load_text(kMinimal);
  ASSERT_EQ(loaded.result, 0);
  EXPECT_EQ(sorted(loaded.tokenizer.merge_ranks), (Vocab{{"a b", 0}}));

  loaded = load_text(vocab_file("\"a\": 0", "\"a b\", \"c d\", \"a b\", \"e  f\""));
  ASSERT_EQ(loaded.result, 0);
  EXPECT_EQ(loaded.tokenizer.merges.size(), 4u);
  EXPECT_EQ(sorted(loaded.tokenizer.merge_ranks), (Vocab{{"a b", 2}, {"c d", 1}, {"e  f", 3}}));
}

// Malformed files fail with the parser's message and position, or name the
// entry at fault; the tables are left empty.
TEST(Vocabulary, RefusesFiles) {
  const std::string bad = "bad vocabulary PATH: ";
  struct Case {
    const char *name;
    std::string text;
    std::string error;  // the start of the message
  } cases[] = {
      {"empty file", "", bad + "[json.exception.parse_error.101] parse error at line 1, column 1"},
      {"cut short", "{\"model\": {\"vocab\": {\"a\": 0}, \"merges\": [",
       bad + "[json.exception.parse_error.101] parse error at line 1, column 42"},
      {"lone minus", vocab_file("\"a\": -", ""),
       bad +
           "[json.exception.parse_error.101] parse error at line 1, column 61: syntax error while "
           "parsing value - invalid number; expected digit after '-'"},
      {"unescaped NUL in a key", vocab_file("\"a\0b\": 6"s, ""),
       bad + "[json.exception.parse_error.101] parse error at line 1, column 57"},
      {"invalid UTF-8", vocab_file("\"\xff\": 2", ""),
       bad + "[json.exception.parse_error.101] parse error at line 1, column 56"},
      {"lone surrogate", vocab_file("\"\\ud83d\": 2", ""),
       bad + "[json.exception.parse_error.101] parse error at line 1, column 62"},
      {"no model", "{\"vocab\": {\"a\": 0}, \"merges\": [\"a b\"]}", bad + "no \"model\" object"},
      {"not an object", "[1]", bad + "no \"model\" object"},
      {"no vocab", "{\"model\": {\"merges\": []}}", bad + "no model.vocab"},
      {"no merges", "{\"model\": {\"vocab\": {\"a\": 0}}}", bad + "no model.merges"},
      {"vocab not an object", "{\"model\": {\"vocab\": 1, \"merges\": []}}",
       bad + "model.vocab is not a non-empty object"},
      {"empty vocab", vocab_file("", ""), bad + "model.vocab is not a non-empty object"},
      {"merges not a list", "{\"model\": {\"vocab\": {\"a\": 0}, \"merges\": {}}}",
       bad + "model.merges is not a list"},
      {"string id", vocab_file("\"a\": \"0\"", ""),
       bad + "the id of 'a' is not a 32-bit integer: \"0\""},
      {"null id", vocab_file("\"a\": 1, \"n\": null", ""),
       bad + "the id of 'n' is not a 32-bit integer: null"},
      {"float id", vocab_file("\"a\": 1.5", ""),
       bad + "the id of 'a' is not a 32-bit integer: 1.5"},
      {"beyond 32 bits", vocab_file("\"a\": 2147483648", ""),
       bad + "the id of 'a' is not a 32-bit integer: 2147483648"},
      {"below 32 bits", vocab_file("\"a\": -2147483649", ""),
       bad + "the id of 'a' is not a 32-bit integer: -2147483649"},
      {"beyond 64 bits", vocab_file("\"a\": 123456789012345678901234567890", ""),
       bad + "the id of 'a' is not a 32-bit integer"},
      {"merge without a space", vocab_file("\"a\": 0", "\"a b\", \"ab\""),
       bad + "merge 1 is neither \"left right\" nor [\"left\", \"right\"]: \"ab\""},
      {"pair of three", vocab_file("\"a\": 0", "[\"a\", \"b\", \"c\"]"),
       bad + "merge 0 is neither"},
      {"pair with a number", vocab_file("\"a\": 0", "[\"a\", 1]"), bad + "merge 0 is neither"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Loaded loaded = load_text(c.text);
    EXPECT_EQ(loaded.result, -1);
    EXPECT_EQ(loaded.error.rfind(c.error, 0), 0u) << loaded.error;
    EXPECT_EQ(loaded.log, "");
    EXPECT_TRUE(loaded.tokenizer.vocab.empty());
    EXPECT_TRUE(loaded.tokenizer.merges.empty());
    EXPECT_TRUE(loaded.tokenizer.merge_ranks.empty());
  }
}

TEST(Vocabulary, ArgumentsAndSystemFailures) {
  BpeTokenizer tokenizer;
  std::string error;
  EXPECT_EQ(load_vocabulary(nullptr, "/tmp/vocab.json", &error), -1);
  EXPECT_EQ(error, "no tokenizer or no vocabulary path given");
  EXPECT_EQ(load_vocabulary(&tokenizer, nullptr, &error), -1);

  fixture::TempDir dir;
  std::string missing = dir.file("missing.json");
  std::string file = dir.file("file.json");
  fixture::write_file(file, kMinimal);
  struct Case {
    const char *name;
    std::string path;
    std::string error;
  } cases[] = {
      {"missing file", missing, "cannot open " + missing + ": No such file or directory"},
      {"a file as a folder", file + "/x", "cannot open " + file + "/x: Not a directory"},
      {"a folder", dir.file(""), "cannot read " + dir.file("") + ": Is a directory"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(load_vocabulary(&tokenizer, c.path.c_str(), &error), -1);
    EXPECT_EQ(error, c.error);
    // Without an error string the reason is logged.
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_vocabulary(&tokenizer, c.path.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tokenizer] Failed: " + c.error + "\n");
  }
}

// Loading a second file replaces the tables instead of mixing the two.
TEST(Vocabulary, ReloadAndClearEmptyTheTables) {
  fixture::TempDir dir;
  std::string first = dir.file("first.json"), second = dir.file("second.json");
  fixture::write_file(first, kMinimal);
  fixture::write_file(second, vocab_file("\"c\": 7", "\"c d\""));
  BpeTokenizer tokenizer;
  testing::internal::CaptureStderr();
  ASSERT_EQ(load_vocabulary(&tokenizer, first.c_str()), 0);
  ASSERT_EQ(load_vocabulary(&tokenizer, second.c_str()), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(sorted(tokenizer.vocab), (Vocab{{"c", 7}}));
  EXPECT_EQ(tokenizer.merges, (Merges{{"c", "d"}}));
  EXPECT_EQ(sorted(tokenizer.merge_ranks), (Vocab{{"c d", 0}}));

  clear_tokenizer(&tokenizer);
  EXPECT_TRUE(tokenizer.vocab.empty());
  EXPECT_TRUE(tokenizer.merges.empty());
  EXPECT_TRUE(tokenizer.merge_ranks.empty());
  clear_tokenizer(nullptr);
}

// Every prefix of a valid file, as a file cut short would leave it: only the
// whole file loads; every prefix fails with the parser's message and leaves
// the tables empty (and, under the sanitizer build, reads nothing past the end).
TEST(Vocabulary, TruncatedFilesFail) {
  const std::string full =
      vocab_file("\"a\": 0, \"b\": -1, \"\\u00e9\": 2", "\"a b\", [\"ab\", \"b\"]");
  for (size_t length = 0; length < full.size(); length++) {
    SCOPED_TRACE("length " + std::to_string(length));
    Loaded loaded = load_text(full.substr(0, length));
    EXPECT_EQ(loaded.result, -1);
    EXPECT_EQ(loaded.error.rfind("bad vocabulary PATH: [json.exception.parse_error", 0), 0u)
        << loaded.error;
    EXPECT_TRUE(loaded.tokenizer.vocab.empty());
  }
  EXPECT_EQ(load_text(full).tokenizer.merges.size(), 2u);
}
