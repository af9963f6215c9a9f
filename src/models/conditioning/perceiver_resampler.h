// Perceiver resampler: a fixed set of learned latents cross-attends to a
// sequence of any length, so every reference yields the same number of
// conditioning latents.
#pragma once

#include <ATen/core/Tensor.h>
#include <torch/nn/module.h>
#include <torch/nn/modules/container/modulelist.h>
#include <torch/nn/modules/linear.h>
#include <torch/nn/pimpl.h>

#include <vector>

// Scales each vector along the last axis to length sqrt(width), times gamma.
class RMSNormImpl : public torch::nn::Module {
 public:
  explicit RMSNormImpl(int width);

  at::Tensor forward(at::Tensor x);

  float scale;
  at::Tensor gamma;
};
TORCH_MODULE(RMSNorm);

// Latents [B, N, W] attend to themselves and to the context [B, T, W].
class PerceiverAttentionImpl : public torch::nn::Module {
 public:
  PerceiverAttentionImpl(int width, int head_width, int head_count);

  at::Tensor forward(at::Tensor x, at::Tensor context);

  int heads;
  int head_dim;
  float scale;
  torch::nn::Linear to_q{nullptr};
  // Output features: keys, then values, each split into heads of head_dim.
  torch::nn::Linear to_kv{nullptr};
  torch::nn::Linear to_out{nullptr};
};
TORCH_MODULE(PerceiverAttention);

class PerceiverResamplerImpl : public torch::nn::Module {
 public:
  PerceiverResamplerImpl(int width, int depth, int head_dim, int heads, int num_latents,
                         int ff_mult);

  // [B, T, W] -> [B, W, num_latents]
  at::Tensor forward(at::Tensor context);

  at::Tensor latents;
  torch::nn::ModuleList layers{nullptr};
  RMSNorm norm{nullptr};

 private:
  // Typed views of the entries of layers; entry "1"."1" is a placeholder
  // that only keeps the output projection at index 2.
  std::vector<PerceiverAttention> attention_;
  std::vector<torch::nn::Linear> ff_in_;
  std::vector<torch::nn::Linear> ff_out_;
};
TORCH_MODULE(PerceiverResampler);
