#include "engine/pipeline.h"

#include "engine/decode_batch.h"
#include "engine/engine.h"
#include "engine/language_codes.h"
#include "engine/piece_vocoder.h"
#include "engine/pieces.h"
#include "engine/vclone_model.h"
#include "engine/voice.h"
#include "models/gpt/compute_threads.h"
#include "util/log.h"

#include <ATen/CPUGeneratorImpl.h>
#include <torch/types.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kMaxCodes = GPTDecoderImpl::kMaxCodes;
// Three codes leave the latent rows nothing to return.
constexpr int kMinimumCodes = 4;
// Voices whose conditioning keys and values a model keeps: about 8 MB each.
constexpr size_t kVoicePrefixes = 4;

// The decoder's keys and values for the voice's conditioning, computed on its
// first use with this model (with the decoder to itself) and kept for the
// last few voices spoken.
std::shared_ptr<const KvCache> voice_prefix(vclone_model &model, const vclone_voice &voice) {
  {
    std::lock_guard<std::mutex> lock(model.prefix_mutex);
    auto &kept = model.voice_prefixes;
    for (size_t i = 0; i < kept.size(); i++)
      if (kept[i].cond_latents.is_same(voice.cond_latents)) {
        const auto found = kept.begin() + static_cast<long>(i);
        std::rotate(kept.begin(), found, found + 1);  // most recently used first
        return kept.front().cache;
      }
  }
  auto cache = std::make_shared<KvCache>();
  model.batch->exclusive(
      [&] { *cache = model.gpt_decoder->conditioning_cache(voice.cond_latents); });
  std::lock_guard<std::mutex> lock(model.prefix_mutex);
  auto &kept = model.voice_prefixes;
  kept.insert(kept.begin(), {voice.cond_latents, cache});
  if (kept.size() > kVoicePrefixes) kept.pop_back();
  log_line(kLogDebug, "[vclone] Conditioning keys and values computed for a voice");
  return cache;
}

// The original interface's code budget: 602 codes at speed 1.0, fewer as the
// speed rises, never more than the position tables hold.
int original_code_budget(float speed) {
  const float budget = static_cast<float>(CodeSampling{}.max_codes) / speed;
  return budget >= static_cast<float>(kMaxCodes) ? kMaxCodes : static_cast<int>(budget);
}

CodeSampling sampling_for(const SynthesisRequest &request) {
  const vclone_options &options = request.options;
  CodeSampling sampling;
  sampling.temperature = options.temperature;
  sampling.top_k = options.top_k;
  sampling.top_p = options.top_p;
  sampling.repetition_penalty = options.repetition_penalty;
  sampling.max_codes = request.original ? original_code_budget(options.speed)
                                        : std::min(options.max_codes, kMaxCodes);
  if (options.seed != VCLONE_NO_SEED)
    sampling.generator = at::make_generator<at::CPUGeneratorImpl>(options.seed);
  return sampling;
}

// The checks a handle call makes before any work; the original interface
// made none of them and keeps it that way.
bool check_text(vclone_model &model, const SynthesisRequest &request) {
  if (request.original) return true;
  if (is_blank(request.text)) {
    set_last_error("Empty text: nothing to speak");
    return false;
  }
  if (!has_language(model.tokenizer, request.language)) {
    set_last_error("Unknown language '%s': this vocabulary has %s", request.language,
                   model.languages.c_str());
    return false;
  }
  return true;
}

// Speaks one piece into the vocoder. kFailed with the error recorded.
SpeakResult speak_piece(vclone_model &model, const SynthesisRequest &request,
                        const vclone_voice &voice, const Piece &piece, size_t index, size_t count,
                        const CodeSampling &sampling, const KvCache *conditioning,
                        const AudioSink &sink) {
  const vclone_options &options = request.options;
  const at::Tensor tokens = token_tensor(piece.ids);
  PieceVocoder vocoder(model, voice, piece.speed > 0 ? piece.speed : options.speed,
                       request.streaming ? options.stream_first_codes : 0,
                       options.stream_chunk_codes, sampling.max_codes, sink);
  StateObserver observe;
  if (!request.original)
    observe = [&](int64_t row, const float *state) { return vocoder.add(row, state); };
  bool stopped = false;
  at::Tensor codes;
  {
    DecodeBatch::Member member(*model.batch);
    codes = model.gpt_decoder->generate_codes(voice.cond_latents, tokens, sampling, observe,
                                              &stopped, model.n_threads, conditioning, &member);
  }
  if (stopped) return SpeakResult::kStopped;
  if (codes.size(1) < kMinimumCodes) {
    if (request.original)
      set_last_error("Too few codes");
    else
      set_last_error("Too few codes: piece %zu of %zu (\"%.40s\") gave %ld", index + 1, count,
                     piece.text.c_str(), static_cast<long>(codes.size(1)));
    return SpeakResult::kFailed;
  }
  bool delivered;
  if (request.original) {
    at::Tensor latents;
    model.batch->exclusive(
        [&] { latents = model.gpt_decoder->compute_latents(voice.cond_latents, tokens, codes); });
    delivered = vocoder.finish_whole(latents);
  } else {
    delivered = vocoder.finish(codes.size(1) - kUnsettledRows);
  }
  return delivered ? SpeakResult::kDone : SpeakResult::kStopped;
}

void log_done(const SynthesisRequest &request, int64_t samples, size_t pieces, int64_t t0) {
  const double seconds = static_cast<double>(samples) / kOutputSampleRate;
  if (request.original)
    log_line(kLogInfo, "[vclone] Done: %d samples (%.2f sec audio) in %.2f sec\n",
             static_cast<int>(samples), static_cast<double>(static_cast<float>(seconds)),
             (now_ns() - t0) / 1e9);
  else
    log_line(kLogInfo, "[vclone] Done: %ld samples (%.2f sec audio, %zu pieces) in %.2f sec",
             static_cast<long>(samples), seconds, pieces, (now_ns() - t0) / 1e9);
}

}  // namespace

SpeakResult synthesize(vclone_model &model, const SynthesisRequest &request,
                       const AudioSink &sink) {
  const int64_t t0 = now_ns();
  torch::NoGradGuard no_grad;
  ComputeThreads threads(model.n_threads);
  if (!check_text(model, request)) return SpeakResult::kFailed;
  // Held to the end of the call: a caller that stops frees it at once.
  DecodeBatch::Place place(*model.batch);
  std::vector<Piece> pieces;
  const char *hint = request.original ? "" : " (turn split_text on to speak it in pieces)";
  // The original interface reads its text as given, as it always has.
  const bool made =
      request.original
          ? make_pieces(model.tokenizer, request.text, request.language, false, hint, pieces)
          : text_pieces(model, request.text, request.language, request.options, hint, pieces);
  if (!made) return SpeakResult::kFailed;

  vclone_voice computed;
  const vclone_voice *voice = request.voice;
  if (!voice) {
    std::lock_guard<std::mutex> lock(model.call_mutex);
    if (!compute_voice(model, request.reference_path, request.original, computed))
      return SpeakResult::kFailed;
    voice = &computed;
  }
  if (!voice_fits(*voice)) return SpeakResult::kFailed;

  const CodeSampling sampling = sampling_for(request);
  const std::shared_ptr<const KvCache> conditioning =
      request.original ? nullptr : voice_prefix(model, *voice);
  int64_t delivered = 0;
  const AudioSink counting = [&](const float *samples, int64_t count) {
    delivered += count;
    return sink(samples, count);
  };
  for (size_t i = 0; i < pieces.size(); i++) {
    const float seconds = pieces[i].pause_before >= 0 ? pieces[i].pause_before
                          : i > 0                     ? request.options.pause_seconds
                                                      : 0.0f;
    const std::vector<float> pause(static_cast<size_t>(std::lround(seconds * kOutputSampleRate)),
                                   0.0f);
    if (!pause.empty() && !counting(pause.data(), static_cast<int64_t>(pause.size())))
      return SpeakResult::kStopped;
    if (pieces[i].ids.empty()) continue;  // an SSML break with nothing after it
    const SpeakResult result = speak_piece(model, request, *voice, pieces[i], i, pieces.size(),
                                           sampling, conditioning.get(), counting);
    if (result != SpeakResult::kDone) return result;
  }
  log_done(request, delivered, pieces.size(), t0);
  return SpeakResult::kDone;
}
