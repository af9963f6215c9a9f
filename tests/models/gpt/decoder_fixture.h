// One full-size decoder per test program: it holds ~1.5 GB and takes seconds
// to build, so every check that needs it shares this instance. Its two final
// layer norms get random affine parameters, since with the default ones a
// second normalisation would change almost nothing and a missing one would
// go unseen.
#pragma once

#include "models/gpt/gpt_decoder.h"

#include <ATen/Parallel.h>
#include <c10/core/GradMode.h>
#include <torch/types.h>

#include <algorithm>
#include <thread>

namespace fixture {

inline GPTDecoderImpl &shared_decoder() {
  static GPTDecoder decoder = [] {
    // As the engine does at load: pass 1 and 2 then use every core.
    at::set_num_threads(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    torch::manual_seed(20240611);
    GPTDecoder d;
    c10::NoGradGuard no_grad;
    for (const torch::nn::LayerNorm &ln : {d->gpt_ln_f, d->final_norm}) {
      ln->weight.uniform_(0.5, 1.5);
      ln->bias.uniform_(-0.5, 0.5);
    }
    d->eval();
    return d;
  }();
  return *decoder;
}

// Replaces mel_head while alive, so a test decides which codes are drawn:
// with a zero weight the logits are the bias whatever the hidden state.
class MelHeadOverride {
 public:
  MelHeadOverride(GPTDecoderImpl &decoder, at::Tensor bias, bool zero_weight = true)
      : head_(decoder.mel_head),
        weight_(head_->weight.detach().clone()),
        bias_(head_->bias.detach().clone()) {
    c10::NoGradGuard no_grad;
    if (zero_weight) head_->weight.zero_();
    head_->bias.copy_(bias);
  }
  ~MelHeadOverride() {
    c10::NoGradGuard no_grad;
    head_->weight.copy_(weight_);
    head_->bias.copy_(bias_);
  }

 private:
  Dense head_;
  at::Tensor weight_;
  at::Tensor bias_;
};

// A bias under which the stop token is never drawn.
inline at::Tensor bias_without_stop(const GPTDecoderImpl &decoder) {
  at::Tensor bias = decoder.mel_head->bias.detach().clone();
  bias[GPTDecoderImpl::kAudioStop] = -1e4;
  return bias;
}

}  // namespace fixture
