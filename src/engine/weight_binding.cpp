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

bool starts_with(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

std::string archive_shape_text(at::IntArrayRef sizes, bool transposed) {
  std::vector<int64_t> shape(sizes.begin(), sizes.end());
  if (transposed && shape.size() == 2) std::swap(shape[0], shape[1]);
  return "[" + sizes_text(shape) + "]";
}

void record_mismatch(BindProblems *problems, const std::string &text) {
  if (problems)
    problems->mismatched.push_back(text);
  else
    log_line(kLogWarn, "[vclone] Shape mismatch: %s\n", text.c_str());
}

std::string first_few(const std::vector<std::string> &items) {
  constexpr size_t kShown = 3;
  std::string text;
  for (size_t i = 0; i < items.size() && i < kShown; i++) text += (i ? ", " : "") + items[i];
  if (items.size() > kShown) text += " (and " + std::to_string(items.size() - kShown) + " more)";
  return text;
}

using KeyOf = std::function<std::string(const std::string &)>;
using Transposed = std::function<bool(const std::string &)>;

// Binds every parameter of module under its archive key, placeholders left
// out; returns the count bound.
int bind_parameters(TensorManifest *manifest, torch::nn::Module &module, const char *module_name,
                    const KeyOf &key_of, const Transposed &transposed, BindProblems &problems) {
  int count = 0;
  for (auto &item : module.named_parameters(true)) {
    const std::string name = dotted(item.key());
    if (is_placeholder_parameter(module_name, name)) continue;
    std::string key = key_of(name);
    count += bind_tensor(manifest, key, item.value(), transposed(key), &problems);
  }
  return count;
}

KeyOf prefixed(const std::string &prefix) {
  return [prefix](const std::string &name) { return prefix + name; };
}

bool never(const std::string &) { return false; }

int bind_hifi_decoder(TensorManifest *manifest, torch::nn::Module &module, BindProblems &problems) {
  int count = 0;
  for (auto &item : module.named_parameters(true)) {
    const std::string key = "hifigan_decoder." + dotted(item.key());
    // Weights may be stored plain or as a weight-norm pair; only when neither
    // is there is the weight missing.
    size_t weight = key.rfind(".weight");
    bool has_pair =
        weight != std::string::npos && weight + 7 == key.size() &&
        manifest->entries.count(key.substr(0, weight) + ".parametrizations.weight.original1");
    if (has_pair && !manifest->entries.count(key))
      count += fold_weight_norm(manifest, key.substr(0, weight), item.value(), &problems);
    else
      count += bind_tensor(manifest, key, item.value(), false, &problems);
  }
  return count;
}

}  // namespace

std::string BindProblems::summary() const {
  std::string text;
  if (!missing.empty()) text = "missing: " + first_few(missing);
  if (!mismatched.empty())
    text += (text.empty() ? "" : "; ") + ("shape mismatch: " + first_few(mismatched));
  return text;
}

bool is_placeholder_parameter(const std::string &module, const std::string &name) {
  if (module == "PerceiverResampler") {
    // layers.<i>.1.1.<parameter>
    if (!starts_with(name, "layers.")) return false;
    size_t dot = name.find('.', 7);
    return dot != std::string::npos && name.compare(dot, 5, ".1.1.") == 0;
  }
  if (module == "SpeakerEncoder") return starts_with(name, "attention.1.");
  return false;
}

int bind_tensor(TensorManifest *manifest, const std::string &key, at::Tensor target, bool transpose,
                BindProblems *problems) {
  try {
    at::Tensor values = load_tensor_view(manifest, key);
    if (!values.defined()) {
      if (problems) problems->missing.push_back(key);
      return 0;
    }
    const bool transposed = transpose && values.dim() == 2;
    at::Tensor oriented = transposed ? values.t().contiguous() : values;
    if (target.sizes() == oriented.sizes()) {
      copy_into(target, oriented);
      return 1;
    }
    record_mismatch(problems, key + " expected " + archive_shape_text(target.sizes(), transposed) +
                                  " got " + archive_shape_text(values.sizes(), false));
  } catch (const std::exception &e) {
    record_mismatch(problems, key + " cannot be bound (" + exception_text(e) + ")");
  }
  return 0;
}

int fold_weight_norm(TensorManifest *manifest, const std::string &base, at::Tensor target,
                     BindProblems *problems) {
  at::Tensor magnitude = load_tensor_view(manifest, base + ".parametrizations.weight.original0");
  at::Tensor direction = load_tensor_view(manifest, base + ".parametrizations.weight.original1");
  if (!magnitude.defined() || !direction.defined()) {
    if (problems)
      problems->missing.push_back(base + ".parametrizations.weight.original" +
                                  (magnitude.defined() ? "1" : "0"));
    return 0;
  }
  const std::string what = base + ".parametrizations.weight";
  try {
    std::vector<int64_t> dims;
    for (int64_t d = 1; d < direction.dim(); d++) dims.push_back(d);
    at::Tensor norm = direction.norm(2, dims, /*keepdim=*/true);
    at::Tensor weight = direction * (magnitude / norm);
    if (weight.sizes() == target.sizes()) {
      copy_into(target, weight);
      return 1;
    }
    record_mismatch(problems, what + " expected " + archive_shape_text(target.sizes(), false) +
                                  " got " + archive_shape_text(weight.sizes(), false));
  } catch (const std::exception &e) {
    record_mismatch(problems, what + " does not fold (" + exception_text(e) + ")");
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
  for (const char *pattern :
       {".attn.c_attn.weight", ".attn.c_proj.weight", ".mlp.c_fc.weight", ".mlp.c_proj.weight"})
    if (key.find(pattern) != std::string::npos) return true;
  return false;
}

bool bind_model_weights(TensorManifest *manifest, vclone_model &model, std::string *error) {
  BindProblems problems;
  int total = static_cast<int>(model.conditioning_encoder->parameters().size());
  int count = bind_parameters(manifest, *model.conditioning_encoder, "ConditioningEncoder",
                              prefixed("gpt.conditioning_encoder."), never, problems);
  log_line(kLogDebug, "[vclone] ConditioningEncoder: %d/%d weights\n", count, total);

  total = static_cast<int>(model.conditioning_perceiver->parameters().size());
  count = bind_parameters(manifest, *model.conditioning_perceiver, "PerceiverResampler",
                          prefixed("gpt.conditioning_perceiver."), never, problems);
  log_line(kLogDebug, "[vclone] PerceiverResampler: %d/%d weights\n", count, total);

  total = static_cast<int>(model.gpt_decoder->parameters().size());
  count = bind_parameters(manifest, *model.gpt_decoder, "GPTDecoder", gpt_archive_key,
                          gpt_key_is_transposed, problems);
  log_line(kLogDebug, "[vclone] GPTDecoder: %d/%d weights\n", count, total);

  const std::string speaker_prefix = "hifigan_decoder.speaker_encoder.";
  count = bind_parameters(manifest, *model.speaker_encoder, "SpeakerEncoder",
                          prefixed(speaker_prefix), never, problems);
  for (auto &item : model.speaker_encoder->named_buffers(true))
    bind_tensor(manifest, speaker_prefix + dotted(item.key()), item.value(), false, &problems);
  log_line(kLogDebug, "[vclone] SpeakerEncoder: %d weights loaded\n", count);

  total = static_cast<int>(model.hifi_decoder->parameters().size());
  count = bind_hifi_decoder(manifest, *model.hifi_decoder, problems);
  log_line(kLogDebug, "[vclone] HifiDecoder: %d/%d weights\n", count, total);

  if (problems.empty()) return true;
  if (error)
    *error = problems.summary();
  else
    log_line(kLogWarn, "[vclone] Failed: %s\n", problems.summary().c_str());
  return false;
}
