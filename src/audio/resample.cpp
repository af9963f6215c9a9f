#include "audio/resample.h"

#include <torch/nn/functional/upsampling.h>

at::Tensor resample_audio(const at::Tensor &samples, int from_rate, int to_rate) {
  if (from_rate == to_rate) return samples.clone();
  int32_t n = static_cast<int32_t>(samples.size(0));
  // The output length follows the rates, but the interpolation scale is the
  // ratio of the two lengths, as the operator derives it from size alone.
  int32_t m = static_cast<int32_t>(static_cast<int64_t>(n) * to_rate / from_rate);
  namespace F = torch::nn::functional;
  at::Tensor resampled = F::interpolate(samples.unsqueeze(0).unsqueeze(0),
                                        F::InterpolateFuncOptions()
                                            .size(std::vector<int64_t>{static_cast<int64_t>(m)})
                                            .mode(torch::kLinear)
                                            .align_corners(false));
  return resampled.squeeze(0).squeeze(0);
}
