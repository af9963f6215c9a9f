#include "engine/speech.h"

#include "engine/engine.h"
#include "engine/language_codes.h"
#include "engine/text_splitter.h"
#include "engine/vclone_model.h"
#include "engine/voice.h"
#include "text/text_front_end.h"
#include "util/log.h"

#include <ATen/CPUGeneratorImpl.h>
#include <torch/nn/functional/upsampling.h>
#include <torch/types.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr int kOutputRate = 24000;
constexpr int64_t kSamplesPerFrame = 256;
constexpr int kMaxTextTokens = GPTDecoderImpl::kMaxTextTokens;
constexpr int kMaxCodes = GPTDecoderImpl::kMaxCodes;
// Three codes leave the latent rows nothing to return.
constexpr int kMinimumCodes = 4;
// The states of the last three codes drawn are not latents (the stop token
// may follow any of them), so a chunk uses only rows three behind.
constexpr int64_t kUnsettledRows = 3;
// Vocoder frames on either side of a chunk that its samples depend on: the
// pre-convolution (3), the four upsampling stages and their residual blocks
// (about 10 between them) reach no further, so seams match the whole signal
// up to float rounding.
constexpr int64_t kVocoderContext = 16;

// Latents [1, T, C] as vocoder input [1, C, frames]: resampled in time for
// the speaking rate (linear, like a length scale), then stretched to the
// vocoder's frame rate exactly as a whole synthesis does.
at::Tensor vocoder_frames(const at::Tensor &latents, float speed) {
  if (speed == 1.0f) return stretch_latents(latents);
  namespace F = torch::nn::functional;
  const int64_t frames = latents.size(1);
  const int64_t scaled = std::max<int64_t>(1, std::llround(frames / static_cast<double>(speed)));
  at::Tensor z = F::interpolate(latents.transpose(1, 2),
                                F::InterpolateFuncOptions()
                                    .size(std::vector<int64_t>{scaled})
                                    .mode(torch::kLinear)
                                    .align_corners(false));
  return stretch_latents(z.transpose(1, 2));
}

// Collects one piece's latent rows during pass 1 and turns them into audio:
// in chunks while the codes are drawn (streaming), and the rest at the end.
//
// Which vocoder frames a row feeds depends on the piece's final length,
// known only when it ends. Chunks assume the piece runs to its code budget
// (so a piece that does matches the whole synthesis up to rounding); the
// rest is placed by the true length, so the total always equals it. A piece
// that stops early may shift by under one frame (10 ms) at its last seam.
class PieceVocoder {
 public:
  PieceVocoder(vclone_model &model, const vclone_voice &voice, const vclone_options &options,
               bool streaming, int code_limit, const AudioSink &sink)
      : model_(model),
        speaker_(voice.speaker_embedding),
        speed_(options.speed),
        sink_(sink),
        rows_(torch::zeros({1, code_limit, GPTDecoderImpl::kWidth})),
        predicted_rows_(code_limit - kUnsettledRows),
        next_chunk_(streaming ? options.stream_first_codes : INT64_MAX),
        chunk_codes_(options.stream_chunk_codes) {}

  // Keeps row r; emits a chunk when one is due. false when the sink stopped.
  bool add(int64_t row, const float *state) {
    std::copy_n(state, GPTDecoderImpl::kWidth, rows_.data_ptr<float>() + row * GPTDecoderImpl::kWidth);
    filled_ = row + 1;
    if (filled_ < next_chunk_) return true;
    next_chunk_ += chunk_codes_;
    return emit_settled();
  }

  // Emits everything not yet delivered for a piece of `latent_rows` rows.
  bool finish(int64_t latent_rows) {
    at::Tensor z = vocoder_frames(rows_.narrow(1, 0, latent_rows), speed_);
    return emit(z, z.size(2));
  }

 private:
  // Emits the frames that rows already settled fully determine.
  bool emit_settled() {
    const int64_t settled = filled_ - kUnsettledRows;
    if (predicted_rows_ < 1 || settled < 1) return true;
    // A marker channel, 1 on rows not yet settled, shows which frames they reach.
    at::Tensor rows = torch::zeros({1, predicted_rows_, GPTDecoderImpl::kWidth + 1});
    const int64_t known = std::min(settled, predicted_rows_);
    rows.narrow(1, 0, known).narrow(2, 0, GPTDecoderImpl::kWidth).copy_(rows_.narrow(1, 0, known));
    rows.narrow(1, known, predicted_rows_ - known).select(2, GPTDecoderImpl::kWidth).fill_(1.0f);
    at::Tensor z = vocoder_frames(rows, speed_);
    at::Tensor reached = z.select(1, GPTDecoderImpl::kWidth).squeeze(0).ne(0).nonzero();
    const int64_t clean = reached.numel() ? reached[0][0].item<int64_t>() : z.size(2);
    return emit(z.narrow(1, 0, GPTDecoderImpl::kWidth), clean - kVocoderContext);
  }

  // Vocodes frames emitted_ .. end of z (with context on both sides) and delivers them.
  bool emit(const at::Tensor &z, int64_t end) {
    end = std::min(end, z.size(2));
    if (end <= emitted_) return true;
    const int64_t start = now_ns();
    const int64_t from = std::max<int64_t>(0, emitted_ - kVocoderContext);
    const int64_t to = std::min(z.size(2), end + kVocoderContext);
    at::Tensor window = z.narrow(2, from, to - from).contiguous();
    at::Tensor audio = model_.hifi_decoder->waveform_decoder->forward(window, speaker_);
    at::Tensor part = audio.reshape({-1})
                          .narrow(0, (emitted_ - from) * kSamplesPerFrame,
                                  (end - emitted_) * kSamplesPerFrame)
                          .contiguous();
    log_line(kLogDebug, "[vclone] Vocoded frames %ld-%ld (of %ld) after %ld codes in %.0f ms",
             static_cast<long>(emitted_), static_cast<long>(end), static_cast<long>(to - from),
             static_cast<long>(filled_), (now_ns() - start) / 1e6);
    emitted_ = end;
    return sink_(part.data_ptr<float>(), part.numel());
  }

  vclone_model &model_;
  at::Tensor speaker_;
  float speed_;
  const AudioSink &sink_;
  at::Tensor rows_;
  int64_t predicted_rows_;
  int64_t filled_ = 0;
  int64_t emitted_ = 0;
  int64_t next_chunk_;
  int64_t chunk_codes_;
};


// Voices whose conditioning keys and values a model keeps: about 8 MB each.
constexpr size_t kVoicePrefixes = 4;

// The decoder's keys and values for the voice's conditioning, computed on its
// first use with this model. The caller holds the model's call mutex.
const KvCache &voice_prefix(vclone_model &model, const vclone_voice &voice) {
  auto &kept = model.voice_prefixes;
  for (size_t i = 0; i < kept.size(); i++)
    if (kept[i].cond_latents.is_same(voice.cond_latents)) {
      const auto found = kept.begin() + static_cast<long>(i);
      std::rotate(kept.begin(), found, found + 1);  // most recently used first
      return kept.front().cache;
    }
  kept.insert(kept.begin(), {voice.cond_latents,
                             model.gpt_decoder->conditioning_cache(voice.cond_latents)});
  if (kept.size() > kVoicePrefixes) kept.pop_back();
  return kept.front().cache;
}

bool is_blank(const char *text) {
  for (const char *p = text; *p; p++)
    if (!std::isspace(static_cast<unsigned char>(*p))) return false;
  return true;
}

struct Piece {
  std::string text;
  std::vector<int32_t> ids;  // none: only the silence before it
  float speed = 1.0f;
  float pause_before = -1.0f;  // < 0: pause_seconds, after the first piece
};

// The text as pieces of at most kMaxTextTokens tokens each: split as the
// language's budget says, and any piece still too long split again with half
// the budget. Without splitting, the whole text or a "Text too long" error.
bool make_pieces(const BpeTokenizer &tokenizer, const std::string &text,
                 const std::string &language, bool split, std::vector<Piece> &pieces) {
  if (!split) {
    Piece piece{text, encode(tokenizer, text, language)};
    if (piece.ids.size() > static_cast<size_t>(kMaxTextTokens)) {
      set_last_error("Text too long: %d tokens, at most %d (turn split_text on to speak it in pieces)",
                     static_cast<int>(piece.ids.size()), kMaxTextTokens);
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
      for (const std::string &sub : split_text(part, budget / 2)) smaller.emplace_back(sub, budget / 2);
      pending.insert(pending.begin() + static_cast<long>(i) + 1, smaller.begin(), smaller.end());
      continue;
    }
    pieces.push_back({part, std::move(ids)});
  }
  return true;
}

// The text through the front end (lexicon, normaliser or SSML), then each of
// its spans cut into pieces in the span's language, rate and pause.
bool text_pieces(const vclone_model &model, const char *text, const char *language,
                 const vclone_options &options, std::vector<Piece> &pieces) {
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
    if (span.text.empty() || is_blank(span.text.c_str())) {
      pieces.push_back({"", {}, span.speed, span.pause_before});
      continue;
    }
    if (!has_language(model.tokenizer, span.language)) {
      set_last_error("Unknown language '%s': this vocabulary has %s", span.language.c_str(),
                     model.languages.c_str());
      return false;
    }
    if (!make_pieces(model.tokenizer, span.text, span.language, options.split_text != 0, pieces))
      return false;
    for (size_t i = first; i < pieces.size(); i++) pieces[i].speed = span.speed;
    if (pieces.size() > first) pieces[first].pause_before = span.pause_before;
  }
  const bool spoken = std::any_of(pieces.begin(), pieces.end(),
                                  [](const Piece &piece) { return !piece.ids.empty(); });
  if (!spoken) set_last_error("Empty text: nothing to speak");
  return spoken;
}

}  // namespace

at::Tensor token_tensor(const std::vector<int32_t> &ids) {
  at::Tensor tokens = torch::zeros({1, static_cast<int64_t>(ids.size())}, torch::kInt64);
  auto view = tokens.accessor<int64_t, 2>();
  for (size_t j = 0; j < ids.size(); j++) view[0][j] = ids[j];
  return tokens;
}

SpeakResult speak(vclone_model &model, const char *text, const char *language,
                  const vclone_voice &voice, const vclone_options &options, bool streaming,
                  const AudioSink &sink) {
  const int64_t t0 = now_ns();
  torch::NoGradGuard no_grad;
  if (is_blank(text)) {
    set_last_error("Empty text: nothing to speak");
    return SpeakResult::kFailed;
  }
  if (!has_language(model.tokenizer, language)) {
    set_last_error("Unknown language '%s': this vocabulary has %s", language,
                   model.languages.c_str());
    return SpeakResult::kFailed;
  }
  if (!voice_fits(voice)) return SpeakResult::kFailed;
  std::vector<Piece> pieces;
  if (!text_pieces(model, text, language, options, pieces)) return SpeakResult::kFailed;

  CodeSampling sampling;
  sampling.temperature = options.temperature;
  sampling.top_k = options.top_k;
  sampling.top_p = options.top_p;
  sampling.repetition_penalty = options.repetition_penalty;
  sampling.max_codes = std::min(options.max_codes, kMaxCodes);
  if (options.seed != VCLONE_NO_SEED)
    sampling.generator = at::make_generator<at::CPUGeneratorImpl>(options.seed);

  const KvCache &conditioning = voice_prefix(model, voice);
  int64_t delivered = 0;
  const AudioSink counting = [&](const float *samples, int64_t count) {
    delivered += count;
    return sink(samples, count);
  };
  for (size_t i = 0; i < pieces.size(); i++) {
    const float seconds = pieces[i].pause_before >= 0 ? pieces[i].pause_before
                          : i > 0                     ? options.pause_seconds
                                                      : 0.0f;
    const std::vector<float> pause(static_cast<size_t>(std::lround(seconds * kOutputRate)), 0.0f);
    if (!pause.empty() && !counting(pause.data(), static_cast<int64_t>(pause.size())))
      return SpeakResult::kStopped;
    if (pieces[i].ids.empty()) continue;
    vclone_options piece_options = options;
    piece_options.speed = pieces[i].speed;
    PieceVocoder vocoder(model, voice, piece_options, streaming, sampling.max_codes, counting);
    bool stopped = false;
    at::Tensor codes = model.gpt_decoder->generate_codes(
        voice.cond_latents, token_tensor(pieces[i].ids), sampling,
        [&](int64_t row, const float *state) { return vocoder.add(row, state); }, &stopped,
        model.n_threads, &conditioning);
    if (stopped) return SpeakResult::kStopped;
    if (codes.size(1) < kMinimumCodes) {
      set_last_error("Too few codes: piece %zu of %zu (\"%.40s\") gave %ld", i + 1, pieces.size(),
                     pieces[i].text.c_str(), static_cast<long>(codes.size(1)));
      return SpeakResult::kFailed;
    }
    if (!vocoder.finish(codes.size(1) - kUnsettledRows)) return SpeakResult::kStopped;
  }
  log_line(kLogInfo, "[vclone] Done: %ld samples (%.2f sec audio, %zu pieces) in %.2f sec",
           static_cast<long>(delivered), static_cast<double>(delivered) / kOutputRate,
           pieces.size(), (now_ns() - t0) / 1e9);
  return SpeakResult::kDone;
}
