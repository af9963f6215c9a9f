#include "engine/pieces.h"

#include "engine/engine.h"
#include "engine/language_codes.h"
#include "engine/vclone_model.h"
#include "text/text_front_end.h"
#include "engine/text_splitter.h"
#include "models/gpt/gpt_decoder.h"
#include "util/blank_text.h"

#include <torch/types.h>

#include <cstring>
#include <utility>

namespace {

constexpr int kMaxTextTokens = GPTDecoderImpl::kMaxTextTokens;

}  // namespace

bool make_pieces(const BpeTokenizer &tokenizer, const std::string &text,
                 const std::string &language, bool split, const char *hint,
                 std::vector<Piece> &pieces) {
  if (!split) {
    Piece piece{text, encode(tokenizer, text, language)};
    if (piece.ids.size() > static_cast<size_t>(kMaxTextTokens)) {
      set_last_error("Text too long: %d tokens, at most %d%s", static_cast<int>(piece.ids.size()),
                     kMaxTextTokens, hint);
      return false;
    }
    pieces.push_back(std::move(piece));
    return true;
  }
  std::vector<std::pair<std::string, size_t>> pending;
  for (const std::string &part : split_text(text, piece_budget(language)))
    pending.emplace_back(part, piece_budget(language));
  for (size_t i = 0; i < pending.size(); i++) {
    auto [part, budget] = pending[i];
    std::vector<int32_t> ids = encode(tokenizer, part, language);
    if (ids.size() > static_cast<size_t>(kMaxTextTokens) && budget > 1) {
      std::vector<std::pair<std::string, size_t>> smaller;
      for (const std::string &sub : split_text(part, budget / 2))
        smaller.emplace_back(sub, budget / 2);
      pending.insert(pending.begin() + static_cast<long>(i) + 1, smaller.begin(), smaller.end());
      continue;
    }
    pieces.push_back({part, std::move(ids)});
  }
  return true;
}

bool text_pieces(const vclone_model &model, const char *text, const char *language,
                 const vclone_options &options, const char *hint, std::vector<Piece> &pieces) {
  TextOptions front;
  front.normalize = options.normalize != 0;
  front.ssml = options.ssml != 0;
  front.speed = options.speed;
  front.lexicon = &model.lexicon;
  std::vector<TextSpan> spans;
  std::string error;
  if (!prepare_text(text, language, front, spans, error)) {
    set_last_error("%s", error.c_str());
    return false;
  }
  for (const TextSpan &span : spans) {
    const size_t first = pieces.size();
    if (is_blank(span.text.c_str())) {
      if (span.pause_before > 0) pieces.push_back({"", {}, span.speed, span.pause_before});
      continue;
    }
    if (!has_language(model.tokenizer, span.language)) {
      set_last_error("Unknown language '%s': this vocabulary has %s", span.language.c_str(),
                     model.languages.c_str());
      return false;
    }
    if (!make_pieces(model.tokenizer, span.text, span.language, options.split_text != 0, hint,
                     pieces))
      return false;
    for (size_t i = first; i < pieces.size(); i++) pieces[i].speed = span.speed;
    if (pieces.size() > first) pieces[first].pause_before = span.pause_before;
  }
  for (const Piece &piece : pieces)
    if (!piece.ids.empty()) return true;
  set_last_error("Empty text: nothing to speak");
  return false;
}

at::Tensor token_tensor(const std::vector<int32_t> &ids) {
  at::Tensor tokens = torch::zeros({1, static_cast<int64_t>(ids.size())}, torch::kInt64);
  auto view = tokens.accessor<int64_t, 2>();
  for (size_t j = 0; j < ids.size(); j++) view[0][j] = ids[j];
  return tokens;
}

bool is_blank(const char *text) { return is_blank_text(text); }
