// HiFi-GAN vocoder: 1024-channel feature frames plus a speaker embedding in,
// 256 mono samples per frame out.
#pragma once

#include <ATen/core/Tensor.h>
#include <torch/nn/module.h>
#include <torch/nn/modules/container/modulelist.h>
#include <torch/nn/modules/conv.h>
#include <torch/nn/pimpl.h>

#include <cstdint>
#include <mutex>
#include <vector>

// A transposed convolution of kernel 2 * stride and padding stride / 2 (an
// even stride), which turns L samples into stride * L, as one ordinary
// convolution of kernel 2 into stride times the channels whose outputs
// interleave: output t takes input q = (t + stride / 2) / stride and q - 1,
// through taps (t + stride / 2) % stride and that + stride. The same products
// as the transposed convolution, summed in another order, and run by the
// fast convolution code in float32 and bf16 alike.
struct UpsamplingConvolution {
  // weight [in, out, 2 * rate] and bias [out] of the transposed convolution;
  // rate is the stride.
  UpsamplingConvolution(const at::Tensor &transposed_weight, const at::Tensor &transposed_bias,
                        int64_t rate);
  // x [B, in, L] -> [B, out, stride * L]
  at::Tensor forward(const at::Tensor &x) const;

  int64_t stride = 0;
  int64_t out_channels = 0;
  at::Tensor weight;  // [stride * out, in, 2]
  at::Tensor bias;    // [stride * out]
};

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
  // ups[stage] applied to x, through its UpsamplingConvolution.
  at::Tensor upsample(int stage, const at::Tensor &x);
  // Mean of the three residual blocks of one stage.
  at::Tensor residual_mean(int stage, const at::Tensor &x);
  at::Tensor residual_mean_slice(int stage, const at::Tensor &x);

  // Made from ups on first use and again when their weights change (a load,
  // a change of type), which the weight's identity, version and type show.
  struct UpsamplingCache {
    const void *weight = nullptr;
    int64_t version = -1;
    at::ScalarType type = at::ScalarType::Undefined;
    std::shared_ptr<const UpsamplingConvolution> convolution;
  };
  std::mutex upsampling_mutex_;
  std::vector<UpsamplingCache> upsampling_;
};
TORCH_MODULE(HifiganGenerator);
