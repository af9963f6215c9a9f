#include "archive/manifest.h"
#include "engine/weight_binding.h"
#include "support/archive_fixture.h"

#include <gtest/gtest.h>
#include <torch/types.h>

#include <cstring>
#include <map>

namespace {

// An archive of named float tensors, each in a record of its own.
class TensorArchive {
 public:
  explicit TensorArchive(const std::map<std::string, at::Tensor> &tensors) {
    fixture::Records records;
    std::string manifest = "{";
    int index = 0;
    for (const auto &[name, tensor] : tensors) {
      at::Tensor values = tensor.contiguous();
      std::string shape;
      for (int64_t size : values.sizes()) shape += (shape.empty() ? "" : ",") + std::to_string(size);
      manifest += std::string(index ? ", " : "") +
                  fixture::manifest_entry(name, std::to_string(index), "0", shape, values.numel());
      records.push_back({"data/" + std::to_string(index),
                         std::string(static_cast<const char *>(values.data_ptr()),
                                      values.numel() * sizeof(float))});
      index++;
    }
    records.push_back({"manifest.json", manifest + "}"});
    fixture::write_archive(dir_.file("model.pt"), records);
    manifest_ = open_manifest(dir_.file("model.pt").c_str());
  }
  ~TensorArchive() { delete manifest_; }
  TensorManifest *manifest() const { return manifest_; }

 private:
  fixture::TempDir dir_;
  TensorManifest *manifest_ = nullptr;
};

}  // namespace

TEST(WeightBinding, GptKeyRules) {
  struct Case {
    const char *parameter;
    const char *key;
    bool transposed;
  } cases[] = {
      {"gpt.7.ln_1.weight", "gpt.gpt.h.7.ln_1.weight", false},
      {"gpt.7.c_attn.weight", "gpt.gpt.h.7.attn.c_attn.weight", true},
      {"gpt.7.c_attn.bias", "gpt.gpt.h.7.attn.c_attn.bias", false},
      {"gpt.7.c_proj.weight", "gpt.gpt.h.7.attn.c_proj.weight", true},
      {"gpt.7.ln_2.bias", "gpt.gpt.h.7.ln_2.bias", false},
      {"gpt.7.c_fc.weight", "gpt.gpt.h.7.mlp.c_fc.weight", true},
      {"gpt.7.c_proj_mlp.weight", "gpt.gpt.h.7.mlp.c_proj.weight", true},
      {"gpt.7.c_proj_mlp.bias", "gpt.gpt.h.7.mlp.c_proj.bias", false},
      {"gpt.29.c_fc.bias", "gpt.gpt.h.29.mlp.c_fc.bias", false},
      {"gpt_ln_f.weight", "gpt.gpt.ln_f.weight", false},
      {"final_norm.bias", "gpt.final_norm.bias", false},
      {"text_pos_embedding.emb.weight", "gpt.text_pos_embedding.emb.weight", false},
      {"mel_head.weight", "gpt.mel_head.weight", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.parameter);
    EXPECT_EQ(gpt_archive_key(c.parameter), c.key);
    EXPECT_EQ(gpt_key_is_transposed(c.key), c.transposed);
  }
}

TEST(WeightBinding, TransposedMatrices) {
  at::Tensor in_out = torch::randn({1024, 3072});
  TensorArchive archive({{"right", in_out}, {"wrong", in_out.t().contiguous()},
                         {"vector", torch::arange(4, torch::kFloat32)}});

  at::Tensor target = torch::zeros({3072, 1024});
  EXPECT_EQ(bind_tensor(archive.manifest(), "right", target, true), 1);
  EXPECT_TRUE(torch::equal(target, in_out.t()));

  at::Tensor untouched = torch::zeros({3072, 1024});
  testing::internal::CaptureStderr();
  EXPECT_EQ(bind_tensor(archive.manifest(), "wrong", untouched, true), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[vclone] Shape mismatch: wrong expected [3072,1024] got [1024,3072]\n");
  EXPECT_EQ(untouched.abs().sum().item<float>(), 0.0f);

  at::Tensor vector = torch::zeros({4});
  EXPECT_EQ(bind_tensor(archive.manifest(), "vector", vector, true), 1);
  EXPECT_TRUE(torch::equal(vector, torch::arange(4, torch::kFloat32)));
  EXPECT_EQ(bind_tensor(archive.manifest(), "absent", vector, false), 0);
}

TEST(WeightBinding, BindsIntoParametersAndConvertsDtype) {
  TensorArchive archive({{"w", torch::full({2, 2}, 3.0f)}, {"count", torch::tensor(7.0f)}});
  at::Tensor parameter = torch::zeros({2, 2}).requires_grad_(true);
  EXPECT_EQ(bind_tensor(archive.manifest(), "w", parameter, false), 1);
  EXPECT_TRUE(torch::equal(parameter.detach(), torch::full({2, 2}, 3.0f)));
  at::Tensor counter = torch::zeros({}, torch::kInt64);
  EXPECT_EQ(bind_tensor(archive.manifest(), "count", counter, false), 1);
  EXPECT_EQ(counter.item<int64_t>(), 7);
}

TEST(WeightBinding, WeightNormFold) {
  at::Tensor direction = torch::randn({4, 3, 5});
  at::Tensor magnitude = torch::rand({4, 1, 1}) + 0.5;
  TensorArchive archive({{"conv.parametrizations.weight.original0", magnitude},
                         {"conv.parametrizations.weight.original1", direction},
                         {"odd.parametrizations.weight.original0", torch::ones({3, 1, 1})},
                         {"odd.parametrizations.weight.original1", direction},
                         {"lonely.parametrizations.weight.original0", magnitude}});
  at::Tensor weight = torch::zeros({4, 3, 5});
  EXPECT_EQ(fold_weight_norm(archive.manifest(), "conv", weight), 1);
  at::Tensor norms = weight.reshape({4, -1}).norm(2, {1});
  EXPECT_TRUE(torch::allclose(norms, magnitude.reshape({4}), 1e-5, 1e-6));
  EXPECT_TRUE(torch::allclose(weight / norms.reshape({4, 1, 1}),
                              direction / direction.reshape({4, -1}).norm(2, {1}).reshape({4, 1, 1}),
                              1e-5, 1e-6));

  at::Tensor wrong = torch::zeros({4, 3, 7});
  testing::internal::CaptureStderr();
  EXPECT_EQ(fold_weight_norm(archive.manifest(), "conv", wrong), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[vclone] weight_norm shape mismatch for conv\n");

  // Factors that cannot broadcast are reported and leave the tensor unbound.
  testing::internal::CaptureStderr();
  EXPECT_EQ(fold_weight_norm(archive.manifest(), "odd", weight), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[vclone] weight_norm fold failed for odd"),
            std::string::npos);

  testing::internal::CaptureStderr();
  EXPECT_EQ(fold_weight_norm(archive.manifest(), "lonely", weight), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
