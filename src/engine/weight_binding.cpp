#include "engine/weight_binding.h"

#include "archive/manifest.h"
#include "engine/vclone_model.h"
#include "util/exception_text.h"
#include "util/log.h"

#include <torch/nn/module.h>

#include <cstdio>
#include <functional>
#include <string>

namespace {

std::string sizes_text(at::IntArrayRef sizes) {
  std::string text;
  for (size_t i = 0; i < sizes.size(); i++)
    text += std::to_string(sizes[i]) + (i + 1 < sizes.size() ? "," : "");
  return text;
}

void copy_into(at::Tensor target, const at::Tensor &values) {
  torch::NoGradGuard no_grad;
  target.copy_(values);
}

std::string dotted(std::string name) {
  for (char &c : name)
    if (c == '/') c = '.';
  return name;
}

bool starts_with(const std::string &text, const char *prefix) {
  return text.rfind(prefix, 0) == 0;
}

using KeyOf = std::function<std::string(const std::string &)>;
using Transposed = std::function<bool(const std::string &)>;

// Binds every parameter of module under its archive key; returns the count bound.
int bind_parameters(TensorManifest *manifest, torch::nn::Module &module, const KeyOf &key_of,
                    const Transposed &transposed) {
  int count = 0;
  for (auto &item : module.named_parameters(true)) {
    std::string key = key_of(dotted(item.key()));
    count += bind_tensor(manifest, key, item.value(), transposed(key));
  }
  return count;
}

KeyOf prefixed(const std::string &prefix) {
  return [prefix](const std::string &name) { return prefix + name; };
}

bool never(const std::string &) { return false; }

}  // namespace

int bind_tensor(TensorManifest *manifest, const std::string &key, at::Tensor target,
                bool transpose) {
  try {
    at::Tensor values = load_tensor_view(manifest, key);
    if (!values.defined()) return 0;
    if (transpose && values.dim() == 2) values = values.t().contiguous();
    if (target.sizes() == values.sizes()) {
      copy_into(target, values);
      return 1;
    }
    log_line(kLogWarn, "[vclone] Shape mismatch: %s expected [%s] got [%s]", key.c_str(),
             sizes_text(target.sizes()).c_str(), sizes_text(values.sizes()).c_str());
  } catch (const std::exception &e) {
    log_line(kLogWarn, "[vclone] Failed to bind %s: %s\n", key.c_str(), exception_text(e));
  }
  return 0;
}

int fold_weight_norm(TensorManifest *manifest, const std::string &base, at::Tensor target) {
  at::Tensor magnitude = load_tensor_view(manifest, base + ".parametrizations.weight.original0");
  at::Tensor direction = load_tensor_view(manifest, base + ".parametrizations.weight.original1");
  if (!magnitude.defined() || !direction.defined()) return 0;
  try {
    std::vector<int64_t> dims;
    for (int64_t d = 1; d < direction.dim(); d++) dims.push_back(d);
    at::Tensor norm = direction.norm(2, dims, /*keepdim=*/true);
    at::Tensor weight = direction * (magnitude / norm);
    if (weight.sizes() == target.sizes()) {
      copy_into(target, weight);
      return 1;
    }
    log_line(kLogWarn, "[vclone] weight_norm shape mismatch for %s\n", base.c_str());
  } catch (const std::exception &e) {
    log_line(kLogWarn, "[vclone] weight_norm fold failed for %s: %s\n", base.c_str(),
            exception_text(e));
  }
  return 0;
}

std::string gpt_archive_key(const std::string &name) {
  if (starts_with(name, "gpt.")) {
    std::string rest = name.substr(4);
    size_t dot = rest.find('.');
    std::string layer = rest.substr(0, dot);
    std::string tail = dot == std::string::npos ? "" : rest.substr(dot + 1);
    std::string head = "gpt.gpt.h." + layer;
    if (starts_with(tail, "c_attn.") || starts_with(tail, "c_proj.")) return head + ".attn." + tail;
    if (starts_with(tail, "c_fc.")) return head + ".mlp." + tail;
    if (starts_with(tail, "c_proj_mlp.")) return head + ".mlp.c_proj." + tail.substr(11);
    return head + "." + tail;
  }
  if (starts_with(name, "gpt_ln_f.")) return "gpt.gpt.ln_f." + name.substr(9);
  return "gpt." + name;
}

bool gpt_key_is_transposed(const std::string &key) {
  for (const char *pattern : {".attn.c_attn.weight", ".attn.c_proj.weight", ".mlp.c_fc.weight",
                              ".mlp.c_proj.weight"})
    if (key.find(pattern) != std::string::npos) return true;
  return false;
}

void bind_model_weights(TensorManifest *manifest, VcloneModel &model) {
  int total = static_cast<int>(model.conditioning_encoder->parameters().size());
  int count = bind_parameters(manifest, *model.conditioning_encoder,
                              prefixed("gpt.conditioning_encoder."), never);
  log_line(kLogDebug, "[vclone] ConditioningEncoder: %d/%d weights\n", count, total);

  total = static_cast<int>(model.conditioning_perceiver->parameters().size());
  count = bind_parameters(manifest, *model.conditioning_perceiver,
                          prefixed("gpt.conditioning_perceiver."), never);
  log_line(kLogDebug, "[vclone] PerceiverResampler: %d/%d weights\n", count, total);

  total = static_cast<int>(model.gpt_decoder->parameters().size());
  count = bind_parameters(manifest, *model.gpt_decoder, gpt_archive_key, gpt_key_is_transposed);
  log_line(kLogDebug, "[vclone] GPTDecoder: %d/%d weights\n", count, total);

  const std::string speaker_prefix = "hifigan_decoder.speaker_encoder.";
  count = bind_parameters(manifest, *model.speaker_encoder, prefixed(speaker_prefix), never);
  for (auto &item : model.speaker_encoder->named_buffers(true))
    bind_tensor(manifest, speaker_prefix + dotted(item.key()), item.value(), false);
  log_line(kLogDebug, "[vclone] SpeakerEncoder: %d weights loaded\n", count);

  total = static_cast<int>(model.hifi_decoder->parameters().size());
  count = 0;
  for (auto &item : model.hifi_decoder->named_parameters(true)) {
    std::string name = dotted(item.key());
    int bound = bind_tensor(manifest, "hifigan_decoder." + name, item.value(), false);
    size_t weight = name.rfind(".weight");
    if (!bound && weight != std::string::npos)
      bound = fold_weight_norm(manifest, "hifigan_decoder." + name.substr(0, weight), item.value());
    count += bound;
  }
  log_line(kLogDebug, "[vclone] HifiDecoder: %d/%d weights\n", count, total);
}
