#include "models/gpt/precision_quality.h"

#include "models/gpt/fused_decode_step.h"
#include "models/gpt/sampling.h"

#include <c10/core/GradMode.h>
#include <torch/types.h>

#include <algorithm>
#include <cmath>

at::Tensor teacher_forced_logits(GPTDecoderImpl &decoder, const at::Tensor &prefix,
                                 const std::vector<int64_t> &codes, int threads) {
  c10::NoGradGuard no_grad;
  KvCache cache;
  cache.capacity = prefix.size(1) + static_cast<int64_t>(codes.size());
  std::vector<at::Tensor> rows{decoder.next_code_logits(decoder.run_layers(prefix, &cache))};
  FusedDecodeStep fused(decoder, threads);
  for (size_t i = 0; i < codes.size(); i++) {
    const at::Tensor x = decoder.embed_audio_token(codes[i], static_cast<int>(i + 1));
    rows.push_back(fused.accepts(cache) ? fused.step(x, cache).clone()
                                        : decoder.next_code_logits(decoder.run_layers(x, &cache)));
  }
  return torch::stack(rows);
}

namespace {

at::Tensor sampling_distribution(const at::Tensor &logits, float temperature, int top_k,
                                 float top_p) {
  constexpr double kUniformShare = 1e-6;
  const at::Tensor p =
      torch::softmax(process_logits(logits, temperature, top_k, top_p, 1.0f, {}), -1)
          .to(torch::kFloat64);
  return p * (1 - kUniformShare) + kUniformShare / static_cast<double>(logits.size(-1));
}

}  // namespace

LogitAgreement compare_logits(const at::Tensor &reference, const at::Tensor &reduced,
                              float temperature, int top_k, float top_p) {
  LogitAgreement a;
  const int64_t rows = reference.size(0);
  double kl_sum = 0;
  int64_t same_top = 0;
  for (int64_t r = 0; r < rows; r++) {
    const at::Tensor ref = reference[r].to(torch::kFloat64);
    const at::Tensor red = reduced[r].to(torch::kFloat64);
    same_top += ref.argmax().item<int64_t>() == red.argmax().item<int64_t>();
    const double spread = (ref.max() - ref.min()).item<double>();
    // A NaN must not hide behind the comparison.
    const double error = (red - ref).abs().max().item<double>() / spread;
    if (std::isnan(error) || error > a.max_relative_error) a.max_relative_error = error;
    const at::Tensor p = sampling_distribution(reference[r], temperature, top_k, top_p);
    const at::Tensor q = sampling_distribution(reduced[r], temperature, top_k, top_p);
    kl_sum += (p * (p.log() - q.log())).sum().item<double>();
  }
  a.top1_agreement = static_cast<double>(same_top) / static_cast<double>(rows);
  a.mean_kl = kl_sum / static_cast<double>(rows);
  return a;
}
