#include "models/speaker_encoder/speaker_encoder.h"
#include "util/log.h"

#include <ATen/ops/cat.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/softmax.h>
#include <ATen/ops/sqrt.h>
#include <ATen/ops/tanh.h>
#include <torch/nn/functional/normalization.h>

#include <algorithm>
#include <cstdio>

namespace {

torch::nn::Conv2dOptions conv3x3(int in, int out, int stride) {
  return torch::nn::Conv2dOptions(in, out, 3).stride(stride).padding(1).bias(true);
}

torch::nn::Conv1dOptions pointwise(int in, int out) {
  return torch::nn::Conv1dOptions(in, out, 1).stride(1).padding(0).bias(true);
}

// One residual stage: the first block changes channels and stride, the rest
// keep them.
torch::nn::ModuleList make_stage(int in, int out, int stride, int count,
                                 std::vector<ResBlock2d> &blocks) {
  torch::nn::ModuleList stage;
  for (int i = 0; i < count; ++i) {
    ResBlock2d block = i == 0 ? ResBlock2d(in, out, stride) : ResBlock2d(out, out, 1);
    stage->push_back(block);
    blocks.push_back(block);
  }
  return stage;
}

}  // namespace

SEBlock2dImpl::SEBlock2dImpl(int channels) {
  const int reduced = std::max(channels / 8, 1);
  squeeze_ = torch::nn::Linear(channels, reduced);
  excite_ = torch::nn::Linear(reduced, channels);
  fc = register_module("fc", torch::nn::ModuleList(squeeze_, excite_));
}

at::Tensor SEBlock2dImpl::forward(at::Tensor x) {
  at::Tensor y = x.mean({2, 3});
  y = at::sigmoid(excite_(at::relu(squeeze_(y))));
  return x * y.unsqueeze(-1).unsqueeze(-1);
}

ResBlock2dImpl::ResBlock2dImpl(int in_channels, int out_channels, int stride)
    : has_downsample(in_channels != out_channels || stride != 1) {
  conv1 = register_module("conv1", torch::nn::Conv2d(conv3x3(in_channels, out_channels, stride)));
  bn1 = register_module("bn1", torch::nn::BatchNorm2d(torch::nn::BatchNormOptions(out_channels)));
  conv2 = register_module("conv2", torch::nn::Conv2d(conv3x3(out_channels, out_channels, 1)));
  bn2 = register_module("bn2", torch::nn::BatchNorm2d(torch::nn::BatchNormOptions(out_channels)));
  se = register_module("se", SEBlock2d(out_channels));
  if (has_downsample) {
    downsample = register_module(
        "downsample", torch::nn::Sequential(
                          torch::nn::Conv2d(torch::nn::Conv2dOptions(in_channels, out_channels, 1)
                                                .stride(stride)
                                                .padding(0)
                                                .bias(true)),
                          torch::nn::BatchNorm2d(torch::nn::BatchNormOptions(out_channels))));
  }
}

// Over a long reference each activation is tens of MB: one step a
// statement, so that each is freed as soon as the next is made, and in
// place where the values allow it.
at::Tensor ResBlock2dImpl::forward(at::Tensor x) {
  at::Tensor out = conv1(x);
  out = bn1(out).relu_();
  out = conv2(out);
  out = bn2(out);
  out = se(out);
  if (has_downsample)
    out += downsample->forward(x);
  else
    out += x;
  return out.relu_();
}

SpeakerEncoderImpl::SpeakerEncoderImpl() {
  instance_norm = register_module("instance_norm",
                                  torch::nn::InstanceNorm1d(torch::nn::InstanceNormOptions(64)));
  conv1 = register_module("conv1", torch::nn::Conv2d(conv3x3(1, 32, 1)));
  bn1 = register_module("bn1", torch::nn::BatchNorm2d(torch::nn::BatchNormOptions(32)));
  layer1 = register_module("layer1", make_stage(32, 32, 1, 3, blocks_));
  layer2 = register_module("layer2", make_stage(32, 64, 2, 4, blocks_));
  layer3 = register_module("layer3", make_stage(64, 128, 2, 6, blocks_));
  layer4 = register_module("layer4", make_stage(128, 256, 2, 3, blocks_));

  attention_in_ = torch::nn::Conv1d(pointwise(2048, 128));
  attention_bn_ = torch::nn::BatchNorm1d(torch::nn::BatchNormOptions(128));
  attention_out_ = torch::nn::Conv1d(pointwise(128, 2048));
  attention = register_module(
      "attention", torch::nn::ModuleList(attention_in_, torch::nn::Conv1d(pointwise(1, 1)),
                                         attention_bn_, attention_out_));
  fc = register_module("fc", torch::nn::Linear(4096, 512));
}

at::Tensor SpeakerEncoderImpl::pool(at::Tensor x) {
  at::Tensor w = attention_out_(attention_bn_(at::tanh(attention_in_(x))));
  w = at::softmax(w, 2);
  at::Tensor mu = (x * w).sum(2);
  at::Tensor var = (w * (x - mu.unsqueeze(2)).pow(2)).sum(2);
  at::Tensor sigma = at::sqrt(var.clamp_min(1e-6f));
  return at::cat({mu, sigma}, 1);
}

at::Tensor SpeakerEncoderImpl::forward(at::Tensor mel) {
  at::Tensor x = instance_norm(mel).unsqueeze(1);
  x = conv1(x);
  x = bn1(x).relu_();
  for (auto &block : blocks_) x = block(x);

  const int B = static_cast<int>(x.size(0));
  const int C = static_cast<int>(x.size(1));
  const int H = static_cast<int>(x.size(2));
  const int W = static_cast<int>(x.size(3));
  log_line(kLogDebug, "[speaker_encoder] After ResNet: [%d, %d, %d, %d]\n", B, C, H, W);

  at::Tensor e = fc(pool(x.reshape({B, C * H, W})));
  namespace F = torch::nn::functional;
  e = F::normalize(e, F::NormalizeFuncOptions().dim(-1));
  log_line(kLogDebug, "[speaker_encoder] Output: [%ld, %ld]\n", static_cast<long>(e.size(0)),
           static_cast<long>(e.size(1)));
  return e;
}
