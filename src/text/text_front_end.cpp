#include "text/text_front_end.h"

#include "text/lexicon.h"
#include "text/normalizer.h"
#include "text/ssml.h"

std::string prepare_plain(const std::string &text, const std::string &language,
                          const TextOptions &options) {
  std::string out = options.lexicon ? options.lexicon->apply(text, language) : text;
  return options.normalize ? normalize_text(out, language) : out;
}

bool prepare_text(const std::string &text, const std::string &language, const TextOptions &options,
                  std::vector<TextSpan> &spans, std::string &error) {
  if (options.ssml) return parse_ssml(text, language, options, spans, error);
  spans.push_back({prepare_plain(text, language, options), language, options.speed, -1.0f});
  return true;
}
