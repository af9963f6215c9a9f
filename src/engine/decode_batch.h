// Many syntheses on one model at once, as a language-model server serves its
// slots: up to max_parallel generations share each decode step, which reads
// every weight once for all of them. A call enters in arrival order and
// leaves when it ends (or its caller stops it); its generation joins at the
// next step after its prompt pass and leaves when it has drawn its codes.
//
// Steps run on the thread of one of the generations waiting for them, when
// no generation is between a step and its next request (sampling its code);
// a generation busy with work of its own (vocoding a chunk) is passed over
// and joins a later step. Work that needs the decoder to itself (a prompt
// pass, pass 2, a voice's conditioning keys and values) runs between steps.
#pragma once

#include "models/gpt/gpt_decoder.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class FusedDecodeStep;

struct BatchActivity {
  int running = 0;    // calls holding a place
  int waiting = 0;    // calls waiting for one
  int step_rows = 0;  // generations in the latest step
  int64_t steps = 0;
  double step_seconds = 0;
  // Steps that took at most 5, 10, 20, 40, 80, 160, 320 ms, and longer.
  int64_t step_time_buckets[8] = {};
};

class DecodeBatch {
 public:
  DecodeBatch(GPTDecoderImpl &decoder, int threads, int max_parallel);
  ~DecodeBatch();

  // A call's place; entering blocks until one is free, in arrival order.
  class Place {
   public:
    explicit Place(DecodeBatch &batch);
    ~Place();
    Place(const Place &) = delete;
    Place &operator=(const Place &) = delete;

   private:
    DecodeBatch &batch_;
  };

  // One generation's steps (a StepSource for generate_codes).
  class Member : public StepSource {
   public:
    explicit Member(DecodeBatch &batch);
    ~Member() override;
    bool step(const float *x, KvCache &cache, const float **logits, const float **state) override;
    void exclusive(const std::function<void()> &fn) override { batch_.exclusive(fn); }
    void step_away() override;
    void step_back() override;

   private:
    friend class DecodeBatch;
    enum class State { kAway, kBusy, kWaiting, kInStep, kStepped, kFailed };
    DecodeBatch &batch_;
    State state_ = State::kAway;
    const float *input_ = nullptr;
    KvCache *cache_ = nullptr;
    std::vector<float> logits_, final_state_;
  };

  // Runs fn while no step runs and no other exclusive work does.
  void exclusive(const std::function<void()> &fn);

  int max_parallel() const { return max_parallel_; }
  BatchActivity activity();

 private:
  // Whether a step may start now; the caller holds mutex_.
  bool step_due() const;
  // Runs one step for every waiting generation; called with the lock held,
  // returns with it held.
  void run_step(std::unique_lock<std::mutex> &lock);

  GPTDecoderImpl &decoder_;
  const int max_parallel_;
  std::unique_ptr<FusedDecodeStep> fused_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<uint64_t> queue_;  // tickets of calls waiting for a place
  uint64_t next_ticket_ = 0;
  int running_ = 0;
  std::vector<Member *> members_;
  bool stepping_ = false;
  bool exclusive_running_ = false;
  int exclusive_waiting_ = 0;
  BatchActivity activity_;
};
