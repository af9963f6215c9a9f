// How the long-running servers ask glibc to hand memory back.
#pragma once

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Each connection has a thread of its own, and glibc would give such threads
// up to eight malloc arenas per core, each keeping for good what the
// syntheses run on it freed. Called first, before any thread starts.
inline void limit_malloc_arenas() { mallopt(M_ARENA_MAX, 2); }

// What the syntheses freed goes back to the system once none has run for a
// while: glibc keeps freed pages inside its heaps, where the next requests'
// tensors of other sizes leave holes around them, hundreds of MB over a soak
// of mixed requests. Not at once: a synthesis's working memory handed back
// is faulted in and zeroed again by the next one, about 140 ms of its first
// audio, so requests that follow each other keep it. A thread of its own
// looks twice a second, so that the walk over the heaps (milliseconds) is
// off every request's path.
class IdleMemoryReturner {
 public:
  static constexpr std::chrono::seconds kIdleBeforeReturning{5};

  explicit IdleMemoryReturner(std::function<bool()> idle)
      : idle_(std::move(idle)), thread_([this] { run(); }) {}
  ~IdleMemoryReturner() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  IdleMemoryReturner(const IdleMemoryReturner &) = delete;
  IdleMemoryReturner &operator=(const IdleMemoryReturner &) = delete;

  // A synthesis ended: its memory is returned once the server has been idle
  // for kIdleBeforeReturning.
  void work_ended() {
    last_work_ended_ = Clock::now().time_since_epoch().count();
    due_ = true;
  }

 private:
  using Clock = std::chrono::steady_clock;

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stopping_; })) {
      const Clock::time_point ended{Clock::duration(last_work_ended_.load())};
      if (due_ && Clock::now() - ended >= kIdleBeforeReturning && idle_()) {
        due_ = false;
        malloc_trim(0);
      }
    }
  }

  std::function<bool()> idle_;
  std::atomic<bool> due_{false};
  std::atomic<Clock::rep> last_work_ended_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};
