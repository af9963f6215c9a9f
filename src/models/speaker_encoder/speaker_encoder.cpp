#include "models/speaker_encoder/speaker_encoder.h"
#include "util/log.h"

#include <ATen/ops/cat.h>
#include <ATen/ops/constant_pad_nd.h>
#include <ATen/ops/conv2d.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/softmax.h>
#include <ATen/ops/sqrt.h>
#include <ATen/ops/tanh.h>
#include <torch/nn/functional/normalization.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

// Output time columns computed at once. Over a 25 s reference each whole
// activation of the first stages is ~20 MB, and a convolution of one needs as
// much again for its reordered copies; a stretch of 256 columns needs about
// 2 MB, so a block holds little more than its input and output.
constexpr int64_t kColumnsPerStretch = 256;

// A tensor of `width` time columns (the last dimension), filled a stretch at
// a time by columns(first, last).
at::Tensor by_stretches(int64_t width,
                        const std::function<at::Tensor(int64_t, int64_t)> &columns) {
  TORCH_CHECK(width > 0, "speaker encoder: no time columns");
  at::Tensor out;
  for (int64_t first = 0; first < width; first += kColumnsPerStretch) {
    const int64_t last = std::min(width, first + kColumnsPerStretch);
    at::Tensor stretch = columns(first, last);
    if (!out.defined()) {
      std::vector<int64_t> sizes = stretch.sizes().vec();
      sizes.back() = width;
      out = at::empty(sizes, stretch.options());
    }
    out.slice(3, first, last).copy_(stretch);
  }
  return out;
}

// Output columns [first, last) of a 3x3 convolution (padding 1, the given
// stride) over an input of `width` columns, of which x holds those from
// x_begin on. The window's columns outside the input are the zeros that the
// padding gives them.
at::Tensor conv3x3_columns(const torch::nn::Conv2dImpl &conv, const at::Tensor &x,
                           int64_t x_begin, int64_t width, int64_t first, int64_t last,
                           int64_t stride) {
  const int64_t begin = stride * first - 1;
  const int64_t end = stride * (last - 1) + 2;
  const int64_t inside_begin = std::max<int64_t>(begin, 0);
  const int64_t inside_end = std::min(end, width);
  at::Tensor window = x.slice(3, inside_begin - x_begin, inside_end - x_begin);
  if (inside_begin != begin || inside_end != end)
    window = at::constant_pad_nd(window, {inside_begin - begin, end - inside_end});
  return at::conv2d(window, conv.weight, conv.bias, {stride, stride}, {1, 0});
}

// Columns of a width-`width` input that a stride-`stride` 3x3 or 1x1 layer
// with padding 1 or 0 gives.
int64_t strided_width(int64_t width, int64_t stride) { return (width - 1) / stride + 1; }

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

at::Tensor SEBlock2dImpl::gate(const at::Tensor &x) {
  at::Tensor y = x.mean({2, 3});
  y = at::sigmoid(excite_(at::relu(squeeze_(y))));
  return y.unsqueeze(-1).unsqueeze(-1);
}

at::Tensor SEBlock2dImpl::forward(at::Tensor x) { return x * gate(x); }

ResBlock2dImpl::ResBlock2dImpl(int in_channels, int out_channels, int stride)
    : has_downsample(in_channels != out_channels || stride != 1), stride_(stride) {
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

at::Tensor ResBlock2dImpl::main_path_columns(const at::Tensor &x, int64_t first, int64_t last) {
  const int64_t width = x.size(3);
  const int64_t mid_width = strided_width(width, stride_);
  // conv2 needs one column of conv1's output either side.
  const int64_t mid_first = std::max<int64_t>(first - 1, 0);
  const int64_t mid_last = std::min(last + 1, mid_width);
  at::Tensor mid = conv3x3_columns(*conv1, x, 0, width, mid_first, mid_last, stride_);
  mid = bn1(mid).relu_();
  return bn2(conv3x3_columns(*conv2, mid, mid_first, mid_width, first, last, 1));
}

// The squeeze-and-excitation gate needs the main path's means over all of
// time, so the main path is made whole first; the gate and the residual are
// then applied in place.
at::Tensor ResBlock2dImpl::forward(at::Tensor x) {
  const int64_t width = strided_width(x.size(3), stride_);
  at::Tensor out = by_stretches(
      width, [&](int64_t first, int64_t last) { return main_path_columns(x, first, last); });
  out.mul_(se->gate(out));
  if (!has_downsample) {
    out += x;
    return out.relu_();
  }
  for (int64_t first = 0; first < width; first += kColumnsPerStretch) {
    const int64_t last = std::min(width, first + kColumnsPerStretch);
    out.slice(3, first, last) +=
        downsample->forward(x.slice(3, stride_ * first, stride_ * (last - 1) + 1));
  }
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
  const at::Tensor normalized = instance_norm(mel).unsqueeze(1);
  const int64_t width = normalized.size(3);
  at::Tensor x = by_stretches(width, [&](int64_t first, int64_t last) {
    return bn1(conv3x3_columns(*conv1, normalized, 0, width, first, last, 1)).relu_();
  });
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
