#include "text/ssml.h"

#include "text/normalizer.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr float kMaxBreakSeconds = 10.0f;  // as pause_seconds
constexpr float kMinSpeed = 0.25f, kMaxSpeed = 4.0f;

std::string attribute(xmlNode *node, const char *name) {
  xmlChar *value = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
  if (!value) return {};
  std::string out(reinterpret_cast<char *>(value));
  xmlFree(value);
  return out;
}

// xml:lang is in the XML namespace, which xmlGetProp does not look in.
std::string language_attribute(xmlNode *node) {
  xmlChar *value = xmlNodeGetLang(node);
  if (!value) return {};
  std::string out(reinterpret_cast<char *>(value));
  xmlFree(value);
  return out;
}

std::string text_content(xmlNode *node) {
  xmlChar *value = xmlNodeGetContent(node);
  if (!value) return {};
  std::string out(reinterpret_cast<char *>(value));
  xmlFree(value);
  return out;
}

// "en-US" → "en", "zh-CN" → "zh-cn": the vocabulary's codes.
std::string vocabulary_code(std::string tag) {
  for (char &c : tag) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::replace(tag.begin(), tag.end(), '_', '-');
  if (tag.rfind("zh", 0) == 0) return "zh-cn";
  return tag.substr(0, tag.find('-'));
}

class Walker {
 public:
  Walker(const TextOptions &options, std::vector<TextSpan> &spans)
      : options_(options), spans_(spans) {}

  bool walk(xmlNode *node, const std::string &language, float speed, std::string &error) {
    for (xmlNode *child = node->children; child; child = child->next) {
      if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
        add(prepare_plain(reinterpret_cast<const char *>(child->content), language, options_),
            language, speed);
        continue;
      }
      if (child->type != XML_ELEMENT_NODE) continue;
      const std::string name = reinterpret_cast<const char *>(child->name);
      std::string own_language = language;
      const std::string tag = language_attribute(child);
      if (!tag.empty() && tag != language_attribute(node)) own_language = vocabulary_code(tag);
      if (name == "break") {
        float seconds = 0;
        if (!break_seconds(child, seconds, error)) return false;
        flush();
        pending_pause_ = std::min(kMaxBreakSeconds, std::max(pending_pause_, 0.0f) + seconds);
      } else if (name == "say-as") {
        add(say_as(text_content(child), attribute(child, "interpret-as"),
                   attribute(child, "format"), own_language),
            own_language, speed);
      } else if (name == "sub") {
        add(attribute(child, "alias"), own_language, speed);
      } else if (name == "p" || name == "s" || name == "prosody" || name == "lang" ||
                 name == "voice") {
        float own_speed = speed;
        if (name == "prosody" && !rate(attribute(child, "rate"), own_speed, error)) return false;
        flush();
        if (!walk(child, own_language, own_speed, error)) return false;
        flush();
      } else {
        // emphasis, phoneme, audio's fallback, anything unknown: its text is
        // spoken, never dropped.
        if (!walk(child, own_language, speed, error)) return false;
      }
    }
    return true;
  }

  void finish() {
    flush();
    if (pending_pause_ > 0) spans_.push_back({"", "", 1.0f, pending_pause_});
  }

 private:
  const TextOptions &options_;
  std::vector<TextSpan> &spans_;
  TextSpan current_{"", "", 1.0f, -1.0f};
  float pending_pause_ = -1.0f;

  void add(const std::string &text, const std::string &language, float speed) {
    if (text.empty()) return;
    if (!current_.text.empty() && (language != current_.language || speed != current_.speed))
      flush();
    if (current_.text.empty()) {
      current_.language = language;
      current_.speed = speed;
    }
    current_.text += text;
  }

  void flush() {
    bool blank = true;
    for (unsigned char c : current_.text) blank &= std::isspace(c) != 0;
    if (!blank) {
      current_.pause_before = pending_pause_;
      spans_.push_back(current_);
      pending_pause_ = -1.0f;
    }
    current_ = {"", "", 1.0f, -1.0f};
  }

  static bool break_seconds(xmlNode *node, float &seconds, std::string &error) {
    const std::string time = attribute(node, "time");
    if (!time.empty()) {
      char *end = nullptr;
      const double value = std::strtod(time.c_str(), &end);
      const std::string unit = end ? end : "";
      if (end == time.c_str() || !std::isfinite(value) || value < 0 ||
          (unit != "ms" && unit != "s")) {
        error = "SSML: <break time=\"" + time + "\"> on line " + std::to_string(node->line) +
                ": expected a duration such as 500ms or 1.5s";
        return false;
      }
      seconds = static_cast<float>(unit == "ms" ? value / 1000.0 : value);
      return true;
    }
    static const std::pair<const char *, float> kStrengths[] = {
        {"none", 0.0f},   {"x-weak", 0.1f},  {"weak", 0.25f},
        {"medium", 0.5f}, {"strong", 0.75f}, {"x-strong", 1.2f}};
    const std::string strength = attribute(node, "strength");
    if (strength.empty()) {
      seconds = 0.5f;  // a break with neither attribute: medium
      return true;
    }
    for (const auto &[name, value] : kStrengths)
      if (strength == name) {
        seconds = value;
        return true;
      }
    error = "SSML: <break strength=\"" + strength + "\"> on line " + std::to_string(node->line) +
            ": expected none, x-weak, weak, medium, strong or x-strong";
    return false;
  }

  // prosody rate: a keyword, a multiplier ("1.2") or a percentage of the
  // current rate ("80%", "+10%").
  static bool rate(const std::string &text, float &speed, std::string &error) {
    if (text.empty()) return true;
    static const std::pair<const char *, float> kRates[] = {{"x-slow", 0.5f}, {"slow", 0.75f},
                                                            {"medium", 1.0f}, {"default", 1.0f},
                                                            {"fast", 1.25f},  {"x-fast", 1.75f}};
    for (const auto &[name, value] : kRates)
      if (text == name) {
        speed = std::clamp(speed * value, kMinSpeed, kMaxSpeed);
        return true;
      }
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    const std::string unit = end ? end : "";
    const bool relative = text[0] == '+' || text[0] == '-';
    if (end != text.c_str() && std::isfinite(value) && (unit == "%" || unit.empty())) {
      const double factor = unit == "%" ? (relative ? 1.0 + value / 100.0 : value / 100.0) : value;
      if (factor > 0) {
        speed = std::clamp(static_cast<float>(speed * factor), kMinSpeed, kMaxSpeed);
        return true;
      }
    }
    error = "SSML: <prosody rate=\"" + text +
            "\">: expected x-slow, slow, medium, fast, x-fast, "
            "a multiplier such as 1.2 or a percentage such as 80%";
    return false;
  }
};

// The parser's first complaint is the one that points at the fault; later
// ones follow from it ("premature end of data").
struct FirstError {
  bool set = false;
  std::string message;
  int line = 0, column = 0;
};

void keep_first_error(void *user, xmlErrorPtr error) {
  auto *first = static_cast<FirstError *>(static_cast<xmlParserCtxtPtr>(user)->_private);
  if (first->set || !error || error->level < XML_ERR_ERROR) return;
  first->set = true;
  first->message = error->message ? error->message : "not well-formed";
  while (!first->message.empty() && (first->message.back() == '\n' || first->message.back() == ' '))
    first->message.pop_back();
  first->line = error->line;
  first->column = error->int2;
}

}  // namespace

bool parse_ssml(const std::string &document, const std::string &language,
                const TextOptions &options, std::vector<TextSpan> &spans, std::string &error) {
  std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> context(xmlNewParserCtxt(),
                                                                     xmlFreeParserCtxt);
  if (!context) {
    error = "SSML: out of memory";
    return false;
  }
  // No network, no external entities and no messages on standard error:
  // the error comes back to the caller.
  const int flags = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  FirstError first;
  context->_private = &first;
  context->sax->serror = keep_first_error;
  std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
      xmlCtxtReadMemory(context.get(), document.data(), static_cast<int>(document.size()),
                        "ssml.xml", "UTF-8", flags),
      xmlFreeDoc);
  if (!doc) {
    error = "Malformed SSML: " + (first.set ? first.message : std::string("not well-formed")) +
            " at line " + std::to_string(first.line) + ", column " + std::to_string(first.column);
    return false;
  }
  xmlNode *root = xmlDocGetRootElement(doc.get());
  if (!root || std::strcmp(reinterpret_cast<const char *>(root->name), "speak") != 0) {
    error = "SSML: the document's root element must be <speak>, not <" +
            std::string(root ? reinterpret_cast<const char *>(root->name) : "") + ">";
    return false;
  }
  const std::string tag = language_attribute(root);
  Walker walker(options, spans);
  if (!walker.walk(root, tag.empty() ? language : vocabulary_code(tag), options.speed, error))
    return false;
  walker.finish();
  return true;
}
