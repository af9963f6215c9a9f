// Linear-interpolation resampling of a mono waveform.
#pragma once

#include <ATen/core/Tensor.h>

// Resamples a float32 [N] waveform from from_rate to to_rate Hz, giving
// [N * to_rate / from_rate] samples. No anti-aliasing filter is applied. The
// result never shares storage with samples. Needs positive rates and at least
// one output sample.
at::Tensor resample_audio(const at::Tensor &samples, int from_rate, int to_rate);
