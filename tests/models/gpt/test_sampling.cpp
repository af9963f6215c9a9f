#include "models/gpt/gpt_decoder.h"
#include "models/gpt/sampling.h"

#include <gtest/gtest.h>
#include <torch/types.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr int kVocab = 1026;
const float kInf = std::numeric_limits<float>::infinity();

// Logits that are -inf except at the given indices, set to log(prob).
at::Tensor logits_from_probs(const std::vector<std::pair<int, double>> &probs) {
  at::Tensor l = torch::full({kVocab}, -kInf);
  for (const auto &[index, p] : probs) l[index] = std::log(p);
  return l;
}

std::vector<int64_t> finite_indices(const at::Tensor &l) {
  at::Tensor idx = torch::isfinite(l).nonzero().flatten();
  return std::vector<int64_t>(idx.data_ptr<int64_t>(), idx.data_ptr<int64_t>() + idx.numel());
}

at::Tensor with_value(at::Tensor l, int index, float value) {
  l = l.clone();
  l[index] = value;
  return l;
}

}  // namespace

TEST(Sampling, RepetitionPenaltyOncePerOccurrence) {
  struct Case {
    const char *name;
    std::vector<int32_t> history;
    float penalty;
    int index;
    float before;
    float after;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {"positive logit seen twice is divided twice", {7, 7}, 5.0f, 7, 2.0f, 2.0f / 5.0f / 5.0f},
      {"negative logit seen twice is multiplied twice", {7, 7}, 5.0f, 7, -1.0f, -25.0f},
      {"three times, rounded step by step",
       {3, -2, 3, 3},
       5.0f,
       3,
       2.0f,
       2.0f / 5.0f / 5.0f / 5.0f},
      {"zero stays zero", {7, 7}, 5.0f, 7, 0.0f, 0.0f},
      {"audio start token is penalised like a code", {1024}, 5.0f, 1024, 3.0f, 3.0f / 5.0f},
      {"penalty 1 changes nothing", {7}, 1.0f, 7, 2.0f, 2.0f},
      {"entries outside the vocabulary are skipped", {-1, 1026, 5000}, 5.0f, 0, 2.0f, 2.0f},
      {"NaN penalty still runs", {7}, nan, 7, 2.0f, nan},
  };
  torch::manual_seed(11);
  at::Tensor base = torch::randn({kVocab});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    at::Tensor logits = with_value(base, c.index, c.before);
    at::Tensor l = process_logits(logits, 1.0f, 0, 1.0f, c.penalty, c.history);
    float got = l[c.index].item<float>();
    if (std::isnan(c.after))
      EXPECT_TRUE(std::isnan(got));
    else
      EXPECT_EQ(got, c.after);
    EXPECT_TRUE(torch::equal(l.index_fill(0, torch::tensor({c.index}), 0),
                             logits.index_fill(0, torch::tensor({c.index}), 0)));
    EXPECT_EQ(logits[c.index].item<float>(), c.before);  // caller's tensor untouched
  }
  // The two examples read as decimals.
  at::Tensor l = process_logits(with_value(base, 7, 2.0f), 1.0f, 0, 1.0f, 5.0f, {7, 7});
  EXPECT_FLOAT_EQ(l[7].item<float>(), 0.08f);
}

TEST(Sampling, TemperatureDividesOnlyWhenPositiveAndNotOne) {
  struct Case {
    const char *name;
    float temperature;
    float divisor;
  };
  const Case cases[] = {
      {"1 leaves logits alone", 1.0f, 1.0f},
      {"0 leaves logits alone", 0.0f, 1.0f},
      {"negative leaves logits alone", -0.5f, 1.0f},
      {"0.75 divides", 0.75f, 0.75f},
      {"2 divides", 2.0f, 2.0f},
  };
  torch::manual_seed(12);
  at::Tensor logits = torch::randn({kVocab}) * 4;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    at::Tensor l = process_logits(logits, c.temperature, 0, 1.0f, 1.0f, {});
    if (c.divisor == 1.0f)
      EXPECT_TRUE(torch::equal(l, logits));
    else
      EXPECT_TRUE(torch::allclose(l, logits / c.divisor, 1e-6, 0));
  }
}

TEST(Sampling, TopKKeepsTiesAtTheThreshold) {
  torch::manual_seed(13);
  at::Tensor distinct = torch::randperm(kVocab, torch::kFloat32);  // 0 .. 1025, shuffled
  at::Tensor tied = torch::zeros({kVocab});
  tied[10] = 5;
  tied[20] = 4;
  for (int i : {30, 40, 50}) tied[i] = 3;
  struct Case {
    const char *name;
    at::Tensor logits;
    int top_k;
    int kept;
    float smallest_kept;
  };
  const Case cases[] = {
      {"50 of 1026 distinct", distinct, 50, 50, 976.0f},
      {"1 keeps the maximum", distinct, 1, 1, 1025.0f},
      {"3 with three-way tie at the threshold keeps 5", tied, 3, 5, 3.0f},
      {"0 keeps all", distinct, 0, kVocab, 0.0f},
      {"1026 keeps all", distinct, kVocab, kVocab, 0.0f},
      {"negative keeps all", distinct, -4, kVocab, 0.0f},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    at::Tensor l = process_logits(c.logits, 1.0f, c.top_k, 1.0f, 1.0f, {});
    at::Tensor finite = torch::isfinite(l);
    EXPECT_EQ(finite.sum().item<int64_t>(), c.kept);
    EXPECT_TRUE(torch::equal(finite, c.logits >= c.smallest_kept));
    EXPECT_TRUE(torch::equal(l.masked_select(finite), c.logits.masked_select(finite)));
    EXPECT_TRUE(torch::all(torch::isinf(l.masked_select(~finite))).item<bool>());
  }
}

TEST(Sampling, TopPKeepsEntriesWithMassBeforeAtMostP) {
  struct Case {
    const char *name;
    std::vector<std::pair<int, double>> probs;
    float top_p;
    std::vector<int64_t> kept;
  };
  const Case cases[] = {
      {"0.5 0.3 0.15 0.05 at 0.85 drops only the last",
       {{900, 0.15}, {3, 0.5}, {77, 0.05}, {512, 0.3}},
       0.85f,
       {3, 512, 900}},
      {"0.9 0.1 at 0.85 keeps only the first", {{40, 0.1}, {41, 0.9}}, 0.85f, {41}},
      {"a small p still keeps the most probable", {{5, 0.4}, {6, 0.6}}, 0.01f, {6}},
      {"p 1 keeps all", {{5, 0.9}, {6, 0.1}}, 1.0f, {5, 6}},
      {"p 0 keeps all", {{5, 0.9}, {6, 0.1}}, 0.0f, {5, 6}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    at::Tensor logits = logits_from_probs(c.probs);
    at::Tensor l = process_logits(logits, 1.0f, 0, c.top_p, 1.0f, {});
    EXPECT_EQ(finite_indices(l), c.kept);
    at::Tensor finite = torch::isfinite(l);
    EXPECT_TRUE(torch::equal(l.masked_select(finite), logits.masked_select(finite)));
  }
}

// Each stage sees the result of the one before it.
TEST(Sampling, StagesRunInChainOrder) {
  struct Case {
    const char *name;
    at::Tensor logits;
    std::vector<int32_t> history;
    float temperature;
    int top_k;
    float top_p;
    std::vector<int64_t> kept;
  };
  at::Tensor penalised = torch::zeros({kVocab});
  penalised[7] = 10;
  penalised[8] = 9;
  const Case cases[] = {
      // 10 / 5 = 2 falls below 9 before top-k picks.
      {"penalty before top-k", penalised, {7}, 1.0f, 1, 1.0f, {8}},
      // After top-k the pair renormalises to 0.53 / 0.47, so 0.47 has mass
      // 0.53 > 0.5 before it; on the original 0.4 / 0.35 / 0.25 it would stay.
      {"top-k before top-p",
       logits_from_probs({{1, 0.4}, {2, 0.35}, {3, 0.25}}),
       {},
       1.0f,
       2,
       0.5f,
       {1}},
      // Temperature 0.5 sharpens 0.6 / 0.4 to 0.69 / 0.31.
      {"temperature before top-p",
       logits_from_probs({{1, 0.6}, {2, 0.4}}),
       {},
       0.5f,
       0,
       0.65f,
       {1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    at::Tensor l = process_logits(c.logits, c.temperature, c.top_k, c.top_p, 5.0f, c.history);
    EXPECT_EQ(finite_indices(l), c.kept);
  }
}

TEST(Sampling, DrawsFromTheProcessedDistribution) {
  torch::manual_seed(14);
  at::Tensor only = logits_from_probs({{613, 1.0}});
  for (int i = 0; i < 20; i++)
    EXPECT_EQ(GPTDecoderImpl::sample_next_code(only, 0.75f, 50, 0.85f, 5.0f, {613, 613}), 613);

  at::Tensor logits = torch::randn({kVocab});
  at::Tensor before = logits.clone();
  const int argmax = static_cast<int>(logits.argmax().item<int64_t>());
  for (int i = 0; i < 20; i++)
    EXPECT_EQ(GPTDecoderImpl::sample_next_code(logits, 1.0f, 1, 1.0f, 1.0f, {}), argmax);
  GPTDecoderImpl::sample_next_code(logits, 0.75f, 50, 0.85f, 5.0f, {argmax, 3, 3});
  EXPECT_TRUE(torch::equal(logits, before));

  at::Tensor pair = logits_from_probs({{100, 0.7}, {200, 0.3}});
  int first = 0;
  const int draws = 4000;
  for (int i = 0; i < draws; i++) {
    int code = GPTDecoderImpl::sample_next_code(pair, 1.0f, 0, 1.0f, 1.0f, {});
    ASSERT_TRUE(code == 100 || code == 200) << code;
    first += code == 100;
  }
  EXPECT_NEAR(static_cast<double>(first) / draws, 0.7, 0.03);
}
