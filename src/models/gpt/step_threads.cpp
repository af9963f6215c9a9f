#include "models/gpt/step_threads.h"

#include <immintrin.h>

#include <chrono>

namespace {

// A worker that has seen no work for this long sleeps until woken; the gaps
// inside a step are microseconds, the gap between steps is the sampling.
constexpr std::chrono::microseconds kSpinBeforeSleep{200};
// The caller spins this long on unfinished parts before it starts yielding,
// which matters only when the machine has fewer free cores than parts.
constexpr std::chrono::microseconds kSpinBeforeYield{50};

// Spins until done() holds, calling idle() once `limit` has passed.
template <class Done, class Idle>
void spin_until(const Done &done, std::chrono::microseconds limit, const Idle &idle) {
  auto start = std::chrono::steady_clock::now();
  for (unsigned spins = 1; !done(); spins++) {
    _mm_pause();
    if (spins % 256 == 0 && std::chrono::steady_clock::now() - start > limit) {
      if (idle()) start = std::chrono::steady_clock::now();
    }
  }
}

}  // namespace

StepThreads::StepThreads(int parts) : parts_(parts < 1 ? 1 : parts) {
  workers_.reserve(parts_ - 1);
  for (int part = 1; part < parts_; part++) workers_.emplace_back([this, part] { work(part); });
}

StepThreads::~StepThreads() {
  stopping_.store(true);
  generation_.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(mutex_);
  }
  wake_.notify_all();
  for (std::thread &t : workers_) t.join();
}

void StepThreads::run_parts(PartFn fn, const void *context) {
  if (parts_ == 1) {
    fn(context, 0);
    return;
  }
  fn_ = fn;
  context_ = context;
  pending_.store(parts_ - 1);
  generation_.fetch_add(1);
  // A worker registers as a sleeper under the mutex before it checks the
  // generation, so a sleeper that missed this increment is seen here.
  if (sleepers_.load() > 0) {
    { std::lock_guard<std::mutex> lock(mutex_); }
    wake_.notify_all();
  }
  fn(context, 0);
  spin_until([this] { return pending_.load(std::memory_order_acquire) == 0; }, kSpinBeforeYield,
             [] {
               std::this_thread::yield();
               return false;
             });
}

void StepThreads::work(int part) {
  uint64_t seen = 0;
  for (;;) {
    spin_until([&] { return generation_.load(std::memory_order_acquire) != seen; },
               kSpinBeforeSleep, [&] {
                 std::unique_lock<std::mutex> lock(mutex_);
                 sleepers_.fetch_add(1);
                 wake_.wait(lock, [&] { return generation_.load() != seen; });
                 sleepers_.fetch_sub(1);
                 return true;
               });
    seen = generation_.load(std::memory_order_acquire);
    if (stopping_.load()) return;
    fn_(context_, part);
    pending_.fetch_sub(1, std::memory_order_release);
  }
}
