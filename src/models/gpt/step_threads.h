// Threads for the parallel phases of the fused decode step. A decode step is
// ~150 phases of tens to hundreds of microseconds, so the workers spin between
// phases and sleep only after a pause longer than the gaps inside a step.
//
// The work of a phase is claimed in pieces, each a share of what remains, by
// the calling thread and by every worker that arrives while the phase is open.
// A worker that the system has not scheduled in time therefore costs nothing:
// the caller takes its share, and waits only for pieces a worker has claimed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class StepThreads {
 public:
  // threads - 1 workers; the calling thread works too.
  explicit StepThreads(int threads);
  ~StepThreads();
  StepThreads(const StepThreads &) = delete;
  StepThreads &operator=(const StepThreads &) = delete;

  int threads() const { return threads_; }

  // Workers started by every StepThreads of the process so far: a model is
  // meant to start its set once, not per call, piece or calling thread.
  static int64_t workers_started();

  // Calls fn(begin, end) on disjoint pieces that cover [0, count) and returns
  // when all have finished. Pieces are multiples of grain, except the last.
  template <class F>
  void run(int64_t count, int64_t grain, const F &fn) {
    run_pieces(count, grain, &call<F>, &fn);
  }

 private:
  using PieceFn = void (*)(const void *context, int64_t begin, int64_t end);
  template <class F>
  static void call(const void *context, int64_t begin, int64_t end) {
    (*static_cast<const F *>(context))(begin, end);
  }
  void run_pieces(int64_t count, int64_t grain, PieceFn fn, const void *context);
  // Claims and runs pieces of the open phase until none is left.
  void take_pieces();
  void work();

  const int threads_;
  std::vector<std::thread> workers_;

  // The open phase; written only while no worker is inside it.
  int64_t count_ = 0;
  int64_t grain_ = 1;
  PieceFn fn_ = nullptr;
  const void *context_ = nullptr;
  std::atomic<int64_t> next_{0};

  // 2 * phase number + 1 while the phase is open, + 0 once it is closed.
  std::atomic<uint64_t> state_{0};
  // Workers inside a phase. The caller closes the phase and then waits for
  // this to reach zero; a worker enters and then checks the phase is still
  // open. Either the caller sees the worker or the worker sees the close.
  std::atomic<int> inside_{0};
  std::atomic<int> sleepers_{0};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
};

// The workers that products on the calling thread share while a scope lasts:
// the decoder lends its own for each pass, so a model has one set of workers
// however many threads call it.
class WorkerScope {
 public:
  explicit WorkerScope(StepThreads &workers);
  ~WorkerScope();
  WorkerScope(const WorkerScope &) = delete;
  WorkerScope &operator=(const WorkerScope &) = delete;

 private:
  StepThreads *saved_;
};

// The scoped workers, or null outside any scope.
StepThreads *scoped_workers();

// Calls fn(pool) with the scoped workers when they have `threads` threads,
// else with workers started for this call alone (tests and tools).
template <class F>
void with_workers(int threads, const F &fn) {
  StepThreads *pool = scoped_workers();
  if (pool && pool->threads() == threads) {
    fn(*pool);
    return;
  }
  StepThreads own(threads);
  fn(own);
}
