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

// One position of one generation in a step: its input and its cache.
struct StepRow {
  const float *x;  // [1024] input at the cache's next position
  KvCache *cache;  // accepted by accepts(); extended by the step
};

class FusedDecodeStep {
 public:
  // threads: how many threads share each phase, the caller's included.
  FusedDecodeStep(GPTDecoderImpl &decoder, int threads,
                  const DecodeKernels &kernels = decode_kernels());

  // Whether step() can continue this cache: the parameters are contiguous
  // float32 (or reduced, for the projections) and every layer holds its B = 1 keys and values as
  // views of a reserved buffer with room for one more position.
  bool accepts(const KvCache &cache) const;

  // x [1, 1, 1024] at the next position -> mel_head logits [1026]. Writes the
  // position's keys and values into the cache buffers and extends the cache
  // entries by it. The logits' storage is reused by the next call.
  at::Tensor step(const at::Tensor &x, KvCache &cache);

  // One step for several generations at once: every weight is read once for
  // all rows. Each row's sums are taken in the same order as alone (the
  // kernels' row blocks do not depend on the batch), so a row's results are
  // bit-identical whatever else the batch holds. Afterwards logits(i) and
  // final_state(i) hold row i's results until the next step.
  void step_rows(const std::vector<StepRow> &rows);
  const float *logits(size_t row) const { return logits_.data_ptr<float>() + row * kLogitCount; }

  // final_norm(gpt_ln_f(h)) of the position the last step() ran, 1024 floats:
  // the latent that position contributes. Overwritten by the next step().
  const float *final_state(size_t row = 0) const { return rows_[row].normed.data(); }

 private:
  static constexpr int64_t kLogitCount = 1026;
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
  // The residual stream before and after the attention block, and the
  // intermediate vectors of one layer, for one row of the batch.
  struct RowState {
    AlignedVector<float> x, x_mid, qkv, attended, inner;
    AlignedVector<float> normed;  // the layer-normed stream that a projection reads
    std::vector<float> scores;    // attention weights, one row of `capacity` per head
    PreparedInput prepared;
    float *keys = nullptr, *values = nullptr;  // this layer's cache buffers
    int64_t position = 0, capacity = 0;
  };

  void run_layer(const LayerParams &p, size_t layer, size_t count);
  // Readies each row's input for p: a reduced matrix reads it quantised or
  // rounded, made once here by the calling thread.
  void prepare(const Projection &p, size_t count, AlignedVector<float> RowState::*input);
  // For rows [begin, end) of p, in the kernels' blocks: out[r] = row r of p .
  // input (+ bias), then finish(row state, block begin, block end), for each
  // row of the batch.
  template <class Finish>
  void project_all(const Projection &p, size_t count, AlignedVector<float> RowState::*input,
                   AlignedVector<float> RowState::*output, int64_t rows, int64_t grain,
                   const Finish &finish);
  // The same over the inputs and outputs gather() (or the caller) put in
  // inputs_, prepared_ and outputs_.
  template <class Finish>
  void project_gathered_all(const Projection &p, size_t count, int64_t rows, int64_t grain,
                            const Finish &finish);
  void gather(size_t count, AlignedVector<float> RowState::*input,
              AlignedVector<float> RowState::*output);
  // outputs_[i][r] = row r of p . inputs_[i] + bias[r] for r in [begin, end),
  // for every row of the batch at once.
  void project_gathered(const Projection &p, size_t count, int64_t begin, int64_t end) const;

  const DecodeKernels &kernels_;
  bool params_usable_ = true;
  std::vector<LayerParams> layers_;
  const float *ln_f_weight_, *ln_f_bias_, *final_norm_weight_, *final_norm_bias_;
  Projection head_;
  StepThreads &threads_;  // the decoder's workers
  std::vector<RowState> rows_;
  at::Tensor logits_;  // [rows, 1026]
  // Each row's input, prepared input and output of the phase being run.
  std::vector<const float *> inputs_;
  std::vector<const PreparedInput *> prepared_;
  std::vector<float *> outputs_;
};
