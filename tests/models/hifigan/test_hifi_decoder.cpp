#include "models/hifigan/hifi_decoder.h"
#include "shared_decoder.h"

#include <gtest/gtest.h>
#include <torch/torch.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using hifi_test::shared_decoder;

namespace {

struct DecodeResult {
  torch::Tensor waveform;
  std::string log;
};

DecodeResult decode(const torch::Tensor &latents, const torch::Tensor &g) {
  torch::NoGradGuard no_grad;
  testing::internal::CaptureStderr();
  torch::Tensor out = shared_decoder()->forward(latents, g);
  return {out, testing::internal::GetCapturedStderr()};
}

// Linear resampling to `out` points without corner alignment: point i reads
// the input at (i + 0.5) * in / out - 0.5, clamped to the input.
std::vector<double> resample_reference(const std::vector<double> &in, size_t out) {
  std::vector<double> result(out);
  const double scale = static_cast<double>(in.size()) / static_cast<double>(out);
  for (size_t i = 0; i < out; i++) {
    double pos = std::max(0.0, (static_cast<double>(i) + 0.5) * scale - 0.5);
    size_t lo = std::min(static_cast<size_t>(pos), in.size() - 1);
    size_t hi = std::min(lo + 1, in.size() - 1);
    double w = pos - static_cast<double>(lo);
    result[i] = in[lo] * (1.0 - w) + in[hi] * w;
  }
  return result;
}

}  // namespace

TEST(HifiDecoder, RegistersOnlyTheGeneratorUnderWaveformDecoder) {
  auto params = shared_decoder()->named_parameters();
  ASSERT_EQ(params.size(), 165u);
  for (const auto &item : params)
    EXPECT_EQ(item.key().rfind("waveform_decoder.", 0), 0u) << item.key();
  EXPECT_EQ(params[0].key(), "waveform_decoder.conv_pre.weight");
  EXPECT_EQ(params[164].key(), "waveform_decoder.conv_post.weight");
  EXPECT_EQ(params["waveform_decoder.ups.0.weight"].sizes().vec(),
            (std::vector<int64_t>{512, 256, 16}));
  EXPECT_EQ(params["waveform_decoder.resblocks.11.convs1.2.weight"].sizes().vec(),
            (std::vector<int64_t>{32, 32, 11}));
  EXPECT_EQ(params.find("waveform_decoder.conv_post.bias"), nullptr);
  EXPECT_EQ(shared_decoder()->children().size(), 1u);
}

TEST(HifiDecoder, FrameCountFollowsTheOutputRate) {
  // 147 latents: 588 * 24000 / 22050 is exactly 640; dividing first would
  // land just below it and truncate to 639.
  struct Case {
    int64_t latents;
    int64_t frames;
  };
  const Case cases[] = {{1, 4}, {3, 13}, {100, 435}, {147, 640}, {2, 8}, {10, 43}};
  for (const auto &c : cases) {
    SCOPED_TRACE("T = " + std::to_string(c.latents));
    EXPECT_EQ(hifi_output_frames(c.latents), c.frames);
    torch::Tensor z = stretch_latents(torch::randn({1, c.latents, 1024}));
    EXPECT_EQ(z.sizes().vec(), (std::vector<int64_t>{1, 1024, c.frames}));
  }
}

TEST(HifiDecoder, DecodesToTheOutputRateAndLogsBothShapes) {
  struct Case {
    int64_t latents;
    const char *log;
  };
  const Case cases[] = {
      {1,
       "[hifigan] Input to generator: [1, 1024, 4], spk: [1, 512, 1]\n"
       "[hifigan] Output waveform: [1, 1, 1024] at 24kHz\n"},
      {3,
       "[hifigan] Input to generator: [1, 1024, 13], spk: [1, 512, 1]\n"
       "[hifigan] Output waveform: [1, 1, 3328] at 24kHz\n"},
      {100,
       "[hifigan] Input to generator: [1, 1024, 435], spk: [1, 512, 1]\n"
       "[hifigan] Output waveform: [1, 1, 111360] at 24kHz\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("T = " + std::to_string(c.latents));
    DecodeResult r = decode(torch::randn({1, c.latents, 1024}), torch::randn({1, 512, 1}));
    EXPECT_EQ(r.log, c.log);
    EXPECT_EQ(r.waveform.sizes().vec(),
              (std::vector<int64_t>{1, 1, 256 * hifi_output_frames(c.latents)}));
    EXPECT_LE(r.waveform.abs().max().item<float>(), 1.0f);
  }
}

TEST(HifiDecoder, LinearStretchSamplesBetweenFrameCentres) {
  // Every channel carries its own ramp so a transposition or an
  // align-corners mix-up shows.
  for (int64_t frames : {1, 3, 7}) {
    SCOPED_TRACE("T = " + std::to_string(frames));
    torch::Tensor ramp = torch::arange(frames, torch::kFloat32).view({1, frames, 1});
    torch::Tensor scale = torch::linspace(-2.0, 3.0, 1024).view({1, 1, 1024});
    torch::Tensor z = stretch_latents(ramp * scale);

    std::vector<double> steps(frames);
    for (int64_t t = 0; t < frames; t++) steps[t] = static_cast<double>(t);
    auto expected = resample_reference(resample_reference(steps, 4 * frames),
                                       static_cast<size_t>(hifi_output_frames(frames)));
    torch::Tensor ref =
        torch::tensor(std::vector<float>(expected.begin(), expected.end())).view({1, 1, -1}) *
        scale.transpose(1, 2);
    EXPECT_TRUE(torch::allclose(z, ref, 1e-5, 1e-5)) << (z - ref).abs().max().item<float>();
  }
}

TEST(HifiDecoder, ConstantLatentsStayConstant) {
  // Blending equal neighbours with weights w and 1 - w returns the value up
  // to one or two rounding steps.
  for (int64_t frames : {1, 3, 100, 147}) {
    SCOPED_TRACE("T = " + std::to_string(frames));
    torch::Tensor value = torch::randn({1, 1, 1024});
    torch::Tensor z = stretch_latents(value.expand({1, frames, 1024}));
    torch::Tensor expected = value.transpose(1, 2).expand_as(z);
    EXPECT_TRUE(torch::allclose(z, expected, 1e-6, 0.0))
        << (z - expected).abs().max().item<float>();
  }
}

TEST(HifiDecoder, HandsLatentsAndSpeakerEmbeddingToTheGeneratorUntouched) {
  torch::Tensor latents = torch::randn({1, 5, 1024});
  torch::Tensor g = torch::randn({1, 512, 1});
  torch::Tensor latents_before = latents.clone(), g_before = g.clone();

  DecodeResult r = decode(latents, g);
  torch::NoGradGuard no_grad;
  torch::Tensor direct = shared_decoder()->waveform_decoder->forward(stretch_latents(latents), g);

  EXPECT_TRUE(torch::equal(r.waveform, direct));
  EXPECT_TRUE(torch::equal(latents, latents_before));
  EXPECT_TRUE(torch::equal(g, g_before));
}
