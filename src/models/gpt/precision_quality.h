// How far a reduced-precision decoder moves what decides the audio: the
// distribution each code is drawn from. Both decoders are fed the same
// prefix and the same codes (teacher forcing), so their logits are compared
// position by position rather than drifting apart along different codes.
#pragma once

#include "models/gpt/gpt_decoder.h"

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <vector>

// Logits [codes.size() + 1, 1026]: row 0 after the prefix (through
// run_layers), row i + 1 after feeding codes[i] at audio position i + 1
// (through FusedDecodeStep on `threads` threads). prefix: [1, P, 1024]
// embedded, ending with the audio start token.
at::Tensor teacher_forced_logits(GPTDecoderImpl &decoder, const at::Tensor &prefix,
                                 const std::vector<int64_t> &codes, int threads);

struct LogitAgreement {
  // Share of rows whose largest logit is at the same code.
  double top1_agreement = 0;
  // Largest |reduced - reference| over all rows, each divided by its
  // reference row's spread (max - min).
  double max_relative_error = 0;
  // Mean over rows of KL(reference || reduced) between the sampling
  // distributions after temperature, top-k and top-p. Codes one side cut
  // and the other keeps would make it infinite, so each distribution is
  // mixed with 1e-6 of the uniform one first.
  double mean_kl = 0;
};

LogitAgreement compare_logits(const at::Tensor &reference, const at::Tensor &reduced,
                              float temperature, int top_k, float top_p);
