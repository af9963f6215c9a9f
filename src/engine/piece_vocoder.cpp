#include "engine/piece_vocoder.h"

#include "engine/engine.h"
#include "engine/vclone_model.h"
#include "engine/voice.h"
#include "util/log.h"

#include <torch/nn/functional/upsampling.h>
#include <torch/types.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr int64_t kWidth = GPTDecoderImpl::kWidth;
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
  at::Tensor z = F::interpolate(latents.transpose(1, 2), F::InterpolateFuncOptions()
                                                             .size(std::vector<int64_t>{scaled})
                                                             .mode(torch::kLinear)
                                                             .align_corners(false));
  return stretch_latents(z.transpose(1, 2));
}

}  // namespace

PieceVocoder::PieceVocoder(vclone_model &model, const vclone_voice &voice, float speed,
                           int64_t first_chunk_codes, int64_t chunk_codes, int code_limit,
                           const AudioSink &sink)
    : model_(model),
      speaker_(voice.speaker_embedding),
      speed_(speed),
      sink_(sink),
      rows_(torch::zeros({1, code_limit, kWidth})),
      predicted_rows_(code_limit - kUnsettledRows),
      next_chunk_(first_chunk_codes > 0 ? first_chunk_codes : std::numeric_limits<int64_t>::max()),
      chunk_codes_(chunk_codes) {}

bool PieceVocoder::add(int64_t row, const float *state) {
  std::copy_n(state, kWidth, rows_.data_ptr<float>() + row * kWidth);
  filled_ = row + 1;
  if (filled_ < next_chunk_) return true;
  next_chunk_ += chunk_codes_;
  return emit_settled();
}

bool PieceVocoder::finish(int64_t latent_rows) {
  at::Tensor z = vocoder_frames(rows_.narrow(1, 0, latent_rows), speed_);
  return emit(z, z.size(2));
}

bool PieceVocoder::finish_whole(const at::Tensor &latents) {
  at::Tensor audio = model_.hifi_decoder->forward(latents, speaker_).reshape({-1}).contiguous();
  return sink_(audio.data_ptr<float>(), audio.numel());
}

// Emits the frames that rows already settled fully determine.
bool PieceVocoder::emit_settled() {
  const int64_t settled = filled_ - kUnsettledRows;
  if (predicted_rows_ < 1 || settled < 1) return true;
  // A marker channel, 1 on rows not yet settled, shows which frames they reach.
  at::Tensor rows = torch::zeros({1, predicted_rows_, kWidth + 1});
  const int64_t known = std::min(settled, predicted_rows_);
  rows.narrow(1, 0, known).narrow(2, 0, kWidth).copy_(rows_.narrow(1, 0, known));
  rows.narrow(1, known, predicted_rows_ - known).select(2, kWidth).fill_(1.0f);
  at::Tensor z = vocoder_frames(rows, speed_);
  at::Tensor reached = z.select(1, kWidth).squeeze(0).ne(0).nonzero();
  const int64_t clean = reached.numel() ? reached[0][0].item<int64_t>() : z.size(2);
  return emit(z.narrow(1, 0, kWidth), clean - kVocoderContext);
}

// Vocodes frames emitted_ .. end of z (with context on both sides) and delivers them.
bool PieceVocoder::emit(const at::Tensor &z, int64_t end) {
  end = std::min(end, z.size(2));
  if (end <= emitted_) return true;
  const int64_t start = now_ns();
  const int64_t from = std::max<int64_t>(0, emitted_ - kVocoderContext);
  const int64_t to = std::min(z.size(2), end + kVocoderContext);
  at::Tensor window = z.narrow(2, from, to - from).contiguous();
  at::Tensor audio = model_.hifi_decoder->waveform_decoder->forward(window, speaker_);
  at::Tensor part =
      audio.reshape({-1})
          .narrow(0, (emitted_ - from) * kSamplesPerFrame, (end - emitted_) * kSamplesPerFrame)
          .contiguous();
  log_line(kLogDebug, "[vclone] Vocoded frames %ld-%ld (of %ld) after %ld codes in %.0f ms",
           static_cast<long>(emitted_), static_cast<long>(end), static_cast<long>(to - from),
           static_cast<long>(filled_), (now_ns() - start) / 1e6);
  emitted_ = end;
  return sink_(part.data_ptr<float>(), part.numel());
}
