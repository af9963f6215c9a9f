// HiFi-GAN vocoder: 1024-channel feature frames plus a speaker embedding in,
// 256 mono samples per frame out.
#pragma once

#include <ATen/core/Tensor.h>
#include <torch/nn/module.h>
#include <torch/nn/modules/container/modulelist.h>
#include <torch/nn/modules/conv.h>
#include <torch/nn/pimpl.h>

#include <cstdint>
#include <vector>

// Three dilated convolution pairs, each added back onto the signal.
class HifiResBlockImpl : public torch::nn::Module {
 public:
  HifiResBlockImpl(int channels, int kernel_size, std::vector<int> dilations);

  // [B, C, L] -> [B, C, L]
  at::Tensor forward(at::Tensor x);

  // How many samples on either side of a position its output depends on.
  int64_t reach() const;

  torch::nn::ModuleList convs1;
  torch::nn::ModuleList convs2;
};
TORCH_MODULE(HifiResBlock);

class HifiganGeneratorImpl : public torch::nn::Module {
 public:
  HifiganGeneratorImpl();

  // x: [B, 1024, L] features, g: [B, 512, 1] speaker embedding.
  // Returns [B, 1, 256 * L] samples within [-1, 1].
  at::Tensor forward(at::Tensor x, at::Tensor g);

  // The residual blocks run over time slices of about this many values
  // (channels x samples) each: long signals then stay in cache and clear of
  // the allocator's page-mapped blocks. It changes the result by float
  // rounding at most (very narrow slices may select other kernels).
  int64_t slice_elements = 1 << 19;

  torch::nn::Conv1d conv_pre{nullptr};
  torch::nn::Conv1d cond_layer{nullptr};
  torch::nn::ModuleList ups;
  torch::nn::ModuleList conds;
  torch::nn::ModuleList resblocks;
  torch::nn::Conv1d conv_post{nullptr};

 private:
  // Mean of the three residual blocks of one stage.
  at::Tensor residual_mean(int stage, const at::Tensor &x);
  at::Tensor residual_mean_slice(int stage, const at::Tensor &x);
};
TORCH_MODULE(HifiganGenerator);
