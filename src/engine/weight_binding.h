// Copies archive tensors into module parameters and buffers, and checks that
// every tensor a trained checkpoint has is there with its shape.
#pragma once

#include <ATen/core/Tensor.h>

#include <string>
#include <vector>

struct TensorManifest;
struct vclone_model;

// What binding found wrong, in the order the tensors were met.
struct BindProblems {
  std::vector<std::string> missing;     // archive keys
  std::vector<std::string> mismatched;  // "key expected [..] got [..]"

  bool empty() const { return missing.empty() && mismatched.empty(); }
  // "missing: a, b, c (and N more); shape mismatch: x expected [..] got [..]"
  std::string summary() const;
};

// 1 when the archive tensor under key (transposed first, if asked and 2-D)
// was copied into target, 0 when it is absent or its shape differs; with
// problems given, either is recorded there instead of logged.
int bind_tensor(TensorManifest *manifest, const std::string &key, at::Tensor target, bool transpose,
                BindProblems *problems = nullptr);

// 1 when the weight-norm pair under base folds into a weight of target's
// shape; 0 when the pair is incomplete (not recorded: the caller looks for the
// plain weight too) or folds to another shape (recorded, or logged).
int fold_weight_norm(TensorManifest *manifest, const std::string &base, at::Tensor target,
                     BindProblems *problems = nullptr);

// The archive key of a GPT decoder parameter, and whether it is stored [in, out].
std::string gpt_archive_key(const std::string &name);
bool gpt_key_is_transposed(const std::string &key);

// Parameters the modules keep only for their layout, which no checkpoint
// holds: the perceiver's "layers.<i>.1.1" and the speaker encoder's
// "attention.1". Named by their dotted path inside their module.
bool is_placeholder_parameter(const std::string &module, const std::string &name);

// Binds the five modules of model in order, logging one count line each
// (debug level). False when any tensor other than a placeholder is absent or
// has the wrong shape, with BindProblems::summary() in *error (logged when
// error is null); the modules are then partly bound and must not be used.
bool bind_model_weights(TensorManifest *manifest, vclone_model &model,
                        std::string *error = nullptr);
