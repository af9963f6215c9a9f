// Times the acoustic token model on random weights with all cores: one cached
// decode step (ms per code) after a short and a long prefix, fused and through
// the plain libtorch layers, and the latent pass. A decode step reads every
// decoder weight once, so its floor is those bytes over the machine's memory
// read bandwidth, which is measured here too.
#include "models/gpt/decode_kernels.h"
#include "models/gpt/fused_decode_step.h"
#include "models/gpt/gpt_decoder.h"
#include "bench_support.h"

#include <ATen/Parallel.h>
#include <c10/core/GradMode.h>
#include <torch/types.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using bench::seconds_since;

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

// Mean time of one decode step (embed, 30 layers, head, draw) after a prefix
// of the given length, which stands in for latents, text and start token.
double decode_step_ms(GPTDecoderImpl &decoder, int prefix, int steps, bool fused_step,
                      int threads) {
  c10::NoGradGuard no_grad;
  KvCache cache;
  cache.capacity = prefix + steps + 1;
  std::vector<int32_t> history;
  auto draw = [&](const at::Tensor &logits) {
    history.push_back(
        GPTDecoderImpl::sample_next_code(logits, 0.75f, 50, 0.85f, 5.0f, history));
  };
  draw(decoder.next_code_logits(
      decoder.run_layers(torch::randn({1, prefix, 1024}) * 0.02, &cache)));
  FusedDecodeStep fused(decoder, threads);
  auto start = bench::Clock::now();
  for (int i = 1; i <= steps; i++) {
    // Any audio position will do; only the cost is measured.
    at::Tensor x = decoder.embed_audio_token(history.back() % 1024, i);
    draw(fused_step && fused.accepts(cache) ? fused.step(x, cache)
                                            : decoder.next_code_logits(decoder.run_layers(x, &cache)));
  }
  return seconds_since(start) * 1000.0 / steps;
}

const char *isa_name(KernelIsa isa) {
  switch (isa) {
    case KernelIsa::kAvx512:
      return "AVX-512";
    case KernelIsa::kAvx2:
      return "AVX2";
    case KernelIsa::kScalar:
      break;
  }
  return "scalar";
}

}  // namespace

int main() {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  at::set_num_threads(cores);
  printf("threads: %d, kernels: %s\n", at::get_num_threads(), isa_name(best_kernel_isa()));

  const bench::Bandwidth measured = bench::memory_bandwidth(cores);
  const double bandwidth = measured.median / 1e9;
  printf("memory read bandwidth, %d threads, over 1 GiB: median %.1f GB/s, best %.1f GB/s\n",
         cores, bandwidth, measured.best / 1e9);

  auto build_start = bench::Clock::now();
  GPTDecoder decoder = random_decoder();
  printf("build with random weights: %.2f s\n", seconds_since(build_start));
  const double weight_bytes = bench::decode_step_weight_bytes(*decoder);
  const double floor_ms = weight_bytes / bandwidth / 1e6;
  printf("weights read per step: %.0f MB, floor %.1f ms per code\n", weight_bytes / 1e6, floor_ms);

  struct Point {
    int prefix;
    int steps;
    bool fused;
    int threads;
  };
  const Point points[] = {{80, 60, true, cores}, {600, 40, true, cores}, {80, 20, true, 1},
                          {80, 8, false, cores}, {600, 8, false, cores}};
  for (Point p : points) {
    double ms = decode_step_ms(*decoder, p.prefix, p.steps, p.fused, p.threads);
    // Keys and values of every earlier position are read once per step too.
    double cache_mb = 30.0 * 2 * 16 * 64 * sizeof(float) * (p.prefix + p.steps / 2) / 1e6;
    printf("%s step, %d thread%s, at ~%d positions: %.1f ms per code (mean of %d), "
           "%.2f x floor; cache read %.0f MB\n",
           p.fused ? "fused decode" : "libtorch decode", p.threads, p.threads > 1 ? "s" : "",
           p.prefix, ms, p.steps, ms / floor_ms, cache_mb);
  }

  {
    c10::NoGradGuard no_grad;
    at::Tensor prefix = torch::randn({1, 80, 1024}) * 0.02;
    double best = 1e30;
    for (int round = 0; round < 3; round++) {
      KvCache cache;
      cache.capacity = 80 + 606;
      auto start = bench::Clock::now();
      decoder->run_layers(prefix, &cache);
      best = std::min(best, seconds_since(start));
    }
    printf("prefix pass, 80 positions: %.0f ms (best of 3)\n", best * 1000);
  }

  at::Tensor cond_latents = torch::randn({1, 1024, 32}) * 0.02;
  at::Tensor text_tokens = torch::randint(0, 6681, {1, 20}, torch::kInt64);
  at::Tensor codes = torch::randint(0, 1024, {1, 600}, torch::kInt64);
  fflush(stdout);  // keep the figures ahead of the pass's own log line
  double best = 1e30;
  at::Tensor latents;
  for (int round = 0; round < 2; round++) {
    auto latent_start = bench::Clock::now();
    latents = decoder->compute_latents(cond_latents, text_tokens, codes);
    best = std::min(best, seconds_since(latent_start));
  }
  printf("latent pass, 20 text ids and 600 codes (%ld positions): %.2f s (best of 2)\n",
         static_cast<long>(32 + 22 + 602), best);
  return latents.isfinite().all().item<bool>() ? 0 : 1;
}
