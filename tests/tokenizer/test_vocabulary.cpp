#include "support/archive_fixture.h"
#include "tokenizer/bpe_tokenizer.h"

#include <gtest/gtest.h>

#include <map>

using namespace std::string_literals;

namespace {

struct Loaded {
  int result;
  std::string log;
  BpeTokenizer tokenizer;
};

Loaded load_text(const std::string &text) {
  fixture::TempDir dir;
  std::string path = dir.file("vocab.json");
  fixture::write_file(path, text);
  Loaded loaded;
  testing::internal::CaptureStderr();
  loaded.result = load_vocabulary(&loaded.tokenizer, path.c_str());
  loaded.log = testing::internal::GetCapturedStderr();
  // The path is a fresh temporary name; keep only the part before it.
  size_t from = loaded.log.find(" from /tmp/");
  if (from != std::string::npos) loaded.log = loaded.log.substr(0, from) + "\n";
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

TEST(Vocabulary, LoadsTables) {
  struct Case {
    const char *name;
    std::string text;
    Vocab vocab;
    Merges merges;
    const char *line;
  } cases[] = {
      {"minimal", kMinimal, {{"a", 0}, {"b", 1}, {"ab", 2}}, {{"a", "b"}},
       "[tokenizer] Loaded 3 vocab entries, 1 merges\n"},
      {"negative id", vocab_file("\"a\": -5", ""), {{"a", -5}}, {},
       "[tokenizer] Loaded 1 vocab entries, 0 merges\n"},
      {"32-bit limits", vocab_file("\"lo\": -2147483648, \"hi\": 2147483647", ""),
       {{"lo", INT32_MIN}, {"hi", INT32_MAX}}, {}, "[tokenizer] Loaded 2 vocab entries, 0 merges\n"},
      {"white space before numbers", vocab_file("\"a\": \t\n\r 7,\"b\":\r\n8", ""), {{"a", 7}, {"b", 8}}, {},
       "[tokenizer] Loaded 2 vocab entries, 0 merges\n"},
      {"empty merges", vocab_file("\"a\": 0", ""), {{"a", 0}}, {},
       "[tokenizer] Loaded 1 vocab entries, 0 merges\n"},
      {"file ends right after the merges bracket", "{\"model\": {\"vocab\": {\"a\": 0}, \"merges\": [",
       {{"a", 0}}, {}, "[tokenizer] Loaded 1 vocab entries, 0 merges\n"},
      {"merge with two spaces splits at the first", vocab_file("\"a\": 0", "\"a  b\""), {{"a", 0}},
       {{"a", " b"}}, "[tokenizer] Loaded 1 vocab entries, 1 merges\n"},
      {"merge without a space adds nothing", vocab_file("\"a\": 0", "\"ab\", \"a b\""), {{"a", 0}},
       {{"a", "b"}}, "[tokenizer] Loaded 1 vocab entries, 1 merges\n"},
      {"escaped quote ends the key", vocab_file("\"\\\"\": 4, \"x\": 5", ""), {{"\\", 4}, {"x", 5}}, {},
       "[tokenizer] Loaded 2 vocab entries, 0 merges\n"},
      {"unicode escape kept literally", vocab_file("\"\\u00e9\": 3", ""), {{"\\u00e9", 3}}, {},
       "[tokenizer] Loaded 1 vocab entries, 0 merges\n"},
      {"duplicate key counted once, last value kept", vocab_file("\"a\": 1, \"b\": 2, \"a\": 3", ""),
       {{"a", 3}, {"b", 2}}, {}, "[tokenizer] Loaded 2 vocab entries, 0 merges\n"},
      {"string and null values store nothing",
       vocab_file("\"s\": \"x\", \"a\": 1, \"n\": null, \"b\": 2", ""), {{"a", 1}, {"b", 2}}, {},
       "[tokenizer] Loaded 2 vocab entries, 0 merges\n"},
      {"members before model are ignored",
       "{\"vocab\": {\"early\": 9}, \"merges\": [\"e x\"], " + kMinimal.substr(1),
       {{"a", 0}, {"b", 1}, {"ab", 2}}, {{"a", "b"}}, "[tokenizer] Loaded 3 vocab entries, 1 merges\n"},
      {"merges given as pairs of strings yield no rule", vocab_file("\"a\": 0", "[\"a\", \"b\"], [\"c\", \"d\"]"),
       {{"a", 0}}, {}, "[tokenizer] Loaded 1 vocab entries, 0 merges\n"},
      {"unterminated merge string", "{\"model\": {\"vocab\": {\"a\": 0}, \"merges\": [\"a b\", \"c",
       {{"a", 0}}, {{"a", "b"}}, "[tokenizer] Loaded 1 vocab entries, 1 merges\n"},
      {"vocab object left open", "{\"model\": {\"vocab\": {\"a\": 0, \"merges\": [\"a b\"]",
       {{"a", 0}}, {{"a", "b"}}, "[tokenizer] Loaded 1 vocab entries, 1 merges\n"},
      {"NUL bytes are ordinary bytes", vocab_file("\"a\0b\": 6, \"c\": \0 9, \"d\": 1"s, ""),
       {{"a\0b"s, 6}, {"d", 1}}, {}, "[tokenizer] Loaded 2 vocab entries, 0 merges\n"},
      {"invalid UTF-8 kept as bytes", vocab_file("\"\xff\xe2\": 2", "\"\xff \x80\""), {{"\xff\xe2", 2}},
       {{"\xff", "\x80"}}, "[tokenizer] Loaded 1 vocab entries, 1 merges\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Loaded loaded = load_text(c.text);
    EXPECT_EQ(loaded.result, 0);
    EXPECT_EQ(loaded.log, c.line);
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

TEST(Vocabulary, RefusesFiles) {
  const char *kVocabLine = "[tokenizer] Failed to parse vocab\n";
  const char *kMergesLine = "[tokenizer] Failed to parse merges\n";
  struct Case {
    const char *name;
    std::string text;
    std::string line;
  } cases[] = {
      {"no model", "{\"vocab\": {\"a\": 0}, \"merges\": [\"a b\"]}", kVocabLine},
      {"empty file", "", kVocabLine},
      {"shorter than the model key", "\"mode", kVocabLine},
      {"no vocab after model", "{\"vocab\": {\"a\": 0}, \"model\": {\"merges\": []}}", kVocabLine},
      {"no brace after vocab", "{\"model\": {\"vocab\": 1, \"merges\": []}}", kVocabLine},
      {"only string values", vocab_file("\"a\": \"0\", \"b\": \"1\"", "\"a b\""), kVocabLine},
      {"unterminated key", "{\"model\": {\"vocab\": {\"a", kVocabLine},
      {"key without colon", "{\"model\": {\"vocab\": {\"a\"", kVocabLine},
      {"no merges", "{\"model\": {\"vocab\": {\"a\": 0}}}", kMergesLine},
      {"merges before model only", "{\"merges\": [], \"model\": {\"vocab\": {\"a\": 0}}}", kMergesLine},
      {"no bracket after merges", "{\"model\": {\"vocab\": {\"a\": 0}, \"merges\": {}}}", kMergesLine},
      {"lone minus", vocab_file("\"a\": -", ""),
       "[tokenizer] Failed to parse vocab: id of 'a' is not a number (stoi)\n"},
      {"minus before a letter", vocab_file("\"a\": 1, \"b\": -x", ""),
       "[tokenizer] Failed to parse vocab: id of 'b' is not a number (stoi)\n"},
      {"beyond 32 bits", vocab_file("\"a\": 2147483648", ""),
       "[tokenizer] Failed to parse vocab: id of 'a' is out of range (stoi)\n"},
      {"below 32 bits", vocab_file("\"a\": -2147483649", ""),
       "[tokenizer] Failed to parse vocab: id of 'a' is out of range (stoi)\n"},
      {"beyond 64 bits", vocab_file("\"a\": 123456789012345678901234567890", ""),
       "[tokenizer] Failed to parse vocab: id of 'a' is out of range (stoi)\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Loaded loaded = load_text(c.text);
    EXPECT_EQ(loaded.result, -1);
    EXPECT_EQ(loaded.log, c.line);
  }
}

TEST(Vocabulary, ArgumentsAndMissingFile) {
  BpeTokenizer tokenizer;
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_vocabulary(nullptr, "/tmp/vocab.json"), -1);
  EXPECT_EQ(load_vocabulary(&tokenizer, nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  fixture::TempDir dir;
  std::string missing = dir.file("missing.json");
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_vocabulary(&tokenizer, missing.c_str()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tokenizer] Cannot open: " + missing + "\n");
}

TEST(Vocabulary, LogNamesThePath) {
  fixture::TempDir dir;
  std::string path = dir.file("vocab.json");
  fixture::write_file(path, kMinimal);
  BpeTokenizer tokenizer;
  testing::internal::CaptureStderr();
  ASSERT_EQ(load_vocabulary(&tokenizer, path.c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[tokenizer] Loaded 3 vocab entries, 1 merges from " + path + "\n");
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

// Every prefix of a valid file, as a file cut short would leave it: the load
// either succeeds with a subset of the tables or fails, and never reads past
// the end (checked under the sanitizer build).
TEST(Vocabulary, TruncatedFilesStayInBounds) {
  const std::string full = vocab_file("\"a\": 0, \"b\": -1, \"ab\": 2", "\"a b\", \"ab b\"");
  for (size_t length = 0; length <= full.size(); length++) {
    SCOPED_TRACE("length " + std::to_string(length));
    Loaded loaded = load_text(full.substr(0, length));
    if (loaded.result == 0) {
      EXPECT_LE(loaded.tokenizer.vocab.size(), 3u);
      EXPECT_LE(loaded.tokenizer.merges.size(), 2u);
    } else {
      EXPECT_EQ(loaded.result, -1);
      EXPECT_EQ(loaded.log.rfind("[tokenizer] Failed to parse ", 0), 0u) << loaded.log;
    }
  }
  EXPECT_EQ(load_text(full).tokenizer.merges.size(), 2u);
}
