#include "audio/resample.h"

#include <gtest/gtest.h>
#include <torch/types.h>

#include <algorithm>
#include <cmath>

namespace {

at::Tensor noise(int64_t n) {
  torch::manual_seed(7);
  return torch::rand({n}, torch::kFloat32) * 2 - 1;
}

}  // namespace

TEST(Resample, EqualRatesGiveAnIndependentCopy) {
  at::Tensor x = noise(1000);
  at::Tensor y = resample_audio(x, 22050, 22050);
  EXPECT_TRUE(torch::equal(x, y));
  EXPECT_NE(x.data_ptr(), y.data_ptr());
  at::Tensor before = x.clone();
  y.fill_(3.0f);
  EXPECT_TRUE(torch::equal(x, before));
}

TEST(Resample, OutputLengths) {
  struct Case {
    const char *name;
    int64_t n;
    int from, to;
    int64_t m;
  } cases[] = {
      {"44.1k to 22.05k", 2 * 132300, 44100, 22050, 132300},
      {"48k to 16k", 3 * 16000, 48000, 16000, 16000},
      {"16k to 22.05k", 16000, 16000, 22050, 22050},
      {"100 at 44.1k to 16k truncates", 100, 44100, 16000, 36},
      {"100 at 44.1k to 22.05k", 100, 44100, 22050, 50},
      {"one sample 8k to 22.05k", 1, 8000, 22050, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    at::Tensor y = resample_audio(noise(c.n), c.from, c.to);
    EXPECT_EQ(y.dim(), 1);
    EXPECT_EQ(y.size(0), c.m);
    EXPECT_EQ(y.dtype(), torch::kFloat32);
  }
}

TEST(Resample, HalvingAveragesPairs) {
  at::Tensor x = noise(2 * 132300);
  at::Tensor y = resample_audio(x, 44100, 22050);
  at::Tensor pairs = x.view({-1, 2});
  at::Tensor expected = pairs.select(1, 0) * 0.5f + pairs.select(1, 1) * 0.5f;
  EXPECT_TRUE(torch::allclose(y, expected, 0, 1e-7));
}

TEST(Resample, ThirdingPicksTheMiddleSample) {
  at::Tensor x = noise(3 * 16000);
  at::Tensor y = resample_audio(x, 48000, 16000);
  EXPECT_TRUE(torch::equal(y, x.slice(0, 1, x.size(0), 3)));
}

TEST(Resample, UpsamplingClampsTheFirstPosition) {
  at::Tensor x = noise(16000);
  at::Tensor y = resample_audio(x, 16000, 22050);
  EXPECT_EQ(y[0].item<float>(), x[0].item<float>());
  EXPECT_FLOAT_EQ(y[-1].item<float>(), x[-1].item<float>());
}

TEST(Resample, SingleSampleRepeats) {
  at::Tensor x = torch::full({1}, 0.25f);
  at::Tensor y = resample_audio(x, 8000, 22050);
  EXPECT_TRUE(torch::equal(y, torch::full({2}, 0.25f)));
}

// The interpolation scale is the ratio of the lengths, not of the rates:
// checked on odd ratios against the formula in double precision. The operator
// forms source positions in float32, so they agree only to an ulp of N; a
// scale taken from the rates would be off by a fraction of a sample.
TEST(Resample, MatchesLinearInterpolationFormula) {
  struct Case {
    const char *name;
    int64_t n;
    int from, to;
  } cases[] = {
      {"44.1k to 16k", 4410 + 37, 44100, 16000},
      {"22.05k to 16k", 1001, 22050, 16000},
      {"8k to 22.05k", 333, 8000, 22050},
      {"24k to 22.05k", 2400, 24000, 22050},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    at::Tensor x = noise(c.n);
    at::Tensor y = resample_audio(x, c.from, c.to);
    int64_t m = c.n * c.to / c.from;
    ASSERT_EQ(y.size(0), m);
    auto xa = x.accessor<float, 1>();
    auto ya = y.accessor<float, 1>();
    double scale = static_cast<double>(c.n) / m;
    for (int64_t j = 0; j < m; j++) {
      double s = std::max(0.0, (j + 0.5) * scale - 0.5);
      int64_t i0 = static_cast<int64_t>(s);
      int64_t i1 = std::min(i0 + 1, c.n - 1);
      double lambda = s - i0;
      double expected = (1 - lambda) * xa[i0] + lambda * xa[i1];
      ASSERT_NEAR(ya[j], expected, 2e-3) << j;
    }
  }
}
