#include "models/gpt/fused_decode_step.h"

#include <torch/types.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr int64_t kWidth = GPT2LayerImpl::kWidth;
constexpr int64_t kHeads = GPT2LayerImpl::kHeads;
constexpr int64_t kHeadWidth = GPT2LayerImpl::kHeadWidth;
constexpr int64_t kInnerWidth = GPT2LayerImpl::kInnerWidth;
constexpr int64_t kLogits = GPTDecoderImpl::kAudioVocab;
constexpr float kLayerNormEps = 1e-5f;
// 1 / sqrt(64), a power of two: scaling q before the products gives the
// same scores as scaling the products.
constexpr float kAttentionScale = 0.125f;

// Rows of a matrix with `cols` columns in the smallest piece a thread
// claims: 64 KB, and whole four-row blocks of the kernels.
int64_t grain_for(int64_t cols) { return std::max<int64_t>(4, 16384 / cols / 4 * 4); }

// Sum of term(i) over the width, in eight interleaved partial sums that the
// compiler keeps in vector registers.
template <class Term>
float width_sum(const Term &term) {
  float part[8] = {};
  for (int64_t i = 0; i < kWidth; i += 8)
    for (int j = 0; j < 8; j++) part[j] += term(i + j);
  return ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
}

// out = (x - mean) / sqrt(var + eps) * weight + bias over the width; out may
// be x.
void layer_norm(const float *x, const float *weight, const float *bias, float *out) {
  const float mean = width_sum([&](int64_t i) { return x[i]; }) / kWidth;
  const float var = width_sum([&](int64_t i) { return (x[i] - mean) * (x[i] - mean); }) / kWidth;
  const float rstd = 1.0f / std::sqrt(var + kLayerNormEps);
  for (int64_t i = 0; i < kWidth; i++) out[i] = (x[i] - mean) * rstd * weight[i] + bias[i];
}

}  // namespace

FusedDecodeStep::FusedDecodeStep(GPTDecoderImpl &decoder, int threads, const DecodeKernels &kernels)
    : kernels_(kernels), threads_(decoder.workers(threads)) {
  auto raw = [this](const at::Tensor &t, int64_t numel) -> const float * {
    if (!t.defined() || t.scalar_type() != at::kFloat || !t.device().is_cpu() ||
        !t.is_contiguous() || t.numel() != numel) {
      params_usable_ = false;
      return nullptr;
    }
    return t.data_ptr<float>();
  };
  auto projection = [&](const at::Tensor &weight, const std::shared_ptr<ReducedMatrix> &reduced,
                        const at::Tensor &bias, int64_t rows, int64_t cols) -> Projection {
    if (reduced && (reduced->rows != rows || reduced->cols != cols)) params_usable_ = false;
    return {reduced ? nullptr : raw(weight, rows * cols), reduced.get(), raw(bias, rows), cols};
  };
  for (int i = 0; i < GPTDecoderImpl::kLayers; i++) {
    const GPT2LayerImpl &l = *decoder.gpt[i]->as<GPT2LayerImpl>();
    layers_.push_back(
        {raw(l.ln_1->weight, kWidth), raw(l.ln_1->bias, kWidth), raw(l.ln_2->weight, kWidth),
         raw(l.ln_2->bias, kWidth),
         projection(l.c_attn->weight, l.c_attn->reduced, l.c_attn->bias, 3 * kWidth, kWidth),
         projection(l.c_proj->weight, l.c_proj->reduced, l.c_proj->bias, kWidth, kWidth),
         projection(l.c_fc->weight, l.c_fc->reduced, l.c_fc->bias, kInnerWidth, kWidth),
         projection(l.c_proj_mlp->weight, l.c_proj_mlp->reduced, l.c_proj_mlp->bias, kWidth,
                    kInnerWidth)});
  }
  ln_f_weight_ = raw(decoder.gpt_ln_f->weight, kWidth);
  ln_f_bias_ = raw(decoder.gpt_ln_f->bias, kWidth);
  final_norm_weight_ = raw(decoder.final_norm->weight, kWidth);
  final_norm_bias_ = raw(decoder.final_norm->bias, kWidth);
  head_ = projection(decoder.mel_head->weight, decoder.mel_head->reduced, decoder.mel_head->bias,
                     kLogits, kWidth);
}

void FusedDecodeStep::prepare(const Projection &p, size_t count,
                              AlignedVector<float> RowState::*input) {
  if (p.reduced == nullptr) return;
  for (size_t i = 0; i < count; i++)
    rows_[i].prepared.prepare(*p.reduced, (rows_[i].*input).data());
}

void FusedDecodeStep::gather(size_t count, AlignedVector<float> RowState::*input,
                             AlignedVector<float> RowState::*output) {
  inputs_.resize(count);
  outputs_.resize(count);
  prepared_.resize(count);
  for (size_t i = 0; i < count; i++) {
    inputs_[i] = (rows_[i].*input).data();
    outputs_[i] = (rows_[i].*output).data();
    prepared_[i] = &rows_[i].prepared;
  }
}

void FusedDecodeStep::project_gathered(const Projection &p, size_t count, int64_t begin,
                                       int64_t end) const {
  const int n = static_cast<int>(count);
  if (p.reduced != nullptr)
    reduced_matvec_rows(*p.reduced, prepared_.data(), outputs_.data(), n, p.bias, begin, end);
  else
    kernels_.matvec_rows(p.weight, p.bias, inputs_.data(), outputs_.data(), n, p.cols, begin, end);
}

// Threads claim pieces of whole grains, so blocks start at multiples of the
// grain whatever the batch: every row of the matrix is always computed by the
// same kernel code, in the same tile or the same tail, and each batch row's
// sums by the same code as alone (matvec_rows).
template <class Finish>
void FusedDecodeStep::project_all(const Projection &p, size_t count,
                                  AlignedVector<float> RowState::*input,
                                  AlignedVector<float> RowState::*output, int64_t rows,
                                  int64_t grain, const Finish &finish) {
  gather(count, input, output);
  project_gathered_all(p, count, rows, grain, finish);
}

template <class Finish>
void FusedDecodeStep::project_gathered_all(const Projection &p, size_t count, int64_t rows,
                                           int64_t grain, const Finish &finish) {
  threads_.run(rows, grain, [&](int64_t begin, int64_t end) {
    for (int64_t block = begin; block < end; block += grain) {
      const int64_t block_end = std::min(end, block + grain);
      // Each weight of the block is read from memory once, for all rows.
      project_gathered(p, count, block, block_end);
      for (size_t i = 0; i < count; i++) finish(rows_[i], block, block_end);
    }
  });
}

bool FusedDecodeStep::accepts(const KvCache &cache) const {
  const size_t layers = layers_.size();
  if (!params_usable_ || cache.keys.size() != layers || cache.values.size() != layers ||
      cache.key_buffers.size() != layers || cache.value_buffers.size() != layers)
    return false;
  const int64_t position = cache.keys[0].size(2);
  if (position >= cache.capacity) return false;
  auto fits = [&](const at::Tensor &entry, const at::Tensor &buffer) {
    return buffer.defined() && buffer.scalar_type() == at::kFloat && buffer.is_contiguous() &&
           buffer.sizes() == at::IntArrayRef{1, kHeads, cache.capacity, kHeadWidth} &&
           entry.defined() && entry.dim() == 4 && entry.size(2) == position &&
           entry.data_ptr() == buffer.data_ptr();
  };
  for (size_t i = 0; i < layers; i++)
    if (!fits(cache.keys[i], cache.key_buffers[i]) ||
        !fits(cache.values[i], cache.value_buffers[i]))
      return false;
  return true;
}

at::Tensor FusedDecodeStep::step(const at::Tensor &x, KvCache &cache) {
  const at::Tensor input = x.contiguous();
  step_rows({{input.data_ptr<float>(), &cache}});
  return logits_[0];
}

void FusedDecodeStep::step_rows(const std::vector<StepRow> &batch) {
  const size_t count = batch.size();
  if (rows_.size() < count) rows_.resize(count);
  if (!logits_.defined() || logits_.size(0) < static_cast<int64_t>(count))
    logits_ = torch::empty({static_cast<int64_t>(count), kLogitCount});
  for (size_t i = 0; i < count; i++) {
    RowState &row = rows_[i];
    row.x.assign(batch[i].x, batch[i].x + kWidth);
    row.x_mid.resize(kWidth);
    row.qkv.resize(3 * kWidth);
    row.attended.resize(kWidth);
    row.inner.resize(kInnerWidth);
    row.normed.resize(kWidth);
    row.position = batch[i].cache->keys[0].size(2);
    row.capacity = batch[i].cache->capacity;
    if (row.scores.size() < static_cast<size_t>(kHeads * row.capacity))
      row.scores.resize(kHeads * row.capacity);
  }

  for (size_t layer = 0; layer < layers_.size(); layer++) {
    for (size_t i = 0; i < count; i++) {
      rows_[i].keys = batch[i].cache->key_buffers[layer].data_ptr<float>();
      rows_[i].values = batch[i].cache->value_buffers[layer].data_ptr<float>();
    }
    run_layer(layers_[layer], layer, count);
  }

  for (size_t i = 0; i < count; i++) {
    RowState &row = rows_[i];
    layer_norm(row.x.data(), ln_f_weight_, ln_f_bias_, row.normed.data());
    layer_norm(row.normed.data(), final_norm_weight_, final_norm_bias_, row.normed.data());
  }
  prepare(head_, count, &RowState::normed);
  gather(count, &RowState::normed, &RowState::normed);
  for (size_t i = 0; i < count; i++) outputs_[i] = logits_.data_ptr<float>() + i * kLogitCount;
  project_gathered_all(head_, count, kLogits, grain_for(kWidth),
                       [](RowState &, int64_t, int64_t) {});

  for (size_t i = 0; i < count; i++) {
    KvCache &cache = *batch[i].cache;
    const int64_t position = rows_[i].position;
    for (size_t l = 0; l < layers_.size(); l++) {
      cache.keys[l] = cache.key_buffers[l].narrow(2, 0, position + 1);
      cache.values[l] = cache.value_buffers[l].narrow(2, 0, position + 1);
    }
  }
}

// Five parallel phases; the layer norms between them are a microsecond of
// work per row, done by the calling thread alone.
void FusedDecodeStep::run_layer(const LayerParams &p, size_t /*layer*/, size_t count) {
  // q, k and v of the new position.
  for (size_t i = 0; i < count; i++)
    layer_norm(rows_[i].x.data(), p.ln_1_weight, p.ln_1_bias, rows_[i].normed.data());
  prepare(p.c_attn, count, &RowState::normed);
  project_all(p.c_attn, count, &RowState::normed, &RowState::qkv, 3 * kWidth, grain_for(kWidth),
              [](RowState &, int64_t, int64_t) {});

  // Attention over the cached positions and the new one, by row and head.
  // Head j owns channels 64 j .. 64 j + 63 of q, k and v, and rows of 64
  // values at [j, s] in the cache buffers.
  threads_.run(static_cast<int64_t>(count) * kHeads, 1, [&](int64_t first, int64_t last) {
    for (int64_t task = first; task < last; task++) {
      RowState &row = rows_[static_cast<size_t>(task / kHeads)];
      const int64_t head = task % kHeads;
      const int64_t position = row.position, capacity = row.capacity;
      float *head_keys = row.keys + head * capacity * kHeadWidth;
      float *head_values = row.values + head * capacity * kHeadWidth;
      const float *q = row.qkv.data() + head * kHeadWidth;
      std::copy_n(q + kWidth, kHeadWidth, head_keys + position * kHeadWidth);
      std::copy_n(q + 2 * kWidth, kHeadWidth, head_values + position * kHeadWidth);
      alignas(64) float scaled_q[kHeadWidth];
      for (int64_t c = 0; c < kHeadWidth; c++) scaled_q[c] = q[c] * kAttentionScale;
      float *weights = row.scores.data() + head * capacity;
      kernels_.matvec(head_keys, nullptr, scaled_q, weights, kHeadWidth, 0, position + 1);
      kernels_.softmax(weights, position + 1);
      kernels_.weighted_row_sum(head_values, weights, row.attended.data() + head * kHeadWidth,
                                position + 1, kHeadWidth);
    }
  });

  // x + c_proj(attention).
  prepare(p.c_proj, count, &RowState::attended);
  project_all(p.c_proj, count, &RowState::attended, &RowState::x_mid, kWidth, grain_for(kWidth),
              [](RowState &row, int64_t begin, int64_t end) {
                for (int64_t r = begin; r < end; r++) row.x_mid[r] += row.x[r];
              });

  // gelu(c_fc(ln_2(x))).
  for (size_t i = 0; i < count; i++)
    layer_norm(rows_[i].x_mid.data(), p.ln_2_weight, p.ln_2_bias, rows_[i].normed.data());
  prepare(p.c_fc, count, &RowState::normed);
  project_all(p.c_fc, count, &RowState::normed, &RowState::inner, kInnerWidth, grain_for(kWidth),
              [this](RowState &row, int64_t begin, int64_t end) {
                kernels_.gelu_tanh(row.inner.data() + begin, end - begin);
              });

  // x + c_proj_mlp(inner).
  prepare(p.c_proj_mlp, count, &RowState::inner);
  project_all(p.c_proj_mlp, count, &RowState::inner, &RowState::x, kWidth, grain_for(kInnerWidth),
              [](RowState &row, int64_t begin, int64_t end) {
                for (int64_t r = begin; r < end; r++) row.x[r] += row.x_mid[r];
              });
}
