// Waveform decoder speed: seconds of compute per second of 24 kHz audio for
// short and long utterances, with random weights.
#include "models/hifigan/hifi_decoder.h"

#include <ATen/Parallel.h>
#include <torch/torch.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

constexpr double kOutputRate = 24000.0;

double decode_seconds(HifiDecoder &decoder, const torch::Tensor &latents, const torch::Tensor &g,
                      int64_t *samples) {
  auto start = std::chrono::steady_clock::now();
  torch::Tensor out = decoder->forward(latents, g);
  auto stop = std::chrono::steady_clock::now();
  *samples = out.size(2);
  return std::chrono::duration<double>(stop - start).count();
}

}  // namespace

int main() {
  // libtorch may start with fewer threads than cores; the figures are for all of them.
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  at::set_num_threads(threads);
  torch::NoGradGuard no_grad;
  torch::manual_seed(1);
  HifiDecoder decoder;
  decoder->eval();
  torch::Tensor g = torch::randn({1, 512, 1});

  // Keep the decoder's own log lines out of the table.
  FILE *saved_stderr = fdopen(dup(fileno(stderr)), "w");
  freopen("/dev/null", "w", stderr);
  int64_t samples = 0;
  decode_seconds(decoder, torch::randn({1, 10, 1024}), g, &samples);  // warm-up

  printf("threads: %d\n", at::get_num_threads());
  printf("%8s %10s %10s %12s %14s\n", "latents", "audio s", "compute s", "compute/audio", "audio/compute");
  for (int64_t frames : {100, 600}) {
    torch::Tensor latents = torch::randn({1, frames, 1024});
    int repeats = frames <= 100 ? 3 : 2;
    double best = 1e30;
    for (int r = 0; r < repeats; r++) best = std::min(best, decode_seconds(decoder, latents, g, &samples));
    double audio = static_cast<double>(samples) / kOutputRate;
    printf("%8ld %10.2f %10.3f %12.3f %14.2f\n", static_cast<long>(frames), audio, best, best / audio,
           audio / best);
    fflush(stdout);
  }
  fflush(stderr);
  dup2(fileno(saved_stderr), fileno(stderr));
  fclose(saved_stderr);
  return 0;
}
