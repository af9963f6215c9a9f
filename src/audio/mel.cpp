#include "audio/mel.h"
#include "util/log.h"

#include <torch/types.h>

#include <cmath>
#include <cstdio>

namespace {

struct MelConfig {
  int sample_rate;
  int n_fft;
  int hop;
  int win_length;
  int n_mels;
  float fmin;
  float fmax;
  bool normalize;
  float log_floor;
};

constexpr MelConfig kGptMel{22050, 2048, 256, 1024, 80, 0.0f, 8000.0f, true, 1e-5f};
constexpr MelConfig kSpeakerMel{16000, 512, 160, 400, 64, 0.0f, 8000.0f, false, 1e-6f};
constexpr float kPreEmphasis = 0.97f;

float hz_to_mel(float hz) { return 2595.0f * std::log10(hz / 700.0f + 1.0f); }

// [1, n_mels, frames] natural log of the mel-weighted power spectrum.
at::Tensor log_mel(const at::Tensor &signal, const MelConfig &cfg) {
  at::Tensor power = padded_stft(signal, cfg.n_fft, cfg.hop, cfg.win_length).abs().pow(2);
  at::Tensor fb =
      mel_filterbank(cfg.sample_rate, cfg.n_fft, cfg.n_mels, cfg.fmin, cfg.fmax, cfg.normalize);
  return torch::log(torch::clamp(torch::matmul(fb, power), cfg.log_floor)).unsqueeze(0);
}

}  // namespace

at::Tensor padded_stft(const at::Tensor &signal, int n_fft, int hop, int win_length) {
  at::Tensor window = torch::hann_window(win_length);
  int64_t pad = n_fft / 2;
  at::Tensor padded = torch::constant_pad_nd(signal.unsqueeze(0), {pad, pad}, 0.0).squeeze(0);
  return torch::stft(padded, n_fft, hop, win_length, window, /*center=*/false, "reflect",
                     /*normalized=*/false, /*onesided=*/true, /*return_complex=*/true);
}

MelEdges mel_edges(int sample_rate, int n_fft, int n_mels, float fmin, float fmax) {
  if (fmax <= 0.0f) fmax = sample_rate * 0.5f;
  at::Tensor mel_points =
      torch::linspace(hz_to_mel(fmin), hz_to_mel(fmax), n_mels + 2, torch::kFloat32);
  MelEdges edges;
  edges.hz_points = 700.0 * (torch::pow(10.0, mel_points / 2595.0) - 1.0);
  at::Tensor bins = torch::floor(edges.hz_points * (n_fft + 1) / sample_rate).to(torch::kInt32);
  edges.bins.assign(bins.data_ptr<int32_t>(), bins.data_ptr<int32_t>() + bins.numel());
  return edges;
}

at::Tensor mel_filterbank(int sample_rate, int n_fft, int n_mels, float fmin, float fmax,
                          bool normalize) {
  int n_freqs = n_fft / 2 + 1;
  MelEdges edges = mel_edges(sample_rate, n_fft, n_mels, fmin, fmax);
  at::Tensor fb = torch::zeros({n_mels, n_freqs}, torch::kFloat32);
  auto w = fb.accessor<float, 2>();
  auto hz = edges.hz_points.accessor<float, 1>();
  for (int m = 0; m < n_mels; m++) {
    int lo = edges.bins[m], c = edges.bins[m + 1], hi = edges.bins[m + 2];
    for (int k = lo; k < c && k < n_freqs; k++)
      w[m][k] = static_cast<float>(k - lo) / static_cast<float>(c - lo);
    for (int k = c; k < hi && k < n_freqs; k++)
      w[m][k] = static_cast<float>(hi - k) / static_cast<float>(hi - c);
    if (normalize) {
      float scale = 2.0f / (hz[m + 2] - hz[m]);
      for (int k = 0; k < n_freqs; k++) w[m][k] *= scale;
    }
  }
  return fb;
}

at::Tensor gpt_mel_spectrogram(const at::Tensor &audio, const at::Tensor &mel_stats) {
  at::Tensor mel = log_mel(audio, kGptMel);
  if (mel_stats.defined() && mel_stats.numel() > 0)
    mel = mel / mel_stats.view({1, kGptMel.n_mels, 1});
  log_line(kLogDebug, "[mel] GPT mel: [%ld, %ld, %ld]\n", static_cast<long>(mel.size(0)),
           static_cast<long>(mel.size(1)), static_cast<long>(mel.size(2)));
  return mel;
}

at::Tensor speaker_mel_spectrogram(const at::Tensor &audio) {
  at::Tensor y = audio.clone();
  auto a = y.accessor<float, 1>();
  // Downward, so that each y[i - 1] still holds the input sample when used.
  for (int64_t i = a.size(0) - 1; i >= 1; i--) a[i] = a[i] - kPreEmphasis * a[i - 1];
  at::Tensor mel = log_mel(y, kSpeakerMel);
  log_line(kLogDebug, "[mel] Speaker mel: [%ld, %ld, %ld]\n", static_cast<long>(mel.size(0)),
           static_cast<long>(mel.size(1)), static_cast<long>(mel.size(2)));
  return mel;
}
