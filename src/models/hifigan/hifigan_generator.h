// HiFi-GAN vocoder: 1024-channel feature frames plus a speaker embedding in,
// 256 mono samples per frame out.
#pragma once

#include <ATen/core/Tensor.h>
#include <torch/nn/module.h>
#include <torch/nn/modules/container/modulelist.h>
#include <torch/nn/modules/conv.h>
#include <torch/nn/pimpl.h>

#include <vector>

// Three dilated convolution pairs, each added back onto the signal.
class HifiResBlockImpl : public torch::nn::Module {
 public:
  HifiResBlockImpl(int channels, int kernel_size, std::vector<int> dilations);

  // [B, C, L] -> [B, C, L]
  at::Tensor forward(at::Tensor x);

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

  torch::nn::Conv1d conv_pre{nullptr};
  torch::nn::Conv1d cond_layer{nullptr};
  torch::nn::ModuleList ups;
  torch::nn::ModuleList conds;
  torch::nn::ModuleList resblocks;
  torch::nn::Conv1d conv_post{nullptr};
};
TORCH_MODULE(HifiganGenerator);
