// Timing and memory-bandwidth helpers shared by the benchmarks.
#pragma once

#include "models/gpt/decoder_precision.h"
#include "models/gpt/fused_decode_step.h"
#include "models/gpt/gpt_decoder.h"
#include "process_memory.h"

#include <c10/core/GradMode.h>
#include <torch/types.h>

#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <thread>
#include <vector>

namespace bench {

// Resident memory, for the benchmarks on libtorch too (process_memory.h).
using ::reset_peak_memory;
using ::Resident;
using ::resident_memory;

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

__attribute__((target("avx2"))) inline double sum_floats(const float *data, size_t count) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    a0 = _mm256_add_ps(a0, _mm256_loadu_ps(data + i));
    a1 = _mm256_add_ps(a1, _mm256_loadu_ps(data + i + 8));
    a2 = _mm256_add_ps(a2, _mm256_loadu_ps(data + i + 16));
    a3 = _mm256_add_ps(a3, _mm256_loadu_ps(data + i + 24));
  }
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  double sum = 0;
  for (float lane : lanes) sum += lane;
  for (; i < count; i++) sum += data[i];
  return sum;
}

// Read bandwidth in bytes per second, from `runs` sums over a 1 GiB buffer
// split between `threads` threads. On a shared machine single runs vary
// widely, so the median is the figure to compare a long measurement with;
// the best shows what the machine reaches at a quiet moment.
struct Bandwidth {
  double median = 0;
  double best = 0;
};

inline Bandwidth memory_bandwidth(unsigned threads, int runs = 9) {
  const size_t floats = (size_t(1) << 30) / sizeof(float);
  std::vector<float> buffer(floats, 1.0f);
  threads = std::max(1u, threads);
  std::vector<double> rates;
  for (int run = 0; run < runs; run++) {
    std::vector<double> sums(threads);
    auto start = Clock::now();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; t++) {
      workers.emplace_back([&, t] {
        const size_t begin = floats / threads * t;
        const size_t end = t + 1 == threads ? floats : floats / threads * (t + 1);
        sums[t] = sum_floats(buffer.data() + begin, end - begin);
      });
    }
    for (auto &worker : workers) worker.join();
    rates.push_back(floats * sizeof(float) / seconds_since(start));
    if (sums[0] != static_cast<double>(floats / threads)) fprintf(stderr, "bandwidth: bad sum\n");
  }
  std::sort(rates.begin(), rates.end());
  return {rates[rates.size() / 2], rates.back()};
}

// Bytes of the parameters one cached decode step reads in the decoder's
// precision: the 30 layers, the two final norms and mel_head.
inline double decode_step_weight_bytes(GPTDecoderImpl &decoder) {
  return static_cast<double>(::decode_step_weight_bytes(decoder));
}

// "--precision f32|bf16|int8" from the command line; `fallback` when absent.
// Returns false on an unknown value.
inline bool parse_precision(int argc, char **argv, std::vector<DecoderPrecision> *out,
                            std::vector<DecoderPrecision> fallback) {
  *out = std::move(fallback);
  for (int i = 1; i + 1 < argc; i++) {
    if (std::string(argv[i]) != "--precision") continue;
    const std::string v = argv[i + 1];
    if (v == "f32")
      *out = {DecoderPrecision::kF32};
    else if (v == "bf16")
      *out = {DecoderPrecision::kBF16};
    else if (v == "int8")
      *out = {DecoderPrecision::kInt8};
    else {
      fprintf(stderr, "--precision: unknown value '%s' (f32, bf16 or int8)\n", v.c_str());
      return false;
    }
  }
  return true;
}

inline const char *precision_name(DecoderPrecision p) {
  return p == DecoderPrecision::kBF16 ? "bf16" : p == DecoderPrecision::kInt8 ? "int8" : "f32";
}

// A full-size decoder with random weights. Small weights keep the
// activations of 30 random layers finite; layer norms keep their unit scale.
inline GPTDecoder random_decoder() {
  torch::manual_seed(1);
  GPTDecoder decoder;
  c10::NoGradGuard no_grad;
  for (auto &p : decoder->named_parameters()) {
    bool norm =
        p.key().find("ln_") != std::string::npos || p.key().find("final_norm") != std::string::npos;
    if (!norm) p.value().normal_(0, 0.02);
  }
  decoder->eval();
  return decoder;
}

// Mean time of one decode step (embed, 30 layers, head, draw) after a prefix
// of the given length, which stands in for latents, text and start token.
inline double decode_step_ms(GPTDecoderImpl &decoder, int prefix, int steps, bool fused_step,
                             int threads) {
  c10::NoGradGuard no_grad;
  KvCache cache;
  cache.capacity = prefix + steps + 1;
  std::vector<int32_t> history;
  auto draw = [&](const at::Tensor &logits) {
    history.push_back(GPTDecoderImpl::sample_next_code(logits, 0.75f, 50, 0.85f, 5.0f, history));
  };
  draw(
      decoder.next_code_logits(decoder.run_layers(torch::randn({1, prefix, 1024}) * 0.02, &cache)));
  FusedDecodeStep fused(decoder, threads);
  auto start = Clock::now();
  for (int i = 1; i <= steps; i++) {
    // Any audio position will do; only the cost is measured.
    at::Tensor x = decoder.embed_audio_token(history.back() % 1024, i);
    draw(fused_step && fused.accepts(cache)
             ? fused.step(x, cache)
             : decoder.next_code_logits(decoder.run_layers(x, &cache)));
  }
  return seconds_since(start) * 1000.0 / steps;
}

// ms per step of `rows` generations decoded together, each after a prefix
// of `prefix` positions: one step reads every weight once for all rows.
inline double decode_rows_ms(GPTDecoderImpl &decoder, int rows, int prefix, int steps,
                             int threads) {
  c10::NoGradGuard no_grad;
  std::vector<KvCache> caches(rows);
  for (KvCache &cache : caches) {
    cache.capacity = prefix + steps + 1;
    decoder.run_layers(torch::randn({1, prefix, 1024}) * 0.02, &cache);
  }
  FusedDecodeStep fused(decoder, threads);
  std::vector<at::Tensor> inputs;
  for (int r = 0; r < rows; r++) inputs.push_back(decoder.embed_audio_token(17 * r + 3, 1));
  std::vector<StepRow> batch;
  for (int r = 0; r < rows; r++) batch.push_back({inputs[r].data_ptr<float>(), &caches[r]});
  fused.step_rows(batch);  // warm: the step's own buffers
  auto start = Clock::now();
  for (int i = 1; i < steps; i++) fused.step_rows(batch);
  return seconds_since(start) * 1000.0 / (steps - 1);
}

// Best of `rounds` runs of the prefix pass over `positions` positions.
inline double prefix_pass_ms(GPTDecoderImpl &decoder, int positions, int rounds) {
  c10::NoGradGuard no_grad;
  at::Tensor prefix = torch::randn({1, positions, 1024}) * 0.02;
  double best = 1e30;
  for (int round = 0; round < rounds; round++) {
    KvCache cache;
    cache.capacity = positions + 606;
    auto start = Clock::now();
    decoder.run_layers(prefix, &cache);
    best = std::min(best, seconds_since(start));
  }
  return best * 1000;
}

}  // namespace bench
