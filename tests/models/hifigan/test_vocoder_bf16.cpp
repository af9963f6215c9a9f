#include "models/hifigan/hifi_decoder.h"
#include "shared_decoder.h"

#include <gtest/gtest.h>
#include <torch/torch.h>

#include <cmath>
#include <vector>

// The vocoder in bf16 gives the float32 waveform up to a noise floor well
// under it, keeps the output's shape, range and dtype, and its weights come
// back as float32 when it is turned off.
TEST(VocoderBf16, StaysCloseToFloat32) {
  if (!vocoder_bf16_supported()) GTEST_SKIP() << "no AVX512_BF16 on this CPU";
  HifiDecoder &decoder = hifi_test::shared_decoder();
  torch::NoGradGuard no_grad;
  torch::manual_seed(18);
  const torch::Tensor latents = torch::randn({1, 40, 1024});
  const torch::Tensor g = torch::randn({1, 512, 1});
  testing::internal::CaptureStderr();
  const torch::Tensor reference = decoder->forward(latents, g);

  // Put every float32 value back afterwards: the other tests share it.
  std::vector<std::pair<torch::Tensor, torch::Tensor>> saved;
  for (auto &p : decoder->named_parameters()) saved.emplace_back(p.value(), p.value().clone());

  ASSERT_TRUE(set_vocoder_bf16(*decoder, true));
  EXPECT_EQ(decoder->waveform_decoder->conv_pre->weight.scalar_type(), torch::kBFloat16);
  const torch::Tensor reduced = decoder->forward(latents, g);
  EXPECT_FALSE(set_vocoder_bf16(*decoder, false));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(decoder->waveform_decoder->conv_pre->weight.scalar_type(), torch::kFloat);
  for (auto &[param, value] : saved) param.copy_(value);

  ASSERT_EQ(reduced.sizes(), reference.sizes());
  EXPECT_EQ(reduced.scalar_type(), torch::kFloat);
  EXPECT_TRUE(reduced.isfinite().all().item<bool>());
  EXPECT_LE(reduced.abs().max().item<float>(), 1.0f);
  const torch::Tensor r = reference.to(torch::kFloat64);
  const double snr = 10 * std::log10(r.pow(2).sum().item<double>() /
                                     (reduced.to(torch::kFloat64) - r).pow(2).sum().item<double>());
  RecordProperty("snr_db", std::to_string(snr));
  EXPECT_GT(snr, 30.0);
}
