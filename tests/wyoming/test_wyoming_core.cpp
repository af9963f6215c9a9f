// The Wyoming event reader and writer and the sentence cutter, without a
// model or a socket.
#include "wyoming/event.h"
#include "wyoming/sentences.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using nlohmann::json;
using wyoming::Event;
using wyoming::EventLimits;
using wyoming::ReadStatus;

namespace {

EventLimits small_limits() {
  EventLimits limits;
  limits.max_header_bytes = 256;
  limits.max_data_bytes = 128;
  limits.max_payload_bytes = 64;
  limits.max_json_depth = 4;
  return limits;
}

struct GoodCase {
  const char *name;
  std::string bytes;
  const char *type;
  json data;
  std::string payload;
};

TEST(WyomingEvent, ReadsEachFraming) {
  const std::vector<GoodCase> cases = {
      {"bare", "{\"type\":\"describe\"}\n", "describe", json::object(), ""},
      {"version and nulls",
       "{\"type\":\"describe\",\"version\":\"1.0\",\"data\":null,\"data_length\":null}\n",
       "describe", json::object(), ""},
      {"data inline",
       "{\"type\":\"synthesize\",\"data\":{\"text\":\"Hi\"}}\n",
       "synthesize",
       {{"text", "Hi"}},
       ""},
      {"data segment",
       "{\"type\":\"synthesize\",\"data_length\":13}\n{\"text\":\"Hi\"}",
       "synthesize",
       {{"text", "Hi"}},
       ""},
      {"segment over inline",
       "{\"type\":\"x\",\"data\":{\"a\":1,\"b\":2},\"data_length\":7}\n{\"b\":3}",
       "x",
       {{"a", 1}, {"b", 3}},
       ""},
      {"payload",
       "{\"type\":\"audio-chunk\",\"data\":{\"rate\":24000},\"payload_length\":4}\n" +
           std::string("\x01\x02\n\x00", 4),
       "audio-chunk",
       {{"rate", 24000}},
       std::string("\x01\x02\n\x00", 4)},
      {"carriage return", "{\"type\":\"describe\"}\r\n", "describe", json::object(), ""},
      {"unicode text",
       "{\"type\":\"t\",\"data\":{\"text\":\"\\u00e9\xe4\xb8\x96\"}}\n",
       "t",
       {{"text", "\xc3\xa9\xe4\xb8\x96"}},
       ""},
  };
  for (const GoodCase &c : cases) {
    SCOPED_TRACE(c.name);
    Event event;
    // A second event right behind must not be read into the first.
    const std::string stream = c.bytes + "{\"type\":\"next\"}\n";
    const wyoming::ReadResult result = wyoming::read_event(stream, small_limits(), event);
    ASSERT_EQ(result.status, ReadStatus::kEvent) << result.error;
    EXPECT_EQ(result.consumed, c.bytes.size());
    EXPECT_EQ(event.type, c.type);
    EXPECT_EQ(event.data, c.data);
    EXPECT_EQ(event.payload, c.payload);
  }
}

// The connection calls the reader again as bytes arrive: every proper prefix
// of an event must ask for more, never fail or yield a short event.
TEST(WyomingEvent, EveryPrefixAsksForMore) {
  const std::string bytes = wyoming::write_event("audio-chunk", {{"rate", 24000}, {"width", 2}},
                                                 std::string("\n\n{\"x\n", 6));
  for (size_t n = 0; n < bytes.size(); n++) {
    Event event;
    const wyoming::ReadResult result =
        wyoming::read_event(bytes.substr(0, n), small_limits(), event);
    EXPECT_EQ(result.status, ReadStatus::kNeedMore)
        << "prefix of " << n << " bytes: " << result.error;
  }
  Event event;
  EXPECT_EQ(wyoming::read_event(bytes, small_limits(), event).status, ReadStatus::kEvent);
}

struct BadCase {
  const char *name;
  std::string bytes;
  const char *message;  // part of the error
};

TEST(WyomingEvent, RefusesMalformedAndOversizedEvents) {
  const std::string deep = "{\"type\":\"x\",\"data\":{\"a\":[[[[1]]]]}}\n";
  const std::vector<BadCase> cases = {
      {"empty line", "\n", "empty header line"},
      {"not JSON", "hello\n", "not JSON"},
      {"array", "[\"describe\"]\n", "not a JSON object"},
      {"no type", "{\"data\":{}}\n", "no \"type\""},
      {"type not a string", "{\"type\":5}\n", "no \"type\""},
      {"empty type", "{\"type\":\"\"}\n", "no \"type\""},
      {"data not an object", "{\"type\":\"x\",\"data\":[1]}\n", "\"data\" is not a JSON object"},
      {"negative data_length", "{\"type\":\"x\",\"data_length\":-1}\n",
       "data_length must be a whole number"},
      {"fractional data_length", "{\"type\":\"x\",\"data_length\":1.5}\n",
       "data_length must be a whole number"},
      {"data_length as text", "{\"type\":\"x\",\"data_length\":\"4\"}\n",
       "data_length must be a whole number"},
      {"data_length over the limit", "{\"type\":\"x\",\"data_length\":129}\n",
       "data_length 129 is over the limit"},
      {"huge payload_length", "{\"type\":\"x\",\"payload_length\":18446744073709551615}\n",
       "payload_length 18446744073709551615 is over the limit"},
      {"data segment not JSON", "{\"type\":\"x\",\"data_length\":3}\nabc", "data is not JSON"},
      {"data segment not an object", "{\"type\":\"x\",\"data_length\":3}\n[1]",
       "data is not a JSON object"},
      {"nested too deep", deep, "nested deeper than 4"},
      {"invalid UTF-8", "{\"type\":\"\xff\"}\n", "not JSON"},
      {"header line too long", "{\"type\":\"" + std::string(300, 'a'), "longer than 256 bytes"},
  };
  for (const BadCase &c : cases) {
    SCOPED_TRACE(c.name);
    Event event;
    const wyoming::ReadResult result = wyoming::read_event(c.bytes, small_limits(), event);
    ASSERT_EQ(result.status, ReadStatus::kError);
    EXPECT_NE(result.error.find(c.message), std::string::npos) << result.error;
  }
}

// Over-long lengths are refused from the header alone, before the bytes
// they announce could be waited for or held.
TEST(WyomingEvent, RefusesLengthsBeforeTheBytesArrive) {
  Event event;
  const auto result =
      wyoming::read_event("{\"type\":\"x\",\"payload_length\":65}\n", small_limits(), event);
  EXPECT_EQ(result.status, ReadStatus::kError);
}

TEST(WyomingEvent, WrittenEventsReadBack) {
  const json data = {{"text", "line\nbreak \xe4\xb8\x96"},
                     {"rate", 24000},
                     {"nested", {{"a", json::array({1, 2})}}}};
  const std::string payload("\x00\xff\n", 3);
  const std::string bytes =
      wyoming::write_event("audio-chunk", data, payload) + wyoming::write_event("audio-stop");
  Event first, second;
  const auto one = wyoming::read_event(bytes, EventLimits(), first);
  ASSERT_EQ(one.status, ReadStatus::kEvent);
  EXPECT_EQ(first.type, "audio-chunk");
  EXPECT_EQ(first.data, data);
  EXPECT_EQ(first.payload, payload);
  const auto two =
      wyoming::read_event(std::string_view(bytes).substr(one.consumed), EventLimits(), second);
  ASSERT_EQ(two.status, ReadStatus::kEvent);
  EXPECT_EQ(second.type, "audio-stop");
  EXPECT_TRUE(second.data.empty());
  EXPECT_EQ(one.consumed + two.consumed, bytes.size());
  // Every event carries the protocol version in its header.
  EXPECT_NE(bytes.find("\"version\":\"1."), std::string::npos);
}

TEST(WyomingText, BlankMeansNothingToSpeak) {
  const struct {
    const char *text;
    bool blank;
  } cases[] = {
      {"", true},
      {" \t\r\n\v\f", true},
      {"\xc2\xa0", true},                  // no-break space
      {"\xe3\x80\x80", true},              // ideographic space
      {"\xe2\x80\x83\xe2\x80\xa8", true},  // em space, line separator
      {"\xe2\x80\x8b\xef\xbb\xbf", true},  // zero-width space, byte order mark
      {"\xc2\x85\xe1\x9a\x80", true},      // next line, ogham space mark
      {" a ", false},
      {"\xe2\x80\x83.", false},
      {"\xe4\xb8\x96", false},
  };
  for (const auto &c : cases) EXPECT_EQ(wyoming::is_blank(c.text), c.blank) << '"' << c.text << '"';
}

// Feeds the pieces one by one and collects every sentence as soon as the
// buffer gives it, then the rest.
std::vector<std::string> cut(const std::vector<std::string> &pieces, size_t max_bytes = 1000) {
  wyoming::SentenceBuffer buffer(max_bytes);
  std::vector<std::string> out;
  for (const std::string &piece : pieces) {
    buffer.append(piece);
    for (std::string sentence; buffer.next_sentence(sentence);) out.push_back(sentence);
  }
  out.push_back("rest: " + buffer.take_rest());
  return out;
}

TEST(WyomingText, CutsStreamedTextIntoSentences) {
  using Pieces = std::vector<std::string>;
  using Sentences = std::vector<std::string>;
  const struct {
    const char *name;
    Pieces pieces;
    Sentences sentences;
  } cases[] = {
      {"cut mid-word",
       {"Hel", "lo there. How a", "re you", "? Fi", "ne"},
       {"Hello there.", "How are you?", "rest: Fine"}},
      {"end waits for what follows",
       {"It is 3.", "5 metres. Yes"},
       {"It is 3.5 metres.", "rest: Yes"}},
      {"titles and initials",
       {"Mr. J. Smith met Dr. Who, e.g. today. Then"},
       {"Mr. J. Smith met Dr. Who, e.g. today.", "rest: Then"}},
      {"closing quotes stay",
       {"He said \"stop!\"", " Then he left.)", " Next"},
       {"He said \"stop!\"", "Then he left.)", "rest: Next"}},
      {"ellipsis and runs of marks",
       {"Wait\xe2\x80\xa6 What?! ", "No"},
       {"Wait\xe2\x80\xa6", "What?!", "rest: No"}},
      {"CJK marks need no space",
       {"\xe4\xbd\xa0\xe5\xa5\xbd\xe3\x80\x82\xe5\x86\x8d", "\xe8\xa7\x81"},
       {"\xe4\xbd\xa0\xe5\xa5\xbd\xe3\x80\x82", "rest: \xe5\x86\x8d\xe8\xa7\x81"}},
      {"a character split across pieces",
       {"Caf\xc3", "\xa9. Ol\xc3", "\xa9"},
       {"Caf\xc3\xa9.", "rest: Ol\xc3\xa9"}},
      {"blank line ends a paragraph", {"Title\n", "\nBody text"}, {"Title", "rest: Body text"}},
      {"blank paragraphs are skipped", {"\n\n \xe3\x80\x80\n\nHi. "}, {"Hi.", "rest: "}},
      {"white space around is trimmed", {"\xc2\xa0 Hello. \xe2\x80\x8b"}, {"Hello.", "rest: "}},
  };
  for (const auto &c : cases) EXPECT_EQ(cut(c.pieces), c.sentences) << c.name;
}

// A client that never ends a sentence cannot make the buffer grow without end.
TEST(WyomingText, CutsARunWithoutEndAtItsLastSpace) {
  wyoming::SentenceBuffer buffer(20);
  std::string sentence;
  buffer.append("one two three four five six");
  ASSERT_TRUE(buffer.next_sentence(sentence));
  EXPECT_EQ(sentence, "one two three four");
  EXPECT_FALSE(buffer.next_sentence(sentence));
  EXPECT_EQ(buffer.take_rest(), "five six");

  buffer.append(std::string(45, 'x'));
  std::vector<std::string> parts;
  while (buffer.next_sentence(sentence)) parts.push_back(sentence);
  EXPECT_EQ(parts, (std::vector<std::string>{std::string(20, 'x'), std::string(20, 'x')}));
  EXPECT_EQ(buffer.take_rest(), std::string(5, 'x'));
}

}  // namespace
