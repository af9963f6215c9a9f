// Thread state a model's calls may and may not change: the calling thread's
// compute threads for the length of a call, never another thread's; and one
// set of decode workers per decoder, whatever thread calls it.
#include "decoder_fixture.h"
#include "models/gpt/compute_threads.h"
#include "models/gpt/step_threads.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

int threads_of_a_new_thread() {
  int seen = 0;
  std::thread([&] { seen = at::get_num_threads(); }).join();
  return seen;
}

}  // namespace

TEST(ComputeThreads, SetsTheCallingThreadOnlyAndRestores) {
  const int process = threads_of_a_new_thread();
  const int mine = at::get_num_threads();
  {
    ComputeThreads one(1);
    EXPECT_EQ(at::get_num_threads(), 1);
    // A thread that starts meanwhile gets the process's count, not ours:
    // at::set_num_threads here would have given it 1 for good.
    EXPECT_EQ(threads_of_a_new_thread(), process);
    {
      ComputeThreads three(3);
      EXPECT_EQ(at::get_num_threads(), 3);
    }
    EXPECT_EQ(at::get_num_threads(), 1);
  }
  EXPECT_EQ(at::get_num_threads(), mine);
  ComputeThreads unchanged(0);
  EXPECT_EQ(at::get_num_threads(), mine);
}

TEST(ComputeThreads, PassesOverManyPositionsLeaveOtherThreadsAlone) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  const int process = threads_of_a_new_thread();
  const int mine = at::get_num_threads();
  c10::NoGradGuard no_grad;
  std::atomic<bool> running{true};
  std::atomic<int> wrong{0};
  std::thread watcher([&] {
    while (running)
      if (threads_of_a_new_thread() != process) wrong++;
  });
  for (int i = 0; i < 3; i++) decoder.run_layers(torch::randn({1, 40, 1024}), nullptr);
  running = false;
  watcher.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(at::get_num_threads(), mine);
}

TEST(DecoderWorkers, OneSetPerDecoderWhateverThreadCalls) {
  GPTDecoderImpl &decoder = fixture::shared_decoder();
  EXPECT_EQ(&decoder.workers(2), &decoder.workers(2));
  c10::NoGradGuard no_grad;
  at::Tensor cond = torch::randn({1, 1024, 32});
  at::Tensor text = torch::randint(0, 100, {1, 8}, torch::kInt64);
  CodeSampling sampling;
  sampling.max_codes = 6;
  auto generate = [&] {
    decoder.generate_codes(cond, text, sampling, nullptr, nullptr, decoder.threads());
  };
  generate();  // starts the decoder's workers, once
  const int64_t started = StepThreads::workers_started();
  generate();
  // Long-lived calling threads once kept workers each, and every piece
  // started and joined a set of its own.
  std::thread other(generate);
  other.join();
  std::thread([&] {
    generate();
    generate();
  }).join();
  EXPECT_EQ(StepThreads::workers_started(), started);
}
