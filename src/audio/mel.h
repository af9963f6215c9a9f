// Log-mel front ends: the GPT mel (22050 Hz, 80 bands) and the speaker mel
// (16000 Hz, 64 bands), over a shared STFT and triangular mel filter bank.
#pragma once

#include <ATen/core/Tensor.h>

#include <vector>

// Complex64 [n_fft/2 + 1, 1 + N/hop] STFT of a float32 [N] signal padded with
// n_fft/2 zeros at each end, with a periodic Hann window of win_length.
at::Tensor padded_stft(const at::Tensor &signal, int n_fft, int hop, int win_length);

// Band edges of a mel filter bank: n_mels + 2 frequencies evenly spaced on the
// HTK mel scale, and the whole FFT bins they fall on.
struct MelEdges {
  at::Tensor hz_points;  // float32 [n_mels + 2]
  std::vector<int> bins;
};
MelEdges mel_edges(int sample_rate, int n_fft, int n_mels, float fmin, float fmax);

// Float32 [n_mels, n_fft/2 + 1] triangular filters on whole FFT bins. fmax <= 0
// means half the sample rate. normalize scales each band to unit area (Slaney).
at::Tensor mel_filterbank(int sample_rate, int n_fft, int n_mels, float fmin, float fmax,
                          bool normalize);

// Float32 [1, 80, 1 + N/256] log mel of 22050 Hz audio, divided band by band by
// mel_stats (80 values) unless mel_stats is undefined or empty.
at::Tensor gpt_mel_spectrogram(const at::Tensor &audio, const at::Tensor &mel_stats);

// Float32 [1, 64, 1 + N/160] log mel of pre-emphasised 16000 Hz audio.
at::Tensor speaker_mel_spectrogram(const at::Tensor &audio);
