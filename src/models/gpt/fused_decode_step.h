// The cached single-position step of pass 1 (B = 1, T = 1) in one pass over
// raw float pointers: the same computation as
// next_code_logits(run_layers(x, &cache)), with layer norms, attention over
// the cache and the tanh GELU written out and the matrix-vector products
// shared by rows between threads (step_threads.h). Each step reads every weight once, in place, in
// Linear's [out, in] layout, so its cost is set by memory bandwidth. Projections
// with reduced weights (decoder_precision.h) are read through their reduced
// kernels; the step must then be built after the precision was set.
#pragma once

#include "models/gpt/decode_kernels.h"
#include "models/gpt/gpt_decoder.h"
#include "models/gpt/reduced_kernels.h"
#include "models/gpt/step_threads.h"

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <vector>

class FusedDecodeStep {
 public:
  // threads: how many threads share each phase, the caller's included.
  FusedDecodeStep(GPTDecoderImpl &decoder, int threads,
                  const DecodeKernels &kernels = decode_kernels());

  // Whether step() can continue this cache: the parameters are contiguous
  // float32 (or reduced, for the projections) and every layer holds its B = 1 keys and values as views of a
  // reserved buffer with room for one more position.
  bool accepts(const KvCache &cache) const;

  // x [1, 1, 1024] at the next position -> mel_head logits [1026]. Writes the
  // position's keys and values into the cache buffers and extends the cache
  // entries by it. The logits' storage is reused by the next call.
  at::Tensor step(const at::Tensor &x, KvCache &cache);

  // final_norm(gpt_ln_f(h)) of the position the last step() ran, 1024 floats:
  // the latent that position contributes. Overwritten by the next step().
  const float *final_state() const { return normed_.data(); }

 private:
  // A weight matrix [rows, cols] either as float32 or reduced, and its bias.
  struct Projection {
    const float *weight;
    const ReducedMatrix *reduced;
    const float *bias;
    int64_t cols;
  };
  struct LayerParams {
    const float *ln_1_weight, *ln_1_bias, *ln_2_weight, *ln_2_bias;
    Projection c_attn, c_proj, c_fc, c_proj_mlp;
  };

  void run_layer(const LayerParams &p, float *keys, float *values, int64_t position,
                 int64_t capacity);
  // Readies x for p's rows: a reduced matrix reads it quantised or rounded,
  // made once here by the calling thread.
  void prepare(const Projection &p, const float *x);
  // y[r] = row r of p . x + bias[r] for r in [begin, end), x as prepared.
  void project(const Projection &p, const float *x, float *y, int64_t begin, int64_t end) const;

  const DecodeKernels &kernels_;
  bool params_usable_ = true;
  std::vector<LayerParams> layers_;
  const float *ln_f_weight_, *ln_f_bias_, *final_norm_weight_, *final_norm_bias_;
  Projection head_;
  StepThreads &threads_;  // the decoder's workers

  // The residual stream before and after the attention block, and the
  // intermediate vectors of one layer.
  std::vector<float> x_, x_mid_, qkv_, attended_, inner_;
  // The layer-normed stream that a projection reads.
  std::vector<float> normed_;
  // Attention weights, one row of `capacity` per head.
  std::vector<float> scores_;
  PreparedInput prepared_;
  at::Tensor logits_;
};
