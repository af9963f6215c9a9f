#include "audio/mel.h"

#include <gtest/gtest.h>
#include <torch/types.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace {

at::Tensor noise(int64_t n) {
  torch::manual_seed(11);
  return torch::rand({n}, torch::kFloat32) * 2 - 1;
}

at::Tensor gpt_mel_quiet(const at::Tensor &audio, const at::Tensor &stats = {}) {
  testing::internal::CaptureStderr();
  at::Tensor mel = gpt_mel_spectrogram(audio, stats);
  testing::internal::GetCapturedStderr();
  return mel;
}

at::Tensor speaker_mel_quiet(const at::Tensor &audio) {
  testing::internal::CaptureStderr();
  at::Tensor mel = speaker_mel_spectrogram(audio);
  testing::internal::GetCapturedStderr();
  return mel;
}

// The two configurations in use.
struct Bank {
  const char *name;
  int sample_rate, n_fft, n_mels, hop, win;
  bool normalize;
  float floor;
};
const Bank kGpt{"GPT", 22050, 2048, 80, 256, 1024, true, 1e-5f};
const Bank kSpeaker{"speaker", 16000, 512, 64, 160, 400, false, 1e-6f};

at::Tensor bank_of(const Bank &b, bool normalize) {
  return mel_filterbank(b.sample_rate, b.n_fft, b.n_mels, 0.0f, 8000.0f, normalize);
}

// Log mel composed from the public pieces, to check each front end's glue.
at::Tensor composed_log_mel(const at::Tensor &signal, const Bank &b) {
  at::Tensor power = padded_stft(signal, b.n_fft, b.hop, b.win).abs().pow(2);
  return torch::log(torch::clamp(torch::matmul(bank_of(b, b.normalize), power), b.floor))
      .unsqueeze(0);
}

// Frames whose window gives sample q a non-zero weight. The periodic Hann
// window is zero at its first index only.
std::set<int64_t> frames_covering(int64_t q, int hop, int win, int64_t frames) {
  std::set<int64_t> covered;
  for (int64_t t = 0; t < frames; t++) {
    int64_t n = q - t * hop + win / 2;
    if (n >= 1 && n < win) covered.insert(t);
  }
  return covered;
}

}  // namespace

TEST(MelFilterbank, BinEdges) {
  const std::vector<int> gpt = {
      0,   2,   4,   6,   8,   10,  13,  15,  18,  21,  23,  26,  29,  32,  35,  38,  41,
      45,  48,  52,  56,  59,  63,  67,  72,  76,  81,  85,  90,  95,  100, 105, 110, 116,
      122, 128, 134, 140, 147, 153, 160, 167, 175, 182, 190, 198, 207, 215, 224, 233, 243,
      252, 262, 273, 283, 294, 306, 318, 330, 342, 355, 368, 382, 396, 411, 426, 441, 457,
      474, 491, 509, 527, 545, 565, 585, 605, 626, 648, 671, 694, 718, 743};
  const std::vector<int> speaker = {
      0,   0,   1,   2,   3,   4,   5,   6,   8,   9,   10,  11,  13,  14,  16,  17,  19,
      20,  22,  24,  26,  28,  30,  32,  34,  36,  39,  41,  44,  46,  49,  52,  55,  58,
      61,  64,  68,  71,  75,  79,  83,  87,  91,  96,  101, 106, 111, 116, 121, 127, 133,
      139, 146, 152, 159, 166, 174, 182, 190, 198, 207, 216, 225, 235, 245, 256};
  struct Case {
    const Bank &bank;
    float fmax;
    const std::vector<int> &bins;
    float hz1;
  } cases[] = {
      {kGpt, 8000.0f, gpt, 22.12f},
      {kSpeaker, 8000.0f, speaker, 27.67f},
      {kSpeaker, 0.0f, speaker, 27.67f},  // fmax 0 means half the rate
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.bank.name) + " fmax " + std::to_string(c.fmax));
    MelEdges e = mel_edges(c.bank.sample_rate, c.bank.n_fft, c.bank.n_mels, 0.0f, c.fmax);
    EXPECT_EQ(e.bins, c.bins);
    EXPECT_EQ(e.hz_points.size(0), c.bank.n_mels + 2);
    EXPECT_NEAR(e.hz_points[1].item<float>(), c.hz1, 0.01f);
    EXPECT_NEAR(e.hz_points[-1].item<float>(), 8000.0f, 0.01f);
  }
}

// Each unnormalised row is a triangle on whole bins: zero outside (lo, hi),
// exactly 1 at its centre. Checked for every band of both banks.
TEST(MelFilterbank, RowsAreTrianglesOnTheirBins) {
  for (const Bank &b : {kGpt, kSpeaker}) {
    SCOPED_TRACE(b.name);
    at::Tensor fb = bank_of(b, false);
    int n_freqs = b.n_fft / 2 + 1;
    ASSERT_EQ(fb.sizes(), (std::vector<int64_t>{b.n_mels, n_freqs}));
    EXPECT_EQ(fb.dtype(), torch::kFloat32);
    std::vector<int> bins = mel_edges(b.sample_rate, b.n_fft, b.n_mels, 0.0f, 8000.0f).bins;
    auto w = fb.accessor<float, 2>();
    for (int m = 0; m < b.n_mels; m++) {
      SCOPED_TRACE(m);
      int lo = bins[m], c = bins[m + 1], hi = bins[m + 2];
      for (int k = 0; k < n_freqs; k++) {
        bool inside = (k > lo || (k == lo && lo == c)) && k < hi;
        ASSERT_EQ(w[m][k] > 0, inside) << "bin " << k;
      }
      if (c < hi) {
        EXPECT_EQ(w[m][c], 1.0f);
      }
    }
  }
}

TEST(MelFilterbank, FirstBands) {
  at::Tensor gpt = bank_of(kGpt, false);
  at::Tensor expected = torch::zeros({1025});
  expected.slice(0, 0, 5) = torch::tensor({0.0f, 0.5f, 1.0f, 0.5f, 0.0f});
  EXPECT_TRUE(torch::equal(gpt[0], expected));

  at::Tensor hz = mel_edges(22050, 2048, 80, 0.0f, 8000.0f).hz_points;
  float scale = 2.0f / (hz[2].item<float>() - hz[0].item<float>());
  EXPECT_TRUE(torch::allclose(bank_of(kGpt, true)[0], expected * scale));

  at::Tensor speaker = bank_of(kSpeaker, false);
  at::Tensor dc = torch::zeros({257});
  dc[0] = 1.0f;
  EXPECT_TRUE(torch::equal(speaker[0], dc));
}

TEST(MelFilterbank, NormalisationScalesEachRowByItsWidth) {
  at::Tensor plain = bank_of(kGpt, false);
  at::Tensor normed = bank_of(kGpt, true);
  at::Tensor hz = mel_edges(22050, 2048, 80, 0.0f, 8000.0f).hz_points;
  at::Tensor scale = 2.0f / (hz.slice(0, 2, 82) - hz.slice(0, 0, 80));
  EXPECT_TRUE(torch::allclose(normed, plain * scale.unsqueeze(1), 1e-6, 0));
}

TEST(MelFilterbank, GptColumnsFrom743AreZero) {
  at::Tensor fb = bank_of(kGpt, true);
  EXPECT_EQ(fb.slice(1, 743).abs().max().item<float>(), 0.0f);
  EXPECT_GT(fb.select(1, 742).abs().max().item<float>(), 0.0f);
}

TEST(PaddedStft, ShapeAndCentring) {
  struct Case {
    const Bank &bank;
    int64_t n;
  } cases[] = {{kGpt, 5000}, {kGpt, 255}, {kSpeaker, 1601}, {kSpeaker, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.bank.name) + " " + std::to_string(c.n));
    const Bank &b = c.bank;
    at::Tensor x = noise(c.n);
    at::Tensor s = padded_stft(x, b.n_fft, b.hop, b.win);
    EXPECT_EQ(s.sizes(), (std::vector<int64_t>{b.n_fft / 2 + 1, 1 + c.n / b.hop}));
    EXPECT_EQ(s.dtype(), torch::kComplexFloat);
    // Zero padding at both ends is the same as centring with constant padding.
    at::Tensor ref = torch::stft(x, b.n_fft, b.hop, b.win, torch::hann_window(b.win), true,
                                 "constant", false, true, true);
    EXPECT_TRUE(torch::allclose(s, ref, 1e-5, 1e-5));
  }
}

TEST(PaddedStft, FirstFrameIsCentredOnSampleZero) {
  at::Tensor x = torch::zeros({2000});
  x[0] = 1.0f;
  at::Tensor magnitude = padded_stft(x, 512, 160, 400).abs();
  // The window peaks at its middle, weight 1, so every bin sees the full impulse.
  EXPECT_TRUE(torch::allclose(magnitude.select(1, 0), torch::ones({257}), 0, 1e-6));
  EXPECT_EQ(magnitude.select(1, 3).max().item<float>(), 0.0f);
}

TEST(MelSpectrogram, ShapesAndLogLines) {
  struct Case {
    const char *name;
    bool gpt;
    int64_t n;
    std::vector<int64_t> shape;
    const char *line;
  } cases[] = {
      {"GPT 6 s chunk", true, 132300, {1, 80, 517}, "[mel] GPT mel: [1, 80, 517]\n"},
      {"GPT 390 hops", true, 390 * 256, {1, 80, 391}, "[mel] GPT mel: [1, 80, 391]\n"},
      {"GPT one sample", true, 1, {1, 80, 1}, "[mel] GPT mel: [1, 80, 1]\n"},
      {"speaker 1 s", false, 16000, {1, 64, 101}, "[mel] Speaker mel: [1, 64, 101]\n"},
      {"speaker 159 samples", false, 159, {1, 64, 1}, "[mel] Speaker mel: [1, 64, 1]\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    at::Tensor x = noise(c.n);
    testing::internal::CaptureStderr();
    at::Tensor mel = c.gpt ? gpt_mel_spectrogram(x, at::Tensor()) : speaker_mel_spectrogram(x);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    EXPECT_EQ(mel.sizes(), c.shape);
    EXPECT_EQ(mel.dtype(), torch::kFloat32);
    EXPECT_TRUE(torch::isfinite(mel).all().item<bool>());
  }
}

TEST(MelSpectrogram, GptIsTheNaturalLogOfTheNormalisedMel) {
  at::Tensor x = noise(4000);
  EXPECT_TRUE(torch::allclose(gpt_mel_quiet(x), composed_log_mel(x, kGpt), 1e-5, 1e-5));
}

TEST(MelSpectrogram, MelStats) {
  at::Tensor x = noise(3000);
  at::Tensor plain = gpt_mel_quiet(x);
  at::Tensor ramp = torch::arange(1, 81, torch::kFloat32);
  struct Case {
    const char *name;
    at::Tensor stats;
    at::Tensor expected;
  } cases[] = {
      {"undefined", at::Tensor(), plain},
      {"empty", torch::empty({0}), plain},
      {"all ones", torch::ones({80}), plain},
      {"one divisor per band", ramp, plain / ramp.view({1, 80, 1})},
      {"shaped [1, 80, 1]", ramp.view({1, 80, 1}), plain / ramp.view({1, 80, 1})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(torch::equal(gpt_mel_quiet(x, c.stats), c.expected));
  }
  testing::internal::CaptureStderr();
  EXPECT_THROW(gpt_mel_spectrogram(x, torch::ones({79})), std::exception);
  testing::internal::GetCapturedStderr();
}

TEST(MelSpectrogram, SilenceSitsOnTheFloor) {
  at::Tensor gpt = gpt_mel_quiet(torch::zeros({1000}));
  at::Tensor speaker = speaker_mel_quiet(torch::zeros({1000}));
  EXPECT_TRUE(torch::allclose(gpt, torch::full_like(gpt, std::log(1e-5f))));
  EXPECT_TRUE(torch::allclose(speaker, torch::full_like(speaker, std::log(1e-6f))));
}

// A lone impulse reaches only the frames whose windows cover it; every other
// frame stays exactly on the floor. The speaker path's pre-emphasis spreads
// the impulse onto the following sample as well.
TEST(MelSpectrogram, ImpulseIsLocal) {
  struct Case {
    const Bank &bank;
    int64_t n, at;
    int spread;
  } cases[] = {
      {kGpt, 6000, 3000, 0}, {kGpt, 6000, 0, 0}, {kSpeaker, 3200, 1500, 1}, {kSpeaker, 3200, 0, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.bank.name) + " impulse at " + std::to_string(c.at));
    const Bank &b = c.bank;
    at::Tensor x = torch::zeros({c.n});
    x[c.at] = 1.0f;
    at::Tensor mel = (b.normalize ? gpt_mel_quiet(x) : speaker_mel_quiet(x))[0];
    int64_t frames = mel.size(1);
    std::set<int64_t> covered = frames_covering(c.at, b.hop, b.win, frames);
    for (int64_t q = c.at + 1; q <= c.at + c.spread; q++) {
      std::set<int64_t> more = frames_covering(q, b.hop, b.win, frames);
      covered.insert(more.begin(), more.end());
    }
    float floor = std::log(b.floor);
    for (int64_t t = 0; t < frames; t++) {
      float peak = mel.select(1, t).max().item<float>();
      if (covered.count(t)) continue;
      EXPECT_FLOAT_EQ(peak, floor) << "frame " << t;
    }
    // The frame centred on the impulse sees it at full weight.
    EXPECT_GT(mel.select(1, c.at / b.hop).max().item<float>(), floor + 5.0f);
  }
}

TEST(MelSpectrogram, SpeakerPreEmphasisOfAConstant) {
  const float level = 0.5f;
  at::Tensor x = torch::full({1600}, level);
  at::Tensor before = x.clone();
  at::Tensor mel = speaker_mel_quiet(x);
  EXPECT_TRUE(torch::equal(x, before));
  // Pre-emphasis leaves the first sample and 0.03 of the level after it.
  at::Tensor emphasised = torch::full({1600}, level - 0.97f * level);
  emphasised[0] = level;
  EXPECT_TRUE(torch::allclose(mel, composed_log_mel(emphasised, kSpeaker), 1e-5, 1e-5));
  EXPECT_FALSE(torch::allclose(mel, composed_log_mel(x, kSpeaker), 1e-3, 1e-3));
}

TEST(MelSpectrogram, SpeakerNeedsOneDimension) {
  testing::internal::CaptureStderr();
  EXPECT_THROW(speaker_mel_spectrogram(torch::zeros({2, 200})), c10::Error);
  testing::internal::GetCapturedStderr();
}
