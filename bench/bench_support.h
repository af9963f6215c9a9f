// Timing and memory-bandwidth helpers shared by the benchmarks.
#pragma once

#include "models/gpt/gpt_decoder.h"

#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace bench {

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

// Bytes of the parameters one cached decode step reads: the 30 layers, the
// two final norms and mel_head.
inline double decode_step_weight_bytes(GPTDecoderImpl &decoder) {
  double bytes = 0;
  for (const auto &p : decoder.named_parameters()) {
    const std::string &name = p.key();
    if (name.rfind("gpt.", 0) == 0 || name.rfind("gpt_ln_f.", 0) == 0 ||
        name.rfind("final_norm.", 0) == 0 || name.rfind("mel_head.", 0) == 0)
      bytes += p.value().numel() * sizeof(float);
  }
  return bytes;
}

}  // namespace bench
