#include "models/conditioning/perceiver_resampler.h"
#include "util/log.h"

#include <ATen/ops/cat.h>
#include <ATen/ops/gelu.h>
#include <ATen/ops/matmul.h>
#include <ATen/ops/ones.h>
#include <ATen/ops/randn.h>
#include <ATen/ops/softmax.h>
#include <torch/nn/functional/normalization.h>

#include <cmath>
#include <cstdio>

RMSNormImpl::RMSNormImpl(int width) : scale(std::sqrt(static_cast<float>(width))) {
  gamma = register_parameter("gamma", at::ones({width}, at::kFloat));
}

at::Tensor RMSNormImpl::forward(at::Tensor x) {
  namespace F = torch::nn::functional;
  return F::normalize(x, F::NormalizeFuncOptions().p(2).dim(-1).eps(1e-12)) * scale * gamma;
}

PerceiverAttentionImpl::PerceiverAttentionImpl(int width, int head_width, int head_count)
    : heads(head_count),
      head_dim(head_width),
      scale(1.0f / std::sqrt(static_cast<float>(head_width))) {
  const int inner = head_dim * heads;
  to_q = register_module("to_q",
                         torch::nn::Linear(torch::nn::LinearOptions(width, inner).bias(false)));
  to_kv = register_module(
      "to_kv", torch::nn::Linear(torch::nn::LinearOptions(width, 2 * inner).bias(false)));
  to_out = register_module("to_out",
                           torch::nn::Linear(torch::nn::LinearOptions(inner, width).bias(false)));
}

at::Tensor PerceiverAttentionImpl::forward(at::Tensor x, at::Tensor context) {
  at::Tensor kv_input = at::cat({x, context}, 1);
  const int B = static_cast<int>(x.size(0));
  const int N = static_cast<int>(x.size(1));
  const int M = static_cast<int>(kv_input.size(1));

  at::Tensor q = to_q(x).reshape({B, N, heads, head_dim}).permute({0, 2, 1, 3});
  auto kv = to_kv(kv_input).chunk(2, -1);
  at::Tensor k = kv[0].reshape({B, M, heads, head_dim}).permute({0, 2, 1, 3});
  at::Tensor v = kv[1].reshape({B, M, heads, head_dim}).permute({0, 2, 1, 3});

  at::Tensor attn = at::softmax(at::matmul(q, k.transpose(-2, -1)) * scale, -1);
  at::Tensor out = at::matmul(attn, v).permute({0, 2, 1, 3}).reshape({B, N, head_dim * heads});
  return to_out(out);
}

PerceiverResamplerImpl::PerceiverResamplerImpl(int width, int depth, int head_dim, int heads,
                                               int num_latents, int ff_mult) {
  // Truncated, so the gated projection is 5460 wide for width 1024, not 5461.
  const int ff_inner = static_cast<int>(static_cast<double>(width) * ff_mult * 2 / 3);

  latents = register_parameter("latents", at::randn({num_latents, width}, at::kFloat));
  layers = register_module("layers", torch::nn::ModuleList());
  for (int i = 0; i < depth; ++i) {
    PerceiverAttention attention(width, head_dim, heads);
    torch::nn::Linear ff_in(torch::nn::LinearOptions(width, 2 * ff_inner));
    torch::nn::Linear ff_out(torch::nn::LinearOptions(ff_inner, width));
    torch::nn::ModuleList ff;
    ff->push_back(ff_in);
    ff->push_back(torch::nn::Linear(1, 1));
    ff->push_back(ff_out);
    torch::nn::ModuleList layer;
    layer->push_back(attention);
    layer->push_back(ff);
    layers->push_back(layer);

    attention_.push_back(attention);
    ff_in_.push_back(ff_in);
    ff_out_.push_back(ff_out);
  }
  norm = register_module("norm", RMSNorm(width));
}

at::Tensor PerceiverResamplerImpl::forward(at::Tensor context) {
  const int B = static_cast<int>(context.size(0));
  at::Tensor lat = latents.unsqueeze(0).expand({B, -1, -1});
  for (size_t i = 0; i < attention_.size(); ++i) {
    lat = lat + attention_[i](lat, context);
    auto halves = ff_in_[i](lat).chunk(2, -1);
    at::Tensor gated = halves[0] * at::gelu(halves[1]);
    lat = lat + ff_out_[i](gated);
  }
  lat = norm(lat).permute({0, 2, 1});
  log_line(kLogDebug, "[conditioning] PerceiverResampler output: [%ld, %ld, %ld]\n",
           static_cast<long>(lat.size(0)), static_cast<long>(lat.size(1)),
           static_cast<long>(lat.size(2)));
  return lat;
}
