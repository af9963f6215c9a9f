#include "decoder_fixture.h"
#include "models/gpt/gpt_decoder.h"

#include <ATen/CPUGeneratorImpl.h>
#include <gtest/gtest.h>
#include <torch/types.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Shape = std::vector<int64_t>;

struct Inputs {
  at::Tensor cond_latents;
  at::Tensor text_tokens;
};

Inputs random_inputs(int n, uint64_t seed) {
  torch::manual_seed(seed);
  return {torch::randn({1, 1024, 32}), torch::randint(0, 6681, {1, n}, torch::kInt64)};
}

struct Settings {
  float temperature;
  int top_k;
  float top_p;
  float repetition_penalty;
};
// With top_k 1 every draw is the largest processed logit.
constexpr Settings kGreedy{1.0f, 1, 1.0f, 1.0f};
constexpr Settings kEngine{0.75f, 50, 0.85f, 5.0f};

struct Generated {
  at::Tensor codes;
  std::vector<std::string> log;
};

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Generated generate(GPTDecoderImpl &decoder, const Inputs &in, Settings s, int max_codes) {
  testing::internal::CaptureStderr();
  at::Tensor codes = decoder.generate_codes(in.cond_latents, in.text_tokens, s.temperature, s.top_k,
                                            s.top_p, s.repetition_penalty, max_codes);
  return {codes, lines_of(testing::internal::GetCapturedStderr())};
}

at::Tensor bias_with(const std::vector<std::pair<int, float>> &entries) {
  at::Tensor bias = torch::zeros({GPTDecoderImpl::kAudioVocab});
  for (const auto &[code, value] : entries) bias[code] = value;
  return bias;
}

std::vector<int64_t> values_of(const at::Tensor &codes) {
  return std::vector<int64_t>(codes.data_ptr<int64_t>(), codes.data_ptr<int64_t>() + codes.numel());
}

std::vector<std::string> progress_lines(int limit) {
  std::vector<std::string> lines;
  for (int i = 50; i < limit; i += 50)
    lines.push_back("[gpt] Generated " + std::to_string(i) + "/" + std::to_string(limit) +
                    " tokens...");
  return lines;
}

std::string pass1_line(int count) {
  return "[gpt] Pass 1: " + std::to_string(count) + " audio tokens";
}

}  // namespace

// mel_head weight zero: the logits are the bias at every step, and the
// repetition penalty alone makes them change from draw to draw.
TEST(GenerateCodes, StopTokenAndDrawCount) {
  struct Case {
    const char *name;
    std::vector<std::pair<int, float>> bias;
    float repetition_penalty;
    int max_codes;
    std::vector<int64_t> codes;
  };
  // Code 5 starts at 1000 and halves with every draw; 1000 / 2^9 < 3 so the
  // tenth draw is the stop token.
  const std::vector<std::pair<int, float>> stop_on_tenth = {{5, 1000.0f}, {1025, 3.0f}};
  const Case cases[] = {
      {"stop on the tenth draw keeps the nine before", stop_on_tenth, 2.0f, 602,
       std::vector<int64_t>(9, 5)},
      {"stop on the first draw gives no codes", {{1025, 10.0f}}, 1.0f, 602, {}},
      {"stop on the last allowed draw is removed", {{5, 8.0f}, {1025, 3.0f}}, 2.0f, 3, {5, 5}},
      {"max_codes 0 still draws one", {{7, 10.0f}}, 1.0f, 0, {7}},
      {"max_codes 1 draws one", {{7, 10.0f}}, 1.0f, 1, {7}},
      {"negative max_codes draws one", {{7, 10.0f}}, 1.0f, -3, {7}},
      {"max_codes 2 draws two", {{7, 10.0f}}, 1.0f, 2, {7, 7}},
      {"the audio start token is an ordinary draw", {{1024, 10.0f}}, 1.0f, 3, {1024, 1024, 1024}},
  };
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  const Inputs in = random_inputs(4, 31);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fixture::MelHeadOverride head(decoder, bias_with(c.bias));
    Settings greedy = kGreedy;
    greedy.repetition_penalty = c.repetition_penalty;
    Generated run = generate(decoder, in, greedy, c.max_codes);
    EXPECT_EQ(run.codes.sizes(), (Shape{1, static_cast<int64_t>(c.codes.size())}));
    EXPECT_EQ(run.codes.dtype(), torch::kInt64);
    EXPECT_EQ(values_of(run.codes), c.codes);
    EXPECT_EQ(run.log, std::vector<std::string>{pass1_line(static_cast<int>(c.codes.size()))});
  }
}

// Pass 1 draws from the cache, pass 2 and this check run the whole sequence
// at once: greedy codes must be the argmax of the uncached states, and the
// latents the states pass 1 drew from.
TEST(GenerateCodes, CachedDrawsMatchTheUncachedSequence) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  fixture::MelHeadOverride head(decoder, fixture::bias_without_stop(decoder), false);
  const Inputs in = random_inputs(10, 32);
  const Inputs original{in.cond_latents.clone(), in.text_tokens.clone()};
  const int64_t L = 12, M = 8;

  Generated run = generate(decoder, in, kGreedy, M);
  ASSERT_EQ(run.codes.sizes(), (Shape{1, M}));
  EXPECT_TRUE(torch::equal(in.cond_latents, original.cond_latents));
  EXPECT_TRUE(torch::equal(in.text_tokens, original.text_tokens));

  c10::NoGradGuard no_grad;
  at::Tensor prefix = decoder.embed_prefix(in.cond_latents, in.text_tokens);
  ASSERT_EQ(prefix.size(1), 32 + L);
  at::Tensor audio =
      torch::cat({torch::full({1, 1}, GPTDecoderImpl::kAudioStart, torch::kInt64), run.codes}, 1);
  at::Tensor x = torch::cat(
      {prefix, decoder.mel_embedding(audio) + decoder.mel_pos_embedding->forward(M + 1)}, 1);
  at::Tensor states =
      decoder.final_norm(decoder.run_layers(x, nullptr)).slice(1, 32 + L, 32 + L + M);
  EXPECT_TRUE(torch::equal(decoder.mel_head(states).argmax(-1), run.codes));

  // The states pass 1 drew codes 0 .. M - 4 from, rebuilt step by step.
  KvCache cache;
  std::vector<at::Tensor> drawn_from;
  at::Tensor h = decoder.run_layers(
      torch::cat({prefix, decoder.embed_audio_token(GPTDecoderImpl::kAudioStart, 0)}, 1), &cache);
  drawn_from.push_back(decoder.final_norm(h.slice(1, h.size(1) - 1)));
  for (int64_t j = 0; j + 1 < M - 3; j++) {
    const int64_t code = run.codes[0][j].item<int64_t>();
    h = decoder.run_layers(decoder.embed_audio_token(code, static_cast<int>(j + 1)), &cache);
    drawn_from.push_back(decoder.final_norm(h));
  }

  testing::internal::CaptureStderr();
  at::Tensor latents = decoder.compute_latents(in.cond_latents, in.text_tokens, run.codes);
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(latents.sizes(), (Shape{1, M - 3, 1024}));
  at::Tensor expected = torch::cat(drawn_from, 1);
  EXPECT_TRUE(torch::allclose(latents.select(1, 0), expected.select(1, 0), 0, 1e-4))
      << (latents.select(1, 0) - expected.select(1, 0)).abs().max();
  EXPECT_TRUE(torch::allclose(latents, expected, 0, 1e-4)) << (latents - expected).abs().max();
  EXPECT_TRUE(torch::allclose(latents, states.slice(1, 0, M - 3), 0, 1e-5));
}

// A voice's conditioning keys and values, computed once and reused: the
// same seeded draws, states within float rounding of the full prompt pass,
// and the cache itself untouched by the generations that read it.
TEST(GenerateCodes, ConditioningCacheStandsInForTheConditioningPositions) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  const Inputs in = random_inputs(14, 41);
  const int max_codes = 12;
  KvCache conditioning = decoder.conditioning_cache(in.cond_latents);
  ASSERT_EQ(conditioning.keys.size(), static_cast<size_t>(GPTDecoderImpl::kLayers));
  ASSERT_EQ(conditioning.keys[0].sizes(), (Shape{1, 16, 32, 64}));
  const at::Tensor keys_before = conditioning.keys[7].clone();

  struct Run {
    at::Tensor codes;
    std::vector<std::vector<float>> states;
  };
  auto run = [&](const KvCache *cache) {
    CodeSampling sampling;
    sampling.max_codes = max_codes;
    sampling.generator = at::make_generator<at::CPUGeneratorImpl>(77);
    Run r;
    r.codes = decoder.generate_codes(
        in.cond_latents, in.text_tokens, sampling,
        [&](int64_t, const float *state) {
          r.states.emplace_back(state, state + GPTDecoderImpl::kWidth);
          return true;
        },
        nullptr, 0, cache);
    return r;
  };
  const Run full = run(nullptr);
  for (int pass = 0; pass < 2; pass++) {
    const Run cached = run(&conditioning);
    EXPECT_TRUE(torch::equal(cached.codes, full.codes)) << "pass " << pass;
    ASSERT_EQ(cached.states.size(), full.states.size());
    float worst = 0;
    for (size_t row = 0; row < full.states.size(); row++)
      for (int64_t i = 0; i < GPTDecoderImpl::kWidth; i++)
        worst = std::max(worst, std::abs(cached.states[row][i] - full.states[row][i]));
    EXPECT_LT(worst, 1e-4f) << "pass " << pass;
  }
  EXPECT_TRUE(torch::equal(conditioning.keys[7], keys_before));

  // Another voice's cache is really what the layers attend to.
  KvCache other = decoder.conditioning_cache(random_inputs(14, 42).cond_latents);
  const Run mixed = run(&other);
  float moved = 0;
  for (int64_t i = 0; i < GPTDecoderImpl::kWidth; i++)
    moved = std::max(moved, std::abs(mixed.states[0][i] - full.states[0][i]));
  EXPECT_GT(moved, 1e-2f);
}

TEST(ComputeLatents, KeepsAllButTheLastFiveAudioPositions) {
  struct Case {
    const char *name;
    int n;
    int64_t codes;
    int64_t rows;
  };
  const Case cases[] = {
      {"10 ids, 100 codes", 10, 100, 97}, {"4 codes give one row", 10, 4, 1},
      {"3 codes give none", 10, 3, 0},    {"2 codes give none", 10, 2, 0},
      {"no text ids", 0, 20, 17},
  };
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Inputs in = random_inputs(c.n, 33);
    at::Tensor codes = torch::randint(0, 1024, {1, c.codes}, torch::kInt64);
    testing::internal::CaptureStderr();
    at::Tensor latents = decoder.compute_latents(in.cond_latents, in.text_tokens, codes);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(latents.sizes(), (Shape{1, c.rows, 1024}));
    EXPECT_EQ(log, "[gpt] Pass 2: latents [1, " + std::to_string(c.rows) + ", 1024]\n");
  }
}

// The engine's settings over ~600 steps, with a stop token that is never drawn.
TEST(GenerateCodes, RunsToMaxCodesWithProgressLines) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  fixture::MelHeadOverride head(decoder, fixture::bias_without_stop(decoder), false);
  const Inputs in = random_inputs(10, 34);

  Generated run = generate(decoder, in, kEngine, 602);
  EXPECT_EQ(run.codes.sizes(), (Shape{1, 602}));
  std::vector<std::string> expected = progress_lines(602);
  ASSERT_EQ(expected.size(), 12u);
  EXPECT_EQ(expected.back(), "[gpt] Generated 600/602 tokens...");
  expected.push_back(pass1_line(602));
  EXPECT_EQ(run.log, expected);
  EXPECT_TRUE((run.codes >= 0).all().item<bool>());
  EXPECT_TRUE((run.codes < GPTDecoderImpl::kAudioStop).all().item<bool>());
}

// More codes than pass 2 has position rows for would only end the synthesis
// with an index error there, so pass 1 stops at 606.
TEST(GenerateCodes, CappedAtWhatTheLatentPassCanPlace) {
  ASSERT_EQ(GPTDecoderImpl::kMaxCodes, 606);
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  fixture::MelHeadOverride head(decoder, bias_with({{9, 10.0f}}));
  const Inputs in = random_inputs(10, 35);

  Generated run = generate(decoder, in, kGreedy, 5000);
  ASSERT_EQ(run.codes.sizes(), (Shape{1, 606}));
  std::vector<std::string> expected = progress_lines(606);
  ASSERT_EQ(expected.size(), 12u);
  expected.push_back(pass1_line(606));
  EXPECT_EQ(run.log, expected);

  testing::internal::CaptureStderr();
  at::Tensor latents = decoder.compute_latents(in.cond_latents, in.text_tokens, run.codes);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(latents.sizes(), (Shape{1, 603, 1024}));
  EXPECT_TRUE(latents.isfinite().all().item<bool>());
  at::Tensor one_more = torch::cat({run.codes, run.codes.slice(1, 0, 1)}, 1);
  EXPECT_THROW(decoder.compute_latents(in.cond_latents, in.text_tokens, one_more), c10::IndexError);
}
