// The three decoder precisions in one run, on random weights with all cores:
//   quality  200 teacher-forced steps against float32 (precision_quality.h),
//            int8 with per-block and per-row activation scales;
//   speed    pass-1 ms per code, each against its own floor (its weight bytes
//            over the measured read bandwidth), and the 80-position prefix;
//   memory   resident and peak resident memory with the decoder converted
//            (float32 weights released);
//   vocoder  seconds per audio second in float32 and bf16, and the bf16
//            waveform's signal-to-noise ratio against float32.
// --precision f32|bf16|int8 restricts speed and memory to one precision.
#include "models/gpt/decoder_precision.h"
#include "models/gpt/gpt_decoder.h"
#include "models/gpt/precision_quality.h"
#include "models/hifigan/hifi_decoder.h"
#include "bench_support.h"

#include <ATen/Parallel.h>
#include <c10/core/GradMode.h>
#include <torch/types.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using bench::seconds_since;

void print_quality(GPTDecoderImpl &decoder, const char *name, const at::Tensor &reference,
                   const at::Tensor &prefix, const std::vector<int64_t> &codes, int threads) {
  const at::Tensor logits = teacher_forced_logits(decoder, prefix, codes, threads);
  const LogitAgreement a = compare_logits(reference, logits, 0.75f, 50, 0.85f);
  printf("%-24s %9.3f %14.4f %12.5f\n", name, a.top1_agreement, a.max_relative_error, a.mean_kl);
  fflush(stdout);
}

void quality(GPTDecoderImpl &decoder, int threads) {
  c10::NoGradGuard no_grad;
  torch::manual_seed(7);
  at::Tensor prefix = torch::cat(
      {decoder.embed_prefix(torch::randn({1, 1024, 32}),
                            torch::randint(0, GPTDecoderImpl::kTextVocab, {1, 20}, torch::kInt64)),
       decoder.embed_audio_token(GPTDecoderImpl::kAudioStart, 0)},
      1);
  at::Tensor drawn = torch::randint(0, 1024, {199}, torch::kInt64);
  std::vector<int64_t> codes(drawn.data_ptr<int64_t>(), drawn.data_ptr<int64_t>() + 199);
  const at::Tensor reference = teacher_forced_logits(decoder, prefix, codes, threads);

  printf(
      "\nquality, 200 teacher-forced steps against float32 (temperature 0.75, top-k 50, top-p "
      "0.85)\n");
  printf("%-24s %9s %14s %12s\n", "precision", "top-1", "max err/spread", "mean KL");
  set_decoder_precision(decoder, DecoderPrecision::kBF16, Float32Weights::kKeep);
  print_quality(decoder, "bf16", reference, prefix, codes, threads);
  // vdpbf16ps rounds the activations to bf16 as well; the widening paths
  // keep them float32.
  if (best_reduced_path(DecoderPrecision::kBF16) == ReducedPath::kAvx512Bf16 &&
      set_decoder_reduced_path(decoder, ReducedPath::kAvx512)) {
    print_quality(decoder, "bf16, float activations", reference, prefix, codes, threads);
  }
  set_decoder_precision(decoder, DecoderPrecision::kInt8, Float32Weights::kKeep);
  print_quality(decoder, "int8, per-block scales", reference, prefix, codes, threads);
  set_decoder_activation_scale(decoder, ActivationScale::kPerRow);
  print_quality(decoder, "int8, per-row scales", reference, prefix, codes, threads);
  set_decoder_precision(decoder, DecoderPrecision::kF32);
}

struct VocoderTiming {
  double seconds_per_audio_second = 0;
  at::Tensor audio;
};

VocoderTiming time_vocoder(HifiDecoder &vocoder, const at::Tensor &latents, const at::Tensor &g) {
  VocoderTiming t;
  t.seconds_per_audio_second = 1e30;
  for (int r = 0; r < 3; r++) {
    auto start = bench::Clock::now();
    at::Tensor audio = vocoder->forward(latents, g);
    const double elapsed = seconds_since(start);
    t.audio = audio;
    t.seconds_per_audio_second = std::min(t.seconds_per_audio_second,
                                          elapsed / (static_cast<double>(audio.size(2)) / 24000.0));
  }
  return t;
}

void vocoder(int cores) {
  torch::NoGradGuard no_grad;
  torch::manual_seed(1);
  HifiDecoder decoder;
  decoder->eval();
  at::Tensor g = torch::randn({1, 512, 1});
  at::Tensor latents = torch::randn({1, 300, 1024});
  // The decoder logs two lines per call; keep them out of the table.
  fflush(stderr);
  const int saved_stderr = dup(fileno(stderr));
  if (!freopen("/dev/null", "w", stderr)) return;
  at::set_num_threads(cores);
  decoder->forward(torch::randn({1, 10, 1024}), g);  // warm-up
  const VocoderTiming f32 = time_vocoder(decoder, latents, g);
  const bool on = set_vocoder_bf16(*decoder, true);
  VocoderTiming bf16;
  if (on) {
    decoder->forward(torch::randn({1, 10, 1024}), g);
    bf16 = time_vocoder(decoder, latents, g);
  }
  fflush(stderr);
  dup2(saved_stderr, fileno(stderr));
  close(saved_stderr);

  const double audio_seconds = static_cast<double>(f32.audio.size(2)) / 24000.0;
  printf("\nvocoder, %d threads, %.1f s of audio (best of 3)\n", cores, audio_seconds);
  printf("float32: %.3f s per audio second\n", f32.seconds_per_audio_second);
  if (!on) {
    printf("bf16: not run, the CPU lacks AVX512_BF16\n");
    return;
  }
  const at::Tensor reference = f32.audio.to(torch::kFloat64);
  const at::Tensor noise = bf16.audio.to(torch::kFloat64) - reference;
  const double snr =
      10.0 * std::log10(reference.pow(2).sum().item<double>() / noise.pow(2).sum().item<double>());
  printf("bf16:    %.3f s per audio second, %.2f x float32; waveform SNR against float32 %.1f dB\n",
         bf16.seconds_per_audio_second,
         bf16.seconds_per_audio_second / f32.seconds_per_audio_second, snr);
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<DecoderPrecision> precisions;
  if (!bench::parse_precision(
          argc, argv, &precisions,
          {DecoderPrecision::kF32, DecoderPrecision::kBF16, DecoderPrecision::kInt8}))
    return 2;
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  at::set_num_threads(cores);
  printf(
      "threads: %d; bf16 kernel path %d, int8 kernel path %d (0 scalar, 1 AVX2, 2 AVX-512F, "
      "3 AVX512-BF16, 4 AVX512-VNNI)\n",
      cores, static_cast<int>(best_reduced_path(DecoderPrecision::kBF16)),
      static_cast<int>(best_reduced_path(DecoderPrecision::kInt8)));

  const bench::Bandwidth measured = bench::memory_bandwidth(cores);
  const double bandwidth = measured.median / 1e9;
  printf("memory read bandwidth, %d threads, over 1 GiB: median %.1f GB/s, best %.1f GB/s\n", cores,
         bandwidth, measured.best / 1e9);

  GPTDecoder decoder = bench::random_decoder();
  quality(*decoder, cores);

  printf("\n%-6s %9s %10s %11s %9s %10s %12s %13s %11s\n", "", "weights", "floor", "pass 1",
         "x floor", "x f32", "prefix 80", "resident", "peak");
  printf("%-6s %9s %10s %11s %9s %10s %12s %13s %11s\n", "", "MB", "ms/code", "ms/code", "", "",
         "ms", "MB", "MB");
  double f32_ms = 0;
  // Each conversion starts from the values before it: int8 after bf16 is
  // quantised from bf16-rounded weights, which changes no cost.
  for (DecoderPrecision precision : precisions) {
    set_decoder_precision(*decoder, precision);
    bench::reset_peak_memory();
    const double bytes = bench::decode_step_weight_bytes(*decoder);
    const double floor_ms = bytes / bandwidth / 1e6;
    bench::decode_step_ms(*decoder, 80, 5, true, cores);  // warm-up
    const double ms = bench::decode_step_ms(*decoder, 80, 60, true, cores);
    if (precision == DecoderPrecision::kF32) f32_ms = ms;
    const double prefix_ms = bench::prefix_pass_ms(*decoder, 80, 3);
    const bench::Resident rss = bench::resident_memory();
    char versus_f32[32] = "-";
    if (f32_ms > 0) snprintf(versus_f32, sizeof versus_f32, "%.2f", ms / f32_ms);
    printf("%-6s %9.0f %10.1f %11.1f %9.2f %10s %12.0f %13.0f %11.0f\n",
           bench::precision_name(precision), bytes / 1e6, floor_ms, ms, ms / floor_ms, versus_f32,
           prefix_ms, rss.current_mb, rss.peak_mb);
    fflush(stdout);
  }
  decoder = nullptr;

  vocoder(cores);
  return 0;
}
