#include "models/hifigan/hifi_decoder.h"
#include "util/log.h"

#include <torch/nn/functional/upsampling.h>

#include <cstdio>
#include <utility>
#include <vector>

namespace {

constexpr int64_t kLatentStretch = 4;
constexpr double kVocoderRate = kOutputSampleRate;
constexpr double kLatentRate = 22050.0;

at::Tensor stretch_linear(const at::Tensor &z, int64_t frames) {
  namespace F = torch::nn::functional;
  return F::interpolate(z, F::InterpolateFuncOptions()
                               .size(std::vector<int64_t>{frames})
                               .mode(torch::kLinear)
                               .align_corners(false));
}

// Multiplying first keeps exact quotients exact: 588 frames must give 640, not 639.
int64_t frames_at_vocoder_rate(int64_t frames) {
  return static_cast<int64_t>(static_cast<double>(frames) * kVocoderRate / kLatentRate);
}

}  // namespace

int64_t hifi_output_frames(int64_t latent_frames) {
  return frames_at_vocoder_rate(latent_frames * kLatentStretch);
}

at::Tensor stretch_latents(at::Tensor latents) {
  at::Tensor z = latents.transpose(1, 2);
  z = stretch_linear(z, z.size(2) * kLatentStretch);
  return stretch_linear(z, frames_at_vocoder_rate(z.size(2)));
}

HifiDecoderImpl::HifiDecoderImpl() {
  waveform_decoder = register_module("waveform_decoder", HifiganGenerator());
}

bool vocoder_bf16_supported() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512bf16");
}

bool set_vocoder_bf16(HifiDecoderImpl &decoder, bool on) {
  on = on && vocoder_bf16_supported();
  if (on != decoder.bf16) decoder.waveform_decoder->to(on ? torch::kBFloat16 : torch::kFloat);
  decoder.bf16 = on;
  return on;
}

at::Tensor HifiDecoderImpl::forward(at::Tensor latents, at::Tensor g) {
  at::Tensor z = stretch_latents(std::move(latents));

  log_line(kLogDebug, "[hifigan] Input to generator: [%ld, %ld, %ld], spk: [%ld, %ld, %ld]\n",
           static_cast<long>(z.size(0)), static_cast<long>(z.size(1)), static_cast<long>(z.size(2)),
           static_cast<long>(g.size(0)), static_cast<long>(g.size(1)),
           static_cast<long>(g.size(2)));
  at::Tensor o = waveform_decoder->forward(std::move(z), std::move(g));
  log_line(kLogDebug, "[hifigan] Output waveform: [%ld, %ld, %ld] at 24kHz\n",
           static_cast<long>(o.size(0)), static_cast<long>(o.size(1)),
           static_cast<long>(o.size(2)));
  return o;
}
