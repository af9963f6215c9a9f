#include "models/hifigan/hifigan_generator.h"

#include <ATen/ops/leaky_relu.h>
#include <ATen/ops/tanh.h>

#include <utility>

namespace {

constexpr double kLeakySlope = 0.1;
constexpr int kInputChannels = 1024;
constexpr int kSpeakerChannels = 512;
constexpr int kChannels[] = {512, 256, 128, 64, 32};
constexpr int kUpsampleRates[] = {8, 8, 2, 2};
constexpr int kUpsampleKernels[] = {16, 16, 4, 4};
constexpr int kResKernels[] = {3, 7, 11};
constexpr int kStages = 4;
constexpr int kBranches = 3;

torch::nn::Conv1d make_conv(int in, int out, int kernel, int padding, int dilation = 1,
                            bool bias = true) {
  return torch::nn::Conv1d(torch::nn::Conv1dOptions(in, out, kernel)
                               .stride(1)
                               .padding(padding)
                               .dilation(dilation)
                               .groups(1)
                               .bias(bias));
}

}  // namespace

HifiResBlockImpl::HifiResBlockImpl(int channels, int kernel_size, std::vector<int> dilations) {
  convs1 = register_module("convs1", torch::nn::ModuleList());
  convs2 = register_module("convs2", torch::nn::ModuleList());
  for (int d : dilations) {
    convs1->push_back(make_conv(channels, channels, kernel_size, (kernel_size - 1) * d / 2, d));
    convs2->push_back(make_conv(channels, channels, kernel_size, (kernel_size - 1) / 2));
  }
}

at::Tensor HifiResBlockImpl::forward(at::Tensor x) {
  for (size_t i = 0; i < convs1->size(); i++) {
    at::Tensor t = at::leaky_relu(x, kLeakySlope);
    t = convs1[i]->as<torch::nn::Conv1dImpl>()->forward(t);
    t = at::leaky_relu(t, kLeakySlope);
    t = convs2[i]->as<torch::nn::Conv1dImpl>()->forward(t);
    x = x + t;
  }
  return x;
}

HifiganGeneratorImpl::HifiganGeneratorImpl() {
  conv_pre = register_module("conv_pre", make_conv(kInputChannels, kChannels[0], 7, 3));
  cond_layer = register_module("cond_layer", make_conv(kSpeakerChannels, kSpeakerChannels, 1, 0));
  ups = register_module("ups", torch::nn::ModuleList());
  for (int i = 0; i < kStages; i++) {
    ups->push_back(torch::nn::ConvTranspose1d(
        torch::nn::ConvTranspose1dOptions(kChannels[i], kChannels[i + 1], kUpsampleKernels[i])
            .stride(kUpsampleRates[i])
            .padding((kUpsampleKernels[i] - kUpsampleRates[i]) / 2)
            .output_padding(0)
            .groups(1)
            .bias(true)
            .dilation(1)));
  }
  conds = register_module("conds", torch::nn::ModuleList());
  for (int i = 0; i < kStages; i++) conds->push_back(make_conv(kSpeakerChannels, kChannels[i + 1], 1, 0));
  resblocks = register_module("resblocks", torch::nn::ModuleList());
  for (int i = 0; i < kStages; i++) {
    for (int j = 0; j < kBranches; j++) {
      resblocks->push_back(HifiResBlock(kChannels[i + 1], kResKernels[j], std::vector<int>{1, 3, 5}));
    }
  }
  conv_post = register_module("conv_post", make_conv(kChannels[kStages], 1, 7, 3, 1, false));
}

at::Tensor HifiganGeneratorImpl::forward(at::Tensor x, at::Tensor g) {
  x = conv_pre->forward(std::move(x));
  x = x + cond_layer->forward(g);
  for (int i = 0; i < kStages; i++) {
    x = at::leaky_relu(x, kLeakySlope);
    x = ups[i]->as<torch::nn::ConvTranspose1dImpl>()->forward(x);
    x = x + conds[i]->as<torch::nn::Conv1dImpl>()->forward(g);
    // The first branch stands in for the zero start of the sum: 0 + a == a.
    at::Tensor sum = resblocks[kBranches * i]->as<HifiResBlockImpl>()->forward(x);
    for (int j = 1; j < kBranches; j++) {
      sum = sum + resblocks[kBranches * i + j]->as<HifiResBlockImpl>()->forward(x);
    }
    x = sum / static_cast<double>(kBranches);
  }
  x = at::leaky_relu(x, kLeakySlope);
  x = conv_post->forward(x);
  return at::tanh(x);
}
