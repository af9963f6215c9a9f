#include "models/gpt/sampling.h"

#include "models/gpt/gpt_decoder.h"

#include <torch/types.h>

#include <limits>

namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

// Scalar and in order, so a code that occurs r times is scaled r times with
// exactly the rounding of r separate steps.
void penalise_repeats(at::Tensor &l, float repetition_penalty,
                      const std::vector<int32_t> &history) {
  float *data = l.data_ptr<float>();
  const int64_t vocab = l.size(-1);
  for (int32_t c : history) {
    if (c < 0 || c >= vocab) continue;
    float v = data[c];
    v = v < 0 ? v * repetition_penalty : v / repetition_penalty;
    data[c] = v;
  }
}

at::Tensor keep_top_k(const at::Tensor &l, int top_k) {
  at::Tensor values = std::get<0>(torch::topk(l, top_k, -1, true, true));
  float threshold = values[top_k - 1].item<float>();
  return torch::where(l >= threshold, l, torch::full_like(l, kMinusInfinity));
}

at::Tensor keep_top_p(const at::Tensor &l, float top_p) {
  auto [sorted, order] = torch::sort(l, -1, true);
  at::Tensor probs = torch::softmax(sorted, -1);
  at::Tensor mass_before = torch::cumsum(probs, -1) - probs;
  at::Tensor removed = order.masked_select(mass_before > top_p);
  return l.index_fill(0, removed, kMinusInfinity);
}

}  // namespace

at::Tensor process_logits(at::Tensor logits, float temperature, int top_k, float top_p,
                          float repetition_penalty, const std::vector<int32_t> &history) {
  at::Tensor l = logits.clone(at::MemoryFormat::Contiguous);
  const int64_t vocab = l.size(-1);
  if (!(repetition_penalty == 1.0f)) penalise_repeats(l, repetition_penalty, history);
  if (temperature > 0 && temperature != 1.0f) l = l / temperature;
  if (top_k > 0 && top_k < vocab) l = keep_top_k(l, top_k);
  if (top_p > 0 && top_p < 1) l = keep_top_p(l, top_p);
  return l;
}

int GPTDecoderImpl::sample_next_code(at::Tensor logits, float temperature, int top_k, float top_p,
                                     float repetition_penalty, const std::vector<int32_t> &history,
                                     std::optional<at::Generator> generator) {
  at::Tensor l = process_logits(logits, temperature, top_k, top_p, repetition_penalty, history);
  at::Tensor probs = torch::softmax(l, -1);
  c10::optional<at::Generator> source;
  if (generator) source = *generator;
  return static_cast<int>(torch::multinomial(probs, 1, false, source).item<int64_t>());
}
