#include "models/conditioning/conditioning_encoder.h"
#include "util/log.h"

#include <ATen/ops/matmul.h>
#include <ATen/ops/softmax.h>

#include <cmath>
#include <cstdio>

namespace {

torch::nn::Conv1dOptions pointwise(int in, int out) {
  return torch::nn::Conv1dOptions(in, out, 1).stride(1).padding(0).dilation(1).groups(1).bias(true);
}

}  // namespace

AttentionBlockImpl::AttentionBlockImpl(int channels, int head_count)
    : heads(head_count), head_dim(channels / head_count) {
  norm = register_module("norm", torch::nn::GroupNorm(torch::nn::GroupNormOptions(32, channels)));
  qkv = register_module("qkv", torch::nn::Conv1d(pointwise(channels, 3 * channels)));
  proj_out = register_module("proj_out", torch::nn::Conv1d(pointwise(channels, channels)));
}

at::Tensor AttentionBlockImpl::forward(at::Tensor x) {
  const int B = static_cast<int>(x.size(0));
  const int C = static_cast<int>(x.size(1));
  const int T = static_cast<int>(x.size(2));

  x = norm(x);
  at::Tensor parts = qkv(x).reshape({B, 3, heads, head_dim, T});
  at::Tensor q = parts.select(1, 0).permute({0, 1, 3, 2});
  at::Tensor k = parts.select(1, 1).permute({0, 1, 3, 2});
  at::Tensor v = parts.select(1, 2).permute({0, 1, 3, 2});

  const float scale = 1.0f / std::sqrt(static_cast<float>(head_dim));
  at::Tensor weights = at::softmax(at::matmul(q, k.transpose(-2, -1)) * scale, -1);
  at::Tensor h = at::matmul(weights, v).permute({0, 1, 3, 2}).reshape({B, C, T});
  return x + proj_out(h);
}

ConditioningEncoderImpl::ConditioningEncoderImpl(int mel_bands, int width, int heads, int blocks) {
  init = register_module("init", torch::nn::Conv1d(pointwise(mel_bands, width)));
  attn = register_module("attn", torch::nn::ModuleList());
  for (int i = 0; i < blocks; ++i) {
    AttentionBlock block(width, heads);
    attn->push_back(block);
    blocks_.push_back(block);
  }
}

at::Tensor ConditioningEncoderImpl::forward(at::Tensor mel) {
  at::Tensor x = init(mel);
  for (auto &block : blocks_) x = block(x);
  log_line(kLogDebug, "[conditioning] CondEncoder output: [%ld, %ld, %ld]\n",
           static_cast<long>(x.size(0)), static_cast<long>(x.size(1)),
           static_cast<long>(x.size(2)));
  return x;
}
