#include "models/gpt/step_threads.h"

#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

// A worker that has seen no new phase for this long sleeps until woken; the
// gaps inside a step are microseconds, the gap between steps is the sampling.
constexpr std::chrono::microseconds kSpinBeforeSleep{200};
// The caller spins this long on pieces still running elsewhere before it
// starts yielding, which matters only when threads outnumber free cores.
constexpr std::chrono::microseconds kSpinBeforeYield{50};

// Spins until done() holds, calling idle() whenever `limit` has passed.
template <class Done, class Idle>
void spin_until(const Done &done, std::chrono::microseconds limit, const Idle &idle) {
  auto start = std::chrono::steady_clock::now();
  for (unsigned spins = 1; !done(); spins++) {
    _mm_pause();
    if (spins % 256 == 0 && std::chrono::steady_clock::now() - start > limit) {
      idle();
      start = std::chrono::steady_clock::now();
    }
  }
}

std::atomic<int64_t> g_workers_started{0};

}  // namespace

StepThreads::StepThreads(int threads) : threads_(threads < 1 ? 1 : threads) {
  workers_.reserve(threads_ - 1);
  for (int i = 1; i < threads_; i++) workers_.emplace_back([this] { work(); });
  g_workers_started.fetch_add(threads_ - 1, std::memory_order_relaxed);
}

int64_t StepThreads::workers_started() { return g_workers_started.load(std::memory_order_relaxed); }

StepThreads::~StepThreads() {
  stopping_.store(true);
  state_.fetch_add(2);
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_all();
  for (std::thread &t : workers_) t.join();
}

void StepThreads::run_pieces(int64_t count, int64_t grain, PieceFn fn, const void *context) {
  if (count <= 0) return;
  if (threads_ == 1) {
    fn(context, 0, count);
    return;
  }
  count_ = count;
  grain_ = std::max<int64_t>(grain, 1);
  fn_ = fn;
  context_ = context;
  next_.store(0, std::memory_order_relaxed);
  const uint64_t open = (state_.load() | 1) + 2;  // next phase number, open
  state_.store(open);
  // A worker registers as a sleeper under the mutex before it checks the
  // state, so one that missed this store is counted here.
  if (sleepers_.load() > 0) {
    { std::lock_guard<std::mutex> lock(mutex_); }
    wake_.notify_all();
  }
  take_pieces();
  state_.store(open - 1);
  spin_until([this] { return inside_.load() == 0; }, kSpinBeforeYield,
             [] { std::this_thread::yield(); });
}

// Guided: each claim takes a 1 / (2 threads) share of what remains, so the
// pieces shrink towards the end and the threads finish close together.
void StepThreads::take_pieces() {
  const int64_t count = count_;
  const int64_t grain = grain_;
  const int64_t divisor = 2 * static_cast<int64_t>(threads_);
  int64_t begin = next_.load(std::memory_order_relaxed);
  while (begin < count) {
    const int64_t share = (count - begin) / divisor / grain * grain;
    const int64_t end = std::min(count, begin + std::max(share, grain));
    if (next_.compare_exchange_weak(begin, end, std::memory_order_relaxed)) {
      fn_(context_, begin, end);
      begin = next_.load(std::memory_order_relaxed);
    }
  }
}

void StepThreads::work() {
  uint64_t seen = 0;
  for (;;) {
    auto changed = [&] { return (state_.load(std::memory_order_acquire) >> 1) != (seen >> 1); };
    spin_until(changed, kSpinBeforeSleep, [&] {
      std::unique_lock<std::mutex> lock(mutex_);
      sleepers_.fetch_add(1);
      wake_.wait(lock, changed);
      sleepers_.fetch_sub(1);
    });
    seen = state_.load();
    if (stopping_.load()) return;
    inside_.fetch_add(1);
    if (state_.load() == seen && (seen & 1) != 0) take_pieces();
    inside_.fetch_sub(1);
  }
}

namespace {
thread_local StepThreads *t_scoped_workers = nullptr;
}  // namespace

WorkerScope::WorkerScope(StepThreads &workers) : saved_(t_scoped_workers) {
  t_scoped_workers = &workers;
}

WorkerScope::~WorkerScope() { t_scoped_workers = saved_; }

StepThreads *scoped_workers() { return t_scoped_workers; }
