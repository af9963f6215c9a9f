// Copies archive tensors into module parameters and buffers.
#pragma once

#include <ATen/core/Tensor.h>

#include <string>

struct TensorManifest;
struct vclone_model;
using VcloneModel = vclone_model;

// 1 when the archive tensor under key (transposed first, if asked and 2-D)
// was copied into target, 0 when it is absent or its shape differs.
int bind_tensor(TensorManifest *manifest, const std::string &key, at::Tensor target,
                bool transpose);

// 1 when the weight-norm pair under base folds into a weight of target's shape.
int fold_weight_norm(TensorManifest *manifest, const std::string &base, at::Tensor target);

// The archive key of a GPT decoder parameter, and whether it is stored [in, out].
std::string gpt_archive_key(const std::string &name);
bool gpt_key_is_transposed(const std::string &key);

// Binds the five modules of model in order, printing one count line each.
void bind_model_weights(TensorManifest *manifest, VcloneModel &model);
