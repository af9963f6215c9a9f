// Waveform decoder: stretches GPT latents to the 24 kHz frame rate and runs
// the vocoder on them.
#pragma once

#include "models/hifigan/hifigan_generator.h"

#include <ATen/core/Tensor.h>
#include <torch/nn/module.h>
#include <torch/nn/pimpl.h>

#include <cstdint>

// Every result of the library is mono at this rate.
constexpr int kOutputSampleRate = 24000;
// Samples the vocoder makes per input frame.
constexpr int64_t kSamplesPerFrame = 256;

// Frames reaching the vocoder for T latent frames: floor(4T * 24000 / 22050).
int64_t hifi_output_frames(int64_t latent_frames);

// [B, T, 1024] latents -> [B, 1024, hifi_output_frames(T)] vocoder input:
// four frames per latent, then rescaled from the 22050 Hz to the 24000 Hz
// frame rate, both by linear interpolation.
at::Tensor stretch_latents(at::Tensor latents);

class HifiDecoderImpl : public torch::nn::Module {
 public:
  HifiDecoderImpl();

  // latents: [B, T, 1024], g: [B, 512, 1].
  // Returns [B, 1, 256 * hifi_output_frames(T)] samples at 24 kHz.
  at::Tensor forward(at::Tensor latents, at::Tensor g);

  HifiganGenerator waveform_decoder{nullptr};
  // The vocoder runs in bf16 (set_vocoder_bf16); inputs and output stay float32.
  bool bf16 = false;
};
TORCH_MODULE(HifiDecoder);

// Whether this CPU runs the vocoder in bf16: it needs AVX512_BF16, without
// which oneDNN's bf16 convolutions are slower than float32 ones.
bool vocoder_bf16_supported();

// Converts the vocoder's weights to bf16 in place (the float32 ones are
// released) and runs it in bf16, where supported; off converts back, and the
// weights keep their bf16 rounding. Returns whether bf16 is now on.
bool set_vocoder_bf16(HifiDecoderImpl &decoder, bool on);
