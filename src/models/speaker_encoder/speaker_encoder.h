// Speaker encoder: a squeeze-and-excitation ResNet over the 64-bin speaker mel
// (as a one-channel image), attentive statistics pooling over time and a
// projection to a unit-length 512-value embedding.
#pragma once

#include <ATen/core/Tensor.h>
#include <torch/nn/module.h>
#include <torch/nn/modules/batchnorm.h>
#include <torch/nn/modules/container/modulelist.h>
#include <torch/nn/modules/container/sequential.h>
#include <torch/nn/modules/conv.h>
#include <torch/nn/modules/instancenorm.h>
#include <torch/nn/modules/linear.h>
#include <torch/nn/pimpl.h>

#include <vector>

// Rescales each channel by a gate computed from the channel means.
class SEBlock2dImpl : public torch::nn::Module {
 public:
  explicit SEBlock2dImpl(int channels);

  at::Tensor forward(at::Tensor x);

  // The per-channel factors [B, C, 1, 1] that forward multiplies x by.
  at::Tensor gate(const at::Tensor &x);

  torch::nn::ModuleList fc{nullptr};

 private:
  torch::nn::Linear squeeze_{nullptr};
  torch::nn::Linear excite_{nullptr};
};
TORCH_MODULE(SEBlock2d);

class ResBlock2dImpl : public torch::nn::Module {
 public:
  ResBlock2dImpl(int in_channels, int out_channels, int stride);

  // Computed a stretch of time columns at a time (see the .cpp), so that
  // over a long reference only the input and the output are held whole.
  at::Tensor forward(at::Tensor x);

  // Absent when the block keeps both channel count and resolution; the input
  // is then the residual as it stands.
  bool has_downsample;
  torch::nn::Conv2d conv1{nullptr};
  torch::nn::BatchNorm2d bn1{nullptr};
  torch::nn::Conv2d conv2{nullptr};
  torch::nn::BatchNorm2d bn2{nullptr};
  SEBlock2d se{nullptr};
  torch::nn::Sequential downsample{nullptr};

 private:
  // The main path's output columns [first, last) after bn2, from the whole
  // input x.
  at::Tensor main_path_columns(const at::Tensor &x, int64_t first, int64_t last);

  int64_t stride_;
};
TORCH_MODULE(ResBlock2d);

class SpeakerEncoderImpl : public torch::nn::Module {
 public:
  SpeakerEncoderImpl();

  // Speaker mel [B, 64, T] -> embedding [B, 512], each row of unit length.
  at::Tensor forward(at::Tensor mel);

  // Pools the ResNet features [B, 2048, W] over time into the weighted means
  // followed by the weighted deviations, [B, 4096].
  at::Tensor pool(at::Tensor x);

  torch::nn::InstanceNorm1d instance_norm{nullptr};
  torch::nn::Conv2d conv1{nullptr};
  torch::nn::BatchNorm2d bn1{nullptr};
  torch::nn::ModuleList layer1{nullptr};
  torch::nn::ModuleList layer2{nullptr};
  torch::nn::ModuleList layer3{nullptr};
  torch::nn::ModuleList layer4{nullptr};
  // Entry 1 is a placeholder that keeps the batch norm and the output
  // convolution at indices 2 and 3; forward never calls it.
  torch::nn::ModuleList attention{nullptr};
  torch::nn::Linear fc{nullptr};

 private:
  std::vector<ResBlock2d> blocks_;  // layer1 to layer4, in order
  torch::nn::Conv1d attention_in_{nullptr};
  torch::nn::BatchNorm1d attention_bn_{nullptr};
  torch::nn::Conv1d attention_out_{nullptr};
};
TORCH_MODULE(SpeakerEncoder);
