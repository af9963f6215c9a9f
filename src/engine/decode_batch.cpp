#include "engine/decode_batch.h"

#include "engine/engine.h"
#include "models/gpt/fused_decode_step.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace {

constexpr double kBucketSeconds[] = {0.005, 0.010, 0.020, 0.040, 0.080, 0.160, 0.320};

}  // namespace

DecodeBatch::DecodeBatch(GPTDecoderImpl &decoder, int threads, int max_parallel)
    : decoder_(decoder),
      max_parallel_(std::max(1, max_parallel)),
      fused_(decoder.fused_decode ? std::make_unique<FusedDecodeStep>(decoder, threads) : nullptr) {
}

DecodeBatch::~DecodeBatch() = default;

// ---- Places: at most max_parallel calls, admitted in arrival order ----------

DecodeBatch::Place::Place(DecodeBatch &batch) : batch_(batch) {
  std::unique_lock<std::mutex> lock(batch_.mutex_);
  const uint64_t ticket = batch_.next_ticket_++;
  batch_.queue_.push_back(ticket);
  batch_.changed_.wait(lock, [&] {
    return batch_.queue_.front() == ticket && batch_.running_ < batch_.max_parallel_;
  });
  batch_.queue_.pop_front();
  batch_.running_++;
  batch_.changed_.notify_all();  // the next in line may fit too
}

DecodeBatch::Place::~Place() {
  std::lock_guard<std::mutex> lock(batch_.mutex_);
  batch_.running_--;
  batch_.changed_.notify_all();
}

// ---- Members: one generation's steps ---------------------------------------

DecodeBatch::Member::Member(DecodeBatch &batch) : batch_(batch) {
  std::lock_guard<std::mutex> lock(batch_.mutex_);
  batch_.members_.push_back(this);
}

DecodeBatch::Member::~Member() {
  std::lock_guard<std::mutex> lock(batch_.mutex_);
  auto &members = batch_.members_;
  members.erase(std::remove(members.begin(), members.end(), this), members.end());
  batch_.changed_.notify_all();  // a step may have waited for this one
}

void DecodeBatch::Member::step_away() {
  std::lock_guard<std::mutex> lock(batch_.mutex_);
  state_ = State::kAway;
  batch_.changed_.notify_all();
}

void DecodeBatch::Member::step_back() {
  std::lock_guard<std::mutex> lock(batch_.mutex_);
  state_ = State::kBusy;
}

bool DecodeBatch::Member::step(const float *x, KvCache &cache, const float **logits,
                               const float **state) {
  if (!batch_.fused_ || !batch_.fused_->accepts(cache)) return false;
  std::unique_lock<std::mutex> lock(batch_.mutex_);
  input_ = x;
  cache_ = &cache;
  state_ = State::kWaiting;
  batch_.changed_.notify_all();
  while (state_ != State::kStepped && state_ != State::kFailed) {
    if (batch_.step_due())
      batch_.run_step(lock);
    else
      batch_.changed_.wait(lock);
  }
  const bool failed = state_ == State::kFailed;
  state_ = State::kBusy;
  if (failed) throw std::runtime_error("the shared decode step failed");
  *logits = logits_.data();
  *state = final_state_.data();
  return true;
}

// ---- Steps and exclusive work -------------------------------------------------

bool DecodeBatch::step_due() const {
  if (stepping_ || exclusive_running_ || exclusive_waiting_ > 0) return false;
  bool anyone_waiting = false;
  for (const Member *member : members_) {
    // One between a step and its next request is about to ask again.
    if (member->state_ == Member::State::kBusy) return false;
    anyone_waiting = anyone_waiting || member->state_ == Member::State::kWaiting;
  }
  return anyone_waiting;
}

void DecodeBatch::run_step(std::unique_lock<std::mutex> &lock) {
  std::vector<Member *> rows;
  std::vector<StepRow> inputs;
  for (Member *member : members_)
    if (member->state_ == Member::State::kWaiting) {
      member->state_ = Member::State::kInStep;
      rows.push_back(member);
      inputs.push_back({member->input_, member->cache_});
    }
  stepping_ = true;
  activity_.step_rows = static_cast<int>(rows.size());
  lock.unlock();

  const auto start = std::chrono::steady_clock::now();
  bool failed = false;
  try {
    fused_->step_rows(inputs);
    for (size_t i = 0; i < rows.size(); i++) {
      rows[i]->logits_.assign(fused_->logits(i), fused_->logits(i) + GPTDecoderImpl::kAudioVocab);
      rows[i]->final_state_.assign(fused_->final_state(i),
                                   fused_->final_state(i) + GPTDecoderImpl::kWidth);
    }
  } catch (const std::exception &e) {
    set_last_error("Decode step failed: %s", e.what());
    failed = true;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  lock.lock();
  stepping_ = false;
  for (Member *member : rows)
    member->state_ = failed ? Member::State::kFailed : Member::State::kStepped;
  activity_.steps++;
  activity_.step_seconds += seconds;
  size_t bucket = 0;
  while (bucket < std::size(kBucketSeconds) && seconds > kBucketSeconds[bucket]) bucket++;
  activity_.step_time_buckets[bucket]++;
  changed_.notify_all();
}

void DecodeBatch::exclusive(const std::function<void()> &fn) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    exclusive_waiting_++;
    changed_.wait(lock, [&] { return !stepping_ && !exclusive_running_; });
    exclusive_waiting_--;
    exclusive_running_ = true;
  }
  struct Release {
    DecodeBatch &batch;
    ~Release() {
      std::lock_guard<std::mutex> lock(batch.mutex_);
      batch.exclusive_running_ = false;
      batch.changed_.notify_all();
    }
  } release{*this};
  fn();
}

BatchActivity DecodeBatch::activity() {
  std::lock_guard<std::mutex> lock(mutex_);
  BatchActivity now = activity_;
  now.running = running_;
  now.waiting = static_cast<int>(queue_.size());
  return now;
}
