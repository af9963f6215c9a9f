// Times the acoustic token model on random weights with all cores: one cached
// decode step (ms per code) after a short and a long prefix, fused and through
// the plain libtorch layers, and the latent pass. A decode step reads every
// decoder weight once, so its floor is those bytes over the machine's memory
// read bandwidth, which is measured here too. --precision f32|bf16|int8 converts
// the decoder first (bench_precision compares the three in one run).
#include "models/gpt/decode_kernels.h"
#include "models/gpt/decoder_precision.h"
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

int main(int argc, char **argv) {
  std::vector<DecoderPrecision> precisions;
  if (!bench::parse_precision(argc, argv, &precisions, {DecoderPrecision::kF32})) return 2;
  const DecoderPrecision precision = precisions[0];
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  at::set_num_threads(cores);
  printf("threads: %d, kernels: %s, precision: %s\n", at::get_num_threads(),
         isa_name(best_kernel_isa()), bench::precision_name(precision));

  const bench::Bandwidth measured = bench::memory_bandwidth(cores);
  const double bandwidth = measured.median / 1e9;
  printf("memory read bandwidth, %d threads, over 1 GiB: median %.1f GB/s, best %.1f GB/s\n", cores,
         bandwidth, measured.best / 1e9);

  auto build_start = bench::Clock::now();
  GPTDecoder decoder = bench::random_decoder();
  printf("build with random weights: %.2f s\n", seconds_since(build_start));
  if (precision != DecoderPrecision::kF32) {
    auto convert_start = bench::Clock::now();
    set_decoder_precision(*decoder, precision);
    printf("conversion to %s: %.2f s\n", bench::precision_name(precision),
           seconds_since(convert_start));
  }
  const double weight_bytes = bench::decode_step_weight_bytes(*decoder);
  const double floor_ms = weight_bytes / bandwidth / 1e6;
  printf("weights read per step: %.0f MB, floor %.1f ms per code\n", weight_bytes / 1e6, floor_ms);

  struct Point {
    int prefix;
    int steps;
    bool fused;
    int threads;
  };
  const Point points[] = {{80, 60, true, cores},
                          {600, 40, true, cores},
                          {80, 20, true, 1},
                          {80, 8, false, cores},
                          {600, 8, false, cores}};
  for (Point p : points) {
    double ms = bench::decode_step_ms(*decoder, p.prefix, p.steps, p.fused, p.threads);
    // Keys and values of every earlier position are read once per step too.
    double cache_mb = 30.0 * 2 * 16 * 64 * sizeof(float) * (p.prefix + p.steps / 2) / 1e6;
    printf(
        "%s step, %d thread%s, at ~%d positions: %.1f ms per code (mean of %d), "
        "%.2f x floor; cache read %.0f MB\n",
        p.fused ? "fused decode" : "libtorch decode", p.threads, p.threads > 1 ? "s" : "", p.prefix,
        ms, p.steps, ms / floor_ms, cache_mb);
  }

  // Several generations in one step: the weights are read once for all.
  const double one_row = bench::decode_rows_ms(*decoder, 1, 80, 30, cores);
  for (int rows : {1, 2, 4}) {
    const double ms = rows == 1 ? one_row : bench::decode_rows_ms(*decoder, rows, 80, 30, cores);
    printf("fused step of %d row%s at ~80 positions: %.1f ms, throughput %.2f x one row\n", rows,
           rows > 1 ? "s" : "", ms, rows * one_row / ms);
  }

  printf("prefix pass, 80 positions: %.0f ms (best of 3)\n",
         bench::prefix_pass_ms(*decoder, 80, 3));

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
