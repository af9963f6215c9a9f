// Waveform decoder speed: seconds of compute per second of 24 kHz audio for
// a short and a long utterance, with random weights, on one thread and on
// every core. The processor time column (summed over threads) is less
// disturbed than the wall clock when other programs share the machine.
#include "models/hifigan/hifi_decoder.h"

#include <ATen/Parallel.h>
#include <torch/torch.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kOutputRate = 24000.0;
constexpr int kRepeats = 3;  // the best run counts

double process_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timing {
  double wall = 1e30;
  double cpu = 1e30;
};

Timing decode_time(HifiDecoder &decoder, const torch::Tensor &latents, const torch::Tensor &g,
                   int64_t *samples) {
  auto start = std::chrono::steady_clock::now();
  double cpu_start = process_seconds();
  torch::Tensor out = decoder->forward(latents, g);
  double cpu_stop = process_seconds();
  auto stop = std::chrono::steady_clock::now();
  *samples = out.size(2);
  return {std::chrono::duration<double>(stop - start).count(), cpu_stop - cpu_start};
}

}  // namespace

int main() {
  torch::NoGradGuard no_grad;
  torch::manual_seed(1);
  HifiDecoder decoder;
  decoder->eval();
  torch::Tensor g = torch::randn({1, 512, 1});

  // The decoder logs two lines per call; keep them out of the table.
  fflush(stderr);
  int saved_stderr = dup(fileno(stderr));
  if (!freopen("/dev/null", "w", stderr)) return 1;

  // libtorch starts with one thread here, so both counts are set explicitly.
  int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  std::vector<int> thread_counts = {1};
  if (cores > 1) thread_counts.push_back(cores);

  printf("%8s %8s %9s %10s %14s %14s %15s\n", "threads", "latents", "audio s", "compute s",
         "compute/audio", "audio/compute", "cpu time/audio");
  for (int threads : thread_counts) {
    at::set_num_threads(threads);
    int64_t samples = 0;
    decode_time(decoder, torch::randn({1, 10, 1024}), g, &samples);  // warm-up
    for (int64_t frames : {100, 600}) {
      torch::Tensor latents = torch::randn({1, frames, 1024});
      Timing best;
      for (int r = 0; r < kRepeats; r++) {
        Timing t = decode_time(decoder, latents, g, &samples);
        best.wall = std::min(best.wall, t.wall);
        best.cpu = std::min(best.cpu, t.cpu);
      }
      double audio = static_cast<double>(samples) / kOutputRate;
      printf("%8d %8ld %9.2f %10.3f %14.3f %14.2f %15.3f\n", threads, static_cast<long>(frames),
             audio, best.wall, best.wall / audio, audio / best.wall, best.cpu / audio);
      fflush(stdout);
    }
  }
  fflush(stderr);
  dup2(saved_stderr, fileno(stderr));
  close(saved_stderr);
  return 0;
}
