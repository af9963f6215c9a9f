#include "models/hifigan/hifigan_generator.h"

#include <ATen/Parallel.h>
#include <ATen/ThreadLocalState.h>
#include <ATen/ops/conv1d.h>
#include <ATen/ops/leaky_relu.h>
#include <ATen/ops/tanh.h>

#include <algorithm>

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

// Both modules update in place only tensors they have just created, never
// their inputs: the results are those of out-of-place operations, with fewer
// large allocations.
at::Tensor HifiResBlockImpl::forward(at::Tensor x) {
  for (size_t i = 0; i < convs1->size(); i++) {
    at::Tensor t = at::leaky_relu(x, kLeakySlope);
    t = convs1[i]->as<torch::nn::Conv1dImpl>()->forward(t);
    at::leaky_relu_(t, kLeakySlope);
    t = convs2[i]->as<torch::nn::Conv1dImpl>()->forward(t);
    x = t.add_(x);
  }
  return x;
}

int64_t HifiResBlockImpl::reach() const {
  int64_t total = 0;
  for (const auto *list : {&convs1, &convs2}) {
    for (const auto &module : **list) {
      const auto &options = module->as<torch::nn::Conv1dImpl>()->options;
      total += (options.kernel_size()->at(0) - 1) * options.dilation()->at(0) / 2;
    }
  }
  return total;
}

UpsamplingConvolution::UpsamplingConvolution(const at::Tensor &transposed_weight,
                                             const at::Tensor &transposed_bias, int64_t rate)
    : stride(rate), out_channels(transposed_weight.size(1)) {
  TORCH_CHECK(
      transposed_weight.dim() == 3 && transposed_weight.size(2) == 2 * stride && stride % 2 == 0,
      "upsampling: kernel ", transposed_weight.size(-1), " is not twice the stride ", stride);
  const int64_t in = transposed_weight.size(0);
  // taps[ci, co, h, r] = weight[ci, co, h * stride + r]. Phase r's kernel
  // reads input q - 1 through tap r + stride (h = 1) and q through tap r
  // (h = 0), in that order.
  const at::Tensor taps = transposed_weight.reshape({in, out_channels, 2, stride});
  weight =
      taps.flip({2}).permute({3, 1, 0, 2}).reshape({stride * out_channels, in, 2}).contiguous();
  if (transposed_bias.defined()) bias = transposed_bias.repeat({stride}).contiguous();
}

at::Tensor UpsamplingConvolution::forward(const at::Tensor &x) const {
  const int64_t batch = x.size(0);
  const int64_t length = x.size(2);
  // z[b, r * out + co, q] for q in [0, length]: padding 1 gives input q - 1
  // at q = 0 and input q at q = length as the zeros they are.
  const at::Tensor z = at::conv1d(x, weight, bias, 1, 1);
  const at::Tensor interleaved = z.view({batch, stride, out_channels, length + 1})
                                     .permute({0, 2, 3, 1})
                                     .reshape({batch, out_channels, (length + 1) * stride});
  return interleaved.narrow(2, stride / 2, stride * length);
}

HifiganGeneratorImpl::HifiganGeneratorImpl() : upsampling_(kStages) {
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
  for (int i = 0; i < kStages; i++)
    conds->push_back(make_conv(kSpeakerChannels, kChannels[i + 1], 1, 0));
  resblocks = register_module("resblocks", torch::nn::ModuleList());
  for (int i = 0; i < kStages; i++) {
    for (int j = 0; j < kBranches; j++) {
      resblocks->push_back(
          HifiResBlock(kChannels[i + 1], kResKernels[j], std::vector<int>{1, 3, 5}));
    }
  }
  conv_post = register_module("conv_post", make_conv(kChannels[kStages], 1, 7, 3, 1, false));
}

at::Tensor HifiganGeneratorImpl::forward(at::Tensor x, at::Tensor g) {
  // Run in the weights' type (bf16 after set_vocoder_bf16) and answer in
  // the caller's, whoever calls.
  const at::ScalarType caller_type = x.scalar_type();
  const at::ScalarType weight_type = conv_pre->weight.scalar_type();
  x = x.to(weight_type);
  g = g.to(weight_type);
  x = conv_pre->forward(x);
  x.add_(cond_layer->forward(g));
  for (int i = 0; i < kStages; i++) {
    at::leaky_relu_(x, kLeakySlope);
    x = upsample(i, x);
    x.add_(conds[i]->as<torch::nn::Conv1dImpl>()->forward(g));
    x = residual_mean(i, x);
  }
  at::leaky_relu_(x, kLeakySlope);
  x = conv_post->forward(x);
  return at::tanh_(x).to(caller_type);
}

// libtorch 1.13 runs transposed convolutions through a slow generic path
// (which also fails in bf16): a quarter of the vocoder's time in float32.
at::Tensor HifiganGeneratorImpl::upsample(int stage, const at::Tensor &x) {
  const torch::nn::ConvTranspose1dImpl &up = *ups[stage]->as<torch::nn::ConvTranspose1dImpl>();
  std::shared_ptr<const UpsamplingConvolution> convolution;
  {
    std::lock_guard<std::mutex> lock(upsampling_mutex_);
    UpsamplingCache &cache = upsampling_[stage];
    const void *weight = up.weight.unsafeGetTensorImpl();
    if (cache.weight != weight || cache.version != up.weight._version() ||
        cache.type != up.weight.scalar_type()) {
      c10::NoGradGuard no_grad;
      cache.convolution = std::make_shared<const UpsamplingConvolution>(
          up.weight.detach(), up.bias.defined() ? up.bias.detach() : at::Tensor(),
          kUpsampleRates[stage]);
      cache.weight = weight;
      cache.version = up.weight._version();
      cache.type = up.weight.scalar_type();
    }
    convolution = cache.convolution;
  }
  return convolution->forward(x.to(convolution->weight.scalar_type()));
}

at::Tensor HifiganGeneratorImpl::residual_mean_slice(int stage, const at::Tensor &x) {
  // The first branch stands in for the zero start of the sum (0 + a == a);
  // every block has dilations, so its output is a new tensor.
  at::Tensor sum = resblocks[kBranches * stage]->as<HifiResBlockImpl>()->forward(x);
  for (int j = 1; j < kBranches; j++) {
    sum.add_(resblocks[kBranches * stage + j]->as<HifiResBlockImpl>()->forward(x));
  }
  return sum.div_(static_cast<double>(kBranches));
}

// Convolutions only look `reach` samples to either side, so each slice is
// computed with that much context around it and the context cut off again.
// Zero padding then applies only at the true ends of the signal, as in one
// pass over the whole of it. The threads share out whole slices, each running
// its operations single-threaded, which needs one synchronisation per stage
// instead of one per operation.
at::Tensor HifiganGeneratorImpl::residual_mean(int stage, const at::Tensor &x) {
  const int64_t length = x.size(2);
  const int64_t threads = at::get_num_threads();
  const int64_t target =
      std::max<int64_t>(1, slice_elements / std::max<int64_t>(1, x.size(0) * x.size(1)));
  if (length <= target) return residual_mean_slice(stage, x);
  int64_t count = (length + target - 1) / target;
  count = (count + threads - 1) / threads * threads;
  const int64_t slice = (length + count - 1) / count;
  count = (length + slice - 1) / slice;

  int64_t reach = 0;
  for (int j = 0; j < kBranches; j++) {
    reach = std::max(reach, resblocks[kBranches * stage + j]->as<HifiResBlockImpl>()->reach());
  }
  // Pool threads start with default thread-local settings; they must run
  // under the caller's, its no-gradient mode above all.
  const at::ThreadLocalState caller_state;
  // Slices land in the output as they finish, so no more than one slice per
  // thread is held besides the input and the output.
  at::Tensor out = at::empty_like(x, at::MemoryFormat::Contiguous);
  at::parallel_for(0, count, 1, [&](int64_t first, int64_t last) {
    at::ThreadLocalStateGuard state_guard(caller_state);
    for (int64_t n = first; n < last; n++) {
      const int64_t start = n * slice;
      const int64_t end = std::min(length, start + slice);
      const int64_t lo = std::max<int64_t>(0, start - reach);
      const int64_t hi = std::min(length, end + reach);
      at::Tensor mean = residual_mean_slice(stage, x.slice(2, lo, hi).contiguous());
      out.slice(2, start, end).copy_(mean.slice(2, start - lo, end - lo));
    }
  });
  return out;
}
