// Logits processing of one draw in pass 1.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <vector>

// Returns a processed copy of logits [V]; the input is left alone. In order:
//   repetition penalty  (when != 1; NaN counts as != 1) once per history entry,
//                       so a code seen r times is scaled r times;
//   temperature         (when > 0 and != 1) l / temperature;
//   top-k               (when 0 < top_k < V) -inf below the top_k-th largest,
//                       ties at that value survive;
//   top-p               (when 0 < top_p < 1) -inf wherever the probability mass
//                       sorted before an entry exceeds top_p.
at::Tensor process_logits(at::Tensor logits, float temperature, int top_k, float top_p,
                          float repetition_penalty, const std::vector<int32_t> &history);
