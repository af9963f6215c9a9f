#include "engine/text_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Pieces = std::vector<std::string>;

size_t characters(const std::string &text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

TEST(TextSplitter, Sentences) {
  struct Case {
    const char *name;
    std::string text;
    Pieces sentences;
  } cases[] = {
      {"plain", "One. Two! Three? Four", {"One.", "Two!", "Three?", "Four"}},
      {"abbreviations",
       "Mr. Smith met Dr. Jones, e.g. at noon. Then they left.",
       {"Mr. Smith met Dr. Jones, e.g. at noon.", "Then they left."}},
      {"initials", "J. R. Tolkien wrote it. Yes.", {"J. R. Tolkien wrote it.", "Yes."}},
      {"decimals", "Pi is 3.14 or so. It costs $2.50.", {"Pi is 3.14 or so.", "It costs $2.50."}},
      {"ellipsis and marks in a row",
       "Wait... what?! Really… yes.",
       {"Wait...", "what?!", "Really…", "yes."}},
      {"closing quotes",
       "He said \"stop.\" Then \xE2\x80\x9Cgo!\xE2\x80\x9D Done.",
       {"He said \"stop.\"", "Then \xE2\x80\x9Cgo!\xE2\x80\x9D", "Done."}},
      {"chinese", "你好。今天天气很好！你呢？", {"你好。", "今天天气很好！", "你呢？"}},
      {"japanese quote", "「はい。」と言った。", {"「はい。」", "と言った。"}},
      {"white space only", " \n\t ", {}},
      {"no end mark", "  just words  ", {"just words"}},
      {"url-like dots", "See example.com for more. Next.", {"See example.com for more.", "Next."}},
      {"german", "Das ist z.B. gut. Oder?", {"Das ist z.B. gut.", "Oder?"}},
  };
  for (const Case &c : cases) EXPECT_EQ(split_sentences(c.text), c.sentences) << c.name;
}

TEST(TextSplitter, PiecesFitTheBudgetAndKeepEveryWord) {
  std::string long_run;
  for (int i = 0; i < 1000; i++) long_run += static_cast<char>('a' + i % 26);
  std::string commas;
  for (int i = 0; i < 30; i++) commas += "a clause of some words, ";
  // Closing quotes once cost a walk back over the whole run for each quote
  // (80,000 of them took 3.6 s): they must still end the sentence together.
  const std::string quotes = "He said." + std::string(80000, '"') + " Then left.";
  std::string emoji;
  for (int i = 0; i < 60; i++)
    emoji += "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB";  // woman technologist
  struct Case {
    const char *name;
    std::string text;
    size_t budget;
    size_t pieces;
  } cases[] = {
      {"short text stays whole", "Hello there. How are you?", 250, 1},
      {"sentences are packed", "Aaaa bbbb. Cccc dddd. Eeee ffff. Gggg hhhh.", 21, 2},
      {"long sentence cut at commas", commas, 100, 8},
      {"1000 characters without a break", long_run, 250, 4},
      {"emoji sequences are not torn", emoji, 50, 4},
      {"a long run of closing quotes", quotes, 250, 322},
  };
  for (const Case &c : cases) {
    const Pieces pieces = split_text(c.text, c.budget);
    EXPECT_EQ(pieces.size(), c.pieces) << c.name;
    std::string joined, original;
    for (const std::string &piece : pieces) {
      EXPECT_LE(characters(piece), c.budget) << c.name << ": " << piece;
      for (char ch : piece)
        if (ch != ' ') joined += ch;
    }
    for (char ch : c.text)
      if (ch != ' ') original += ch;
    EXPECT_EQ(joined, original) << c.name;
  }
  // Each emoji piece holds whole sequences: 50 characters is 16 sequences of 3.
  for (const std::string &piece : split_text(emoji, 50)) EXPECT_EQ(characters(piece) % 3, 0u);
}

TEST(TextSplitter, BudgetsByScript) {
  EXPECT_EQ(piece_budget("en"), 250u);
  EXPECT_EQ(piece_budget("ru"), 250u);
  EXPECT_EQ(piece_budget("zh-cn"), 100u);
  EXPECT_EQ(piece_budget("zh"), 100u);
  EXPECT_EQ(piece_budget("ja"), 100u);
  EXPECT_EQ(piece_budget("ko"), 150u);
  // 390 characters of 13-character sentences: seven sentences a piece, and
  // no spaces put between them.
  std::string chinese;
  for (int i = 0; i < 30; i++) chinese += "今天天气很好，我们去公园。";
  const Pieces pieces = split_text(chinese, piece_budget("zh"));
  EXPECT_EQ(pieces.size(), 5u);
  for (const std::string &piece : pieces) EXPECT_EQ(piece.find(' '), std::string::npos);
}
