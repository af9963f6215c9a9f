#include "archive/manifest.h"
#include "engine/vclone_model.h"
#include "engine/weight_binding.h"
#include "support/archive_fixture.h"
#include "util/log.h"

#include <gtest/gtest.h>
#include <torch/types.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

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
      for (int64_t size : values.sizes())
        shape += (shape.empty() ? "" : ",") + std::to_string(size);
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
  TensorArchive archive({{"right", in_out},
                         {"wrong", in_out.t().contiguous()},
                         {"vector", torch::arange(4, torch::kFloat32)}});

  at::Tensor target = torch::zeros({3072, 1024});
  EXPECT_EQ(bind_tensor(archive.manifest(), "right", target, true), 1);
  EXPECT_TRUE(torch::equal(target, in_out.t()));

  at::Tensor untouched = torch::zeros({3072, 1024});
  testing::internal::CaptureStderr();
  EXPECT_EQ(bind_tensor(archive.manifest(), "wrong", untouched, true), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[vclone] Shape mismatch: wrong expected [1024,3072] got [3072,1024]\n");
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
  EXPECT_TRUE(torch::allclose(
      weight / norms.reshape({4, 1, 1}),
      direction / direction.reshape({4, -1}).norm(2, {1}).reshape({4, 1, 1}), 1e-5, 1e-6));

  at::Tensor wrong = torch::zeros({4, 3, 7});
  testing::internal::CaptureStderr();
  EXPECT_EQ(fold_weight_norm(archive.manifest(), "conv", wrong), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[vclone] Shape mismatch: conv.parametrizations.weight expected [4,3,7] got [4,3,5]\n");

  // Factors that cannot broadcast are reported and leave the tensor unbound.
  testing::internal::CaptureStderr();
  EXPECT_EQ(fold_weight_norm(archive.manifest(), "odd", weight), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "[vclone] Shape mismatch: odd.parametrizations.weight does not fold ("),
            std::string::npos);

  testing::internal::CaptureStderr();
  EXPECT_EQ(fold_weight_norm(archive.manifest(), "lonely", weight), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

namespace {

using Shapes = std::vector<std::pair<std::string, std::vector<int64_t>>>;

// Name and shape of every tensor the project's random-model generator writes
// (the keys of a trained checkpoint), without making their values.
Shapes checkpoint_shapes(bool weight_norm) {
  std::string command =
      std::string("/usr/bin/python3 -c \"import sys, torch; sys.path.insert(0, '") +
      VCLONE_SOURCE_DIR +
      "/tools'); import make_random_model as m; "
      "m.normal = lambda shape, std: torch.zeros([1] * len(shape)).expand(list(shape)); "
      "t = {}; m.conditioning_encoder(t); m.perceiver(t); m.gpt(t); m.speaker_encoder(t); "
      "m.hifigan(t, " +
      (weight_norm ? "True" : "False") +
      "); "
      "[print(k, *v.shape) for k, v in t.items()]\"";
  Shapes shapes;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return shapes;
  std::string text;
  char block[4096];
  for (size_t n; (n = fread(block, 1, sizeof block, pipe)) > 0;) text.append(block, n);
  pclose(pipe);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name;
    fields >> name;
    std::vector<int64_t> shape;
    for (int64_t size; fields >> size;) shape.push_back(size);
    shapes.push_back({name, shape});
  }
  return shapes;
}

// An archive whose every entry reads the same zero-filled record from offset
// 0: full-size shapes in a file of one largest tensor.
std::string shared_record_archive(const fixture::TempDir &dir, const std::string &name,
                                  const Shapes &shapes) {
  int64_t largest = 1;
  std::string manifest = "{";
  for (const auto &[key, shape] : shapes) {
    int64_t numel = 1;
    std::string sizes;
    for (int64_t size : shape) {
      numel *= size;
      sizes += (sizes.empty() ? "" : ",") + std::to_string(size);
    }
    largest = std::max(largest, numel);
    manifest +=
        (manifest.size() > 1 ? ", " : "") + fixture::manifest_entry(key, "0", "0", sizes, numel);
  }
  std::string path = dir.file(name);
  fixture::write_archive(
      path, {{"manifest.json", manifest + "}"},
             {"data/0", std::string(static_cast<size_t>(largest) * sizeof(float), '\0')}});
  return path;
}

// The full-size modules, made once (about 1.9 GB) and bound again per case.
vclone_model &full_model() {
  static std::unique_ptr<vclone_model> model = [] {
    auto m = std::make_unique<vclone_model>();
    m->conditioning_encoder = ConditioningEncoder(80, 1024, 16, 6);
    m->conditioning_perceiver = PerceiverResampler(1024, 2, 64, 8, 32, 4);
    m->gpt_decoder = GPTDecoder(WeightInit::kZeros);
    m->speaker_encoder = SpeakerEncoder();
    m->hifi_decoder = HifiDecoder();
    return m;
  }();
  return *model;
}

struct Bound {
  bool ok;
  std::string error;
  std::string log;
};

Bound bind_archive(const std::string &path) {
  std::unique_ptr<TensorManifest> manifest(open_manifest(path.c_str()));
  if (!manifest) return {false, "cannot open " + path, ""};
  std::vector<std::string> lines;
  set_log_callback(
      [](int32_t, const char *line, void *user) {
        static_cast<std::vector<std::string> *>(user)->push_back(line);
      },
      &lines);
  Bound bound;
  bound.ok = bind_model_weights(manifest.get(), full_model(), &bound.error);
  set_log_callback(nullptr, nullptr);
  for (const std::string &line : lines) bound.log += line + "\n";
  return bound;
}

Shapes without(Shapes shapes, const std::vector<std::string> &names) {
  for (const std::string &name : names)
    shapes.erase(std::remove_if(shapes.begin(), shapes.end(),
                                [&](const auto &s) { return s.first == name; }),
                 shapes.end());
  return shapes;
}

Shapes reshaped(Shapes shapes, const std::string &name, std::vector<int64_t> shape) {
  for (auto &entry : shapes)
    if (entry.first == name) entry.second = shape;
  return shapes;
}

}  // namespace

// Every tensor of a checkpoint must be there with its shape; before, an
// archive without the decoder's 372 tensors loaded and synthesised from
// zeros. Placeholders (never in a checkpoint) are not asked for.
TEST(WeightBinding, RefusesMissingAndMisshapenTensors) {
  const Shapes plain = checkpoint_shapes(false);
  const Shapes weight_norm = checkpoint_shapes(true);
  ASSERT_EQ(plain.size(), 918u);  // mel_stats is read by the loader itself
  ASSERT_EQ(weight_norm.size(), 996u);
  Shapes no_decoder;
  for (const auto &entry : plain)
    if (entry.first.rfind("gpt.", 0) != 0 || entry.first.rfind("gpt.conditioning_", 0) == 0)
      no_decoder.push_back(entry);

  const std::string all_counts =
      "[vclone] ConditioningEncoder: 38/38 weights\n[vclone] PerceiverResampler: 16/20 weights\n"
      "[vclone] GPTDecoder: 372/372 weights\n[vclone] SpeakerEncoder: 216 weights loaded\n"
      "[vclone] HifiDecoder: 165/165 weights\n";
  const std::string c_attn = "gpt.gpt.h.7.attn.c_attn.weight";
  const std::string wn = "hifigan_decoder.waveform_decoder.ups.1.parametrizations.weight.original0";
  struct Case {
    const char *name;
    Shapes shapes;
    std::string error;     // empty: binds
    std::string log_part;  // a count line that shows the gap
  } cases[] = {
      {"complete", plain, "", all_counts},
      {"complete, weight-norm pairs", weight_norm, "", all_counts},
      {"one decoder tensor missing", without(plain, {c_attn}), "missing: " + c_attn,
       "[vclone] GPTDecoder: 371/372 weights\n"},
      {"no decoder at all", no_decoder,
       "missing: gpt.text_embedding.weight, gpt.mel_embedding.weight, "
       "gpt.text_pos_embedding.emb.weight (and 369 more)",
       "[vclone] GPTDecoder: 0/372 weights\n"},
      {"a speaker-encoder statistic and a weight-norm half missing",
       without(weight_norm, {"hifigan_decoder.speaker_encoder.bn1.running_var", wn}),
       "missing: hifigan_decoder.speaker_encoder.bn1.running_var, " + wn,
       "[vclone] HifiDecoder: 164/165 weights\n"},
      {"a perceiver weight missing",
       without(plain, {"gpt.conditioning_perceiver.layers.1.1.2.bias"}),
       "missing: gpt.conditioning_perceiver.layers.1.1.2.bias",
       "[vclone] PerceiverResampler: 15/20 weights\n"},
      {"a decoder matrix stored [out, in]", reshaped(plain, c_attn, {3072, 1024}),
       "shape mismatch: " + c_attn + " expected [1024,3072] got [3072,1024]",
       "[vclone] GPTDecoder: 371/372 weights\n"},
      {"missing and misshapen together",
       reshaped(without(plain, {"gpt.mel_head.bias"}), "gpt.final_norm.weight", {1023}),
       "missing: gpt.mel_head.bias; shape mismatch: gpt.final_norm.weight expected [1024] got "
       "[1023]",
       "[vclone] GPTDecoder: 370/372 weights\n"},
  };
  fixture::TempDir dir;
  int index = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bound bound =
        bind_archive(shared_record_archive(dir, std::to_string(index++) + ".pt", c.shapes));
    EXPECT_EQ(bound.ok, c.error.empty());
    EXPECT_EQ(bound.error, c.error);
    EXPECT_NE(bound.log.find(c.log_part), std::string::npos) << bound.log;
  }
}
