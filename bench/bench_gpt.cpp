// Times the acoustic token model on random weights: one cached decode step
// (ms per code) after a short and a long prefix, and the latent pass.
#include "models/gpt/gpt_decoder.h"

#include <c10/core/GradMode.h>
#include <torch/types.h>

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Small weights keep the activations of 30 random layers finite; layer norms
// keep their unit scale.
GPTDecoder random_decoder() {
  torch::manual_seed(1);
  GPTDecoder decoder;
  c10::NoGradGuard no_grad;
  for (auto &p : decoder->named_parameters()) {
    bool norm = p.key().find("ln_") != std::string::npos ||
                p.key().find("final_norm") != std::string::npos;
    if (!norm) p.value().normal_(0, 0.02);
  }
  decoder->eval();
  return decoder;
}

// Mean time of one decode step (embed, 30 layers, head, draw) after a
// prefix of the given length, which stands in for latents, text and start token.
double decode_step_ms(GPTDecoderImpl &decoder, int prefix, int steps) {
  c10::NoGradGuard no_grad;
  KvCache cache;
  std::vector<int32_t> history;
  at::Tensor h = decoder.run_layers(torch::randn({1, prefix, 1024}) * 0.02, &cache);
  history.push_back(GPTDecoderImpl::sample_next_code(decoder.next_code_logits(h), 0.75f, 50,
                                                     0.85f, 5.0f, history));
  auto start = std::chrono::steady_clock::now();
  for (int i = 1; i <= steps; i++) {
    // Any audio position will do; only the cost is measured.
    h = decoder.run_layers(decoder.embed_audio_token(history.back() % 1024, i), &cache);
    history.push_back(GPTDecoderImpl::sample_next_code(decoder.next_code_logits(h), 0.75f, 50,
                                                       0.85f, 5.0f, history));
  }
  return seconds_since(start) * 1000.0 / steps;
}

}  // namespace

int main() {
  auto build_start = std::chrono::steady_clock::now();
  GPTDecoder decoder = random_decoder();
  printf("build with random weights: %.2f s\n", seconds_since(build_start));

  struct Point {
    int prefix;
    int steps;
  };
  for (Point p : {Point{80, 40}, Point{600, 20}}) {
    double ms = decode_step_ms(*decoder, p.prefix, p.steps);
    printf("decode step at ~%d positions: %.1f ms per code (mean of %d)\n", p.prefix, ms, p.steps);
  }

  at::Tensor cond_latents = torch::randn({1, 1024, 32}) * 0.02;
  at::Tensor text_tokens = torch::randint(0, 6681, {1, 20}, torch::kInt64);
  at::Tensor codes = torch::randint(0, 1024, {1, 600}, torch::kInt64);
  fflush(stdout);  // keep the figures ahead of the pass's own log line
  auto latent_start = std::chrono::steady_clock::now();
  at::Tensor latents = decoder->compute_latents(cond_latents, text_tokens, codes);
  printf("latent pass, 20 text ids and 600 codes (%ld positions): %.2f s\n",
         static_cast<long>(32 + 22 + 602), seconds_since(latent_start));
  return latents.isfinite().all().item<bool>() ? 0 : 1;
}
