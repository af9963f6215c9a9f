// Threads for the parallel phases of the fused decode step. A decode step is
// ~150 short phases of a few hundred microseconds each, so the workers spin
// between phases and sleep only after a pause longer than a step's gaps.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class StepThreads {
 public:
  // parts - 1 workers; the calling thread runs part 0 itself.
  explicit StepThreads(int parts);
  ~StepThreads();
  StepThreads(const StepThreads &) = delete;
  StepThreads &operator=(const StepThreads &) = delete;

  int parts() const { return parts_; }

  // Runs fn(part) for every part in [0, parts()) and returns when all are done.
  template <class F>
  void run(const F &fn) {
    run_parts(&call<F>, &fn);
  }

 private:
  using PartFn = void (*)(const void *context, int part);
  template <class F>
  static void call(const void *context, int part) {
    (*static_cast<const F *>(context))(part);
  }
  void run_parts(PartFn fn, const void *context);
  void work(int part);

  const int parts_;
  PartFn fn_ = nullptr;
  const void *context_ = nullptr;
  std::atomic<uint64_t> generation_{0};
  std::atomic<int> pending_{0};
  std::atomic<int> sleepers_{0};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::thread> workers_;
};
