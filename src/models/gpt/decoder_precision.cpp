#include "models/gpt/decoder_precision.h"

#include "models/gpt/gpt_decoder.h"
#include "models/gpt/reduced_matrix.h"

#include <c10/core/GradMode.h>
#include <torch/types.h>

#include <malloc.h>

#include <string>

namespace {

// A float32 weight and the slot of its reduced form.
struct Projection {
  at::Tensor &weight;
  std::shared_ptr<ReducedMatrix> &reduced;
};

std::vector<Projection> projections(GPTDecoderImpl &decoder) {
  std::vector<Projection> list;
  for (int i = 0; i < GPTDecoderImpl::kLayers; i++) {
    GPT2LayerImpl &layer = *decoder.gpt[i]->as<GPT2LayerImpl>();
    for (DenseImpl *dense :
         {layer.c_attn.get(), layer.c_proj.get(), layer.c_fc.get(), layer.c_proj_mlp.get()})
      list.push_back({dense->weight, dense->reduced});
  }
  list.push_back({decoder.mel_head->weight, decoder.mel_head->reduced});
  return list;
}

bool float32_present(const Projection &p) { return p.weight.numel() > 0; }

}  // namespace

void set_decoder_precision(GPTDecoderImpl &decoder, DecoderPrecision precision,
                           Float32Weights float32_weights) {
  c10::NoGradGuard no_grad;
  for (Projection &p : projections(decoder)) {
    // The float32 values if still there, else what the reduced ones stand for.
    const at::Tensor source = float32_present(p) ? p.weight : p.reduced->dequantized();
    if (precision == DecoderPrecision::kF32) {
      if (!float32_present(p)) p.weight.set_(source);
      p.reduced.reset();
      continue;
    }
    p.reduced = std::make_shared<ReducedMatrix>(source, precision);
    // set_ changes the registered parameter itself, so its storage is freed
    // here rather than when the module goes.
    if (float32_weights == Float32Weights::kRelease) p.weight.set_(torch::empty({0}));
  }
  // Hands the freed weights back to the system: glibc keeps freed blocks of
  // its heap otherwise, and the resident memory would not drop.
  malloc_trim(0);
}

DecoderPrecision decoder_precision(const GPTDecoderImpl &decoder) {
  return decoder.mel_head->reduced ? decoder.mel_head->reduced->precision : DecoderPrecision::kF32;
}

bool set_decoder_reduced_path(GPTDecoderImpl &decoder, ReducedPath path) {
  const DecoderPrecision precision = decoder_precision(decoder);
  if (!reduced_path_supported(precision, path)) return false;
  for (Projection &p : projections(decoder)) p.reduced->path = path;
  return true;
}

void set_decoder_activation_scale(GPTDecoderImpl &decoder, ActivationScale scale) {
  for (Projection &p : projections(decoder))
    if (p.reduced) p.reduced->activation_scale = scale;
}

int64_t decode_step_weight_bytes(GPTDecoderImpl &decoder) {
  int64_t bytes = 0;
  for (const auto &p : decoder.named_parameters()) {
    const std::string &name = p.key();
    if (name.rfind("gpt.", 0) == 0 || name.rfind("gpt_ln_f.", 0) == 0 ||
        name.rfind("final_norm.", 0) == 0 || name.rfind("mel_head.", 0) == 0)
      bytes += p.value().numel() * static_cast<int64_t>(sizeof(float));
  }
  // A kept float32 copy is not what a step reads.
  for (Projection &p : projections(decoder))
    if (p.reduced)
      bytes += p.reduced->bytes() - p.weight.numel() * static_cast<int64_t>(sizeof(float));
  return bytes;
}
