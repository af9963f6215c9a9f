// Conditioning encoder: lifts a normalised GPT mel to 1024 channels and runs
// self-attention along time. One output frame per mel frame; no pooling.
#pragma once

#include <ATen/core/Tensor.h>
#include <torch/nn/module.h>
#include <torch/nn/modules/container/modulelist.h>
#include <torch/nn/modules/conv.h>
#include <torch/nn/modules/normalization.h>
#include <torch/nn/pimpl.h>

#include <vector>

// Multi-head self-attention over the frames of [B, C, T]. The residual is
// taken from the normalised input, not from the block's input.
class AttentionBlockImpl : public torch::nn::Module {
 public:
  AttentionBlockImpl(int channels, int head_count);

  at::Tensor forward(at::Tensor x);

  int heads;
  int head_dim;
  torch::nn::GroupNorm norm{nullptr};
  // Output channels: queries, keys, values, each split into heads of head_dim.
  torch::nn::Conv1d qkv{nullptr};
  torch::nn::Conv1d proj_out{nullptr};
};
TORCH_MODULE(AttentionBlock);

class ConditioningEncoderImpl : public torch::nn::Module {
 public:
  ConditioningEncoderImpl(int mel_bands, int width, int heads, int blocks);

  // [B, mel_bands, T] -> [B, width, T]
  at::Tensor forward(at::Tensor mel);

  torch::nn::Conv1d init{nullptr};
  torch::nn::ModuleList attn{nullptr};

 private:
  // The entries of attn, kept typed so forward needs no casts.
  std::vector<AttentionBlock> blocks_;
};
TORCH_MODULE(ConditioningEncoder);
